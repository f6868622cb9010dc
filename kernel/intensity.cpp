// SPDX-License-Identifier: BSD-3-Clause
#include "intensity.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "structurefactor.h"
#include "utils.h"
#include "vectormath.h"

using namespace vectormath;

namespace {

using Data = IntensityWorkspaceData;

// Table rows beyond these fall back to the direct sum.
constexpr int64_t kMaxRowsPerAxis = 4096;
constexpr int64_t kMaxTableBytes = int64_t{64} << 20;

// ---- Layout analysis: which cell atoms stand for which.

double Fraction(double v) { return v - std::nearbyint(v); }

bool SameModOne(const double a[3], const double b[3], double tolerance) {
  for (int i = 0; i < 3; ++i)
    if (std::fabs(Fraction(a[i] - b[i])) > tolerance) return false;
  return true;
}

struct Operator {
  double r[3][3];
  double t[3];
};

Operator ToOperator(const Coordinate &c) {
  Operator op;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) op.r[i][j] = c.matrix[i][j];
    op.t[i] = c.matrix[i][3];
  }
  return op;
}

bool SameRotation(const Operator &a, const Operator &b, double sign) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (std::fabs(a.r[i][j] - sign * b.r[i][j]) > 1e-9) return false;
  return true;
}

constexpr double kTranslationTolerance = 1e-6;

bool IsCentringOf(const std::vector<std::array<double, 3>> &centring, const double t[3]) {
  for (const auto &c : centring)
    if (SameModOne(c.data(), t, kTranslationTolerance)) return true;
  return false;
}

// The centring translations of the group when they form a group themselves
// (the origin included); otherwise the origin alone.
std::vector<std::array<double, 3>> CentringOf(const SpaceGroup &sg) {
  std::vector<std::array<double, 3>> centring;
  const std::vector<std::array<double, 3>> none = {{0.0, 0.0, 0.0}};
  for (const Coordinate &c : sg.translations) {
    Operator op = ToOperator(c);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        if (op.r[i][j] != 0.0) return none;
    std::array<double, 3> t = {op.t[0], op.t[1], op.t[2]};
    if (IsCentringOf(centring, t.data())) return none;
    centring.push_back(t);
  }
  if (centring.empty()) return none;
  const double origin[3] = {0, 0, 0};
  if (!IsCentringOf(centring, origin)) return none;
  for (const auto &a : centring)
    for (const auto &b : centring) {
      const double sum[3] = {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
      if (!IsCentringOf(centring, sum)) return none;
    }
  return centring;
}

// Checks that the cell atoms are the images of the asymmetric-unit atoms,
// block by block, and returns the first cell atom of every block.
bool FindBlocks(const Crystal &crystal, std::vector<size_t> *first) {
  const Atoms &cell = crystal.cellAtoms;
  size_t next = 0;
  for (const Atom &atom : crystal.atoms) {
    if (!atom.position) return false;
    first->push_back(next);
    for (const Coordinate &c : atom.position->fullCoordinates) {
      if (next >= cell.size()) return false;
      const Atom &image = cell[next++];
      if (image.element != atom.element || image.occupancy != atom.occupancy) return false;
      double expected[3];
      CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &expected[0], &expected[1],
                          &expected[2]);
      const double actual[3] = {image.x, image.y, image.z};
      if (!SameModOne(expected, actual, 1e-6)) return false;
    }
  }
  return next == cell.size() && !crystal.atoms.empty();
}

// Splits one block's operators into classes that differ by a centring
// translation only; returns the first operator of every class, or nothing
// when some class is incomplete.
bool CentringClasses(const std::vector<Operator> &ops,
                     const std::vector<std::array<double, 3>> &centring,
                     std::vector<int> *representatives) {
  std::vector<char> taken(ops.size(), 0);
  for (size_t k = 0; k < ops.size(); ++k) {
    if (taken[k]) continue;
    representatives->push_back(static_cast<int>(k));
    for (const auto &c : centring) {
      const double t[3] = {ops[k].t[0] + c[0], ops[k].t[1] + c[1], ops[k].t[2] + c[2]};
      bool found = false;
      for (size_t j = k; j < ops.size() && !found; ++j) {
        if (taken[j] || !SameRotation(ops[j], ops[k], 1.0)) continue;
        if (!SameModOne(ops[j].t, t, kTranslationTolerance)) continue;
        taken[j] = 1;
        found = true;
      }
      if (!found) return false;
    }
  }
  return true;
}

// With symmetry: one slot per centring class and, when every class has an
// inversion partner through the origin, one per pair; the centring
// translations come back when they are factored out. Otherwise one slot per
// cell atom.
void AnalyseLayout(const Crystal &crystal, bool useSymmetry, std::vector<IntensitySlot> *slots,
                   std::vector<std::array<double, 3>> *factored, bool *centric) {
  slots->clear();
  factored->clear();
  *centric = false;
  auto plain = [&] {
    for (size_t i = 0; i < crystal.cellAtoms.size(); ++i)
      slots->push_back({static_cast<int>(i), 1.0});
  };
  std::vector<size_t> first;
  if (!useSymmetry || !FindBlocks(crystal, &first)) return plain();

  std::vector<std::array<double, 3>> centring = CentringOf(crystal.spaceGroup);
  struct Block {
    std::vector<Operator> ops;
    std::vector<int> reps;
    size_t first;
  };
  std::vector<Block> blocks;
  for (size_t a = 0; a < crystal.atoms.size(); ++a) {
    Block b;
    for (const Coordinate &c : crystal.atoms[a].position->fullCoordinates)
      b.ops.push_back(ToOperator(c));
    b.first = first[a];
    blocks.push_back(std::move(b));
  }
  bool classes = true;
  for (Block &b : blocks)
    if (!CentringClasses(b.ops, centring, &b.reps)) classes = false;
  if (!classes) {
    centring = {{0.0, 0.0, 0.0}};
    for (Block &b : blocks) {
      b.reps.clear();
      CentringClasses(b.ops, centring, &b.reps);
    }
  }

  // Inversion partners: r' = -r and t' + t a centring translation, so that
  // the partner's phase is minus this one's wherever the centring sum is not 0.
  bool paired = true;
  for (const Block &b : blocks) {
    std::vector<char> done(b.reps.size(), 0);
    for (size_t i = 0; i < b.reps.size() && paired; ++i) {
      if (done[i]) continue;
      const Operator &p = b.ops[static_cast<size_t>(b.reps[i])];
      bool found = false;
      for (size_t j = i; j < b.reps.size() && !found; ++j) {
        if (done[j]) continue;
        const Operator &q = b.ops[static_cast<size_t>(b.reps[j])];
        if (!SameRotation(p, q, -1.0)) continue;
        const double sum[3] = {p.t[0] + q.t[0], p.t[1] + q.t[1], p.t[2] + q.t[2]};
        if (!IsCentringOf(centring, sum)) continue;
        done[i] = done[j] = 1;
        found = true;
        slots->push_back({static_cast<int>(b.first) + b.reps[i], i == j ? 1.0 : 2.0});
      }
      if (!found) paired = false;
    }
    if (!paired) break;
  }
  if (!paired) {
    slots->clear();
    for (const Block &b : blocks)
      for (int r : b.reps) slots->push_back({static_cast<int>(b.first) + r, 1.0});
  }
  *centric = paired;
  if (centring.size() > 1) *factored = std::move(centring);
}

bool ColumnValid(const Element *e) { return e && e->index >= 0 && e->index < kMaxASFKinds; }

std::array<double, 4> KeyOf(const Atom &atom) {
  return {atom.x, atom.y, atom.z, atom.occupancy};
}

void Refresh(Data *d, const Crystal &crystal) {
  d->sumsValid = false;
  if (d->atomsKnown)
    for (size_t a = 0; a < d->atomKey.size(); ++a) d->atomKey[a] = KeyOf(crystal.atoms[a]);
  for (int axis = 0; axis < 3; ++axis) d->maxCoord[axis] = 0;
  for (size_t j = 0; j < static_cast<size_t>(d->slots); ++j) {
    const int s = d->source[j];
    if (s < 0) continue;
    const Atom &atom = crystal.cellAtoms[static_cast<size_t>(s)];
    const double v[3] = {atom.x, atom.y, atom.z};
    for (int axis = 0; axis < 3; ++axis) {
      d->coord[axis][j] = v[axis];
      // A NaN would slip past the bound check: let it select the direct sum,
      // which carries it into F as the formula does.
      const double a = std::fabs(v[axis]);
      if (!(a <= d->maxCoord[axis])) d->maxCoord[axis] = std::isnan(a) ? HUGE_VAL : a;
    }
    d->weight[j] = atom.occupancy * d->multiplier[j];
  }
}

// Tables smaller than this stay in the cache in any order.
constexpr int64_t kSortBytes = int64_t{128} << 10;

// Orders the reflections by h, then k (two stable counting passes).
void OrderReflections(Data *d, const std::vector<HKLItem> &items, const int64_t rows[3],
                      bool sort) {
  const size_t count = items.size();
  d->order.resize(count);
  for (size_t i = 0; i < count; ++i) d->order[i] = static_cast<int>(i);
  if (!sort || count < 2) return;
  d->sortScratch.resize(count);
  for (int axis = 1; axis >= 0; --axis) {
    auto key = [&](int i) {
      const HKLItem &it = items[static_cast<size_t>(i)];
      return static_cast<size_t>((axis == 0 ? it.h : it.k) - d->lo[axis]);
    };
    d->buckets.assign(static_cast<size_t>(rows[axis]) + 1, 0);
    for (int i : d->order) d->buckets[key(i) + 1]++;
    for (size_t b = 1; b < d->buckets.size(); ++b) d->buckets[b] += d->buckets[b - 1];
    for (int i : d->order) d->sortScratch[d->buckets[key(i)]++] = i;
    d->order.swap(d->sortScratch);
  }
}

// Which asymmetric-unit atom each slot belongs to, for moves of single
// atoms; only when the cell atoms are the atoms' images block by block (the
// layout a model rebuild makes).
void MapAtoms(Data *d, const Crystal &crystal) {
  d->sumsValid = false;
  d->movesSinceFull = 0;
  std::vector<size_t> first;
  d->atomsKnown = FindBlocks(crystal, &first);
  const size_t atoms = d->atomsKnown ? crystal.atoms.size() : 0;
  d->atomKind.assign(atoms, -1);
  d->atomSlots.assign(atoms, {});
  d->atomKey.assign(atoms, {0, 0, 0, 0});
  d->atomParts.clear();
  d->atomParts.resize(atoms);
  if (!d->atomsKnown) return;
  std::vector<int> atomOfCell(crystal.cellAtoms.size(), -1);
  for (size_t a = 0; a < atoms; ++a) {
    const size_t end = a + 1 < atoms ? first[a + 1] : crystal.cellAtoms.size();
    for (size_t c = first[a]; c < end; ++c) atomOfCell[c] = static_cast<int>(a);
  }
  for (size_t k = 0; k < d->kinds.size(); ++k) {
    const IntensityWorkspaceData::Kind &kind = d->kinds[k];
    for (int j = kind.start; j < kind.start + kind.atoms; ++j) {
      const int a = atomOfCell[static_cast<size_t>(d->source[static_cast<size_t>(j)])];
      d->atomSlots[static_cast<size_t>(a)].push_back(j);
      d->atomKind[static_cast<size_t>(a)] = static_cast<int>(k);
    }
  }
  const size_t count = static_cast<size_t>(d->reflections);
  d->padded = (d->reflections + kPadding - 1) / kPadding * kPadding;
  const size_t n = static_cast<size_t>(d->padded);
  const size_t kindCount = d->kinds.size();
  for (int axis = 0; axis < 3; ++axis) {
    d->hklByAxis[axis].assign(n, 0.0);
    for (size_t r = 0; r < count; ++r)
      d->hklByAxis[axis][r] = d->hkl[r * 3 + static_cast<size_t>(axis)];
  }
  d->factorByKindRe.assign(kindCount * n, 0.0);
  d->factorByKindIm.assign(kindCount * n, 0.0);
  for (size_t k = 0; k < kindCount; ++k)
    for (size_t r = 0; r < count; ++r) {
      d->factorByKindRe[k * n + r] = d->factorRe[r * kindCount + k];
      d->factorByKindIm[k * n + r] = d->factorIm[r * kindCount + k];
    }
  // The sums themselves carry the padding too, always 0 there.
  d->sumRe.resize(n, 0.0);
  d->sumIm.resize(n, 0.0);
}

void PrepareFactor(Data *d, const HKLList &list) {
  const std::vector<HKLItem> &items = list.items;
  const size_t n = items.size();
  d->factorReady = d->atomsKnown;
  d->weightOfF2.resize(n);
  d->runOf.resize(n);
  d->runObs.clear();
  d->sumObs = 0;
  std::vector<int> runOfItem(n);
  for (size_t i = 0; i < n; ++i) {
    if (i == 0 || items[i].group != items[i - 1].group) d->runObs.push_back(0);
    runOfItem[i] = static_cast<int>(d->runObs.size()) - 1;
    d->runObs.back() += items[i].iObsScaled;
    d->sumObs += items[i].iObsScaled;
  }
  d->runCalc.assign(d->runObs.size(), 0.0);
  for (size_t r = 0; r < n; ++r) {
    const size_t i = static_cast<size_t>(d->order[r]);
    d->weightOfF2[r] = items[i].multiplicity * items[i].lp * items[i].debyeWaller *
                       items[i].texture * d->centring[i] * d->centring[i];
    d->runOf[r] = runOfItem[i];
  }
  d->weightOfF2.resize(static_cast<size_t>(d->padded), 0.0);
  d->intensityOfSums.assign(static_cast<size_t>(d->padded), 0.0);
}

// The grouped Bragg factor of the sums as they stand, as GroupBraggFactor
// would find it after Finish, without writing the list.
double FactorOfSums(Data *d) {
  const size_t n = static_cast<size_t>(d->reflections);
  std::fill(d->runCalc.begin(), d->runCalc.end(), 0.0);
  double *intensity = d->intensityOfSums.data();
  const double largest = MovesFor(d->width).intensities(d->padded, d->sumRe.data(),
                                                        d->sumIm.data(), d->weightOfF2.data(),
                                                        intensity);
  const int *runOf = d->runOf.data();
  double *runCalc = d->runCalc.data();
  for (size_t r = 0; r < n; ++r) runCalc[runOf[r]] += intensity[r];
  if (d->sumObs == 0) return -1.0;
  const double scale = largest == 0 ? 0.0 : 100.0 / largest;
  double sumDiff = 0;
  for (size_t g = 0; g < d->runObs.size(); ++g)
    sumDiff += std::fabs(d->runObs[g] - d->runCalc[g] * scale);
  return sumDiff / d->sumObs;
}

bool SameKey(const double a[4], const std::array<double, 4> &b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

// One atom's part of every reflection's F from the slot coordinates as they
// stand.
void ComputePart(Data *d, size_t atom, double *partRe, double *partIm) {
  const MoveKernels &kernels = MovesFor(d->width);
  const int n = d->padded;
  const size_t k = static_cast<size_t>(d->atomKind[atom]);
  const double twoPi = 6.283185307179586;
  bool first = true;
  for (int j : d->atomSlots[atom]) {
    const size_t at = static_cast<size_t>(j);
    kernels.slotPhases(n, d->hklByAxis[0].data(), d->hklByAxis[1].data(),
                       d->hklByAxis[2].data(), twoPi * d->coord[0][at], twoPi * d->coord[1][at],
                       twoPi * d->coord[2][at], d->weight[at], first, partRe, partIm);
    first = false;
  }
  if (first) {
    std::fill(partRe, partRe + n, 0.0);
    std::fill(partIm, partIm + n, 0.0);
  }
  // Inversion pairs are summed as twice the cosine: the sines cancel.
  if (d->centric) std::fill(partIm, partIm + n, 0.0);
  const size_t N = static_cast<size_t>(n);
  kernels.scaleByFactor(n, d->factorByKindRe.data() + k * N, d->factorByKindIm.data() + k * N,
                        partRe, partIm);
}

// The part of an atom standing at key: from the cache, or computed from the
// slot coordinates (which must be that place) into the entry not holding
// `keep`.
const IntensityWorkspaceData::AtomPart &PartAt(Data *d, size_t atom,
                                               const std::array<double, 4> &key,
                                               const IntensityWorkspaceData::AtomPart *keep) {
  auto &parts = d->atomParts[atom];
  for (auto &p : parts)
    if (p.valid && SameKey(p.key, key)) return p;
  IntensityWorkspaceData::AtomPart &slot = (&parts[0] == keep) ? parts[1] : parts[0];
  const size_t n = static_cast<size_t>(d->padded);
  slot.valid = false;
  slot.re.resize(n);
  slot.im.resize(n);
  ComputePart(d, atom, slot.re.data(), slot.im.data());
  for (int i = 0; i < 4; ++i) slot.key[i] = key[static_cast<size_t>(i)];
  slot.valid = true;
  return slot;
}

// Copies the coordinates of one atom's slots; the bound on the coordinates
// only grows, which keeps the exactness test of the angles on the safe side.
void RefreshAtom(Data *d, const Crystal &crystal, size_t atom) {
  for (int j : d->atomSlots[atom]) {
    const size_t at = static_cast<size_t>(j);
    const Atom &a = crystal.cellAtoms[static_cast<size_t>(d->source[at])];
    const double v[3] = {a.x, a.y, a.z};
    for (int axis = 0; axis < 3; ++axis) {
      d->coord[axis][at] = v[axis];
      const double m = std::fabs(v[axis]);
      if (!(m <= d->maxCoord[axis])) d->maxCoord[axis] = std::isnan(m) ? HUGE_VAL : m;
    }
    d->weight[at] = a.occupancy * d->multiplier[at];
  }
  d->atomKey[atom] = KeyOf(crystal.atoms[atom]);
}

// Full sums this often at the least, so that the rounding of the
// differences cannot build up.
constexpr int kMovesBetweenFullSums = 1000;

void Prepare(Data *d, const HKLList &list, const Crystal &crystal, int radiationType,
             bool useSymmetry, bool mapAtoms) {
  const std::vector<HKLItem> &items = list.items;
  const size_t count = items.size();
  d->radiationType = radiationType;
  d->cellAtomCount = crystal.cellAtoms.size();
  d->reflections = static_cast<int>(count);

  for (int axis = 0; axis < 3; ++axis) {
    d->lo[axis] = 0;
    d->hi[axis] = -1;
  }
  for (size_t i = 0; i < count; ++i) {
    const int32_t v[3] = {items[i].h, items[i].k, items[i].l};
    for (int axis = 0; axis < 3; ++axis) {
      if (i == 0 || v[axis] < d->lo[axis]) d->lo[axis] = v[axis];
      if (i == 0 || v[axis] > d->hi[axis]) d->hi[axis] = v[axis];
    }
  }
  int64_t rows[3];
  for (int axis = 0; axis < 3; ++axis) rows[axis] = d->hi[axis] - d->lo[axis] + 1;

  std::vector<std::array<double, 3>> factored;
  AnalyseLayout(crystal, useSymmetry, &d->layout, &factored, &d->centric);
  d->centred = !factored.empty();
  d->centring.assign(count, 1.0);
  for (size_t i = 0; i < count && d->centred; ++i) {
    // The centring translations form a group, so their phase sum is their
    // number when every one of them is a whole number of cycles, else 0.
    bool whole = true;
    for (const auto &t : factored) {
      const double cycles = items[i].h * t[0] + items[i].k * t[1] + items[i].l * t[2];
      if (std::fabs(Fraction(cycles)) > kTranslationTolerance) whole = false;
    }
    d->centring[i] = whole ? static_cast<double>(factored.size()) : 0.0;
  }

  // Element kinds in order of first appearance; atoms without usable
  // scattering data scatter nothing and are left out.
  const bool neutron = radiationType == 1;
  d->kinds.clear();
  d->slotKind.resize(d->layout.size());
  for (size_t s = 0; s < d->layout.size(); ++s) {
    const Element *e = crystal.cellAtoms[static_cast<size_t>(d->layout[s].source)].element;
    d->slotKind[s] = -1;
    if (neutron ? !e : !ColumnValid(e)) continue;
    size_t k = 0;
    while (k < d->kinds.size() && d->kinds[k].element != e) ++k;
    if (k == d->kinds.size()) {
      IntensityWorkspaceData::Kind kind;
      kind.element = e;
      kind.column = e->index;
      kind.b1 = e->nsl[0];
      kind.b2 = e->nsl[1];
      d->kinds.push_back(kind);
    }
    d->kinds[k].count++;
    d->slotKind[s] = static_cast<int>(k);
  }
  int slots = 0;
  for (IntensityWorkspaceData::Kind &kind : d->kinds) {
    kind.start = slots;
    kind.count = (kind.count + d->width - 1) / d->width * d->width;
    slots += kind.count;
  }
  d->slots = slots;
  d->source.assign(static_cast<size_t>(slots), -1);
  d->multiplier.assign(static_cast<size_t>(slots), 0.0);
  d->weight.assign(static_cast<size_t>(slots), 0.0);
  for (int axis = 0; axis < 3; ++axis) d->coord[axis].assign(static_cast<size_t>(slots), 0.0);
  for (size_t s = 0; s < d->layout.size(); ++s) {
    if (d->slotKind[s] < 0) continue;
    IntensityWorkspaceData::Kind &kind = d->kinds[static_cast<size_t>(d->slotKind[s])];
    const size_t at = static_cast<size_t>(kind.start + kind.atoms++);
    d->source[at] = d->layout[s].source;
    d->multiplier[at] = d->layout[s].multiplier;
  }

  d->tables = count > 0;
  int64_t tableBytes = 0;
  for (int axis = 0; axis < 3 && d->tables; ++axis) {
    if (rows[axis] > kMaxRowsPerAxis) d->tables = false;
    tableBytes += rows[axis] * slots * 2 * static_cast<int64_t>(sizeof(double));
  }
  if (tableBytes > kMaxTableBytes) d->tables = false;
  OrderReflections(d, items, rows, d->tables && tableBytes > kSortBytes);
  const size_t kindCount = d->kinds.size();
  d->hkl.resize(count * 3);
  d->factorRe.assign(count * kindCount, 0.0);
  d->factorIm.assign(count * kindCount, 0.0);
  for (size_t n = 0; n < count; ++n) {
    const HKLItem &it = items[static_cast<size_t>(d->order[n])];
    d->hkl[n * 3] = it.h;
    d->hkl[n * 3 + 1] = it.k;
    d->hkl[n * 3 + 2] = it.l;
    for (size_t k = 0; k < kindCount; ++k) {
      const IntensityWorkspaceData::Kind &kind = d->kinds[k];
      const size_t column = static_cast<size_t>(kind.column);
      if (neutron) {
        d->factorRe[n * kindCount + k] = kind.b1;
        d->factorIm[n * kindCount + k] = kind.b2;
      } else if (column < it.asf.size() && kind.column < it.asfCount) {
        d->factorRe[n * kindCount + k] = it.asf[column];
      }
    }
  }
  d->sumRe.assign(count, 0.0);
  d->sumIm.assign(count, 0.0);

  for (int axis = 0; axis < 3; ++axis) {
    const size_t size = d->tables ? static_cast<size_t>(rows[axis] * slots) : 0;
    d->rowRe[axis].resize(size);
    d->rowIm[axis].resize(size);
  }
  if (mapAtoms) {
    MapAtoms(d, crystal);
    PrepareFactor(d, list);
  } else {
    d->atomsKnown = d->sumsValid = d->factorReady = false;
  }
  Refresh(d, crystal);
}

void Finish(const Data &d, HKLList *list) {
  std::vector<HKLItem> &items = list->items;
  for (size_t n = 0; n < static_cast<size_t>(d.reflections); ++n) {
    const size_t i = static_cast<size_t>(d.order[n]);
    HKLItem &it = items[i];
    it.fReal = d.sumRe[n] * d.centring[i];
    it.fImag = d.sumIm[n] * d.centring[i];
    it.fSquared = it.fReal * it.fReal + it.fImag * it.fImag;
    it.intensity = it.multiplicity * it.lp * it.debyeWaller * it.texture * it.fSquared;
  }
  double largest = 0;
  for (const HKLItem &it : items)
    if (it.intensity > largest) largest = it.intensity;
  for (HKLItem &it : items) it.iCalc = largest == 0 ? 0.0 : it.intensity * 100.0 / largest;
}

void Evaluate(Data *d, HKLList *list) {
  bool tables = d->tables;
  for (int axis = 0; axis < 3 && tables; ++axis) {
    const double index = static_cast<double>(std::max(-d->lo[axis], d->hi[axis]));
    if (!(2.0 * kPi * index * d->maxCoord[axis] <= kMaxAngle)) tables = false;
  }
  if (tables)
    SumsFor(d->width)(d);
  else
    DirectSums(d);
  d->sumsValid = d->atomsKnown;
  d->movesSinceFull = 0;
  Finish(*d, list);
}

bool AnglesExact(const Data &d) {
  for (int axis = 0; axis < 3; ++axis) {
    const double index = static_cast<double>(std::max(-d.lo[axis], d.hi[axis]));
    if (!(2.0 * kPi * index * d.maxCoord[axis] <= kMaxAngle)) return false;
  }
  return true;
}

// The sums after some atoms moved: each moved atom's old part out, its new
// part in. False (nothing changed) when a full evaluation is due or
// cheaper.
bool UpdateMovedSums(Data *d, const Crystal &crystal) {
  if (!d->sumsValid || !d->atomsKnown || d->movesSinceFull >= kMovesBetweenFullSums ||
      crystal.atoms.size() != d->atomKey.size())
    return false;
  d->changed.clear();
  size_t movedSlots = 0;
  for (size_t a = 0; a < crystal.atoms.size(); ++a) {
    const Atom &atom = crystal.atoms[a];
    const std::array<double, 4> &key = d->atomKey[a];
    if (atom.x == key[0] && atom.y == key[1] && atom.z == key[2] && atom.occupancy == key[3])
      continue;
    d->changed.push_back(static_cast<int>(a));
    movedSlots += d->atomSlots[a].size();
  }
  // Each moved slot costs a sine and a cosine per reflection, against a few
  // products per slot and reflection for the full sums.
  if (movedSlots * 4 > static_cast<size_t>(d->slots) || d->changed.size() > 8) return false;
  // The old parts come from the slot coordinates before they are refreshed.
  const IntensityWorkspaceData::AtomPart *old[8];
  for (size_t i = 0; i < d->changed.size(); ++i) {
    const size_t a = static_cast<size_t>(d->changed[i]);
    old[i] = d->atomKind[a] >= 0 ? &PartAt(d, a, d->atomKey[a], nullptr) : nullptr;
  }
  d->sumsValid = false;
  for (int a : d->changed) RefreshAtom(d, crystal, static_cast<size_t>(a));
  if (!AnglesExact(*d)) return false;
  const MoveKernels &kernels = MovesFor(d->width);
  for (size_t i = 0; i < d->changed.size(); ++i) {
    const size_t a = static_cast<size_t>(d->changed[i]);
    if (!old[i]) continue;
    const IntensityWorkspaceData::AtomPart &now = PartAt(d, a, d->atomKey[a], old[i]);
    kernels.exchangePart(d->padded, now.re.data(), now.im.data(), old[i]->re.data(),
                         old[i]->im.data(), d->sumRe.data(), d->sumIm.data());
  }
  d->sumsValid = true;
  d->movesSinceFull++;
  return true;
}

}  // namespace

IntensityWorkspace::IntensityWorkspace() = default;
IntensityWorkspace::~IntensityWorkspace() = default;

int PrepareIntensityWorkspace(IntensityWorkspace *workspace, const HKLList *list,
                              const Crystal *crystal, int radiationType) {
  try {
    if (!workspace->data) workspace->data = std::make_unique<IntensityWorkspaceData>();
    workspace->data->width = ResolveWidth(workspace->vectorWidth);
    Prepare(workspace->data.get(), *list, *crystal, radiationType, workspace->useSymmetry != 0,
            workspace->incremental != 0);
  } catch (const std::bad_alloc &) {
    workspace->data.reset();
    Message(MESSAGE_ERROR, "caculating intensities, not enough memory!\n");
    return 0;
  }
  return 1;
}

int RefreshIntensityWorkspace(IntensityWorkspace *workspace, const Crystal *crystal) {
  Data *d = workspace->data.get();
  if (!d || crystal->cellAtoms.size() != d->cellAtomCount) return 0;
  Refresh(d, *crystal);
  return 1;
}

int CalculateIntensityFast(IntensityWorkspace *workspace, HKLList *list) {
  Data *d = workspace->data.get();
  if (!d || list->items.size() != static_cast<size_t>(d->reflections)) return 0;
  Evaluate(d, list);
  return 1;
}

int CalculateIntensityMoves(IntensityWorkspace *workspace, const Crystal *crystal,
                            HKLList *list) {
  Data *d = workspace->data.get();
  if (!d || crystal->cellAtoms.size() != d->cellAtomCount ||
      list->items.size() != static_cast<size_t>(d->reflections))
    return 0;
  try {
    if (!UpdateMovedSums(d, *crystal)) return 0;
    Finish(*d, list);
    return 1;
  } catch (const std::bad_alloc &) {
    // The cache of atom parts could not grow: full sums do without it.
    d->sumsValid = false;
    return 0;
  }
}

int GroupBraggFactorOfMoves(IntensityWorkspace *workspace, const Crystal *crystal,
                            double *factor) {
  Data *d = workspace->data.get();
  if (!d || !d->factorReady || crystal->cellAtoms.size() != d->cellAtomCount) return 0;
  try {
    if (!UpdateMovedSums(d, *crystal)) return 0;
  } catch (const std::bad_alloc &) {
    d->sumsValid = false;
    return 0;
  }
  *factor = FactorOfSums(d);
  return 1;
}

int RefreshIntensityWeights(IntensityWorkspace *workspace, const HKLList *list) {
  Data *d = workspace->data.get();
  if (!d || list->items.size() != static_cast<size_t>(d->reflections)) return 0;
  if (d->factorReady) PrepareFactor(d, *list);
  return 1;
}

int SyncIntensityList(IntensityWorkspace *workspace, HKLList *list) {
  Data *d = workspace->data.get();
  if (!d || !d->sumsValid || list->items.size() != static_cast<size_t>(d->reflections)) return 0;
  Finish(*d, list);
  return 1;
}

int IntensityWorkspaceShortcuts(const IntensityWorkspace *workspace) {
  const Data *d = workspace->data.get();
  if (!d) return 0;
  return (d->centred ? INTENSITY_CENTRING : 0) | (d->centric ? INTENSITY_CENTRIC : 0) |
         (d->tables ? INTENSITY_TABLES : 0);
}

int IntensityVectorWidth() { return WidestWidth(); }

void CalculateIntensity(HKLList *list, const Crystal *crystal, int radiationType) {
  // This thread's scratch, reused from call to call: it only ever grows.
  thread_local IntensityWorkspaceData scratch;
  try {
    scratch.width = WidestWidth();
    Prepare(&scratch, *list, *crystal, radiationType, false, false);
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "caculating intensities, not enough memory!\n");
    return;
  }
  Evaluate(&scratch, list);
}

void VectorSinCos(int count, const double *angle, double *sine, double *cosine, int width) {
  SinCosFor(ResolveWidth(width))(count, angle, sine, cosine);
}
