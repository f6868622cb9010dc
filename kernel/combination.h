// SPDX-License-Identifier: BSD-3-Clause
// Enumeration of Wyckoff-position combinations (EPCs): every way of putting
// the atoms of the cell on the positions of the space group.
#ifndef PULVINA_COMBINATION_H
#define PULVINA_COMBINATION_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "element.h"
#include "spacegroup.h"

constexpr int kRestraintSlots = 64;
constexpr int32_t kOpenUpper = 2147483647;
// A cell is a signed byte: no position can take more sets than this.
constexpr int kMaxSets = 127;
// Slot selection is modulo 63, so entries beyond this share slots.
constexpr int kMaxFormulaEntries = 62;
// Nodes one enumeration walk may visit before the problem is refused: about
// a minute of work on one core. Tests lower it to reach the refusal quickly.
constexpr double kDefaultCombinationBudget = 2e9;
// Combinations one enumeration may keep: each becomes a model of a few
// kilobytes, and millions of models leave no memory for solving them.
constexpr long long kMaxCombinations = 4000000;

// What one enumeration may spend, and its stop request (seen every few
// thousand nodes, so that a stop ends even a refused walk within a second).
struct EnumerationLimits {
  double budget = kDefaultCombinationBudget;  // nodes one walk may visit
  const std::atomic<bool> *stop = nullptr;
  // Memory the combinations and the models made from them may take, in
  // bytes (0: unchecked). The estimate counts a table row and bytesPerRow per
  // combination, and bytesPerAtom per atom of its model, where a set of
  // entry e makes atomsPerSet[e] atoms (the members of a mixed site, else 1).
  double maxBytes = 0;
  double bytesPerRow = 0;
  double bytesPerAtom = 0;
  std::vector<int> atomsPerSet;
};
// Result of an enumeration stopped on request.
constexpr int kEnumerationStopped = -2;

struct CombPosition {
  const Position *position = nullptr;
  int32_t lower = 0;
  int32_t upper = kOpenUpper;
  int32_t lowerBySlot[kRestraintSlots];
  int32_t upperBySlot[kRestraintSlots];
};

struct CombPositions {
  int32_t currentSlot = 0;
  int32_t positionCount = 0;
  std::vector<CombPosition> nodes;  // in the order of the space group's positions
};

// Permutations of the positions under which combinations are equivalent:
// those of the space group's Euclidean normalizer, applied to every formula
// entry at once. A combination's class is its orbit under the group they
// generate.
struct CombinationSymmetry {
  // The whole group but the identity (ClosePermutations); empty: every
  // combination is a class of its own.
  std::vector<std::vector<int32_t>> permutations;
  // Keep only the first combination of each class in enumeration order
  // among those the bounds admit; false keeps them all.
  bool reduce = true;
};

// The group the permutations of positionCount positions generate, without
// the identity. Permutations of another length are left out.
std::vector<std::vector<int32_t>> ClosePermutations(
    const std::vector<std::vector<int32_t>> &generators, int positionCount);
// The job's symmetry for a space group: its normalizer's permutations,
// closed.
CombinationSymmetry SpaceGroupCombinationSymmetry(const SpaceGroup &sg, bool reduce);

// Rows of entryCount x positionCount cells; row r, entry e, position p is
// cell r*E*P + e*P + p, holding the number of sets.
struct Combination {
  int32_t count = 0;
  int32_t positionCount = 0;
  int32_t entryCount = 0;
  std::vector<int8_t> cells;
  int32_t capacity = 0;
  // Per stored row, the size of its class (distinct rows of its whole
  // orbit, whether the bounds admit them or not); 1 without a symmetry.
  std::vector<int32_t> equivalents;
  // Rows the bounds admit, before keeping one per class, and the number of
  // classes among them (both equal count when nothing was reduced).
  long long found = 0;
  long long classes = 0;
  const int8_t *row(int32_t r) const {
    return cells.data() + static_cast<size_t>(r) * static_cast<size_t>(entryCount) *
                              static_cast<size_t>(positionCount);
  }
};

void InitializeCombPositions(CombPositions *cp);
int32_t SetCombPositions(const std::vector<Position> &positions, CombPositions *cp);
void FreeCombPositions(CombPositions *cp);
void InitializeRestraints(CombPositions *cp, const Compound *compound);
void AddSOCRestraint(CombPositions *cp);
void AddMathematicalRestraint(CombPositions *cp, int atomCount);
int IsFixedCoordinate(const Coordinates &coordinates);
void SetRestraint(CombPositions *cp, int slot);
void ResetRestraint(CombPositions *cp);
void ResetRestraints(CombPositions *cp);

void InitializeCombination(Combination *comb);
void FreeCombination(Combination *comb);
int CreateCombination(Combination *comb, int positionCount, int entryCount, int capacity);
[[nodiscard]] int CombinationAdd(const int8_t *row, Combination *comb);

int increase(int *counter, const int *start, const int *maximum, int n);

// Results are counts of rows, -1 when the problem was refused (too many
// candidates, sets or entries; reported through Message), or
// kEnumerationStopped.
[[nodiscard]] int SingleCombination(int atomCount, CombPositions *cp, Combination *comb,
                      const EnumerationLimits &limits = EnumerationLimits());
// The limits and the memory estimate count the rows kept.
[[nodiscard]] int MultiCombination(const int *atomCounts, int entryCount, CombPositions *cp, Combination *comb,
                     const EnumerationLimits &limits = EnumerationLimits(),
                     const CombinationSymmetry &symmetry = CombinationSymmetry());
[[nodiscard]] int GetCombination(const Compound *compound, CombPositions *cp, Combination *comb,
                   const EnumerationLimits &limits = EnumerationLimits(),
                   const CombinationSymmetry &symmetry = CombinationSymmetry());

#endif
