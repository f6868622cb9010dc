// SPDX-License-Identifier: BSD-3-Clause
// The searches of one model: the Search record, its ranges and grid, the
// grid search, the two annealings and parallel tempering.
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

enum OptimizationMethod {
  METHOD_GRID = 0,
  METHOD_TRADITIONAL = 1,
  METHOD_ADAPTIVE = 2,
  METHOD_TEMPERING = 3
};

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
  // Multiplies the automatic strategy's moves per temperature step (the
  // search effort scaled for a round of a race).
  double effort = 1.0;
};

// Replicas of one model at a ladder of temperatures, geometric from hotT
// down to coldT, each making Metropolis moves at its own temperature;
// neighbours swap places now and then, so that a configuration found hot
// can cool and one stuck cold can warm up.
struct TemperingSettings {
  uint32_t replicas = 8;
  double hotT = 1.0;
  double coldT = 0.001;
  uint32_t moves = 20000;  // moves of each replica
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
  TemperingSettings tempering;
  int autoEffort = 1;        // 1: the moves grow with the free count (SearchEffort)
  uint32_t restarts = 1;     // independent searches of each model from random starts
  int racing = 0;            // 1: the models of the stage race (the stage's business)
  uint32_t freestFirst = 0;  // restarts of the freest models' tempering before a race (0: none)
};

// The search effort of a model with the given free count, as a factor on
// the moves per temperature step (per replica in tempering) that the
// settings give for a model of kEffortReference free coordinates:
//   factor = freeCount / kEffortReference, within [kEffortMin, kEffortMax];
// a model of many coordinates also gets one more annealing cycle for every
// kEffortCycleStep of them. Racing rounds scale it further by their share.
constexpr double kEffortReference = 10;
constexpr double kEffortMin = 0.25;
constexpr double kEffortMax = 8;
constexpr int kEffortCycleStep = 16;
double EffortFactor(int freeCount);
// The settings a search of a model runs with: with autoEffort the moves and
// cycles scaled for the free count, and every count of moves times share
// (a round's part of the whole; 1 outside a race), at least one move.
StageSettings SearchEffort(const StageSettings &settings, int freeCount, double share);

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
// The grid search of a model with pattern parameters (r, B) at the end of
// its list: the coordinates over their grid with those held, then each of
// them over its own at the best coordinates. Otherwise RunGridSearch.
double RunGridSearchWithPattern(Search *search);
double RunTraditionalAnnealing(Search *search, const TraditionalAnnealingSettings &settings);
double RunAdaptiveAnnealing(Search *search, const AdaptiveAnnealingSettings &settings);
double RunParallelTempering(Search *search, const TemperingSettings &settings);
// What parallel tempering ends with, from the model's current parameters
// (their factor in Rmin): each pair of sites of different elements on the
// same position traded, each site tried over its range with the others
// held, kept where the cost falls; at most budget points evaluated, on the
// grid the record holds (none: the model is left as it is).
double RunCompletion(Search *search, double budget);

#endif
