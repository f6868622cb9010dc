// SPDX-License-Identifier: BSD-3-Clause
// Bond lengths: the minimum distances between the elements of a compound,
// the distances of a model's atoms and their check against the minima.
#ifndef PULVINA_BONDS_H
#define PULVINA_BONDS_H

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

#endif
