// SPDX-License-Identifier: BSD-3-Clause
// The evaluation of a model: its parameters into the crystal, the
// intensities, the grouped Bragg factor and the figures of merit.
#ifndef PULVINA_EVALUATION_H
#define PULVINA_EVALUATION_H

#include <cstdint>
#include <vector>

#include "bonds.h"
#include "crystal.h"
#include "intensity.h"
#include "model.h"
#include "profile.h"

using FactorFunction = double (*)(void *argument);
void SetAtomValues(Atom *atom, const AtomModel *atomModel, const double *values);
void UpdateCrystalByModel(Crystal *crystal, const CrystalModel *model, const double *values,
                          int rebuild);
double GroupBraggFactor(void *list);
// The population standard deviation from running sums of count values.
double SpreadOf(double sum, double squares, uint64_t count);
// Sorts model pointers best first: ascending Rmin, and models whose factors
// agree to 1e-9 by model number.
void SortModels(std::vector<CrystalModel *> *models);
double SetModelStatisticFOM(CrystalModel *model);
void SetModelFactor(CrystalModel *model, Crystal *crystal, HKLList *list, int selector);

// The values of the model's free parameters, in parameter-list order, into
// values (sized for them), and back into the model.
void CopyParameterValues(const CrystalModel *model, std::vector<double> *values);
void RestoreParameterValues(CrystalModel *model, const std::vector<double> &values);

// Gives the list the March-Dollase r and overall B the model carries (its
// patternParameters); true when a factor of the list changed.
bool ApplyModelPattern(const CrystalModel *model, HKLList *list);

// One evaluation of a search: the model's current parameters into the
// crystal, intensities of every reflection, then the factor. Prepared once
// per search; evaluations allocate nothing. The pattern parameters the model
// carries go into the list's factors first. With a penalty the evaluation
// is the cost, the factor plus the weighted bond penalty.
class ModelEvaluator {
 public:
  ModelEvaluator(CrystalModel *model, Crystal *crystal, HKLList *list, int selector,
                 FactorFunction factor, void *factorArg,
                 const BondPenaltySettings &penalty = BondPenaltySettings());
  double operator()();
  bool Penalised() const { return penalised_; }
  // The weighted penalty of the crystal as it stands (0 without a penalty).
  double WeightedPenalty();
  // The factor alone at the model's current parameters.
  double BraggFactor();
  // Intensities of the crystal as it stands, without touching coordinates.
  double FactorOfCrystal();
  // The list's calculated fields as of the last evaluation (moves leave
  // them behind).
  void Sync();

 private:
  CrystalModel *model_;
  Crystal *crystal_;
  HKLList *list_;
  int selector_;
  FactorFunction factor_;
  void *factorArg_;
  IntensityWorkspace workspace_;
  bool fast_ = false;
  bool ownFactor_ = false;  // the grouped Bragg factor of list_
  bool stale_ = false;
  double Evaluate();  // the factor of the crystal as just refreshed
  BondPenalty penalty_;
  double weight_ = 0;
  bool penalised_ = false;
};

#endif
