// SPDX-License-Identifier: BSD-3-Clause
// Crystal models: one per Wyckoff combination, with the free coordinates as
// numbered parameters.
#ifndef PULVINA_MODEL_H
#define PULVINA_MODEL_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "combination.h"
#include "element.h"
#include "spacegroup.h"

enum ParameterKind { KIND_NONE = -1, KIND_X = 1, KIND_Y = 2, KIND_Z = 4, KIND_OCCUPANCY = 8 };
enum ParameterSlot { SLOT_X = 0, SLOT_Y = 1, SLOT_Z = 2, SLOT_OCCUPANCY = 3, SLOT_B = 4 };
constexpr int kParameterSlots = 5;
constexpr uint32_t kAllValid = 0xFFFFFFFFu;
constexpr uint32_t VALIDITY_BOND_LENGTHS = 1u;
// Parameters of the whole pattern a search may refine beside the
// coordinates (bits).
enum PatternParameter { PATTERN_TEXTURE = 1, PATTERN_OVERALL_B = 2 };

struct ModelParameter {
  double value = 0;   // x, y, z: the value of the position's free variable
  int32_t kind = KIND_NONE;
  int32_t index = -1;  // parameter number within the model; -1 when constant
  int32_t special = 0;
  int32_t fixed = 0;
};

// A distance between two elements: a measured one of a model, or a minimum
// of the job's table.
struct BondLength {
  // A measured distance: 1 when acceptable. A minimum: 1 when it is
  // checked (the user may switch one off).
  int32_t valid = 1;
  const Element *first = nullptr;
  const Element *second = nullptr;
  double distance = 0;  // angstrom
};
// Entries in insertion order.
struct BondLengths {
  int32_t count = 0;
  std::vector<BondLength> items;
};

struct AtomModel {
  const Element *element = nullptr;    // the job's compound (a group member for mixed sites)
  const Position *position = nullptr;  // the job's space group
  ModelParameter para[kParameterSlots];  // x, y, z, occupancy, B
  // The members of a mixed site are one site: the second and later members
  // take their x, y and z from the first member's atom, whose number in the
  // model's atoms this is (-1: the atom's own slots). Their coordinate slots
  // carry the first member's parameter numbers, but their values and fixed
  // flags are never read: whatever moves the site moves the first member.
  int32_t site = -1;
};

struct CrystalModel {
  CrystalModel() = default;
  // parameterList points into atoms: a copy would point into the original.
  CrystalModel(const CrystalModel &) = delete;
  CrystalModel &operator=(const CrystalModel &) = delete;
  CrystalModel(CrystalModel &&) = default;
  CrystalModel &operator=(CrystalModel &&) = default;

  int32_t parameterCount = 0;
  int32_t modelNumber = 0;
  int32_t freeCount = 0;
  std::vector<double *> parameterList;
  double Ravg = 100.0;
  double Rsd = 0.0;
  double Rmin = 100.0;
  double FOM = 1.0;
  double runMinimum = 100.0;
  // The bond penalty (BondPenalty, unweighted) at the parameters of Rmin,
  // from the last search; Rmin itself is the pure Bragg factor.
  double bondPenalty = 0.0;
  int32_t selected = 0;
  std::vector<AtomModel> atoms;
  BondLengths bondLengths;
  uint32_t validity = kAllValid;
  // The pattern parameters a search refined for this model (PatternParameter
  // bits) and their values: the March-Dollase r of the job's preferred
  // orientation and the overall B. The job's values hold for the others.
  int32_t patternParameters = 0;
  double marchR = 1.0;
  double overallB = 0.0;
  // Combinations equivalent to this model's under the space group's
  // Euclidean normalizer, its own included: the models it stands for.
  int32_t equivalents = 1;
};

// The job's models in creation order. Models never move once added, so
// pointers to them (filtered and selected arrays) stay valid.
struct CrystalModelList {
  int32_t count = 0;
  std::deque<CrystalModel> models;
};

struct ModelInfoEntry {
  int32_t freeCount = 0;
  uint32_t modelCount = 0;
};
// Newest entry first.
struct ModelInfo {
  std::vector<ModelInfoEntry> entries;
};

int IsVariable(const Coordinates &coordinates, int axis, double *value);
void InitializeCrystalModel(CrystalModel *model);
void InitializeCrystalModel(CrystalModelList *head);
void FreeCrystalModel(CrystalModel *model);
void FreeCrystalModel(CrystalModelList *head);
// Makes `to` the same model as `from`, its parameter list pointing into
// its own atoms: a search may then work on the copy alone.
void CopyCrystalModel(const CrystalModel &from, CrystalModel *to);
CrystalModel *CrystalModelAdd(CrystalModelList *head, CrystalModel &&model);
// With shareFrom >= 0 the atoms made share the coordinates of the atoms
// made from shareFrom on, in the same order (the later members of a mixed
// site), and take no new parameter numbers.
void AtomModelAdd(CrystalModel *model, const CombPositions *cp, const Element *element,
                  const int8_t *cells, int member, int32_t *counter, int partialFreedom,
                  int32_t shareFrom = -1);
// The atom whose slots hold an atom's x, y and z: itself, or the first
// member of its mixed site.
const AtomModel &CoordinateAtom(const CrystalModel &model, const AtomModel &atom);
AtomModel &CoordinateAtom(CrystalModel &model, AtomModel &atom);
int UpdateParaList(CrystalModel *model);
// For one search: the pattern parameters `which` join the end of the
// parameter list, those the model does not carry yet starting from the
// values given (the job's); RemovePatternParameters takes them off again,
// leaving the model carrying the values the search ended at.
void AddPatternParameters(CrystalModel *model, int which, double marchR, double overallB);
void RemovePatternParameters(CrystalModel *model);
// Whether entry i of the parameter list is a pattern parameter, with its
// search range and grid step.
bool PatternParameterRange(const CrystalModel *model, size_t i, double *lower, double *upper,
                           double *step);
[[nodiscard]] int CreateModelList(const Compound *compound, const CombPositions *cp,
                    const Combination *combination, CrystalModelList *head, int partialFreedom);
std::string EPCStr(const CrystalModel *model);
void ModelStatisticInfo(const CrystalModelList *head, ModelInfo *info, int *minimum,
                        int *maximum);
void InitializeModelInfo(ModelInfo *info);
void FreeModelInfo(ModelInfo *info);

#endif
