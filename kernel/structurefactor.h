// SPDX-License-Identifier: BSD-3-Clause
// The structure factors of a prepared intensity workspace: the workspace's
// data, and the sums over its slots.
//
// F(hkl) = sum over cell atoms of w exp(2 pi i (hx + ky + lz)) is evaluated as
// sum over element kinds of f(hkl) times sum over that kind's atoms of
// o exp(2 pi i hx) exp(2 pi i ky) exp(2 pi i lz). The three factors come from
// per-axis tables filled once per evaluation with a vectorised sincos, so the
// inner loop is two complex products per term instead of a sine and a cosine.
#ifndef PULVINA_STRUCTUREFACTOR_H
#define PULVINA_STRUCTUREFACTOR_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "element.h"

// One slot of the sums: a cell atom standing for itself or, with symmetry,
// for its centring class or inversion pair.
struct IntensitySlot {
  int source;         // cell atom
  double multiplier;  // 2 for an inversion pair, else 1
};

struct IntensityWorkspaceData {
  struct Kind {
    const Element *element = nullptr;
    int column = -1;
    double b1 = 0, b2 = 0;  // neutron scattering length
    int start = 0;          // first slot
    int atoms = 0;          // slots in use
    int count = 0;          // slots, padded to a multiple of the vector width
  };
  int radiationType = 0;
  int width = 1;
  size_t cellAtomCount = 0;
  int reflections = 0;
  // Reflections in an order that keeps the table rows of h and k in use for
  // long runs; order[n] is the list index of the n-th.
  std::vector<int> order;
  std::vector<int32_t> hkl;      // 3 per reflection, in that order
  std::vector<double> centring;  // per list item: the centring sum, or 1
  int64_t lo[3] = {0, 0, 0}, hi[3] = {-1, -1, -1};
  std::vector<Kind> kinds;
  // Scattering factor (X-ray f0, or the neutron length) per reflection, in
  // order, and kind.
  std::vector<double> factorRe, factorIm;
  int slots = 0;
  std::vector<int> source;         // cell atom of the slot, -1 for padding
  std::vector<double> multiplier;  // 0 for padding
  std::vector<double> coord[3];
  std::vector<double> weight;  // occupancy x multiplier
  double maxCoord[3] = {0, 0, 0};
  bool centred = false;
  bool centric = false;
  bool tables = false;
  std::vector<double> rowRe[3], rowIm[3];
  std::vector<double> sumRe, sumIm;  // F per reflection, in order, before centring
  // Moves of single atoms. The sums above stand for the asymmetric-unit
  // atoms at atomKey (x, y, z, occupancy); each atom's part of them,
  // f x sum over its slots of w exp(2 pi i h.r), is kept for the last two
  // places it stood, so that a move and its undo cost one atom's part.
  struct AtomPart {
    double key[4] = {0, 0, 0, 0};
    bool valid = false;
    std::vector<double> re, im;
  };
  bool sumsValid = false;            // the sums belong to the atoms at atomKey
  bool atomsKnown = false;           // the cell atoms are the atoms' images, block by block
  int movesSinceFull = 0;
  std::vector<int> atomKind;         // kind of each asymmetric-unit atom, -1 for none
  std::vector<std::vector<int>> atomSlots;
  std::vector<std::array<double, 4>> atomKey;
  std::vector<std::array<AtomPart, 2>> atomParts;
  std::vector<int> changed;
  // The same reflections as doubles, axis by axis, and the scattering
  // factors kind by kind, for sums over one atom that run along the
  // reflections.
  std::vector<double> hklByAxis[3];
  std::vector<double> factorByKindRe, factorByKindIm;
  // The grouped Bragg factor straight from the sums: multiplicity x lp x
  // debyeWaller x centring^2 per reflection, the run of equal group numbers (in list
  // order) each belongs to, the observed sum of each run.
  bool factorReady = false;
  int padded = 0;  // reflections rounded up to kPadding
  std::vector<double> weightOfF2, intensityOfSums;
  std::vector<int> runOf;
  std::vector<double> runObs, runCalc;
  double sumObs = 0;
  // Scratch of the preparation, kept so that a repeated preparation of the
  // same size allocates nothing.
  std::vector<IntensitySlot> layout;
  std::vector<int> slotKind;
  std::vector<int> sortScratch;
  std::vector<size_t> buckets;
};

// The sums of every reflection into sumRe and sumIm, from per-axis tables,
// on the path of the workspace's vector width.
using SumsFunction = void (*)(IntensityWorkspaceData *);
SumsFunction SumsFor(int width);
// The same without tables, for index ranges or coordinates too large for
// them.
void DirectSums(IntensityWorkspaceData *d);

#endif
