// SPDX-License-Identifier: BSD-3-Clause
// The searches of one model: the Search record, its ranges and grid, the
// grid search and the two annealings.
#ifndef PULVINA_SEARCH_H
#define PULVINA_SEARCH_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "evaluation.h"
#include "random.h"

struct OptimizationProgress {
  double total = 0;
  double factor = 0;
  uint32_t count = 0;
  int newRunBest = 0;
  int newBest = 0;
  CrystalModel *model = nullptr;
  const double *values = nullptr;
};
// The optimisers stop when this returns 0.
using OptimizationProgressFunction = int (*)(const OptimizationProgress *record, void *argument);

enum OptimizationMethod { METHOD_GRID = 0, METHOD_TRADITIONAL = 1, METHOD_ADAPTIVE = 2 };

struct TraditionalAnnealingSettings {
  uint32_t cycles = 1;
  double startT = 10.0;
  double endT = 0.01;
  double rate = 0.9;
  uint32_t moves = 1000;
};

struct AdaptiveAnnealingSettings {
  uint32_t cycles = 1;
  double startT = 10.0;
  double endT = 0.01;
  uint32_t moves = 1000;
  int strategy = 0;
};

// The solving settings of one stage, optimisation or refinement: the
// method, when to take the grid search instead, the grid and the annealings.
struct StageSettings {
  int method = METHOD_GRID;
  int autoGridSearch = 1;
  int autoDimension = 3;
  double resolution = 0.1;
  TraditionalAnnealingSettings traditional;
  AdaptiveAnnealingSettings adaptive;
};

// Temperature steps one annealing cycle may take; schedules that would never
// cool to their end are cut here with a message.
constexpr int kMaxTemperatureSteps = 10000;

// The grid a search moves on. Index i belongs to entry i of the model's
// parameter list; the parameter's value is current[i] x step[i], and
// current[i] stays within [lower[i], upper[i]].
struct SearchGrid {
  std::vector<int> current, lower, upper;
  std::vector<double> step;
};

// Everything one search of one model works with. The crystal and the list
// are the search's own while it runs: parallel searches each have theirs.
struct Search {
  CrystalModel *model = nullptr;
  Crystal *crystal = nullptr;
  HKLList *list = nullptr;
  int selector = 0;  // radiation type: 1 neutron lengths, any other value X-ray factors
  int asym = 0;      // 1: free coordinates stay inside the asymmetric unit
  FactorFunction factor = GroupBraggFactor;
  void *factorArg = nullptr;  // null: the list
  SearchGrid grid;
  SearchRandom *random = nullptr;  // null: the calling thread's
  OptimizationProgressFunction progress = nullptr;
  void *progressArg = nullptr;
  std::FILE *annealingLog = nullptr;  // the adaptive annealing's narration; null: none
  // With a penalty the searches minimise R + weight x P, and the factors
  // they report and compare are that cost; the model keeps the pure R of
  // its best point in Rmin.
  BondPenaltySettings penalty;
};

// Search range of entry i of the model's parameter list, as fractions of its
// cell edge: the asymmetric unit along the parameter's axis, or the whole
// edge for a coordinate of a special position when the search is not held
// in the asymmetric unit. Returns the axis (0, 1, 2), or -1 for a parameter
// that is no coordinate (range 0 to 0).
int SearchRange(const CrystalModel *model, size_t i, const Crystal *crystal, int asym,
                double *lower, double *upper);
// Lays the grid of the given resolution (angstrom) over the model's free
// parameters, every index at its lower end.
void SetSearchGrid(Search *search, double resolution);

// The searches on a prepared record. Each leaves the model at the best
// parameters it knows and returns its Rmin.
//
// RunSolveStructure lays the grid of the settings' resolution and runs the
// method given (ChooseMethod's choice) with the settings' annealing of that
// method. A model without free parameters is left as it is; its factor is
// returned. The others run on the grid the record holds.
double RunSolveStructure(Search *search, int method, const StageSettings &settings);
double RunGridSearch(Search *search);
double RunTraditionalAnnealing(Search *search, const TraditionalAnnealingSettings &settings);
double RunAdaptiveAnnealing(Search *search, const AdaptiveAnnealingSettings &settings);

#endif
