// SPDX-License-Identifier: BSD-3-Clause
#include "bonds.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "evaluation.h"

void InitializeBondLengths(BondLengths *table) {
  table->count = 0;
  table->items.clear();
}

void FreeBondLengths(BondLengths *table) {
  std::vector<BondLength>().swap(table->items);
  table->count = 0;
}

namespace {

// Fractions of the radius sums that the default minima take; see
// DefaultBondMinimum.
constexpr double kBondFraction = 0.85;
constexpr double kAnionAnionFraction = 0.80;
constexpr double kCationCationFraction = 0.5773502691896258;  // 1 / sqrt(3)

bool IsProton(const Element *e) { return e->atomicNumber == 1 && e->oxidation >= 0; }

// Bonds of light elements and small, highly charged cations to oxygen and
// nitrogen are largely covalent: far shorter than any fraction of the ionic
// radius sum that suits the other pairs, and held within a narrow range. Each
// minimum lies a few hundredths of an angstrom below the shortest bond of the
// pair in published inorganic structures (ranges from the structures of the
// tests and the bond-valence literature):
struct CovalentMinimum {
  int cation, oxidation, anion;
  double distance;  // angstrom
};
constexpr CovalentMinimum kCovalentMinima[] = {
    {5, 3, 8, 1.30},   // B-O: BO3 triangles 1.34-1.40, BO4 tetrahedra 1.43-1.52
    {5, 3, 7, 1.38},   // B-N: hexagonal BN 1.446, cubic 1.57
    {6, 4, 8, 1.22},   // C-O: carbonates 1.26-1.31
    {7, 5, 8, 1.18},   // N-O: nitrates 1.22-1.27
    {14, 4, 8, 1.53},  // Si-O: silicates 1.57-1.70
    {14, 4, 7, 1.64},  // Si-N: nitrides 1.70-1.77
    {15, 5, 8, 1.45},  // P-O: phosphates 1.49-1.62
    {16, 6, 8, 1.39},  // S-O: sulfates 1.43-1.52
};

// The covalent minimum of a pair, or 0 when the table has none. An element
// without oxidation state matches any: a job that leaves them out still
// means these bonds.
double CovalentBondMinimum(const Element *first, const Element *second) {
  for (const CovalentMinimum &c : kCovalentMinima)
    for (int order = 0; order < 2; ++order) {
      const Element *cation = order ? second : first, *anion = order ? first : second;
      if (cation->atomicNumber == c.cation && anion->atomicNumber == c.anion &&
          (cation->oxidation == c.oxidation || cation->oxidation == 0) && anion->oxidation <= 0)
        return c.distance;
    }
  return 0;
}

}  // namespace

double DefaultBondMinimum(const Element *first, const Element *second, double smallestAnion) {
  if (const double covalent = CovalentBondMinimum(first, second)) return covalent;
  if (IsProton(first) || IsProton(second))
    return kBondFraction * (first->covalentRadius + second->covalentRadius) / 1000.0;
  const double sum = first->ionRadius + second->ionRadius;
  if (first->oxidation < 0 && second->oxidation < 0) return kAnionAnionFraction * sum / 1000.0;
  if (first->oxidation > 0 && second->oxidation > 0 && smallestAnion > 0)
    return kCationCationFraction * (sum + 2 * smallestAnion) / 1000.0;
  return kBondFraction * sum / 1000.0;
}

double SmallestAnionRadius(const Compound *compound) {
  double smallest = 0;
  auto take = [&](const Element &e) {
    if (e.oxidation < 0 && (smallest == 0 || e.ionRadius < smallest)) smallest = e.ionRadius;
  };
  for (const Element &e : compound->entries) {
    if (e.atomicNumber > 0) take(e);
    for (const Element &m : e.members) take(m);
  }
  return smallest;
}

namespace {

// The occupants of the site an element stands for, with their shares: the
// element alone, or every member of its mixed site weighted by occupancy.
struct Occupant {
  const Element *element;
  double share;
};

std::vector<Occupant> SiteOccupants(const Compound *compound, const Element *element) {
  for (const Element &e : compound->entries)
    for (const Element &m : e.members)
      if (&m == element) {
        double total = 0;
        for (const Element &o : e.members) total += o.fraction;
        std::vector<Occupant> out;
        for (const Element &o : e.members)
          out.push_back({&o, total > 0 ? o.fraction / total : 1.0 / e.members.size()});
        return out;
      }
  return {{element, 1.0}};
}

}  // namespace

namespace {

// Two anions bonded to one small cation of a covalent group (the oxygens of
// a nitrate or carbonate triangle, the nitrogens around boron in BN) sit
// only sqrt(3) (triangle) or 1.63 (tetrahedron) bond lengths apart, closer
// than the anion pair's own rule allows. Their minimum is kGroupEdge bond
// minima, the edge of a group bent to an angle of 100 degrees; 0 when the
// compound has no cation bonding both covalently.
constexpr double kGroupEdge = 1.532;  // 2 sin 50 degrees

double GroupEdgeMinimum(const Compound *compound, const Element *a, const Element *b) {
  if (a->oxidation > 0 || b->oxidation > 0) return 0;
  double edge = 0;
  auto take = [&](const Element &x) {
    const double da = CovalentBondMinimum(&x, a), db = CovalentBondMinimum(&x, b);
    if (da > 0 && db > 0 && (edge == 0 || kGroupEdge * std::min(da, db) < edge))
      edge = kGroupEdge * std::min(da, db);
  };
  for (const Element &e : compound->entries) {
    if (e.atomicNumber > 0) take(e);
    for (const Element &m : e.members) take(m);
  }
  return edge;
}

}  // namespace

double SiteBondMinimum(const Compound *compound, const Element *first, const Element *second) {
  // A mixed site is one atom whose bonds follow the mean radius of its
  // occupants (Vegard's rule): the occupancy-weighted mean of the members'
  // minima keeps the margin a pure site has below its bonds. The smallest
  // member minimum would let a site mostly of a large cation come as close
  // as its rarest small one; the largest would reject the common case of a
  // little of a large cation in a small one's site.
  const double anion = SmallestAnionRadius(compound);
  double sum = 0;
  for (const Occupant &a : SiteOccupants(compound, first))
    for (const Occupant &b : SiteOccupants(compound, second)) {
      double minimum = DefaultBondMinimum(a.element, b.element, anion);
      const double edge = GroupEdgeMinimum(compound, a.element, b.element);
      if (edge > 0 && edge < minimum) minimum = edge;
      sum += a.share * b.share * minimum;
    }
  return sum;
}

void UpdateBondLengthConstraints(BondLengths *table, const Compound *compound) {
  FreeBondLengths(table);
  std::vector<const Element *> elements;
  for (const Element &e : compound->entries) {
    if (e.atomicNumber > 0 && elements.size() < 64) elements.push_back(&e);
    for (const Element &m : e.members)
      if (elements.size() < 64) elements.push_back(&m);
  }
  for (size_t i = 0; i < elements.size(); ++i)
    for (size_t j = i; j < elements.size(); ++j) {
      BondLength b;
      b.first = elements[i];
      b.second = elements[j];
      b.distance = SiteBondMinimum(compound, elements[i], elements[j]);
      table->items.push_back(b);
    }
  table->count = static_cast<int32_t>(table->items.size());
}

namespace {

struct Image {
  const Atom *atom;
  size_t source;  // the asymmetric-unit atom it is an image of
  double x, y, z;  // Cartesian, angstrom
};

bool SamePair(const BondLength &b, const Element *p, const Element *q) {
  return (b.first == p && b.second == q) || (b.first == q && b.second == p);
}

bool SameKind(const Element *a, const Element *b) {
  return a->atomicNumber == b->atomicNumber && a->oxidation == b->oxidation;
}

}  // namespace

void GenerateBondLengths(BondLengths *table, Crystal *crystal, const CrystalModel *model,
                         double xl, double xu, double yl, double yu, double zl, double zu) {
  UpdateCrystalByModel(crystal, model, nullptr, 1);
  TransMatrix m;
  if (!TransMatrixFToC(&m, crystal->a, crystal->b, crystal->c, crystal->alpha, crystal->beta,
                       crystal->gamma))
    return;
  FreeBondLengths(table);
  // Neighbours are listed up to three radius sums, and always past the
  // pair's default minimum, which for small cations lies beyond that.
  double anion = 0;
  for (const Atom &a : crystal->atoms)
    if (a.element->oxidation < 0 && (anion == 0 || a.element->ionRadius < anion))
      anion = a.element->ionRadius;
  // The rebuild lays the cell out atom by atom of the asymmetric unit, one
  // image per matrix of its position: that tells which atom each cell atom
  // is an image of.
  std::vector<size_t> source;
  source.reserve(crystal->cellAtoms.size());
  for (size_t i = 0; i < crystal->atoms.size(); ++i)
    if (crystal->atoms[i].position)
      source.insert(source.end(), crystal->atoms[i].position->fullCoordinates.size(), i);
  const bool traced = source.size() == crystal->cellAtoms.size();
  // A mixed site is one atom: its distances are those of its first member,
  // listed once; the other members are neither measured from nor to.
  auto sharing = [&](size_t i) {
    return i < model->atoms.size() && model->atoms[i].site >= 0;
  };
  std::vector<Image> images;
  for (size_t k = 0; k < crystal->cellAtoms.size(); ++k) {
    if (traced && sharing(source[k])) continue;
    const Atom &atom = crystal->cellAtoms[k];
    for (int tx = static_cast<int>(std::floor(xl)); tx <= static_cast<int>(std::ceil(xu)); ++tx)
      for (int ty = static_cast<int>(std::floor(yl)); ty <= static_cast<int>(std::ceil(yu)); ++ty)
        for (int tz = static_cast<int>(std::floor(zl)); tz <= static_cast<int>(std::ceil(zu));
             ++tz) {
          const double X = atom.x + tx, Y = atom.y + ty, Z = atom.z + tz;
          if (X < xl || X > xu || Y < yl || Y > yu || Z < zl || Z > zu) continue;
          Image image{&atom, traced ? source[k] : SIZE_MAX, 0, 0, 0};
          TransMatrixMultiply(&m, X, Y, Z, &image.x, &image.y, &image.z);
          images.push_back(image);
        }
  }
  for (size_t i = 0; i < crystal->atoms.size(); ++i) {
    if (traced && sharing(i)) continue;
    const Atom &a = crystal->atoms[i];
    double ax, ay, az;
    TransMatrixMultiply(&m, a.x, a.y, a.z, &ax, &ay, &az);
    for (const Image &b : images) {
      const double d = std::sqrt((ax - b.x) * (ax - b.x) + (ay - b.y) * (ay - b.y) +
                                 (az - b.z) * (az - b.z));
      const Atom &batom = *b.atom;
      // An atom meets itself at distance 0. Another atom of the same
      // element on the same spot is no image of it: that is a clash.
      const bool self = traced ? b.source == i
                               : batom.element == a.element && batom.position &&
                                     a.position &&
                                     batom.position->wyckoffLetter == a.position->wyckoffLetter;
      if (d < 1e-6 && self) continue;
      // Members of one mixed site share their point by design; that is no
      // bond. They are different elements: one element twice is two atoms.
      if (d < 1e-6 && a.element != batom.element && a.element->fraction > 0 &&
          batom.element->fraction > 0 && batom.position == a.position)
        continue;
      const double reach =
          std::max((a.element->ionRadius + batom.element->ionRadius) * 0.003,
                   1.5 * DefaultBondMinimum(a.element, batom.element, anion));
      if (!(d < reach)) continue;
      bool known = false;
      for (const BondLength &e : table->items)
        if (std::fabs(e.distance - d) < 1e-6 && SamePair(e, a.element, batom.element)) {
          known = true;
          break;
        }
      if (known) continue;
      BondLength entry;
      entry.first = a.element;
      entry.second = batom.element;
      entry.distance = d;
      table->items.push_back(entry);
    }
  }
  table->count = static_cast<int32_t>(table->items.size());
}

int CheckBondLengthValidity(BondLengths *measured, const BondLengths *minima, double factor) {
  int result = 1;
  for (BondLength &b : measured->items) {
    b.valid = 1;
    for (const BondLength &min : minima->items) {
      // A pair is stored in the order first met; the minimum may list it the
      // other way round and still applies.
      bool match = (SameKind(min.first, b.first) && SameKind(min.second, b.second)) ||
                   (SameKind(min.first, b.second) && SameKind(min.second, b.first));
      if (!match) continue;
      // A minimum the user switched off leaves its pair unchecked.
      if (min.valid && min.distance * factor > b.distance) {
        b.valid = 0;
        result = 0;
      }
      break;
    }
  }
  return result;
}

// ---- contacts of a model's sites -------------------------------------------

namespace {

// The cell's Cartesian frame and the spacing of its faces, which bounds the
// lattice translations that can bring two points within a distance.
bool CellFrame(const Crystal &c, TransMatrix *m, double spacing[3]) {
  return TransMatrixFToC(m, c.a, c.b, c.c, c.alpha, c.beta, c.gamma) &&
         CellFaceSpacings(*m, spacing);
}

// Calls f(d) for every lattice image of a fractional difference closer than
// reach (angstrom).
template <typename F>
void Contacts(const TransMatrix &m, const double spacing[3], double dx, double dy, double dz,
              double reach, F f) {
  double u[3] = {dx - std::floor(dx + 0.5), dy - std::floor(dy + 0.5), dz - std::floor(dz + 0.5)};
  int lo[3], hi[3];
  for (int a = 0; a < 3; ++a) {
    lo[a] = static_cast<int>(std::ceil(-reach / spacing[a] - u[a]));
    hi[a] = static_cast<int>(std::floor(reach / spacing[a] - u[a]));
  }
  const double reach2 = reach * reach;
  for (int tx = lo[0]; tx <= hi[0]; ++tx)
    for (int ty = lo[1]; ty <= hi[1]; ++ty)
      for (int tz = lo[2]; tz <= hi[2]; ++tz) {
        const double x = u[0] + tx, y = u[1] + ty, z = u[2] + tz;
        const double cx = m(0, 0) * x + m(0, 1) * y + m(0, 2) * z;
        const double cy = m(1, 0) * x + m(1, 1) * y + m(1, 2) * z;
        const double cz = m(2, 0) * x + m(2, 1) * y + m(2, 2) * z;
        const double d2 = cx * cx + cy * cy + cz * cz;
        if (d2 < reach2) f(std::sqrt(d2));
      }
}

// An atom meets its own images at distance 0 on a special spot: no contact.
constexpr double kSameSpot = 1e-6;

}  // namespace

std::vector<double> ModelContactMinima(const CrystalModel *model, const BondLengths *minima,
                                       double factor) {
  const size_t n = model->atoms.size();
  std::vector<double> out(n * n, 0.0);
  for (size_t i = 0; i < n; ++i)
    for (size_t k = 0; k < n; ++k) {
      const Element *p = model->atoms[i].element, *q = model->atoms[k].element;
      for (const BondLength &min : minima->items) {
        if (!((SameKind(min.first, p) && SameKind(min.second, q)) ||
              (SameKind(min.first, q) && SameKind(min.second, p))))
          continue;
        if (min.valid) out[i * n + k] = min.distance * factor;
        break;
      }
    }
  return out;
}

int BondPruneModel(const CrystalModel *model, const Crystal *crystal,
                   const std::vector<double> &minima) {
  TransMatrix m;
  double spacing[3];
  const size_t n = model->atoms.size();
  if (minima.size() != n * n || !CellFrame(*crystal, &m, spacing)) return PRUNE_KEPT;
  // The images of the sites that cannot move.
  struct Point {
    double x, y, z;
  };
  std::vector<std::vector<Point>> fixedImages(n);
  std::vector<size_t> fixedSites, freeSites;
  for (size_t i = 0; i < n; ++i) {
    const AtomModel &a = model->atoms[i];
    if (a.site >= 0 || !a.position) continue;
    bool moves = false;
    for (int s = 0; s < 3; ++s) moves = moves || (a.para[s].index >= 0 && !a.para[s].fixed);
    if (moves) {
      freeSites.push_back(i);
      continue;
    }
    fixedSites.push_back(i);
    Atom atom;
    SetAtomValues(&atom, &a, nullptr);
    for (const Coordinate &c : a.position->fullCoordinates) {
      Point p;
      CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &p.x, &p.y, &p.z);
      fixedImages[i].push_back(p);
    }
  }
  for (size_t i : fixedSites) {
    Atom atom;
    SetAtomValues(&atom, &model->atoms[i], nullptr);
    for (size_t k : fixedSites) {
      const double d0 = minima[i * n + k];
      if (!(d0 > 0)) continue;
      bool clash = false;
      for (const Point &p : fixedImages[k])
        Contacts(m, spacing, p.x - atom.x, p.y - atom.y, p.z - atom.z, d0, [&](double d) {
          if (!(k == i && d < kSameSpot)) clash = true;
        });
      if (clash) return PRUNE_FIXED_ATOMS;
    }
  }
  // Grids of at most this many points per site; at least this fine
  // (angstrom) along each free coordinate.
  constexpr double kGridPoints = 4096, kFinest = 0.05;
  for (size_t i : freeSites) {
    const AtomModel &a = model->atoms[i];
    const double(*pm)[4] = a.position->coordinates.empty() ? nullptr
                                                           : a.position->coordinates.front().matrix;
    // The free slots, the length (angstrom) a step of 1 in each moves the
    // atom, and the grid along it.
    int slots[3], nf = 0;
    double length[3], product = 1;
    for (int s = 0; s < 3; ++s) {
      if (a.para[s].index < 0 || a.para[s].fixed) continue;
      double col[3] = {0, 0, 0};
      for (int r = 0; r < 3; ++r) col[r] = pm ? pm[r][s] : (r == s ? 1.0 : 0.0);
      double cx, cy, cz;
      TransMatrixMultiply(&m, col[0], col[1], col[2], &cx, &cy, &cz);
      length[nf] = std::sqrt(cx * cx + cy * cy + cz * cz);
      if (!(length[nf] > 0)) length[nf] = 1;
      product *= length[nf];
      slots[nf++] = s;
    }
    const double step = std::max(kFinest, std::pow(product / kGridPoints, 1.0 / nf));
    int count[3] = {1, 1, 1};
    double halfDiagonal = 0;
    for (int v = 0; v < nf; ++v) {
      count[v] = std::max(1, static_cast<int>(std::ceil(length[v] / step)));
      halfDiagonal += 0.5 * length[v] / count[v];  // a bound for any cell shape
    }
    double values[3] = {a.para[0].value, a.para[1].value, a.para[2].value};
    int g[3] = {0, 0, 0};
    bool room = false;
    while (!room) {
      for (int v = 0; v < nf; ++v) values[slots[v]] = static_cast<double>(g[v]) / count[v];
      double x = values[0], y = values[1], z = values[2];
      if (pm) CoordMatrixMultiply(pm, values[0], values[1], values[2], &x, &y, &z);
      bool ok = true;
      for (size_t k : fixedSites) {
        const double d0 = minima[i * n + k] - halfDiagonal;
        if (!(d0 > 0)) continue;
        for (const Point &p : fixedImages[k]) {
          Contacts(m, spacing, p.x - x, p.y - y, p.z - z, d0, [&](double) { ok = false; });
          if (!ok) break;
        }
        if (!ok) break;
      }
      const double own = minima[i * n + i] - 2 * halfDiagonal;
      if (ok && own > 2 * halfDiagonal + kSameSpot)
        for (const Coordinate &c : a.position->fullCoordinates) {
          double px, py, pz;
          CoordMatrixMultiply(c.matrix, x, y, z, &px, &py, &pz);
          Contacts(m, spacing, px - x, py - y, pz - z, own, [&](double d) {
            if (d >= 2 * halfDiagonal + kSameSpot) ok = false;
          });
          if (!ok) break;
        }
      room = ok;
      // The next grid point, odometer fashion; past the last one, none.
      int v = 0;
      while (v < nf && ++g[v] >= count[v]) g[v++] = 0;
      if (v == nf) break;
    }
    if (!room) return PRUNE_NO_ROOM;
  }
  return PRUNE_KEPT;
}

namespace {

// Bond-valence parameters R0 for b = 0.37 A: I. D. Brown and D. Altermatt,
// Acta Cryst. B41 (1985) 244-247, and N. E. Brese and M. O'Keeffe, Acta
// Cryst. B47 (1991) 192-197. Only cations and anions with a state of their
// own: a pair the table lacks turns the valence term off for the model.
struct ValenceParameter {
  int cation, oxidation, anion;
  double r0;
};
constexpr ValenceParameter kValenceParameters[] = {
    // oxides
    {3, 1, 8, 1.466}, {11, 1, 8, 1.803}, {19, 1, 8, 2.132}, {37, 1, 8, 2.263},
    {55, 1, 8, 2.417}, {47, 1, 8, 1.842}, {29, 1, 8, 1.610}, {81, 1, 8, 2.172},
    {4, 2, 8, 1.381}, {12, 2, 8, 1.693}, {20, 2, 8, 1.967}, {38, 2, 8, 2.118},
    {56, 2, 8, 2.285}, {25, 2, 8, 1.790}, {26, 2, 8, 1.734}, {27, 2, 8, 1.692},
    {28, 2, 8, 1.654}, {29, 2, 8, 1.679}, {30, 2, 8, 1.704}, {48, 2, 8, 1.904},
    {80, 2, 8, 1.972}, {82, 2, 8, 2.112}, {50, 2, 8, 1.984},
    {5, 3, 8, 1.371}, {13, 3, 8, 1.651}, {31, 3, 8, 1.730}, {49, 3, 8, 1.902},
    {21, 3, 8, 1.849}, {39, 3, 8, 2.019}, {57, 3, 8, 2.172}, {58, 3, 8, 2.151},
    {60, 3, 8, 2.117}, {62, 3, 8, 2.088}, {64, 3, 8, 2.065}, {71, 3, 8, 1.971},
    {24, 3, 8, 1.724}, {26, 3, 8, 1.759}, {25, 3, 8, 1.760}, {23, 3, 8, 1.743},
    {22, 3, 8, 1.791}, {83, 3, 8, 2.094},
    {6, 4, 8, 1.390}, {14, 4, 8, 1.624}, {32, 4, 8, 1.748}, {50, 4, 8, 1.905},
    {22, 4, 8, 1.815}, {40, 4, 8, 1.937}, {72, 4, 8, 1.923}, {58, 4, 8, 2.028},
    {25, 4, 8, 1.753}, {23, 4, 8, 1.784},
    {7, 5, 8, 1.432}, {15, 5, 8, 1.617}, {33, 5, 8, 1.767}, {51, 5, 8, 1.942},
    {23, 5, 8, 1.803}, {41, 5, 8, 1.911}, {73, 5, 8, 1.920},
    {16, 6, 8, 1.624}, {34, 6, 8, 1.788}, {24, 6, 8, 1.794}, {42, 6, 8, 1.907},
    {74, 6, 8, 1.917},
    // fluorides
    {3, 1, 9, 1.360}, {11, 1, 9, 1.677}, {19, 1, 9, 1.992}, {12, 2, 9, 1.578},
    {20, 2, 9, 1.842}, {38, 2, 9, 2.019}, {56, 2, 9, 2.188}, {13, 3, 9, 1.545},
    {39, 3, 9, 1.904},
    // nitrides
    {14, 4, 7, 1.770}, {13, 3, 7, 1.790}, {5, 3, 7, 1.470},
    // chlorides
    {3, 1, 17, 1.910}, {11, 1, 17, 2.150}, {19, 1, 17, 2.519}, {55, 1, 17, 2.791},
    {47, 1, 17, 2.090}, {12, 2, 17, 2.080}, {20, 2, 17, 2.370}, {38, 2, 17, 2.510},
    {56, 2, 17, 2.690},
};
constexpr double kValenceB = 0.37;
// A bond counts out to R0 + b ln 100, where it carries a hundredth of the
// valence it has at R0: the step there is too small to trap a search, and a
// smooth fade-out would take from the many weak bonds of a large site.
constexpr double kValenceReach = 1.704;

// The occupants of a model's site: the atom and the later members of its
// mixed site, with their shares.
std::vector<std::pair<const Element *, double>> ModelSiteOccupants(const CrystalModel *model,
                                                                   size_t site) {
  std::vector<std::pair<const Element *, double>> out;
  double total = 0;
  for (size_t j = 0; j < model->atoms.size(); ++j)
    if (j == site || model->atoms[j].site == static_cast<int32_t>(site)) {
      out.emplace_back(model->atoms[j].element, model->atoms[j].element->fraction);
      total += model->atoms[j].element->fraction;
    }
  for (auto &o : out) o.second = total > 0 ? o.second / total : 1.0 / out.size();
  return out;
}

}  // namespace

double BondValenceR0(const Element *cation, const Element *anion) {
  for (const ValenceParameter &v : kValenceParameters)
    if (cation->atomicNumber == v.cation && cation->oxidation == v.oxidation &&
        anion->atomicNumber == v.anion && anion->oxidation < 0)
      return v.r0;
  return 0;
}

bool BondPenalty::Prepare(const CrystalModel *model, const Crystal *crystal,
                          const BondPenaltySettings &settings) {
  ready_ = known_ = false;
  n_ = model->atoms.size();
  if (!settings.minima || crystal->atoms.size() != n_ || !CellFrame(*crystal, &frame_, spacing_))
    return false;
  sites_.clear();
  first_.assign(n_, 0);
  count_.assign(n_, 0);
  size_t cells = 0;
  for (size_t i = 0; i < n_; ++i) {
    const Position *p = crystal->atoms[i].position;
    first_[i] = cells;
    count_[i] = p ? p->fullCoordinates.size() : 0;
    cells += count_[i];
    if (model->atoms[i].site < 0 && count_[i] > 0) sites_.push_back(i);
  }
  if (cells != crystal->cellAtoms.size() || sites_.empty()) return false;
  minima_ = ModelContactMinima(model, settings.minima, settings.factor);
  valence_ = 0;
  prefactor_.assign(n_ * n_, 0.0);
  reach_.assign(n_ * n_, 0.0);
  expected_.assign(n_, 0.0);
  bonds_.assign(n_ * n_, 0.0);
  if (settings.valence > 0) {
    bool complete = true;
    std::vector<std::vector<std::pair<const Element *, double>>> occupants(n_);
    for (size_t i : sites_) {
      occupants[i] = ModelSiteOccupants(model, i);
      for (const auto &o : occupants[i]) {
        if (o.first->oxidation == 0) complete = false;
        expected_[i] += o.second * std::abs(o.first->oxidation);
      }
    }
    for (size_t i : sites_)
      for (size_t k : sites_)
        for (const auto &p : occupants[i])
          for (const auto &q : occupants[k]) {
            if (p.first->oxidation * q.first->oxidation >= 0) continue;
            const bool cationFirst = p.first->oxidation > 0;
            const double r0 = BondValenceR0(cationFirst ? p.first : q.first,
                                            cationFirst ? q.first : p.first);
            if (r0 <= 0) {
              complete = false;
              continue;
            }
            prefactor_[i * n_ + k] += p.second * q.second * std::exp(r0 / kValenceB);
            reach_[i * n_ + k] = std::max(reach_[i * n_ + k], r0 + kValenceReach);
          }
    if (complete) valence_ = settings.valence;
  }
  bool any = valence_ > 0;
  for (double d : minima_) any = any || d > 0;
  if (!any) return false;
  terms_.assign(n_ * n_, 0.0);
  key_.assign(n_, {0, 0, 0});
  ready_ = true;
  return true;
}

void BondPenalty::Row(const Crystal &crystal, size_t i) {
  const Atom &a = crystal.atoms[i];
  for (size_t k : sites_) {
    const size_t ik = i * n_ + k;
    const double d0 = minima_[ik];
    const double reach = valence_ > 0 && prefactor_[ik] > 0 ? reach_[ik] : 0;
    double sum = 0, bonds = 0;
    if (d0 > 0 || reach > 0)
      for (size_t j = first_[k]; j < first_[k] + count_[k]; ++j) {
        const Atom &b = crystal.cellAtoms[j];
        Contacts(frame_, spacing_, b.x - a.x, b.y - a.y, b.z - a.z, std::max(d0, reach),
                 [&](double d) {
                   if (k == i && d < kSameSpot) return;
                   if (d < d0) {
                     const double r = (d0 - d) / d0;
                     sum += r * r;
                   }
                   if (d < reach) bonds += prefactor_[ik] * std::exp(-d / kValenceB);
                 });
      }
    terms_[ik] = sum;
    bonds_[ik] = bonds;
  }
}

double BondPenalty::ValenceSum(size_t atom) const {
  double v = 0;
  if (ready_ && atom < n_)
    for (size_t k : sites_) v += bonds_[atom * n_ + k];
  return v;
}

double BondPenalty::operator()(const Crystal &crystal) {
  if (!ready_ || crystal.atoms.size() != n_) return 0;
  moved_.clear();
  for (size_t i : sites_) {
    const Atom &a = crystal.atoms[i];
    if (known_ && a.x == key_[i][0] && a.y == key_[i][1] && a.z == key_[i][2]) continue;
    moved_.push_back(i);
    key_[i] = {a.x, a.y, a.z};
  }
  for (size_t i : moved_) Row(crystal, i);
  // The other sites' contacts with a moved one: by symmetry from its row.
  if (known_ && moved_.size() * 2 <= sites_.size()) {
    for (size_t k : moved_)
      for (size_t i : sites_) {
        if (std::find(moved_.begin(), moved_.end(), i) != moved_.end()) continue;
        const double ratio = static_cast<double>(count_[k]) / static_cast<double>(count_[i]);
        terms_[i * n_ + k] = terms_[k * n_ + i] * ratio;
        bonds_[i * n_ + k] = bonds_[k * n_ + i] * ratio;
      }
  } else if (known_) {
    for (size_t i : sites_)
      if (std::find(moved_.begin(), moved_.end(), i) == moved_.end()) Row(crystal, i);
  }
  known_ = true;
  double total = 0;
  for (size_t i : sites_) {
    for (size_t k : sites_) total += terms_[i * n_ + k];
    if (valence_ > 0) {
      const double off = (ValenceSum(i) - expected_[i]) / expected_[i];
      total += valence_ * off * off;
    }
  }
  return total / static_cast<double>(sites_.size());
}

double ModelBondPenalty(const CrystalModel *model, Crystal *crystal,
                        const BondPenaltySettings &settings) {
  UpdateCrystalByModel(crystal, model, nullptr, 1);
  BondPenalty penalty;
  if (!penalty.Prepare(model, crystal, settings)) return 0;
  return penalty(*crystal);
}
