// SPDX-License-Identifier: BSD-3-Clause
#include "model.h"

#include <cstdlib>

#include "utils.h"

int IsVariable(const Coordinates &coordinates, int axis, double *value) {
  *value = -1.0;
  if (coordinates.empty()) return 0;
  const double(*m)[4] = coordinates.front().matrix;
  int row = axis == 1 ? 0 : axis == 2 ? 1 : axis == 4 ? 2 : -1;
  if (row < 0) return 0;
  if (m[row][row] == 0) {
    *value = m[row][3];
    return 0;
  }
  return 1;
}

void InitializeCrystalModel(CrystalModel *model) { *model = CrystalModel(); }

void InitializeCrystalModel(CrystalModelList *head) {
  head->count = 0;
  head->models.clear();
}

void FreeCrystalModel(CrystalModel *model) { *model = CrystalModel(); }

void FreeCrystalModel(CrystalModelList *head) {
  std::deque<CrystalModel>().swap(head->models);
  head->count = 0;
}

void CopyCrystalModel(const CrystalModel &from, CrystalModel *to) {
  if (&from == to) return;
  to->atoms = from.atoms;
  // Each entry points at the same slot of the copy: an atom's, or r or B.
  // The list is made aside and then assigned, so that a model copied back
  // onto itself never holds an empty entry, even for a moment.
  std::vector<double *> list(from.parameterList.size(), nullptr);
  for (size_t i = 0; i < from.parameterList.size(); ++i) {
    const double *slot = from.parameterList[i];
    double *&mapped = list[i];
    if (slot == &from.marchR) mapped = &to->marchR;
    if (slot == &from.overallB) mapped = &to->overallB;
    for (size_t a = 0; !mapped && a < from.atoms.size(); ++a)
      for (int k = 0; k < kParameterSlots; ++k)
        if (slot == &from.atoms[a].para[k].value) {
          mapped = &to->atoms[a].para[k].value;
          break;
        }
  }
  to->parameterList = list;
  to->parameterCount = from.parameterCount;
  to->modelNumber = from.modelNumber;
  to->freeCount = from.freeCount;
  to->Ravg = from.Ravg;
  to->Rsd = from.Rsd;
  to->Rmin = from.Rmin;
  to->FOM = from.FOM;
  to->runMinimum = from.runMinimum;
  to->bondPenalty = from.bondPenalty;
  to->selected = from.selected;
  to->bondLengths = from.bondLengths;
  to->validity = from.validity;
  to->patternParameters = from.patternParameters;
  to->marchR = from.marchR;
  to->overallB = from.overallB;
  to->equivalents = from.equivalents;
}

CrystalModel *CrystalModelAdd(CrystalModelList *head, CrystalModel &&model) {
  head->models.push_back(std::move(model));
  head->count++;
  return &head->models.back();
}

void AtomModelAdd(CrystalModel *model, const CombPositions *cp, const Element *element,
                  const int8_t *cells, int member, int32_t *counter, int partialFreedom,
                  int32_t shareFrom) {
  int32_t shared = shareFrom;
  // A sharing member's slots are overwritten below: its numbers are drawn
  // from a counter of its own.
  int32_t scratch = 0;
  int32_t *numbers = shareFrom >= 0 ? &scratch : counter;
  for (size_t p = 0; p < cp->nodes.size(); ++p) {
    const Position *position = cp->nodes[p].position;
    for (int set = 0; set < cells[p]; ++set) {
      AtomModel atom;
      atom.element = element;
      atom.position = position;
      atom.para[SLOT_B].value = 1.0;
      if (member) {
        atom.para[SLOT_OCCUPANCY].value = element->fraction;
        atom.para[SLOT_OCCUPANCY].kind = KIND_OCCUPANCY;
      } else {
        atom.para[SLOT_OCCUPANCY].value = 1.0;
      }
      const int axes[3] = {1, 2, 4};
      int freeAxes = 0;
      for (int i = 0; i < 3; ++i) {
        ModelParameter &slot = atom.para[i];
        double constant = 0;
        if (IsVariable(position->coordinates, axes[i], &constant)) {
          slot.value = 0.0;
          slot.kind = axes[i];
          slot.index = (*numbers)++;
          ++freeAxes;
        } else {
          slot.value = constant;
        }
      }
      if (partialFreedom && freeAxes > 0 && freeAxes < 3)
        for (int i = 0; i < 3; ++i) atom.para[i].special = 1;
      if (shareFrom >= 0) {
        // Same cells, same positions, same order: atom for atom the first
        // member's. Its slots are copied so that the numbers shown agree.
        atom.site = shared;
        for (int i = 0; i < 3; ++i) atom.para[i] = model->atoms[static_cast<size_t>(shared)].para[i];
        ++shared;
      }
      model->atoms.push_back(atom);
    }
  }
}

const AtomModel &CoordinateAtom(const CrystalModel &model, const AtomModel &atom) {
  return atom.site >= 0 && static_cast<size_t>(atom.site) < model.atoms.size()
             ? model.atoms[static_cast<size_t>(atom.site)]
             : atom;
}

AtomModel &CoordinateAtom(CrystalModel &model, AtomModel &atom) {
  return const_cast<AtomModel &>(
      CoordinateAtom(static_cast<const CrystalModel &>(model), static_cast<const AtomModel &>(atom)));
}

int UpdateParaList(CrystalModel *model) {
  model->parameterList.clear();
  model->parameterList.reserve(static_cast<size_t>(model->parameterCount));
  // The walk order B, occupancy, x, y, z matches the parameter numbering
  // because B and occupancy are never parameters.
  static const int order[kParameterSlots] = {SLOT_B, SLOT_OCCUPANCY, SLOT_X, SLOT_Y, SLOT_Z};
  for (AtomModel &atom : model->atoms)
    for (int slot : order) {
      // A shared site's coordinates are listed once, with its first member.
      if (atom.site >= 0 && slot <= SLOT_Z) continue;
      ModelParameter &p = atom.para[slot];
      if (p.index != -1 && !p.fixed) model->parameterList.push_back(&p.value);
    }
  model->freeCount = static_cast<int32_t>(model->parameterList.size());
  return model->freeCount;
}

int CreateModelList(const Compound *compound, const CombPositions *cp,
                    const Combination *combination, CrystalModelList *head, int partialFreedom) {
  InitializeCrystalModel(head);
  if (compound->entryCount != combination->entryCount ||
      cp->positionCount != combination->positionCount) {
    Message(MESSAGE_ERROR, "creating crystal models from EPC, identified EPC results\n");
    return 0;
  }
  const int P = combination->positionCount;
  for (int32_t r = 0; r < combination->count; ++r) {
    CrystalModel model;
    const int8_t *row = combination->row(r);
    int32_t counter = 0;
    for (size_t e = 0; e < compound->entries.size(); ++e) {
      const Element &entry = compound->entries[e];
      const int8_t *cells = row + e * static_cast<size_t>(P);
      if (entry.atomicNumber == 0) {
        // A mixed site is one site: its members share one set of
        // coordinates, the first member's.
        const int32_t first = static_cast<int32_t>(model.atoms.size());
        for (size_t k = 0; k < entry.members.size(); ++k)
          AtomModelAdd(&model, cp, &entry.members[k], cells, 1, &counter, partialFreedom,
                       k == 0 ? -1 : first);
      } else {
        AtomModelAdd(&model, cp, &entry, cells, 0, &counter, partialFreedom);
      }
    }
    model.modelNumber = r + 1;
    model.parameterCount = counter;
    if (static_cast<size_t>(r) < combination->equivalents.size())
      model.equivalents = combination->equivalents[static_cast<size_t>(r)];
    CrystalModel *added = CrystalModelAdd(head, std::move(model));
    UpdateParaList(added);
  }
  return head->count;
}

void AddPatternParameters(CrystalModel *model, int which, double marchR, double overallB) {
  RemovePatternParameters(model);
  if (which & PATTERN_TEXTURE) {
    if (!(model->patternParameters & PATTERN_TEXTURE)) model->marchR = marchR;
    model->parameterList.push_back(&model->marchR);
  }
  if (which & PATTERN_OVERALL_B) {
    if (!(model->patternParameters & PATTERN_OVERALL_B)) model->overallB = overallB;
    model->parameterList.push_back(&model->overallB);
  }
  model->patternParameters |= which;
}

void RemovePatternParameters(CrystalModel *model) {
  if (model->parameterList.size() > static_cast<size_t>(model->freeCount))
    model->parameterList.resize(static_cast<size_t>(model->freeCount));
}

bool PatternParameterRange(const CrystalModel *model, size_t i, double *lower, double *upper,
                           double *step) {
  if (i >= model->parameterList.size()) return false;
  const double *slot = model->parameterList[i];
  // r from a strong plate to a strong needle; B over what crystals show.
  // The steps keep r and B well inside what the data can tell.
  if (slot == &model->marchR) {
    *lower = 0.4;
    *upper = 2.0;
    *step = 0.005;
    return true;
  }
  if (slot == &model->overallB) {
    *lower = 0.0;
    *upper = 10.0;
    *step = 0.02;
    return true;
  }
  return false;
}

std::string EPCStr(const CrystalModel *model) {
  std::string text;
  for (const AtomModel &atom : model->atoms) {
    if (!text.empty()) text += '+';
    text += atom.element->symbol;
    text += '(';
    text += std::to_string(atom.position->multiplicity);
    text += atom.position->wyckoffLetter;
    text += ')';
  }
  return text;
}

void InitializeModelInfo(ModelInfo *info) { info->entries.clear(); }
void FreeModelInfo(ModelInfo *info) { std::vector<ModelInfoEntry>().swap(info->entries); }

void ModelStatisticInfo(const CrystalModelList *head, ModelInfo *info, int *minimum,
                        int *maximum) {
  *minimum = 65535;
  *maximum = 0;
  for (const CrystalModel &model : head->models) {
    bool found = false;
    for (ModelInfoEntry &e : info->entries)
      if (e.freeCount == model.freeCount) {
        e.modelCount++;
        found = true;
        break;
      }
    if (!found) info->entries.insert(info->entries.begin(), ModelInfoEntry{model.freeCount, 1});
    if (model.freeCount < *minimum) *minimum = model.freeCount;
    if (model.freeCount > *maximum) *maximum = model.freeCount;
  }
  // Without models there is no smallest count: the model file and the dialog
  // would show the starting value.
  if (head->models.empty()) *minimum = 0;
}
