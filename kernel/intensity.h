// SPDX-License-Identifier: BSD-3-Clause
// Calculated intensities of a reflection list: the plain calculation, and
// the workspace the searches evaluate with.
#ifndef PULVINA_INTENSITY_H
#define PULVINA_INTENSITY_H

#include <memory>

#include "crystal.h"
#include "profile.h"

// radiationType: 0 X-ray, 1 neutron, 2 electron; any value but 1 uses the
// X-ray factors. Allocates nothing once a thread has seen a problem of this
// size.
void CalculateIntensity(HKLList *list, const Crystal *crystal, int radiationType);

// The evaluation path of the searches. A workspace is prepared once per
// model (list, crystal layout, radiation); each evaluation then refreshes
// the cell atoms' coordinates in place and computes the same fields as
// CalculateIntensity without allocating.
//
// With useSymmetry set, the workspace looks for the layout that a model
// rebuild produces: the cell atoms are, asymmetric-unit atom by atom, the
// images of crystal.atoms under every matrix of its position's
// fullCoordinates, in order. When every cell atom checks out, atoms related
// by a centring translation are summed once and multiplied by the centring
// sum, and when the group has its inversion centre at the origin each pair
// of atoms related by it is summed as twice the cosine of one of them. Any
// other layout is summed atom by atom.
struct IntensityWorkspaceData;
struct IntensityWorkspace {
  int useSymmetry = 1;
  // 0: the widest vector path the processor has; 1, 2, 4 or 8 ask for that
  // many doubles a vector, run on narrower instructions where the processor
  // lacks the wider ones (the portable paths, for checks).
  int vectorWidth = 0;
  // 1: after a full evaluation, moves of single atoms update the sums by
  // the moved atoms' parts (CalculateIntensityMoves).
  int incremental = 1;
  std::unique_ptr<IntensityWorkspaceData> data;
  IntensityWorkspace();
  ~IntensityWorkspace();
  IntensityWorkspace(const IntensityWorkspace &) = delete;
  IntensityWorkspace &operator=(const IntensityWorkspace &) = delete;
};

// Shortcuts a prepared workspace takes (bits of IntensityWorkspaceShortcuts).
enum IntensityShortcut {
  INTENSITY_CENTRING = 1,  // centring translations factored out
  INTENSITY_CENTRIC = 2,   // inversion pairs summed as cosines
  INTENSITY_TABLES = 4     // phase factors from per-axis tables
};

// Returns 1, or 0 when memory ran out (the workspace is then empty).
[[nodiscard]] int PrepareIntensityWorkspace(IntensityWorkspace *workspace, const HKLList *list,
                              const Crystal *crystal, int radiationType);
// Copies coordinates and occupancies of the cell atoms; 0 when the crystal
// no longer has the cell-atom count the workspace was prepared for.
[[nodiscard]] int RefreshIntensityWorkspace(IntensityWorkspace *workspace, const Crystal *crystal);
// Fills fReal, fImag, fSquared, intensity and iCalc of every item from the
// last refreshed coordinates; 0 (list untouched) when the list is not the
// length the workspace was prepared for.
[[nodiscard]] int CalculateIntensityFast(IntensityWorkspace *workspace, HKLList *list);
// The same fields after some asymmetric-unit atoms of the crystal moved since
// the last evaluation (a refresh happens inside): only the moved atoms'
// orbits are summed again. Returns 0, with the list untouched, when that is
// not possible or not cheaper (too many atoms moved, no evaluation to start
// from, a full sum due to keep rounding from building up, a layout that is
// not the images of the atoms); the caller then refreshes and evaluates in
// full. The results agree with a full evaluation to rounding.
[[nodiscard]] int CalculateIntensityMoves(IntensityWorkspace *workspace, const Crystal *crystal,
                            HKLList *list);
// The searches' step after a move, when the factor is the grouped Bragg
// factor of the workspace's own list: the same update, then the factor
// straight from the structure factors, leaving the list's calculated fields
// as the last full evaluation wrote them (SyncIntensityList brings them up
// to date). Returns 0, factor untouched, as CalculateIntensityMoves does.
[[nodiscard]] int GroupBraggFactorOfMoves(IntensityWorkspace *workspace, const Crystal *crystal,
                            double *factor);
// After the list's per-reflection factors changed (overall B, texture): the
// workspace takes their new weights. The structure factors do not depend on
// them, so the sums stay valid; 0 when the list is not the workspace's.
[[nodiscard]] int RefreshIntensityWeights(IntensityWorkspace *workspace, const HKLList *list);
// Writes the calculated fields of the list from the sums as they stand.
[[nodiscard]] int SyncIntensityList(IntensityWorkspace *workspace, HKLList *list);
int IntensityWorkspaceShortcuts(const IntensityWorkspace *workspace);
// Width in doubles of the widest vector path this processor runs.
int IntensityVectorWidth();

// sin and cos of count angles (radians) with the vector path of the given
// width (0: the widest available, else as for IntensityWorkspace); within two units in the last
// place of std::sin and std::cos for |angle| < 1e7.
void VectorSinCos(int count, const double *angle, double *sine, double *cosine, int width = 0);

#endif
