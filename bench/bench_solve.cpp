// SPDX-License-Identifier: BSD-3-Clause
// Whole jobs through the kernel's stages, as pulvina-solve runs them
// (without writing files): wall time of every reference case and bundled
// example at one and at two threads, the annealing moves per second of one
// model, and one model's restarts at one and at two threads.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "stages.h"

namespace {

struct Case {
  std::string name, folder, control;
};

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const std::string root = PULVINA_SOURCE_DIR;
  for (const char *name : {"nacl", "cscl", "zns_sphalerite", "caf2_fluorite", "tio2_rutile",
                           "mgoh2_brucite"}) {
    const std::string folder = root + "/tests/data/" + name;
    if (Exists(folder + "/" + name + ".epc"))
      cases.push_back({name, folder, folder + "/" + name + ".epc"});
  }
  const std::pair<const char *, const char *> examples[] = {
      {"batio3", "batio3"}, {"zno_wurtzite", "zno"}, {"cawo4_scheelite", "cawo4"},
      {"mg2sio4_forsterite", "forsterite"}};
  for (const auto &e : examples) {
    const std::string folder = root + "/examples/" + e.first;
    cases.push_back({e.first, folder, folder + "/" + e.second + ".epc"});
  }
  return cases;
}

struct Prepared {
  Job job;
  bool ok = false;
  Prepared(const Case &c, int threads) {
    InitializeJob(&job);
    job.settings.threads = threads;
    job.settings.seed = 7;
    job.settings.annealingLog = nullptr;
    ok = ReadConfigFile(&job.config, c.control.c_str()) == CONFIG_READ && SetupJob(&job) &&
         GenerateJobModels(&job, nullptr) && ReadJobPeakFile(&job, c.folder) > 0;
  }
  ~Prepared() { FreeJob(&job); }
};

// Forsterite's model among the job's: of the two equivalent under an origin
// shift, the one the job keeps.
CrystalModel *TrueForsterite(Job *job) {
  for (CrystalModel &m : job->models.models) {
    const std::string epc = EPCStr(&m);
    if (epc == "Mg(4c)+Mg(4a)+Si(4c)+O(8d)+O(4c)+O(4c)" ||
        epc == "Mg(4c)+Mg(4b)+Si(4c)+O(8d)+O(4c)+O(4c)")
      return &m;
  }
  return nullptr;
}

// Everything after reading: first figures, statistic test, filter,
// optimisation, refinement, bond lengths.
void SolveJob(Job *job) {
  EvaluateModels(job, AllModels(job), nullptr, nullptr);
  StatisticTestModels(job, AllModels(job), nullptr, nullptr);
  FilterJobModels(job, 0);
  std::vector<ModelRun> runs = SolveModels(job, job->filtered, OptimizationSettings(job->config),
                                           STAGE_OPTIMIZATION, nullptr, nullptr);
  std::vector<CrystalModel *> solved;
  for (const ModelRun &r : runs) solved.push_back(r.model);
  SolveModels(job, ChooseRefinementModels(job, solved, false), RefinementSettings(job->config),
              STAGE_REFINEMENT, nullptr, nullptr);
  CheckModelsBondLengths(job, solved, job->settings.bondTolerance, nullptr, nullptr);
}

void BM_Job(benchmark::State &state, Case c, int threads) {
  MessageSink previous = SetMessageSink([](int, const std::string &) {});
  for (auto _ : state) {
    state.PauseTiming();
    auto p = std::make_unique<Prepared>(c, threads);
    if (!p->ok) {
      state.SkipWithError("the job cannot be set up");
      break;
    }
    state.ResumeTiming();
    SolveJob(&p->job);
    state.PauseTiming();
    p.reset();
    state.ResumeTiming();
  }
  SetMessageSink(std::move(previous));
}

// The optimisation stage of forsterite alone, after its statistic test:
// the models racing or each searched with its whole effort.
void BM_ForsteriteOptimisation(benchmark::State &state) {
  MessageSink previous = SetMessageSink([](int, const std::string &) {});
  const std::string folder = PULVINA_SOURCE_DIR "/examples/mg2sio4_forsterite";
  const int threads = static_cast<int>(state.range(0));
  const bool racing = state.range(1) != 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto p = std::make_unique<Prepared>(Case{"forsterite", folder, folder + "/forsterite.epc"},
                                        threads);
    if (!p->ok) {
      state.SkipWithError("no forsterite job");
      break;
    }
    Job *job = &p->job;
    EvaluateModels(job, AllModels(job), nullptr, nullptr);
    StatisticTestModels(job, AllModels(job), nullptr, nullptr);
    FilterJobModels(job, 0);
    StageSettings settings = OptimizationSettings(job->config);
    settings.racing = racing;
    state.ResumeTiming();
    SolveModels(job, job->filtered, settings, STAGE_OPTIMIZATION, nullptr, nullptr);
    state.PauseTiming();
    p.reset();
    state.ResumeTiming();
  }
  SetMessageSink(std::move(previous));
}

// Forsterite's true model alone with four restarts, at one thread and at
// two, where the restarts run side by side.
void BM_RestartsOfOneModel(benchmark::State &state) {
  MessageSink previous = SetMessageSink([](int, const std::string &) {});
  const std::string folder = PULVINA_SOURCE_DIR "/examples/mg2sio4_forsterite";
  const int threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto p = std::make_unique<Prepared>(Case{"forsterite", folder, folder + "/forsterite.epc"},
                                        threads);
    CrystalModel *model = TrueForsterite(&p->job);
    if (!p->ok || !model) {
      state.SkipWithError("no forsterite job");
      break;
    }
    StatisticTestModels(&p->job, {model}, nullptr, nullptr);
    StageSettings settings = OptimizationSettings(p->job.config);
    settings.racing = 0;
    settings.restarts = 4;
    state.ResumeTiming();
    SolveModels(&p->job, {model}, settings, STAGE_OPTIMIZATION, nullptr, nullptr);
    state.PauseTiming();
    p.reset();
    state.ResumeTiming();
  }
  SetMessageSink(std::move(previous));
}

// Traditional annealing of forsterite's true model: moves per second,
// without (argument 0) and with (1) the job's bond penalty in the cost.
void BM_AnnealingMoves(benchmark::State &state) {
  MessageSink previous = SetMessageSink([](int, const std::string &) {});
  const std::string folder = PULVINA_SOURCE_DIR "/examples/mg2sio4_forsterite";
  Prepared p({"forsterite", folder, folder + "/forsterite.epc"}, 1);
  CrystalModel *model = TrueForsterite(&p.job);
  if (!p.ok || !model) {
    state.SkipWithError("no forsterite job");
    return;
  }
  TraditionalAnnealingSettings settings;
  settings.cycles = 1;
  settings.startT = 1;
  settings.endT = 0.1;
  settings.rate = 0.5;  // 1, 0.5, 0.25, 0.125: four temperature steps
  settings.moves = 2500;
  uint64_t moves = 0;
  for (auto _ : state) {
    Crystal crystal = p.job.crystal;
    HKLList list = p.job.hklList;
    UpdateCrystalByModel(&crystal, model, nullptr, 1);
    SearchRandom random;
    random.base = 1;
    Search s;
    s.model = model;
    s.crystal = &crystal;
    s.list = &list;
    s.random = &random;
    if (state.range(0)) s.penalty = JobBondPenalty(&p.job);
    SetSearchGrid(&s, 0.1);
    RunTraditionalAnnealing(&s, settings);
    moves += 4 * settings.moves;
  }
  state.counters["moves/s"] =
      benchmark::Counter(static_cast<double>(moves), benchmark::Counter::kIsRate);
  SetMessageSink(std::move(previous));
}

const bool registered = [] {
  for (const Case &c : Cases())
    for (int threads : {1, 2})
      benchmark::RegisterBenchmark(("BM_Job/" + c.name + "/threads:" + std::to_string(threads)).c_str(),
                                   BM_Job, c, threads)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(c.name == "mg2sio4_forsterite" ? 1 : 3)
          ->UseRealTime();
  return true;
}();

}  // namespace

BENCHMARK(BM_AnnealingMoves)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RestartsOfOneModel)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ForsteriteOptimisation)
    ->ArgNames({"threads", "racing"})
    ->Args({2, 1})
    ->Args({2, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
