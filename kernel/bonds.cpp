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
