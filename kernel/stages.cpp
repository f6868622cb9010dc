// SPDX-License-Identifier: BSD-3-Clause
#include "stages.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>

#include "options.h"

namespace {

bool Stopping(const StopFlag *stop) { return stop && stop->load(std::memory_order_relaxed); }

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The time the user waited for the stage; with models solved side by side
// their own times add up to more, so that sum is the CPU time.
void ReportTimeUsed(std::chrono::steady_clock::time_point began, double modelSeconds) {
  Message(MESSAGE_HINT, "Total time used: %.3fs (wall clock), %.3fs CPU over the models\n",
          SecondsSince(began), modelSeconds);
}

// A worker's own copies of what the evaluations write into: the cell atoms
// of the crystal and the calculated fields of the reflection list. Made on
// the worker's first model, from the job's, which nobody writes meanwhile.
struct WorkerCopy {
  bool ready = false;
  Crystal crystal;
  HKLList list;
  void Prepare(const Job *job) {
    if (ready) return;
    crystal = job->crystal;
    list = job->hklList;
    ready = true;
  }
};

// The state behind the C-style progress callbacks of the searches.
struct ProgressContext {
  const ModelReportFunction *report;
  ModelReport base;
  const StopFlag *stop;
  bool stopped = false;

  // Passes a search's record on and says whether to stop.
  template <typename Record>
  bool Forward(ReportEvent event, const Record *record,
               const Record *ModelReport::*field) {
    if (*report) {
      ModelReport r = base;
      r.event = event;
      r.*field = record;
      (*report)(r);
    }
    if (Stopping(stop)) stopped = true;
    return stopped;
  }
};

// The statistic callback returns non-zero to stop, the optimisers' zero.
int StatisticCallback(const StatisticProgress *record, void *argument) {
  return static_cast<ProgressContext *>(argument)->Forward(REPORT_STATISTIC_PROGRESS, record,
                                                           &ModelReport::statistic)
             ? 1
             : 0;
}

int OptimizationCallback(const OptimizationProgress *record, void *argument) {
  return static_cast<ProgressContext *>(argument)->Forward(REPORT_OPTIMIZATION_PROGRESS, record,
                                                           &ModelReport::optimization)
             ? 0
             : 1;
}

// One model's search in a stage, on the worker's copies, with the model's
// own random stream and the stage's report.
struct ModelSearch {
  SearchRandom random;
  ProgressContext context;
  Search search;
  ModelSearch(const Job *job, WorkerCopy *w, CrystalModel *m, int stage, size_t index,
              size_t total, int worker, const ModelReportFunction &report, const StopFlag *stop)
      : context{&report, ModelReport(), stop} {
    random.base = ModelSeed(job->settings.seed, m->modelNumber, stage);
    context.base.stage = stage;
    context.base.model = m;
    context.base.index = index;
    context.base.total = total;
    context.base.worker = worker;
    UpdateCrystalByModel(&w->crystal, m, nullptr, 1);
    search.model = m;
    search.crystal = &w->crystal;
    search.list = &w->list;
    search.selector = job->config.radiation;
    search.asym = job->config.asymSearch;
    search.random = &random;
    search.annealingLog = job->settings.annealingLog;
  }
  ModelSearch(const ModelSearch &) = delete;
  ModelSearch &operator=(const ModelSearch &) = delete;
};

void Tell(const ModelReportFunction &report, ReportEvent event, int stage, CrystalModel *model,
          size_t index, size_t total, int worker, const ModelRun *run = nullptr, int round = 0) {
  if (!report) return;
  ModelReport r;
  r.event = event;
  r.round = round;
  r.stage = stage;
  r.model = model;
  r.index = index;
  r.total = total;
  r.worker = worker;
  r.run = run;
  report(r);
}

std::string SettingsText(const StageSettings &s, int method) {
  char text[512];
  if (method == METHOD_GRID) {
    std::snprintf(text, sizeof text,
                  "Method: Grid Search\nSearching Resolution: %f Angstrom\n", s.resolution);
  } else if (method == METHOD_TRADITIONAL) {
    std::snprintf(text, sizeof text,
                  "Method: Simulated Annealing (traditional)\nSearching Resolution: %f "
                  "Angstrom\n\tcycles: %ld\n\tannealing: (%f, %f, %f, %ld)\n",
                  s.resolution, static_cast<long>(s.traditional.cycles), s.traditional.startT,
                  s.traditional.endT, s.traditional.rate,
                  static_cast<long>(s.traditional.moves));
  } else if (method == METHOD_ADAPTIVE) {
    if (s.adaptive.strategy == 0)
      std::snprintf(text, sizeof text,
                    "Method: Simulated Annealing (adaptive)\nSearching Resolution: %f "
                    "Angstrom\n\tcycles: %ld\n\tannealing: custom (%f, %f, %ld)\n",
                    s.resolution, static_cast<long>(s.adaptive.cycles), s.adaptive.startT,
                    s.adaptive.endT, static_cast<long>(s.adaptive.moves));
    else
      std::snprintf(text, sizeof text,
                    "Method: Simulated Annealing (adaptive)\nSearching Resolution: %f "
                    "Angstrom\n\tcycles: %ld\n\tannealing: auto\n",
                    s.resolution, static_cast<long>(s.adaptive.cycles));
  } else if (method == METHOD_TEMPERING) {
    std::snprintf(text, sizeof text,
                  "Method: Parallel Tempering\nSearching Resolution: %f Angstrom\n\treplicas: "
                  "%ld\n\ttemperatures: %f to %f\n\tmoves: %ld\n",
                  s.resolution, static_cast<long>(s.tempering.replicas), s.tempering.hotT,
                  s.tempering.coldT, static_cast<long>(s.tempering.moves));
  } else {
    text[0] = '\0';
  }
  return text;
}

// What the searches minimise, so what restarts and a race rank by: the
// factor, plus the weighted bond penalty when it steered the searches.
// Ranking by the factor alone would carry models with atoms on top of each
// other into the later rounds, the very minima the penalty keeps the
// searches out of.
double SearchCost(const CrystalModel *m, const BondPenaltySettings &penalty) {
  return m->Rmin + (penalty.on() ? penalty.weight * m->bondPenalty : 0.0);
}

// One model's searches in one round of a race, or in the whole stage: the
// settings' restarts (one for the grid search, which has nothing random),
// each from random starts on a stream of its own, with the effort the
// model's free count and the round's share ask for. Restarts run side by
// side on `lanes` threads, the calling one first, when a stage has fewer
// models than threads.
void SearchModel(Job *job, WorkerCopy *w, CrystalModel *m, const StageSettings &settings,
                 int stage, int round, double share, size_t index, size_t total, int worker,
                 int lanes, const ModelReportFunction &report, const StopFlag *stop,
                 ModelRun *run) {
  const StageSettings effort =
      SearchEffort(settings, static_cast<int>(m->parameterList.size()), share);
  const uint32_t restarts = run->method == METHOD_GRID ? 1 : std::max<uint32_t>(1, settings.restarts);
  const int pattern = StagePatternParameters(job->config, stage);
  const BondPenaltySettings penalty = JobBondPenalty(job);
  // The penalty is a figure of every solved model, whether it steered the
  // search or not.
  BondPenaltySettings figure = penalty;
  figure.minima = &job->bondLengths;
  const auto start = std::chrono::steady_clock::now();
  const ModelReportFunction quiet;
  // Restart k searches `model` with the worker copies `copy`; whether it was
  // stopped.
  auto search = [&](uint32_t k, CrystalModel *model, WorkerCopy *copy, bool reporting) {
    ModelSearch ms(job, copy, model, stage, index, total, worker, reporting ? report : quiet,
                   stop);
    ms.context.base.model = m;
    ms.random.base = SearchSeed(job->settings.seed, m->modelNumber, stage, round,
                                static_cast<int>(k));
    ms.context.base.round = std::max(round, 0);
    ms.search.progress = OptimizationCallback;
    ms.search.progressArg = &ms.context;
    ms.search.penalty = penalty;
    AddPatternParameters(model, pattern, job->hklList.marchR, job->hklList.overallB);
    RunSolveStructure(&ms.search, run->method, effort);
    RemovePatternParameters(model);
    return ms.context.stopped;
  };
  bool stopped = false;
  if (restarts == 1) {
    stopped = search(0, m, w, true);
  } else {
    // Every restart searches its own copy of the model as it came, and the
    // copy of lowest cost comes back (of equals, the first restart's):
    // which lane ran a restart, and when, changes nothing, so the result is
    // the same on any number of threads. A lane keeps only its best copy.
    struct Lane {
      WorkerCopy *copy = nullptr;
      CrystalModel work, best;
      long bestRestart = -1;
      double bestCost = 0;
    };
    const size_t count =
        static_cast<size_t>(std::min<int64_t>(std::max(lanes, 1), restarts));
    std::vector<Lane> all(count);
    std::vector<WorkerCopy> own(count - 1);
    std::atomic<uint32_t> next{0}, searched{0};
    std::atomic<bool> halted{false};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto drive = [&](Lane *l, bool reporting) {
      try {
        for (uint32_t k; !Stopping(stop) && (k = next.fetch_add(1)) < restarts;) {
          CopyCrystalModel(*m, &l->work);
          if (search(k, &l->work, l->copy, reporting)) halted = true;
          ++searched;
          l->work.bondPenalty = ModelBondPenalty(&l->work, &l->copy->crystal, figure);
          const double cost = SearchCost(&l->work, penalty);
          if (l->bestRestart < 0 || cost < l->bestCost) {
            CopyCrystalModel(l->work, &l->best);
            l->bestRestart = k;
            l->bestCost = cost;
          }
        }
      } catch (...) {
        std::lock_guard<std::mutex> hold(failureLock);
        if (!failure) failure = std::current_exception();
        next = restarts;
      }
    };
    all[0].copy = w;
    std::vector<std::thread> pool;
    try {
      for (size_t h = 1; h < count; ++h) {
        own[h - 1].Prepare(job);
        all[h].copy = &own[h - 1];
        pool.emplace_back(drive, &all[h], false);
      }
    } catch (const std::exception &) {
      // Fewer lanes still search every restart.
    }
    drive(&all[0], true);
    for (std::thread &t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
    stopped = halted || searched < restarts;
    const Lane *best = nullptr;
    for (const Lane &l : all)
      if (l.bestRestart >= 0 &&
          (!best || l.bestCost < best->bestCost ||
           (l.bestCost == best->bestCost && l.bestRestart < best->bestRestart)))
        best = &l;
    if (best) CopyCrystalModel(best->best, m);
  }
  m->bondPenalty = ModelBondPenalty(m, &w->crystal, figure);
  run->seconds = SecondsSince(start);
  run->stopped = stopped;
  run->finished = !stopped;
}

std::string SolvingHead(const CrystalModel *m, const StageSettings &settings, int method,
                        int round, double share) {
  std::string head = "\n-----------------------------------------\nSolving model " +
                     std::to_string(m->modelNumber);
  if (round < 0) {
    head += " (searched first, before the race)";
  } else if (share < 1 || round > 0) {
    char text[96];
    std::snprintf(text, sizeof text, " (race round %d, %.0f%% of its effort)", round + 1,
                  100 * share);
    head += text;
  }
  return head + ":\n" + SettingsText(settings, method);
}

std::string SolvingTail(const CrystalModel *m, const ModelRun &run) {
  char tail[256];
  if (run.finished)
    std::snprintf(tail, sizeof tail,
                  "Model %d has been solved.\nBest Bragg factor %f, use time %fs\n",
                  m->modelNumber, m->Rmin, run.seconds);
  else
    std::snprintf(tail, sizeof tail,
                  "Model %d was stopped.\nBest Bragg factor so far %f, use time %fs\n",
                  m->modelNumber, m->Rmin, run.seconds);
  return tail;
}

}  // namespace

StageSettings OptimizationSettings(const Config &c) {
  StageSettings s;
  s.method = c.optimizationMethod;
  s.autoGridSearch = c.autoGridSearch;
  s.autoDimension = c.autoDimension;
  s.resolution = c.searchResolution;
  s.traditional = {static_cast<uint32_t>(c.tradiSaCycles), c.tradiSaStartT, c.tradiSaEndT,
                   c.tradiSaRate, static_cast<uint32_t>(c.tradiSaMoves)};
  s.adaptive = {static_cast<uint32_t>(c.adaptSaCycles), c.adaptSaStartT, c.adaptSaEndT,
                static_cast<uint32_t>(c.adaptSaMoves), c.adaptSaStrategy};
  s.tempering = {static_cast<uint32_t>(c.temperingReplicas), c.temperingHotT, c.temperingColdT,
                 static_cast<uint32_t>(c.temperingMoves)};
  s.autoEffort = c.autoEffort;
  s.restarts = static_cast<uint32_t>(std::max(c.restarts, 1));
  s.racing = c.racing;
  s.freestFirst = static_cast<uint32_t>(std::max(c.freestFirstRestarts, 0));
  return s;
}

StageSettings RefinementSettings(const Config &c) {
  StageSettings s;
  s.method = c.refineOptimizationMethod;
  s.autoGridSearch = c.refineAutoGridSearch;
  s.autoDimension = c.refineAutoDimension;
  s.resolution = c.refineSearchResolution;
  s.traditional = {static_cast<uint32_t>(c.refineTradiSaCycles), c.refineTradiSaStartT,
                   c.refineTradiSaEndT, c.refineTradiSaRate,
                   static_cast<uint32_t>(c.refineTradiSaMoves)};
  s.adaptive = {static_cast<uint32_t>(c.refineAdaptSaCycles), c.refineAdaptSaStartT,
                c.refineAdaptSaEndT, static_cast<uint32_t>(c.refineAdaptSaMoves),
                c.refineAdaptSaStrategy};
  s.tempering = {static_cast<uint32_t>(c.refineTemperingReplicas), c.refineTemperingHotT,
                 c.refineTemperingColdT, static_cast<uint32_t>(c.refineTemperingMoves)};
  s.autoEffort = c.refineAutoEffort;
  s.restarts = static_cast<uint32_t>(std::max(c.refineRestarts, 1));
  return s;
}

int ChooseMethod(const StageSettings &settings, const CrystalModel *model) {
  if (settings.method == METHOD_GRID ||
      (settings.autoGridSearch == 1 && model->freeCount <= settings.autoDimension))
    return METHOD_GRID;
  return settings.method;
}

double AvailableMemory() {
  // MemAvailable counts the caches the kernel would give back; without it,
  // the free pages.
  if (std::FILE *f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    double kib = 0;
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "MemAvailable: %lf kB", &kib) == 1) break;
    std::fclose(f);
    if (kib > 0) return kib * 1024;
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  return pages > 0 && size > 0 ? static_cast<double>(pages) * size : 0;
}

int StageThreads(const Job *job) {
  int n = job->settings.threads;
  if (n <= 0) {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    n = online > 0 ? static_cast<int>(online) : 1;
  }
  return std::min(n, kMaxThreads);
}

bool ForEachModel(const Job *job, size_t count, const StopFlag *stop,
                  const std::function<void(size_t index, int worker)> &fn) {
  const int threads = static_cast<int>(std::min<size_t>(static_cast<size_t>(StageThreads(job)),
                                                        std::max<size_t>(count, 1)));
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto work = [&](int worker) {
    for (;;) {
      if (failed.load() || Stopping(stop)) return;
      const size_t i = next.fetch_add(1);
      if (i >= count) return;
      try {
        fn(i, worker);
      } catch (const std::bad_alloc &) {
        Message(MESSAGE_ERROR, "solving models, not enough memory!\n");
        failed = true;
      } catch (const std::exception &e) {
        Message(MESSAGE_ERROR, "solving models, %s\n", e.what());
        failed = true;
      }
    }
  };
  if (threads <= 1) {
    work(0);
    return !failed.load();
  }
  std::vector<std::thread> pool;
  try {
    for (int w = 1; w < threads; ++w) pool.emplace_back(work, w);
  } catch (const std::exception &e) {
    // Fewer workers than asked for still finish the work.
    Message(MESSAGE_WARNING, "solving models, can not start more worker threads: %s\n", e.what());
  }
  work(0);
  for (std::thread &t : pool) t.join();
  return !failed.load();
}

namespace {

// A stage's round over its models: each on a worker's own copies, between
// the started and finished reports. A failure is reported by ForEachModel;
// the models done keep their results, and each stage counts them.
template <typename Work>
void ForEachModelOnCopies(Job *job, const std::vector<CrystalModel *> &models, int stage,
                          const ModelReportFunction &report, const StopFlag *stop, Work work) {
  std::vector<WorkerCopy> copies(static_cast<size_t>(StageThreads(job)));
  static_cast<void>(ForEachModel(job, models.size(), stop, [&](size_t i, int worker) {
    WorkerCopy &w = copies[static_cast<size_t>(worker)];
    w.Prepare(job);
    CrystalModel *m = models[i];
    Tell(report, REPORT_MODEL_STARTED, stage, m, i, models.size(), worker);
    const ModelRun *run = work(i, m, &w, worker);
    Tell(report, REPORT_MODEL_FINISHED, stage, m, i, models.size(), worker, run);
  }));
}

}  // namespace

std::vector<CrystalModel *> AllModels(Job *job) {
  std::vector<CrystalModel *> all;
  all.reserve(job->models.models.size());
  for (CrystalModel &m : job->models.models) all.push_back(&m);
  return all;
}

namespace {

// 2577 as "2,577": counts of combinations are read at a glance.
std::string GroupedNumber(long long n) {
  std::string digits = std::to_string(n < 0 ? -n : n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return n < 0 ? "-" + out : out;
}

}  // namespace

bool GenerateJobModels(Job *job, const StopFlag *stop,
                       const std::function<void(int phase, long count)> &phase) {
  PrepareJobPositions(job);
  FreeCombination(&job->combination);
  InitializeCombination(&job->combination);
  job->filtered.clear();
  job->filteredCount = 0;
  FreeModelSelection(&job->selection);
  FreeCrystalModel(&job->models);
  Message(MESSAGE_PLAIN, "Enumerating Wyckoff position combinations...\n");
  EnumerationLimits limits;
  limits.budget = job->settings.enumerationBudget;
  limits.stop = stop;
  // The models may take most of the memory that is free now; solving them
  // needs little more.
  limits.maxBytes = job->settings.modelMemory > 0 ? job->settings.modelMemory
                                                  : 0.75 * AvailableMemory();
  limits.bytesPerRow = sizeof(CrystalModel) + 128;
  limits.bytesPerAtom = sizeof(AtomModel) + 3 * sizeof(double *) + 16;
  for (const Element &e : job->compound.entries)
    limits.atomsPerSet.push_back(e.members.empty() ? 1 : static_cast<int>(e.members.size()));
  // Fixed coordinates name a letter and place atoms at given values that an
  // origin shift would move: with them, equivalent combinations are
  // different models, and every one is kept.
  const bool reduce = job->config.allCombinations == 0 && job->config.fixedCoordinates.empty();
  if (job->config.allCombinations == 0 && !job->config.fixedCoordinates.empty())
    Message(MESSAGE_HINT,
            "generating models, fixed coordinates make equivalent combinations different models; "
            "all combinations are kept\n");
  const CombinationSymmetry symmetry =
      SpaceGroupCombinationSymmetry(job->crystal.spaceGroup, reduce);
  const int found = GetCombination(&job->compound, &job->combPositions, &job->combination, limits,
                                   symmetry);
  if (found == kEnumerationStopped) {
    Message(MESSAGE_HINT, "generating models, stopped\n");
    return false;
  }
  if (found < 0) return false;
  if (found == 0) {
    Message(MESSAGE_ERROR,
            "generating models, the formula %s with Z = %d admits no combination of Wyckoff "
            "positions in space group no. %d (setting %d)\n",
            job->config.formular.c_str(), job->config.formularZ, job->config.sgNumber,
            job->config.sgSetting);
    return false;
  }
  Message(MESSAGE_PLAIN, "%ld possible combinations has been found.\n",
          static_cast<long>(job->combination.found));
  if (!symmetry.permutations.empty())
    // Said by default: the user sees why fewer models than combinations
    // are made.
    Message(MESSAGE_HINT, "%s combinations, %s classes up to origin shift and other normalizer "
                          "operations%s\n",
            GroupedNumber(job->combination.found).c_str(),
            GroupedNumber(job->combination.classes).c_str(),
            reduce ? "; one model per class" : "; all kept");
  if (phase) phase(1, found);
  Message(MESSAGE_PLAIN, "Creating models from the combinations...\n");
  try {
    if (!CreateModelList(&job->compound, &job->combPositions, &job->combination, &job->models,
                         !job->crystal.spaceGroup.translations.empty()))
      return false;
  } catch (const std::bad_alloc &) {
    FreeCrystalModel(&job->models);
    Message(MESSAGE_ERROR, "generating models, not enough memory for %d models!\n", found);
    return false;
  }
  // Coordinates the user fixed apply to every model made, as the control
  // file says; the parameter lists follow.
  if (!job->config.fixedCoordinates.empty()) {
    long changed = 0;
    for (CrystalModel &m : job->models.models)
      if (SetFixedCoordinates(&m, job->config.fixedCoordinates)) {
        UpdateParaList(&m);
        ++changed;
      }
    Message(MESSAGE_HINT, "fixed coordinates applied to %ld of %d models\n", changed,
            job->models.count);
  }
  if (phase) phase(2, job->models.count);
  return true;
}

BondPenaltySettings JobBondPenalty(const Job *job) {
  BondPenaltySettings s;
  if (job->config.bondPenalty) s.minima = &job->bondLengths;
  s.factor = 1 - job->settings.bondTolerance / 100;
  s.weight = job->config.bondPenaltyWeight;
  s.valence = job->config.bondValenceWeight;
  return s;
}

PruneCounts PruneJobModels(Job *job, const StopFlag *stop) {
  PruneCounts counts;
  if (!job->config.bondPruning || job->models.models.empty()) return counts;
  const double factor = 1 - job->settings.bondTolerance / 100;
  std::vector<int> verdict(job->models.models.size(), PRUNE_KEPT);
  const bool whole = ForEachModel(job, verdict.size(), stop, [&](size_t i, int) {
    const CrystalModel &m = job->models.models[i];
    verdict[i] = BondPruneModel(&m, &job->crystal,
                                ModelContactMinima(&m, &job->bondLengths, factor));
  });
  if (!whole || Stopping(stop)) return counts;
  std::deque<CrystalModel> kept;
  for (size_t i = 0; i < verdict.size(); ++i) {
    counts.removed[verdict[i]]++;
    if (verdict[i] != PRUNE_KEPT) continue;
    // A move keeps the atoms' storage, so the parameter list stays valid.
    kept.push_back(std::move(job->models.models[i]));
    kept.back().modelNumber = static_cast<int32_t>(kept.size());
  }
  job->models.models.swap(kept);
  job->models.count = static_cast<int32_t>(job->models.models.size());
  Message(MESSAGE_HINT,
          "bond-length pruning, %zu of %zu models removed: %zu whose fixed atoms are too close "
          "already, %zu with an atom that finds no room on its position; %d left\n",
          counts.total(), verdict.size(), counts.removed[PRUNE_FIXED_ATOMS],
          counts.removed[PRUNE_NO_ROOM], job->models.count);
  return counts;
}

size_t EvaluateModels(Job *job, const std::vector<CrystalModel *> &models,
                      const ModelReportFunction &report, const StopFlag *stop) {
  const int selector = job->config.radiation;
  std::atomic<size_t> done{0};
  ForEachModelOnCopies(job, models, STAGE_EVALUATION, report, stop,
                       [&](size_t, CrystalModel *m, WorkerCopy *w, int) -> const ModelRun * {
                         SetModelFactor(m, &w->crystal, &w->list, selector);
                         ++done;
                         return nullptr;
                       });
  return done.load();
}

size_t StatisticTestModels(Job *job, const std::vector<CrystalModel *> &models,
                           const ModelReportFunction &report, const StopFlag *stop) {
  const Config &c = job->config;
  Message(MESSAGE_PLAIN, "\t\tTrials\t\tRmin\t\tRavg\t\tRsd\t\tFOM\n%s\n",
          std::string(90, '-').c_str());
  std::atomic<size_t> done{0};
  ForEachModelOnCopies(job, models, STAGE_STATISTIC, report, stop,
                       [&](size_t i, CrystalModel *m, WorkerCopy *w,
                           int worker) -> const ModelRun * {
    const uint32_t trials = c.autoStCircles ? StatisticTestAutoTrails(m)
                                            : static_cast<uint32_t>(std::max(c.statisticCircles, 0));
    ModelSearch ms(job, w, m, STAGE_STATISTIC, i, models.size(), worker, report, stop);
    RunStatisticTest(&ms.search, static_cast<uint32_t>(std::max(c.statisticCircles, 0)),
                     c.autoStCircles, StatisticCallback, &ms.context);
    Message(MESSAGE_PLAIN, "Model #%d:\t%-10ld\t%f\t%f\t%f\t%f\n", m->modelNumber,
            static_cast<long>(trials), m->Rmin, m->Ravg, m->Rsd, m->FOM);
    if (!ms.context.stopped) ++done;
    return nullptr;
  });
  return done.load();
}

uint32_t FilterJobModels(Job *job, int flags) {
  FilterSettings filter;
  filter.filterType = job->config.filterType;
  filter.fomThreshold = job->config.fomThreshold;
  filter.avgThreshold = job->config.avgThreshold;
  filter.sdThreshold = job->config.sdThreshold;
  filter.bestThreshold = job->config.bestThreshold;
  job->filtered = ModelsStatisticFilter(&job->models, filter, flags, &job->filteredCount);
  return job->filteredCount;
}

uint64_t SearchSeed(uint64_t runSeed, int modelNumber, int stage, int round, int restart) {
  const uint64_t seed = ModelSeed(runSeed, modelNumber, stage);
  if (round == 0 && restart == 0) return seed;
  return MixSeed(MixSeed(seed + static_cast<uint64_t>(static_cast<uint32_t>(round))) +
                 static_cast<uint64_t>(static_cast<uint32_t>(restart)));
}

namespace {

// Threads each model's restarts may use when a round has fewer models than
// the stage has threads: the rest of them, shared out.
int RestartLanes(const Job *job, size_t models) {
  const size_t threads = static_cast<size_t>(StageThreads(job));
  return models > 0 && models < threads ? static_cast<int>(threads / models) : 1;
}

}  // namespace

std::vector<ModelRun> SolveModels(Job *job, const std::vector<CrystalModel *> &models,
                                  const StageSettings &settings, int stage,
                                  const ModelReportFunction &report, const StopFlag *stop) {
  if (settings.racing) return RaceModels(job, models, settings, stage, report, stop);
  std::vector<ModelRun> runs(models.size());
  std::vector<char> started(models.size(), 0);
  // On one thread the log reads as the work goes; with several, each
  // model's lines come as one block when it is done, so that blocks of
  // models solved side by side do not mix.
  const bool together = StageThreads(job) > 1 && models.size() > 1;
  const int lanes = RestartLanes(job, models.size());
  std::mutex timeLock;
  double totalSeconds = 0;
  const auto began = std::chrono::steady_clock::now();
  ForEachModelOnCopies(job, models, stage, report, stop,
                       [&](size_t i, CrystalModel *m, WorkerCopy *w,
                           int worker) -> const ModelRun * {
    ModelRun &run = runs[i];
    started[i] = 1;
    run.model = m;
    run.method = ChooseMethod(settings, m);
    const std::string head = SolvingHead(m, settings, run.method, 0, 1);
    if (!together) Message(MESSAGE_PLAIN, "%s", head.c_str());
    SearchModel(job, w, m, settings, stage, 0, 1, i, models.size(), worker, lanes, report, stop,
                &run);
    {
      std::lock_guard<std::mutex> lock(timeLock);
      totalSeconds += run.seconds;
    }
    const std::string tail = SolvingTail(m, run);
    if (together)
      Message(MESSAGE_PLAIN, "%s%s", head.c_str(), tail.c_str());
    else
      Message(MESSAGE_PLAIN, "%s", tail.c_str());
    return &run;
  });
  ReportTimeUsed(began, totalSeconds);
  std::vector<ModelRun> out;
  for (size_t i = 0; i < models.size(); ++i)
    if (started[i]) out.push_back(runs[i]);
  return out;
}

double RaceFirstShare(size_t models) {
  double share = kRaceFirstShare;
  for (size_t n = 64; n < models && share > kRaceSmallestShare; n *= 4) share /= 2;
  return share;
}

std::vector<ModelRun> RaceModels(Job *job, const std::vector<CrystalModel *> &models,
                                 const StageSettings &settings, int stage,
                                 const ModelReportFunction &report, const StopFlag *stop,
                                 const RaceTeam &team, const std::vector<ModelRun> *earlier,
                                 bool *ok) {
  if (ok) *ok = true;
  const BondPenaltySettings penalty = JobBondPenalty(job);
  const size_t n = models.size();
  std::unordered_map<const CrystalModel *, size_t> position;
  std::vector<ModelRun> runs(n);
  std::vector<char> started(n, 0), racing(n, 1);
  for (size_t i = 0; i < n; ++i) {
    position[models[i]] = i;
    runs[i].model = models[i];
    runs[i].method = ChooseMethod(settings, models[i]);
  }
  if (earlier)
    for (const ModelRun &e : *earlier) {
      auto found = position.find(e.model);
      if (found == position.end()) continue;
      runs[found->second] = e;
      runs[found->second].rounds = team.firstRound;
      started[found->second] = 1;
    }
  const bool together = StageThreads(job) > 1;
  std::vector<WorkerCopy> copies(static_cast<size_t>(StageThreads(job)));
  std::mutex timeLock;
  double totalSeconds = 0;
  const auto began = std::chrono::steady_clock::now();
  auto finish = [&](size_t i) {
    if (started[i]) Tell(report, REPORT_MODEL_FINISHED, stage, models[i], i, n, 0, &runs[i]);
  };
  // One round's searches of the entrants, shared out among the team and
  // exchanged; the runs take the figures. Round -1 is the freest models'
  // search before the race. Whether the round failed.
  auto searchRound = [&](const std::vector<size_t> &entrants, const StageSettings &roundSettings,
                         int round, double share) {
    std::vector<CrystalModel *> field;
    for (size_t i : entrants) field.push_back(models[i]);
    const std::vector<CrystalModel *> mine = team.share ? team.share(field) : field;
    const int lanes = RestartLanes(job, mine.size());
    const int shown = std::max(round, 0);
    std::vector<ModelRun> roundRuns(mine.size());
    std::vector<char> ran(mine.size(), 0);
    bool failed = !ForEachModel(job, mine.size(), stop, [&](size_t k, int worker) {
      WorkerCopy &w = copies[static_cast<size_t>(worker)];
      w.Prepare(job);
      const size_t i = position.at(mine[k]);
      CrystalModel *m = models[i];
      ModelRun &run = roundRuns[k];
      run.model = m;
      run.method = runs[i].method;
      ran[k] = 1;
      Tell(report, REPORT_MODEL_STARTED, stage, m, i, n, worker, nullptr, shown);
      // A grid search has seen every point in its first search; later
      // rounds leave it be.
      if (round <= 0 || run.method != METHOD_GRID) {
        const std::string head = SolvingHead(m, roundSettings, run.method, round, share);
        if (!together) Message(MESSAGE_PLAIN, "%s", head.c_str());
        SearchModel(job, &w, m, roundSettings, stage, round, share, i, n, worker, lanes, report,
                    stop, &run);
        const std::string tail = SolvingTail(m, run);
        if (together)
          Message(MESSAGE_PLAIN, "%s%s", head.c_str(), tail.c_str());
        else
          Message(MESSAGE_PLAIN, "%s", tail.c_str());
        std::lock_guard<std::mutex> lock(timeLock);
        totalSeconds += run.seconds;
      } else {
        run.finished = true;
      }
      Tell(report, REPORT_ROUND_FINISHED, stage, m, i, n, worker, &run, shown);
    });
    std::vector<ModelRun> got;
    for (size_t k = 0; k < mine.size(); ++k)
      if (ran[k]) got.push_back(roundRuns[k]);
    if (!failed && team.gather && !team.gather(field, &got)) failed = true;
    for (const ModelRun &g : got) {
      auto found = position.find(g.model);
      if (found == position.end()) continue;
      ModelRun &run = runs[found->second];
      started[found->second] = 1;
      run.method = g.method;
      run.seconds += g.seconds;
      run.stopped = run.stopped || g.stopped;
      run.finished = false;
      run.rounds = round + 1;
    }
    return failed;
  };
  // The models of most free coordinates first, searched hard: in low
  // symmetry the structure most often has every atom on a general position,
  // and that model's search is the hardest, more than a race's short rounds
  // can rank. They then stand in the race searched, its entrants measured
  // against them. Shards see only their part of the field, so only a race
  // run in one piece does this.
  double firstCost = -1;  // the lowest cost of the models searched first
  bool ended = false;
  const bool inOnePiece = team.firstRound == 0 && team.lastRound < 0;
  if (settings.freestFirst > 0 && !inOnePiece)
    Message(MESSAGE_HINT,
            "racing models, FREEST_FIRST_RESTARTS is left out: a shard sees only its part of "
            "the models\n");
  if (settings.freestFirst > 0 && inOnePiece) {
    std::vector<size_t> freest;
    int most = 0;
    for (const CrystalModel *m : models) most = std::max(most, m->freeCount);
    for (size_t i = 0; i < n; ++i)
      if (models[i]->freeCount == most) freest.push_back(i);
    if (freest.size() == n) freest.clear();
    if (!freest.empty()) {
      StageSettings first = settings;
      first.method = METHOD_TEMPERING;
      first.restarts = settings.freestFirst;
      Message(MESSAGE_HINT,
              "racing models, searching first the %zu of most free coordinates (%d), by "
              "parallel tempering with %u restarts\n",
              freest.size(), most, first.restarts);
      for (size_t i : freest) runs[i].method = ChooseMethod(first, models[i]);
      const bool failed = searchRound(freest, first, -1, 1);
      for (size_t i : freest) {
        racing[i] = 0;  // it stands searched; it does not race
        runs[i].finished = !(failed || Stopping(stop));
        runs[i].stopped = runs[i].stopped || !runs[i].finished;
        finish(i);
        if (started[i] && (firstCost < 0 || SearchCost(models[i], penalty) < firstCost))
          firstCost = SearchCost(models[i], penalty);
      }
      if (failed || Stopping(stop)) {
        if (failed && ok) *ok = false;
        for (size_t i = 0; i < n; ++i) racing[i] = 0;
        ended = true;
      }
    }
  }
  double share = RaceFirstShare(n);
  for (int round = 0; !ended; ++round, share = std::min(1.0, 2 * share)) {
    std::vector<size_t> entrants;
    for (size_t i = 0; i < n; ++i)
      if (racing[i]) entrants.push_back(i);
    if (entrants.empty()) break;
    std::vector<double> before(n);
    for (size_t i = 0; i < n; ++i) before[i] = SearchCost(models[i], penalty);
    const bool failed = round >= team.firstRound && searchRound(entrants, settings, round, share);
    // A stop, or a failure, ends the race where it stands: the models still
    // in it keep the best they found, marked stopped.
    if (failed || Stopping(stop)) {
      if (failed && ok) *ok = false;
      for (size_t i : entrants) {
        runs[i].stopped = true;
        runs[i].finished = false;
        finish(i);
      }
      break;
    }
    // A grid search has seen every point: it leaves the race searched to
    // the end, its figures still the mark the others are measured by.
    std::vector<size_t> searching;
    for (size_t i : entrants) {
      if (runs[i].method != METHOD_GRID) {
        searching.push_back(i);
        continue;
      }
      racing[i] = 0;
      runs[i].finished = true;
      finish(i);
    }
    entrants.swap(searching);
    if (entrants.empty()) break;
    // Shards end the race after their first round; the merge goes on.
    const bool last = share >= 1 || (team.lastRound >= 0 && round >= team.lastRound);
    std::stable_sort(entrants.begin(), entrants.end(),
                     [&](size_t a, size_t b) {
                       const double ca = SearchCost(models[a], penalty),
                                    cb = SearchCost(models[b], penalty);
                       if (ca != cb) return ca < cb;
                       return models[a]->modelNumber < models[b]->modelNumber;
                     });
    const size_t leader = entrants.front();
    double next = -1;
    for (size_t i = 0; i < n; ++i)
      if (i != leader && started[i] && (next < 0 || SearchCost(models[i], penalty) < next))
        next = SearchCost(models[i], penalty);
    const double lead = SearchCost(models[leader], penalty);
    const bool settled =
        round >= 1 && next > 0 && lead < kRaceLead * next && lead >= kRaceSettled * before[leader];
    // A model searched first that is as clearly ahead of every entrant ends
    // the race, already after the first round: its search was whole, so it
    // is settled, and the entrants' first round is what the race halves
    // the field on anyway.
    const bool beaten = firstCost >= 0 && firstCost < kRaceLead * lead;
    const size_t keep =
        beaten ? 0 : last ? entrants.size() : settled ? 1 : (entrants.size() + 1) / 2;
    for (size_t k = 0; k < entrants.size(); ++k) {
      const size_t i = entrants[k];
      if (k >= keep) {
        racing[i] = 0;
        runs[i].dropped = true;
        runs[i].finished = true;
        finish(i);
      } else if (last) {
        runs[i].finished = true;
        finish(i);
      }
    }
    if (beaten)
      Message(MESSAGE_HINT,
              "racing models, a model searched first is clearly ahead of the %zu left after "
              "round %d; the race ends\n",
              entrants.size(), round + 1);
    if (last || beaten) break;
    if (settled) {
      // Clearly ahead is not yet converged: a round's short search only
      // failed to beat the leader's best. The leader alone goes on to the
      // last round, searched with its whole effort.
      Message(MESSAGE_HINT,
              "racing models, model %d is clearly ahead after round %d; it is searched with "
              "its whole effort\n",
              models[leader]->modelNumber, round + 1);
      share = 0.5;  // the loop doubles it to the whole effort
    }
  }
  ReportTimeUsed(began, totalSeconds);
  std::vector<ModelRun> out;
  for (size_t i = 0; i < n; ++i)
    if (started[i]) out.push_back(runs[i]);
  return out;
}

int StagePatternParameters(const Config &c, int stage) {
  int which = 0;
  if (JobHasPreferredOrientation(c) && c.refinePrefOrient == 1 &&
      (stage == STAGE_OPTIMIZATION || stage == STAGE_REFINEMENT))
    which |= PATTERN_TEXTURE;
  if (stage == STAGE_REFINEMENT && (c.refineOverallB == 1 || c.autoOverallB == 1))
    which |= PATTERN_OVERALL_B;
  return which;
}

std::vector<CrystalModel *> ChooseRefinementModels(Job *job,
                                                   const std::vector<CrystalModel *> &solved,
                                                   bool validOnly) {
  std::vector<CrystalModel *> sorted;
  for (CrystalModel *m : solved)
    if (!validOnly || (m->validity & VALIDITY_BOND_LENGTHS)) sorted.push_back(m);
  SortModels(&sorted);
  const uint32_t n = static_cast<uint32_t>(std::max(job->config.refineN, 0));
  SelectionLevel level;
  std::vector<CrystalModel *> chosen =
      CrystalModelsOf(sorted, job->config.refine, n, job->config.refineThreshold, &level);
  job->selection.levels.push_back(level);
  job->selection.depth++;
  return chosen;
}

size_t CheckModelsBondLengths(Job *job, const std::vector<CrystalModel *> &models,
                              double tolerancePercent, const ModelReportFunction &report,
                              const StopFlag *stop) {
  const double factor = 1 - tolerancePercent / 100;
  std::atomic<size_t> done{0};
  ForEachModelOnCopies(job, models, STAGE_BOND_LENGTHS, report, stop,
                       [&](size_t, CrystalModel *m, WorkerCopy *w, int) -> const ModelRun * {
    GenerateBondLengths(&m->bondLengths, &w->crystal, m, -0.5, 1.5, -0.5, 1.5, -0.5, 1.5);
    if (CheckBondLengthValidity(&m->bondLengths, &job->bondLengths, factor)) {
      m->validity |= VALIDITY_BOND_LENGTHS;
      Message(MESSAGE_PLAIN, "Model #%d [V].\n", m->modelNumber);
    } else {
      m->validity &= ~VALIDITY_BOND_LENGTHS;
      Message(MESSAGE_PLAIN, "Model #%d [X].\n", m->modelNumber);
    }
    ++done;
    return nullptr;
  });
  return done.load();
}

size_t SetModelsFixedCoordinates(Job *job, const std::vector<CrystalModel *> &models, bool set) {
  WorkerCopy w;
  w.Prepare(job);
  size_t changed = 0;
  for (CrystalModel *m : models) {
    const int hit = set ? SetFixedCoordinates(m, job->config.fixedCoordinates)
                        : ResetFixedCoordinates(m, job->config.fixedCoordinates);
    if (!hit) continue;
    ++changed;
    UpdateParaList(m);
    SetModelFactor(m, &w.crystal, &w.list, job->config.radiation);
  }
  return changed;
}

bool WriteModelOutputs(const Job *job, const CrystalModel *model, const std::string &cifPath,
                       const std::string &hklPath) {
  Crystal crystal = job->crystal;
  UpdateCrystalByModel(&crystal, model, nullptr, 1);
  bool ok = true;
  if (!cifPath.empty()) {
    if (WriteCIFFile(cifPath.c_str(), &crystal, job, model))
      Message(MESSAGE_PLAIN, "%s has been created.\n", cifPath.c_str());
    else
      ok = false;
  }
  if (!hklPath.empty()) {
    HKLList list = job->hklList;
    ApplyModelPattern(model, &list);
    CalculateIntensity(&list, &crystal, job->config.radiation);
    if (WriteHKLListFile(hklPath.c_str(), &list))
      Message(MESSAGE_PLAIN, "%s has been created.\n", hklPath.c_str());
    else
      ok = false;
  }
  return ok;
}

ModelResult ResultOfModel(const CrystalModel &model, const ModelRun *run) {
  ModelResult r;
  r.modelNumber = model.modelNumber;
  r.Rmin = model.Rmin;
  r.Ravg = model.Ravg;
  r.Rsd = model.Rsd;
  r.FOM = model.FOM;
  r.runMinimum = model.runMinimum;
  r.bondPenalty = model.bondPenalty;
  r.selected = model.selected;
  r.validity = model.validity;
  r.values.reserve(model.parameterList.size());
  for (const double *p : model.parameterList) r.values.push_back(*p);
  r.patternParameters = model.patternParameters;
  r.marchR = model.marchR;
  r.overallB = model.overallB;
  if (run) {
    r.solved = true;
    r.method = run->method;
    r.seconds = run->seconds;
    r.finished = run->finished;
    r.stopped = run->stopped;
  }
  return r;
}

bool RestoreModelResult(const ModelResult &result, CrystalModel *model, ModelRun *run) {
  if (result.modelNumber != model->modelNumber ||
      result.values.size() != model->parameterList.size()) {
    Message(MESSAGE_ERROR,
            "restoring results, the result of model %d with %zu free parameters does not fit "
            "model %d with %zu\n",
            result.modelNumber, result.values.size(), model->modelNumber,
            model->parameterList.size());
    return false;
  }
  model->Rmin = result.Rmin;
  model->Ravg = result.Ravg;
  model->Rsd = result.Rsd;
  model->FOM = result.FOM;
  model->runMinimum = result.runMinimum;
  model->bondPenalty = result.bondPenalty;
  model->selected = result.selected;
  model->validity = result.validity;
  for (size_t i = 0; i < result.values.size(); ++i) *model->parameterList[i] = result.values[i];
  model->patternParameters = result.patternParameters;
  model->marchR = result.marchR;
  model->overallB = result.overallB;
  if (run && result.solved) {
    run->model = model;
    run->method = result.method;
    run->seconds = result.seconds;
    run->finished = result.finished;
    run->stopped = result.stopped;
  }
  return true;
}

namespace {

// Hexadecimal floating point: every bit of the double, read back by strtod.
void AppendExact(std::string *text, double value) {
  char b[40];
  std::snprintf(b, sizeof b, " %a", value);
  *text += b;
}

bool ReadLong(const std::string &token, long long lo, long long hi, long long *value) {
  if (token.empty() || std::isspace(static_cast<unsigned char>(token[0]))) return false;
  errno = 0;
  char *end = nullptr;
  const long long v = std::strtoll(token.c_str(), &end, 10);
  if (*end || errno == ERANGE || v < lo || v > hi) return false;
  *value = v;
  return true;
}

bool ReadDouble(const std::string &token, double *value) {
  if (token.empty() || std::isspace(static_cast<unsigned char>(token[0]))) return false;
  char *end = nullptr;
  *value = std::strtod(token.c_str(), &end);
  return *end == '\0';
}

}  // namespace

std::string FormatModelResult(const ModelResult &r) {
  std::string text = "model " + std::to_string(r.modelNumber) + " " + std::to_string(r.selected) +
                     " " + std::to_string(r.validity);
  for (double v : {r.Rmin, r.Ravg, r.Rsd, r.FOM, r.runMinimum, r.bondPenalty})
    AppendExact(&text, v);
  text += " " + std::to_string(r.values.size());
  for (double v : r.values) AppendExact(&text, v);
  if (r.solved) {
    text += " run " + std::to_string(r.method);
    AppendExact(&text, r.seconds);
    text += r.finished ? " 1" : " 0";
    text += r.stopped ? " 1" : " 0";
  } else {
    text += " none";
  }
  // Only for models that carry them, so that other results read as before.
  if (r.patternParameters) {
    text += " pattern " + std::to_string(r.patternParameters);
    AppendExact(&text, r.marchR);
    AppendExact(&text, r.overallB);
  }
  return text;
}

bool ParseModelResult(const std::string &line, ModelResult *result, std::string *error) {
  std::vector<std::string> t;
  for (size_t i = 0; i < line.size();) {
    const size_t start = line.find_first_not_of(' ', i);
    if (start == std::string::npos) break;
    const size_t end = std::min(line.find(' ', start), line.size());
    t.push_back(line.substr(start, end - start));
    i = end;
  }
  auto fail = [&](const std::string &what) {
    *error = what;
    return false;
  };
  if (t.size() < 12 || t[0] != "model") return fail("not a model result");
  ModelResult r;
  long long v = 0;
  if (t.size() >= 16 && t[t.size() - 4] == "pattern") {
    if (!ReadLong(t[t.size() - 3], 1, PATTERN_TEXTURE | PATTERN_OVERALL_B, &v) ||
        !ReadDouble(t[t.size() - 2], &r.marchR) || !ReadDouble(t[t.size() - 1], &r.overallB) ||
        !ConfigAdmits("PREF_ORIENT_R", r.marchR) || !ConfigAdmits("OVERALL_B", r.overallB))
      return fail("bad pattern parameters");
    r.patternParameters = static_cast<int32_t>(v);
    t.resize(t.size() - 4);
  }
  if (!ReadLong(t[1], 1, INT32_MAX, &v)) return fail("bad model number '" + t[1] + "'");
  r.modelNumber = static_cast<int32_t>(v);
  if (!ReadLong(t[2], INT32_MIN, INT32_MAX, &v)) return fail("bad selection '" + t[2] + "'");
  r.selected = static_cast<int32_t>(v);
  if (!ReadLong(t[3], 0, UINT32_MAX, &v)) return fail("bad validity '" + t[3] + "'");
  r.validity = static_cast<uint32_t>(v);
  double *figures[] = {&r.Rmin, &r.Ravg, &r.Rsd, &r.FOM, &r.runMinimum, &r.bondPenalty};
  constexpr size_t kFigures = sizeof figures / sizeof figures[0];
  for (size_t i = 0; i < kFigures; ++i)
    if (!ReadDouble(t[4 + i], figures[i])) return fail("bad figure '" + t[4 + i] + "'");
  // The count is checked against what follows before anything is sized by it.
  const size_t at = 4 + kFigures;
  if (!ReadLong(t[at], 0, static_cast<long long>(t.size()), &v) ||
      t.size() < at + 2 + static_cast<size_t>(v))
    return fail("bad parameter count '" + t[at] + "'");
  const size_t n = static_cast<size_t>(v);
  r.values.resize(n);
  for (size_t i = 0; i < n; ++i)
    if (!ReadDouble(t[at + 1 + i], &r.values[i]))
      return fail("bad parameter value '" + t[at + 1 + i] + "'");
  const size_t k = at + 1 + n;
  if (t[k] == "none" && t.size() == k + 1) {
    *result = std::move(r);
    return true;
  }
  if (t[k] != "run" || t.size() != k + 5) return fail("bad run record");
  r.solved = true;
  if (!ReadLong(t[k + 1], METHOD_GRID, METHOD_TEMPERING, &v))
    return fail("bad method '" + t[k + 1] + "'");
  r.method = static_cast<int32_t>(v);
  if (!ReadDouble(t[k + 2], &r.seconds)) return fail("bad time '" + t[k + 2] + "'");
  if (!ReadLong(t[k + 3], 0, 1, &v)) return fail("bad finished flag '" + t[k + 3] + "'");
  r.finished = v != 0;
  if (!ReadLong(t[k + 4], 0, 1, &v)) return fail("bad stopped flag '" + t[k + 4] + "'");
  r.stopped = v != 0;
  *result = std::move(r);
  return true;
}
