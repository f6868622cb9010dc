// SPDX-License-Identifier: BSD-3-Clause
#include "evaluation.h"

#include <algorithm>
#include <cmath>

void SetAtomValues(Atom *atom, const AtomModel *atomModel, const double *values) {
  atom->element = atomModel->element;
  atom->position = atomModel->position;
  double v[3];
  for (int i = 0; i < 3; ++i) {
    const ModelParameter &p = atomModel->para[i];
    v[i] = values && p.index >= 0 ? values[p.index] : p.value;
  }
  if (atomModel->position && !atomModel->position->coordinates.empty())
    CoordMatrixMultiply(atomModel->position->coordinates.front().matrix, v[0], v[1], v[2],
                        &atom->x, &atom->y, &atom->z);
  else {
    atom->x = v[0];
    atom->y = v[1];
    atom->z = v[2];
  }
  atom->B = atomModel->para[SLOT_B].value;
  atom->occupancy = atomModel->para[SLOT_OCCUPANCY].value;
}

namespace {

// A crystal atom from an atom of the model: a later member of a mixed site
// sits where the site's first member sits.
void FillAtom(Atom *atom, const CrystalModel *model, const AtomModel &atomModel,
              const double *values) {
  const AtomModel &holder = CoordinateAtom(*model, atomModel);
  SetAtomValues(atom, &holder, values);
  if (&holder == &atomModel) return;
  atom->element = atomModel.element;
  atom->B = atomModel.para[SLOT_B].value;
  atom->occupancy = atomModel.para[SLOT_OCCUPANCY].value;
}

size_t CellAtomCount(const CrystalModel *model) {
  size_t n = 0;
  for (const AtomModel &a : model->atoms) n += a.position ? a.position->fullCoordinates.size() : 0;
  return n;
}

}  // namespace

void UpdateCrystalByModel(Crystal *crystal, const CrystalModel *model, const double *values,
                          int rebuild) {
  // An in-place refresh needs the lists a rebuild for this model made; a
  // mismatch would write past them, so it rebuilds instead.
  if (!rebuild &&
      (crystal->atoms.size() != model->atoms.size() ||
       crystal->cellAtoms.size() != CellAtomCount(model)))
    rebuild = 1;
  if (rebuild) {
    crystal->atoms.clear();
    crystal->atoms.reserve(model->atoms.size());
    for (const AtomModel &am : model->atoms) {
      Atom atom;
      FillAtom(&atom, model, am, values);
      crystal->atoms.push_back(atom);
    }
    crystal->cellAtoms.clear();
    crystal->cellAtoms.reserve(CellAtomCount(model));
    for (const Atom &atom : crystal->atoms) {
      if (!atom.position) continue;
      for (const Coordinate &c : atom.position->fullCoordinates) {
        Atom copy = atom;
        CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &copy.x, &copy.y, &copy.z);
        crystal->cellAtoms.push_back(copy);
      }
    }
    return;
  }
  for (size_t i = 0; i < model->atoms.size(); ++i)
    FillAtom(&crystal->atoms[i], model, model->atoms[i], values);
  size_t k = 0;
  for (const Atom &atom : crystal->atoms) {
    if (!atom.position) continue;
    for (const Coordinate &c : atom.position->fullCoordinates) {
      Atom &out = crystal->cellAtoms[k++];
      out.element = atom.element;
      out.position = atom.position;
      out.B = atom.B;
      out.occupancy = atom.occupancy;
      CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &out.x, &out.y, &out.z);
    }
  }
}

double GroupBraggFactor(void *argument) {
  const HKLList *list = static_cast<const HKLList *>(argument);
  double sumObs = 0, sumDiff = 0, groupObs = 0, groupCalc = 0;
  bool open = false;
  int32_t group = 0;
  for (const HKLItem &item : list->items) {
    if (open && item.group != group) {
      sumDiff += std::fabs(groupObs - groupCalc);
      groupObs = groupCalc = 0;
    }
    open = true;
    group = item.group;
    groupObs += item.iObsScaled;
    groupCalc += item.iCalc;
    sumObs += item.iObsScaled;
  }
  if (open) sumDiff += std::fabs(groupObs - groupCalc);
  if (sumObs == 0) return -1.0;
  return sumDiff / sumObs;
}

double SpreadOf(double sum, double squares, uint64_t count) {
  if (count == 0) return 0;
  const double mean = sum / static_cast<double>(count);
  const double variance = squares / static_cast<double>(count) - mean * mean;
  // Rounding can leave a hair below zero for equal values.
  return variance > 0 ? std::sqrt(variance) : 0.0;
}

void SortModels(std::vector<CrystalModel *> *models) {
  auto byFactor = [](const CrystalModel *a, const CrystalModel *b) {
    if (a->Rmin != b->Rmin) return a->Rmin < b->Rmin;
    return a->modelNumber < b->modelNumber;
  };
  std::sort(models->begin(), models->end(), byFactor);
  // Models equivalent by an origin shift fit the data equally well up to the
  // last bits of the sum; such runs tie, and the lower model number leads,
  // so that a ranking does not depend on rounding.
  for (size_t first = 0; first < models->size();) {
    size_t end = first + 1;
    while (end < models->size() &&
           std::fabs((*models)[end]->Rmin - (*models)[first]->Rmin) <= 1e-9)
      ++end;
    std::sort(models->begin() + static_cast<long>(first), models->begin() + static_cast<long>(end),
              [](const CrystalModel *a, const CrystalModel *b) {
                return a->modelNumber < b->modelNumber;
              });
    first = end;
  }
}

double SetModelStatisticFOM(CrystalModel *model) {
  // A perfect fit has no spread: 0/0 would make the best model's figure NaN
  // and sort it anywhere.
  const double spread = model->Ravg != 0 ? 100.0 * model->Rsd / model->Ravg : 0.0;
  model->FOM = 10.0 / model->Rmin + spread;
  return model->FOM;
}

void SetModelFactor(CrystalModel *model, Crystal *crystal, HKLList *list, int selector) {
  UpdateCrystalByModel(crystal, model, nullptr, 1);
  CalculateIntensity(list, crystal, selector);
  model->Rmin = GroupBraggFactor(list);
  model->Ravg = model->Rmin;
  model->Rsd = 0.0;
  SetModelStatisticFOM(model);
}

bool ApplyModelPattern(const CrystalModel *model, HKLList *list) {
  bool changed = false;
  // The values come from the search's grid or a result, both in range.
  if ((model->patternParameters & PATTERN_TEXTURE) && model->marchR != list->marchR)
    changed = SetPreferredOrientation(list, model->marchR) == 1;
  if ((model->patternParameters & PATTERN_OVERALL_B) && model->overallB != list->overallB)
    changed = (SetOverallB(list, model->overallB) == 1) || changed;
  return changed;
}

namespace {

// A move of r or B changes the weight of every reflection, not F.
void FollowModelPattern(const CrystalModel *model, HKLList *list, IntensityWorkspace *workspace,
                        bool *fast) {
  if (model->patternParameters && ApplyModelPattern(model, list) && *fast &&
      !RefreshIntensityWeights(workspace, list))
    *fast = false;
}

}  // namespace

ModelEvaluator::ModelEvaluator(CrystalModel *model, Crystal *crystal, HKLList *list, int selector,
                               FactorFunction factor, void *factorArg,
                               const BondPenaltySettings &penalty)
    : model_(model), crystal_(crystal), list_(list), selector_(selector), factor_(factor),
      factorArg_(factorArg) {
  UpdateCrystalByModel(crystal_, model_, nullptr, 0);
  ApplyModelPattern(model_, list_);
  fast_ = PrepareIntensityWorkspace(&workspace_, list_, crystal_, selector_) == 1;
  ownFactor_ = factor_ == GroupBraggFactor && factorArg_ == list_;
  penalised_ = penalty.on() && penalty_.Prepare(model_, crystal_, penalty);
  weight_ = penalty.weight;
}

double ModelEvaluator::WeightedPenalty() {
  return penalised_ ? weight_ * penalty_(*crystal_) : 0.0;
}

double ModelEvaluator::BraggFactor() {
  UpdateCrystalByModel(crystal_, model_, nullptr, 0);
  FollowModelPattern(model_, list_, &workspace_, &fast_);
  stale_ = false;
  return FactorOfCrystal();
}

double ModelEvaluator::FactorOfCrystal() {
  if (!(fast_ && RefreshIntensityWorkspace(&workspace_, crystal_) &&
        CalculateIntensityFast(&workspace_, list_)))
    CalculateIntensity(list_, crystal_, selector_);
  return factor_(factorArg_);
}

double ModelEvaluator::operator()() {
  UpdateCrystalByModel(crystal_, model_, nullptr, 0);
  FollowModelPattern(model_, list_, &workspace_, &fast_);
  // The penalty follows the moved sites as the intensities do.
  return penalised_ ? Evaluate() + WeightedPenalty() : Evaluate();
}

double ModelEvaluator::Evaluate() {
  // Most moves of a search change one parameter, so one atom's orbit; the
  // grouped Bragg factor of the list then comes from the structure factors
  // without the list (brought up to date by Sync).
  if (fast_) {
    double R = 0;
    if (ownFactor_ && GroupBraggFactorOfMoves(&workspace_, crystal_, &R)) {
      stale_ = true;
      return R;
    }
    if (!ownFactor_ && CalculateIntensityMoves(&workspace_, crystal_, list_))
      return factor_(factorArg_);
  }
  stale_ = false;
  return FactorOfCrystal();
}

void ModelEvaluator::Sync() {
  // A workspace that cannot hand its sums over is left behind: a full
  // evaluation fills the list instead.
  if (stale_ && !SyncIntensityList(&workspace_, list_)) FactorOfCrystal();
  stale_ = false;
}

void CopyParameterValues(const CrystalModel *model, std::vector<double> *out) {
  for (size_t i = 0; i < model->parameterList.size(); ++i) (*out)[i] = *model->parameterList[i];
}

void RestoreParameterValues(CrystalModel *model, const std::vector<double> &values) {
  for (size_t i = 0; i < model->parameterList.size(); ++i) *model->parameterList[i] = values[i];
}
