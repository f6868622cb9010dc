// SPDX-License-Identifier: BSD-3-Clause
// Bond lengths: the minimum distances between the elements of a compound,
// the distances of a model's atoms and their check against the minima.
#ifndef PULVINA_BONDS_H
#define PULVINA_BONDS_H

#include <array>
#include <vector>

#include "crystal.h"
#include "element.h"
#include "model.h"

void InitializeBondLengths(BondLengths *table);
void FreeBondLengths(BondLengths *table);
// The default minimum distance (angstrom) between atoms of two elements, by
// their oxidation states, from the ionic radii (0.001 angstrom):
// - cation and anion, or an element without oxidation state: 0.85 of the
//   radius sum; bonds of highly charged cations (W-O, Ti-O) are that much
//   shorter than the sum;
// - two anions: 0.80 of the sum; the edges of carbonate triangles and
//   sulfate tetrahedra are that short;
// - two cations: 1/sqrt(3) of the radius sum plus twice the smallest anion
//   radius of the compound (smallestAnion; 0 when there is none, and then
//   0.85 of the sum): two cations bonded to one anion at the narrowest angle
//   of close packings (70.5 degrees, cubes sharing faces, tetrahedra sharing
//   edges) are that far apart;
// - hydrogen that is no hydride, with anything: 0.85 of the covalent radius
//   sum, since its bonds are covalent;
// - B, C, N, Si, P and S in their high oxidation states with oxygen (and B
//   and Si with nitrogen): a table of covalent minima, a little below the
//   shortest published bonds of the pair, since these bonds are shorter
//   than any fraction of the ionic radius sum that suits the others.
// The table of published structures in the tests holds the evidence.
double DefaultBondMinimum(const Element *first, const Element *second, double smallestAnion);
// The smallest ionic radius (0.001 angstrom) of the compound's anions; 0
// when it has none.
double SmallestAnionRadius(const Compound *compound);
// The minimum between the sites two elements of the compound stand for: the
// default minimum of the pair, or for members of mixed sites the mean over
// the sites' members weighted by occupancy.
double SiteBondMinimum(const Compound *compound, const Element *first, const Element *second);
void UpdateBondLengthConstraints(BondLengths *table, const Compound *compound);
void GenerateBondLengths(BondLengths *table, Crystal *crystal, const CrystalModel *model,
                         double xl, double xu, double yl, double yu, double zl, double zu);
[[nodiscard]] int CheckBondLengthValidity(BondLengths *measured, const BondLengths *minima, double factor);

// ---- contacts of a model's sites: the check before the searches and the
// penalty during them. A site is an atom of the model that holds its own
// coordinates (the later members of a mixed site are no sites). Minima are
// the job's table times factor (1 - tolerance / 100), so that a structure
// the bond check accepts has no contact too short.

// The minimum between the sites of atoms i and k of a model, at [i * n + k]
// for its n atoms: the job's entry for their elements (either order) times
// factor; 0 where the table has none or the user switched it off.
std::vector<double> ModelContactMinima(const CrystalModel *model, const BondLengths *minima,
                                       double factor);

// Why a model cannot hold a structure whose contacts keep their minima.
enum BondPruneReason {
  PRUNE_KEPT = 0,
  PRUNE_FIXED_ATOMS = 1,  // its sites without a free coordinate are too close already
  PRUNE_NO_ROOM = 2,      // a free site finds no point of its position far enough from them
  PRUNE_REASONS = 3
};
// Judges a model before any search. The sites whose coordinates are all
// constant or fixed are checked against each other and their images. Each
// other site samples its free coordinates on a grid over the whole cell and
// needs one grid point whose distances to those fixed sites keep the minima
// less the grid's half diagonal (a point within that of every spot of the
// position), and to its own images less the whole diagonal (their distance
// moves twice as fast); images closer than the diagonal might be the site
// itself on a special spot and are let be. So no model that could hold a
// valid structure is dropped. Free sites are not judged against each other.
int BondPruneModel(const CrystalModel *model, const Crystal *crystal,
                   const std::vector<double> &minima);

// A search's penalty: the job's minima, the factor they are taken by, the
// weight of the bond-valence term within the penalty, and the weight of the
// penalty in the cost R + weight x P. No minima or a weight of 0: the cost
// is R.
struct BondPenaltySettings {
  const BondLengths *minima = nullptr;
  double factor = 1.0;
  double weight = 0.0;
  double valence = 0.0;
  bool on() const { return minima && weight > 0; }
};

// The bond-valence parameter R0 (angstrom, b = 0.37 A) of a cation and an
// anion by their elements and oxidation states, or 0 when the table has
// none.
double BondValenceR0(const Element *cation, const Element *anion);

// The penalty of a search's cost, two terms over the sites of the model:
// - anti-bump: the sum over sites i, and over the atoms j around them closer
//   than their minimum d0, of ((d0 - d) / d0)^2;
// - bond valence (when settings.valence > 0 and every cation-anion pair of
//   the model has an R0): over sites i, settings.valence x ((V - v) / v)^2,
//   V the bond-valence sum of the site's bonds (each exp((R0 - d) / b), out
//   to where that is a hundredth), v the
//   site's oxidation state, both weighed by occupancy on a mixed site. It
//   pulls an anion towards cations and tells a cation's site by its
//   coordination, which the scattering hardly does for neighbours such as
//   Al and Si.
// Both are divided by the number of sites. Prepared once per search on the
// crystal the model was put into (the cell laid out atom by atom, as a
// rebuild does); each call then sums again only the contacts of the sites
// that moved since the last one: a site's row, and its column from the row
// by symmetry (mult(k) T[k][i] = mult(i) T[i][k]).
class BondPenalty {
 public:
  // False (and a penalty of 0 ever after) when the cell is none, the layout
  // is not a rebuild's or no pair has a minimum.
  bool Prepare(const CrystalModel *model, const Crystal *crystal,
               const BondPenaltySettings &settings);
  double operator()(const Crystal &crystal);
  // The bond-valence sum of an atom of the model (0 without the term), as
  // of the last call.
  double ValenceSum(size_t atom) const;

 private:
  void Row(const Crystal &crystal, size_t i);
  bool ready_ = false;
  size_t n_ = 0;
  TransMatrix frame_;
  double spacing_[3] = {0, 0, 0};
  std::vector<size_t> sites_, first_, count_;
  std::vector<double> minima_, terms_;  // n x n
  // The bond-valence term: per pair of atoms the prefactor of exp(-d / b)
  // (0: no bond) and the cut-off; per atom its valence; per pair the
  // valence of row i's bonds to k's atoms.
  double valence_ = 0;
  std::vector<double> prefactor_, reach_, expected_, bonds_;
  std::vector<std::array<double, 3>> key_;
  std::vector<size_t> moved_;
  bool known_ = false;
};

// The penalty of a model at its current parameters (a rebuild of crystal).
double ModelBondPenalty(const CrystalModel *model, Crystal *crystal,
                        const BondPenaltySettings &settings);

#endif
