// SPDX-License-Identifier: BSD-3-Clause
// The stages of a solving job, in the order of the work: set-up, generation,
// first evaluation, statistic test, filter, optimisation, refinement choice
// and refinement, bond-length check, output. The batch solver and the
// desktop program's workers call these same functions, so that one job and
// one seed give the same models, factors and files in both.
//
// Each stage that works through a list of models takes the models, a
// report callback and a stop flag. With more than one thread (the job's
// settings.threads) the models are shared out among workers; each worker
// evaluates on its own copies of the crystal and the reflection list, and
// each model draws its random numbers from a stream of its own, seeded from
// the run seed, the model number and the stage. A model's result therefore
// does not depend on how many threads ran or in which order models finished.
//
// Reports come from the worker threads: the callback must be safe to call
// from several threads at once. A stop request is seen at the model's next
// report (every trial or evaluation), so any stage ends within a fraction of
// a second; the models finished so far keep their results, and the model in
// progress keeps the best it found, marked stopped.
#ifndef PULVINA_STAGES_H
#define PULVINA_STAGES_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernel.h"

// Set by a front end (a signal handler may set it: it is lock-free), read by
// the kernel.
using StopFlag = std::atomic<bool>;

enum StageKind {
  STAGE_EVALUATION = 0,
  STAGE_STATISTIC = 1,
  STAGE_OPTIMIZATION = 2,
  STAGE_REFINEMENT = 3,
  STAGE_BOND_LENGTHS = 4,
  STAGE_FIXED_COORDINATES = 5
};

// The outcome of solving one model in one stage.
struct ModelRun {
  CrystalModel *model = nullptr;
  int method = METHOD_GRID;  // the method that ran (grid search when chosen automatically)
  double seconds = 0;        // wall time of this model's search
  bool finished = false;     // searched to the end
  bool stopped = false;      // cut short by a stop request; the model holds its best so far
  int rounds = 0;            // rounds of a race the model was searched in (0: no race)
  bool dropped = false;      // left behind in a race: its figures are those of its rounds
};

enum ReportEvent {
  REPORT_MODEL_STARTED = 0,
  REPORT_STATISTIC_PROGRESS,     // after every trial of the statistic test
  REPORT_OPTIMIZATION_PROGRESS,  // after every evaluation of a search
  REPORT_MODEL_FINISHED,         // the model's figures are final for this stage
  REPORT_ROUND_FINISHED          // a racing model searched its round and waits for the others
};

struct ModelReport {
  ReportEvent event = REPORT_MODEL_STARTED;
  int stage = STAGE_EVALUATION;
  CrystalModel *model = nullptr;
  size_t index = 0;  // position of the model in the stage's list, from 0
  size_t total = 0;  // length of the stage's list
  int worker = 0;    // 0 .. threads - 1
  int round = 0;     // the round of a race, from 0
  const StatisticProgress *statistic = nullptr;        // REPORT_STATISTIC_PROGRESS
  const OptimizationProgress *optimization = nullptr;  // REPORT_OPTIMIZATION_PROGRESS
  const ModelRun *run = nullptr;  // REPORT_MODEL_FINISHED of a solving stage
};
using ModelReportFunction = std::function<void(const ModelReport &report)>;

// The settings of the optimisation stage and of the refinement stage.
StageSettings OptimizationSettings(const Config &config);
StageSettings RefinementSettings(const Config &config);
// Grid search for few free parameters when asked, else the stage's method.
int ChooseMethod(const StageSettings &settings, const CrystalModel *model);

// Memory free for new data now, in bytes (0 when unknown).
double AvailableMemory();
// Worker threads a stage uses for the job's settings.threads (0: every
// online core).
int StageThreads(const Job *job);

// Generation: enumerates the Wyckoff combinations under the job's
// constraints, makes one model per combination and applies the job's fixed
// coordinates. The phase callback, when given, hears the number of
// combinations found (phase 1) and of models made (phase 2), for a progress
// display. False with the reason reported (also when stopped, or when the
// formula admits no combination).
[[nodiscard]] bool GenerateJobModels(Job *job, const StopFlag *stop,
                       const std::function<void(int phase, long count)> &phase = nullptr);

// The models that generation made and no structure with valid bond lengths
// can come from, counted by reason (BondPruneReason).
struct PruneCounts {
  size_t removed[PRUNE_REASONS] = {0, 0, 0};
  size_t total() const { return removed[PRUNE_FIXED_ATOMS] + removed[PRUNE_NO_ROOM]; }
};
// Removes, when the job's BOND_PRUNING is on, every model that
// BondPruneModel judges unable to keep the job's minima at the job's bond
// tolerance, and reports the counts. The models left are numbered anew
// from 1 in their order, as every later stage and the shards of a run
// expect. Call it right after GenerateJobModels, before anything holds
// pointers to the models. A stop leaves the list whole.
PruneCounts PruneJobModels(Job *job, const StopFlag *stop);
// The penalty the job's searches use (off unless BOND_PENALTY is 1).
BondPenaltySettings JobBondPenalty(const Job *job);

// First figures of the models (one evaluation each, no search). Returns the
// number of models evaluated (fewer when stopped).
size_t EvaluateModels(Job *job, const std::vector<CrystalModel *> &models,
                      const ModelReportFunction &report, const StopFlag *stop);
std::vector<CrystalModel *> AllModels(Job *job);

// The statistic test of every model of the list, with the job's trial
// settings. Returns the number of models tested to the end.
size_t StatisticTestModels(Job *job, const std::vector<CrystalModel *> &models,
                           const ModelReportFunction &report, const StopFlag *stop);

// The statistic filter with the job's settings; fills job->filtered and
// job->filteredCount and returns the count.
uint32_t FilterJobModels(Job *job, int flags);

// Solves every model of the list with the settings of a stage
// (OptimizationSettings or RefinementSettings of the job's configuration),
// each with the effort its free count asks for and the settings' restarts;
// with settings.racing the models race (RaceModels, on this process alone).
// Returns one run per model that was started, in list order.
std::vector<ModelRun> SolveModels(Job *job, const std::vector<CrystalModel *> &models,
                                  const StageSettings &settings, int stage,
                                  const ModelReportFunction &report, const StopFlag *stop);

// A race of the models of a stage, by successive halving. Round 0 searches
// every model with RaceFirstShare of its effort; after each round the better
// half by cost (Rmin plus the weighted bond penalty when it steers the
// searches; ties by model number) goes on, with twice the share of the round
// before, until a round has searched with the whole effort. The field ends
// early when the leader is clearly ahead and settled: its cost below
// kRaceLead times that of every other model and lowered by less than
// 1 - kRaceSettled in the round just run; the leader alone then has its
// last round, with the whole effort. A model left behind keeps the
// figures of its rounds, its run marked dropped. Every search of round r and
// restart k draws from a stream seeded from (run seed, model, stage, r, k),
// and the race decides only on the figures of whole rounds, so that the
// result depends on neither the thread count nor the order in which models
// finished.
constexpr double kRaceFirstShare = 0.125;
constexpr double kRaceSmallestShare = 1.0 / 64;
constexpr double kRaceLead = 0.5;
constexpr double kRaceSettled = 0.9;
// The share of round 0 for a field of the given size: kRaceFirstShare for up
// to 64 models, then halved for every factor of four, down to
// kRaceSmallestShare. Halving the field costs a round of N x share; the
// rounds a large field needs stay affordable only when the first is short.
double RaceFirstShare(size_t models);

// How the processes of a run take part in a race: each searches its share
// of every round, and all exchange the round's results before the race
// decides, so that all decide alike. A process alone needs none of it.
struct RaceTeam {
  // This process's models of a round (null: all); the round's results of
  // every process into every process, the runs in as this process's and
  // out as the round's, in list order (null: nothing to exchange). False
  // ends the race (reported).
  std::function<std::vector<CrystalModel *>(const std::vector<CrystalModel *> &)> share;
  std::function<bool(const std::vector<CrystalModel *> &, std::vector<ModelRun> *)> gather;
  // The rounds run here: from firstRound (the rounds before ran elsewhere;
  // their results are in the models and in earlier) to lastRound (-1: to
  // the end of the race).
  int firstRound = 0;
  int lastRound = -1;
};
// The race of the list's models; returns one run per model that was
// started, in list order. False in *ok (when given) when the team failed.
std::vector<ModelRun> RaceModels(Job *job, const std::vector<CrystalModel *> &models,
                                 const StageSettings &settings, int stage,
                                 const ModelReportFunction &report, const StopFlag *stop,
                                 const RaceTeam &team = RaceTeam(),
                                 const std::vector<ModelRun> *earlier = nullptr,
                                 bool *ok = nullptr);
// The seed of one search: the model's stream of the stage (ModelSeed) for
// round 0's first restart, mixed with the round and the restart otherwise.
uint64_t SearchSeed(uint64_t runSeed, int modelNumber, int stage, int round, int restart);

// The refinement choice: the solved models, only valid ones when asked,
// sorted best first, cut by the job's REFINE setting; pushes a selection
// level onto job->selection and returns its models.
std::vector<CrystalModel *> ChooseRefinementModels(Job *job,
                                                   const std::vector<CrystalModel *> &solved,
                                                   bool validOnly);

// Bond lengths of every model of the list against the job's minimum
// distances, accepting distances down to (1 - tolerance / 100) of them; sets
// or clears each model's VALIDITY_BOND_LENGTHS bit. Returns the number of
// models checked.
size_t CheckModelsBondLengths(Job *job, const std::vector<CrystalModel *> &models,
                              double tolerancePercent, const ModelReportFunction &report,
                              const StopFlag *stop);

// Fixes (set) or releases (!set) the job's fixed coordinates on every model
// of the list; a changed model gets new first figures and a new parameter
// list. Returns the number of models changed.
size_t SetModelsFixedCoordinates(Job *job, const std::vector<CrystalModel *> &models, bool set);

// The CIF and the HKL list file of one model, computed on copies: safe
// while other models are being solved. An empty path skips that file.
// False when a file could not be written (reported).
[[nodiscard]] bool WriteModelOutputs(const Job *job, const CrystalModel *model, const std::string &cifPath,
                       const std::string &hklPath);

// What the stages leave in one model, enough to put it into the same model
// of the same job made afresh in another process: the figures, the
// validity, the values of the free parameters, and the outcome of the
// model's last solving stage when it was solved. Moving results this way
// keeps every number exact, so that the files come out as one process
// would have written them.
struct ModelResult {
  int32_t modelNumber = 0;
  double Rmin = 100.0, Ravg = 100.0, Rsd = 0.0, FOM = 1.0, runMinimum = 100.0, bondPenalty = 0.0;
  int32_t selected = 0;
  uint32_t validity = kAllValid;
  std::vector<double> values;  // one per entry of the parameter list
  bool solved = false;         // the four fields below hold a ModelRun
  int32_t method = METHOD_GRID;
  double seconds = 0;
  bool finished = false;
  bool stopped = false;
  // The pattern parameters the model carries (PatternParameter bits).
  int32_t patternParameters = 0;
  double marchR = 1.0, overallB = 0.0;
};

// The pattern parameters a stage refines for the job's configuration
// (PatternParameter bits): r of a preferred orientation asked to be refined,
// in both solving stages; the overall B in the refinement when asked for or
// estimated.
int StagePatternParameters(const Config &config, int stage);

// The result of a model; run (may be null) is its last solving stage.
ModelResult ResultOfModel(const CrystalModel &model, const ModelRun *run);
// Puts a result into a model and, when the result holds one and run is
// given, into its run. False, reported, when the model number or the
// number of free parameters differ: the result is of another job.
[[nodiscard]] bool RestoreModelResult(const ModelResult &result, CrystalModel *model, ModelRun *run);
// One line (without its line end) holding every number of a result
// exactly: the doubles in hexadecimal floating point.
std::string FormatModelResult(const ModelResult &result);
// Reads a line FormatModelResult wrote. False on anything else, with what
// is wrong in error.
[[nodiscard]] bool ParseModelResult(const std::string &line, ModelResult *result, std::string *error);

// Runs fn(index, worker) for every index below count on the job's threads,
// handing out indices in increasing order; stops handing out when the stop
// flag is set. A failure (bad_alloc or any other exception) is reported and
// ends the work; returns false then.
[[nodiscard]] bool ForEachModel(const Job *job, size_t count, const StopFlag *stop,
                  const std::function<void(size_t index, int worker)> &fn);

#endif
