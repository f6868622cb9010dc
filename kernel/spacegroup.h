// SPDX-License-Identifier: BSD-3-Clause
// Space groups and their Wyckoff positions, read from the database "sgt.xml".
#ifndef PULVINA_SPACEGROUP_H
#define PULVINA_SPACEGROUP_H

#include <cstdint>
#include <string>
#include <vector>

#include "coordinate.h"
#include "utils.h"

struct Position {
  int32_t multiplicity = 0;
  char wyckoffLetter = 0;
  std::string siteSymmetry;      // at most 63 characters
  Coordinates coordinates;       // equivalent triplets without centring
  Coordinates fullCoordinates;   // every triplet with every centring translation
};

// An operation of the setting's Euclidean normalizer that exchanges Wyckoff
// positions: atoms moved by it give the same structure, so combinations that
// differ by its permutation are one model.
struct NormalizerOperation {
  std::string coordinates;  // the operation as a triplet, for reading only
  // permutation[p] is the position (index into SpaceGroup::positions) that
  // position p goes to; multiplicities are kept.
  std::vector<int32_t> permutation;
};

struct SpaceGroup {
  int32_t number = 0;
  std::string shortSymbol;
  std::string schoenfliesSymbol;
  std::string fullSymbol;
  std::string pointGroup;
  std::string pattersonSymmetry;
  std::string crystalSystem;
  int32_t setting = 0;
  std::string description;  // at most 127 characters
  // Hermann-Mauguin symbol of the setting itself ("F d -3 m :2",
  // "A 1 1 2/m"); at most 63 characters, "" in databases without it.
  std::string settingSymbol;
  std::string origin;       // at most 127 characters
  double asymmetricUnit[6] = {};
  Coordinates translations;
  int32_t positionCount = 0;
  // In database order. Atoms and models point into this vector, so it is
  // never changed after loading.
  std::vector<Position> positions;
  // Empty in databases without them, and where no operation changes a letter.
  std::vector<NormalizerOperation> normalizer;
};

void InitializeSpaceGroup(SpaceGroup *sg);
[[nodiscard]] int SetSpaceGroup(SpaceGroup *sg, int number, int setting,
                  const DataLocation &data = DefaultDataLocation());
void FreeSpaceGroup(SpaceGroup *sg);

// A Hermann-Mauguin symbol of the database: a group's short or full symbol
// (setting 0: any) or the symbol of one of its settings.
struct SpaceGroupSymbol {
  std::string symbol;
  int32_t number = 0;
  int32_t setting = 0;
};
// Every symbol of the database; empty (and reported) when it cannot be read.
std::vector<SpaceGroupSymbol> ReadSpaceGroupSymbols(const DataLocation &data = DefaultDataLocation());
// The entry whose symbol is text, blanks and underscores aside ("P 21/c",
// "P2_1/c"); else, letter case aside, when that leaves a single group
// ("pnma"). nullptr when none is.
const SpaceGroupSymbol *FindSpaceGroupSymbol(const std::vector<SpaceGroupSymbol> &symbols,
                                             const std::string &text);
void FreePositions(std::vector<Position> *positions);

#endif
