// SPDX-License-Identifier: BSD-3-Clause
// The stages of a job: results independent of the models solved together,
// stops seen in every stage, a message sink that may take a lock of its own,
// and the batch solver's files after an interrupt.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "solving_testing.h"
#include "stages.h"
#include "testing.h"

namespace {

// A model's results, exactly: as a shard file carries them.
std::string Outcome(const CrystalModel &m) { return FormatModelResult(ResultOfModel(m, nullptr)); }

// What a search keeps is its lowest cost, R plus the weighted penalty: a
// search stopped early may keep a point of higher R and fewer bumps.
double SearchCost(Job *job, CrystalModel *m) {
  const BondPenaltySettings penalty = JobBondPenalty(job);
  return m->Rmin +
         (penalty.on() ? penalty.weight * ModelBondPenalty(m, &job->crystal, penalty) : 0.0);
}

TEST(Stages, AModelsResultDoesNotDependOnItsCompany) {
  CapturedMessages quiet;
  ForsteriteJob all(2), alone(2), once(1), other(1, 12);
  ASSERT_TRUE(all.ok && alone.ok && once.ok && other.ok);
  StatisticTestModels(&all.job, AllModels(&all.job), nullptr, nullptr);
  CrystalModel *model = &alone.job.models.models[20];
  StatisticTestModels(&alone.job, {model}, nullptr, nullptr);
  // A race drops models by how their company fares, on purpose; each
  // search itself must not care, nor whether its restarts ran one after the
  // other (among many models) or side by side (alone on two threads).
  StageSettings settings = OptimizationSettings(all.job.config);
  settings.racing = 0;
  settings.restarts = 3;
  SolveModels(&all.job, AllModels(&all.job), settings, STAGE_OPTIMIZATION, nullptr, nullptr);
  SolveModels(&alone.job, {model}, settings, STAGE_OPTIMIZATION, nullptr, nullptr);
  EXPECT_EQ(Outcome(all.job.models.models[20]), Outcome(*model));
  // The first restart is the search a single one makes; of three, the one
  // of lowest cost is kept, and here another one is lower.
  CrystalModel *single = &once.job.models.models[20];
  StatisticTestModels(&once.job, {single}, nullptr, nullptr);
  settings.restarts = 1;
  SolveModels(&once.job, {single}, settings, STAGE_OPTIMIZATION, nullptr, nullptr);
  EXPECT_LT(SearchCost(&alone.job, model), SearchCost(&once.job, single));
  // Another run seed is another run.
  StatisticTestModels(&other.job, {&other.job.models.models[20]}, nullptr, nullptr);
  EXPECT_NE(other.job.models.models[20].Ravg, model->Ravg);
}

// The forsterite structure and its twin shifted by half a cell along c.
bool IsForsterite(const CrystalModel *m) {
  const std::string epc = EPCStr(m);
  return epc == "Mg(4c)+Mg(4a)+Si(4c)+O(8d)+O(4c)+O(4c)" ||
         epc == "Mg(4c)+Mg(4b)+Si(4c)+O(8d)+O(4c)+O(4c)";
}

// A race keeps the true structure to its last round, leaves the others
// behind marked with their rounds, repeats exactly on one and two threads,
// and a stop in a later round ends it with every model accounted for.
TEST(Stages, RacingKeepsTheTrueModelOnAnyThreadsAndStops) {
  struct Case {
    int threads;
    int stopInRound;  // -1: no stop
    int freestFirst;  // restarts of the freest models' search before the race
  };
  // Forsterite's freest models are not its structure: searched first, they
  // must not keep the race from finding it.
  const Case cases[] = {{1, -1, 0}, {2, -1, 0}, {2, 1, 0}, {2, -1, 2}};
  std::vector<std::string> outcomes[2];
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads, stop in round " << c.stopInRound
                                    << ", freest first " << c.freestFirst);
    CapturedMessages quiet;
    ForsteriteJob f(c.threads);
    ASSERT_TRUE(f.ok);
    f.job.config.tradiSaMoves = 150;
    // The factor alone, so that no model may end worse than it started.
    f.job.config.bondPenalty = 0;
    f.job.config.temperingMoves = 300;
    f.job.config.freestFirstRestarts = c.freestFirst;
    const std::vector<CrystalModel *> all = AllModels(&f.job);
    StatisticTestModels(&f.job, all, nullptr, nullptr);
    std::vector<double> before;
    for (CrystalModel *m : all) before.push_back(m->Rmin);
    StopFlag stop{false};
    std::atomic<int> finishedRounds{0}, finals{0};
    auto watch = [&](const ModelReport &r) {
      if (r.event == REPORT_MODEL_FINISHED) ++finals;
      if (r.event == REPORT_ROUND_FINISHED && r.round == c.stopInRound && ++finishedRounds == 3)
        stop = true;
    };
    StageSettings settings = OptimizationSettings(f.job.config);
    ASSERT_EQ(settings.racing, 1);
    const std::vector<ModelRun> runs =
        SolveModels(&f.job, all, settings, STAGE_OPTIMIZATION, watch, &stop);
    ASSERT_EQ(runs.size(), all.size());
    EXPECT_EQ(finals.load(), static_cast<int>(all.size()));  // once each, whatever happened
    int last = 0;
    for (const ModelRun &r : runs) last = std::max(last, r.rounds);
    size_t kept = 0, stopped = 0, first = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
      const ModelRun &r = runs[i];
      EXPECT_LE(all[i]->Rmin, before[i]);
      EXPECT_NE(r.finished, r.stopped);
      stopped += r.stopped;
      if (r.rounds == 0) {
        ++first;
        EXPECT_TRUE(r.method == METHOD_TEMPERING && !r.dropped);
        EXPECT_FALSE(IsForsterite(r.model)) << "the case no longer tells";
        continue;
      }
      if (r.dropped) {
        // Before the last: a leader clearly ahead has a last round alone.
        EXPECT_LT(r.rounds, last);
        EXPECT_FALSE(r.stopped);
      } else {
        kept += IsForsterite(r.model);
      }
    }
    if (c.stopInRound >= 0) {
      EXPECT_EQ(last, c.stopInRound + 1);
      EXPECT_GT(stopped, 0u);
      continue;
    }
    EXPECT_EQ(stopped, 0u);
    EXPECT_EQ(first > 0, c.freestFirst > 0);
    EXPECT_GE(last, 2);
    EXPECT_GE(kept, 1u) << "the true structure was left behind";
    std::vector<CrystalModel *> ranked = all;
    SortModels(&ranked);
    EXPECT_TRUE(IsForsterite(ranked.front())) << EPCStr(ranked.front());
    if (c.freestFirst) continue;
    std::vector<std::string> &o = outcomes[c.threads - 1];
    for (const ModelRun &r : runs)
      o.push_back(Outcome(*r.model) + " " + std::to_string(r.rounds) + (r.dropped ? " d" : ""));
  }
  EXPECT_EQ(outcomes[0], outcomes[1]);
}

// Rutile's true model reaches R 0.001 at once and is soon clearly ahead: the
// others are left behind in that round, and it alone has a last round with
// its whole effort, eight times the moves of its first (the field's share
// is an eighth).
TEST(Stages, ALeaderClearlyAheadHasALastRoundWithItsWholeEffort) {
  CapturedMessages messages;
  SyntheticJob data{"Ti1O2", 2, 136, 4.5937, 4.5937, 2.9587, "Ti(2a)+O(4f)", {0.3049}};
  ASSERT_NE(data.truth, nullptr);
  Job &job = data.job;
  job.settings.threads = 1;
  job.config.optimizationMethod = METHOD_TRADITIONAL;
  job.config.autoGridSearch = 0;
  job.config.bondPenalty = 0;
  // The truth against the models with oxygen on 4e, which cannot hold it
  // (its twins would tie with it).
  std::vector<CrystalModel *> all{data.truth};
  for (CrystalModel &m : job.models.models)
    if (Holds(EPCStr(&m), "O(4e)")) all.push_back(&m);
  ASSERT_EQ(all.size(), 3u);
  std::map<std::pair<const CrystalModel *, int>, long> evaluations;
  auto watch = [&](const ModelReport &r) {
    if (r.event == REPORT_OPTIMIZATION_PROGRESS) ++evaluations[std::make_pair(r.model, r.round)];
  };
  const std::vector<ModelRun> runs =
      SolveModels(&job, all, OptimizationSettings(job.config), STAGE_OPTIMIZATION, watch, nullptr);
  ASSERT_EQ(runs.size(), all.size());
  ASSERT_TRUE(Holds(messages.text(), "is clearly ahead after round"));
  int settled = 0;
  const ModelRun *leader = nullptr;
  for (const ModelRun &r : runs) {
    if (r.dropped) settled = std::max(settled, r.rounds);
    if (!r.dropped) leader = &r;
  }
  ASSERT_NE(leader, nullptr);
  EXPECT_EQ(leader->model, data.truth);
  EXPECT_EQ(leader->rounds, settled + 1);
  const long first = evaluations[std::make_pair(data.truth, 0)],
             last = evaluations[std::make_pair(data.truth, leader->rounds - 1)];
  EXPECT_NEAR(last, 8 * first, last / 50);  // moves rounded at the short share
}

// A P-1 salt with both ions on 2i: searched first, the one model of most
// free coordinates reaches the truth, is clearly ahead of every entrant after
// the race's first round and ends the race there, alike on one thread and on
// two. A shard, which sees only its part of the models, races them all.
TEST(Stages, AModelSearchedFirstThatIsClearlyAheadEndsTheRace) {
  std::vector<std::string> outcomes[2];
  for (int threads : {1, 2, 0}) {
    const bool shard = threads == 0;
    SCOPED_TRACE(shard ? std::string("a shard") : std::to_string(threads) + " threads");
    CapturedMessages messages;
    SyntheticJob data{
        "Na1Cl1", 2, 2, 5.1, 5.6, 6.3, "Na(2i)+Cl(2i)", {0.13, 0.27, 0.34, 0.61, 0.78, 0.12}};
    Job &job = data.job;
    job.settings.threads = std::max(threads, 1);
    job.config.optimizationMethod = METHOD_TRADITIONAL;
    job.config.autoGridSearch = 0;
    job.config.bondPenalty = 0;
    job.config.temperingMoves = 1000;
    job.config.freestFirstRestarts = 3;
    const std::vector<CrystalModel *> all = AllModels(&job);
    ASSERT_TRUE(data.truth != nullptr && all.size() > 4);
    RaceTeam team;
    if (shard) team.lastRound = 0;
    const std::vector<ModelRun> runs = RaceModels(
        &job, all, OptimizationSettings(job.config), STAGE_OPTIMIZATION, nullptr, nullptr, team);
    ASSERT_EQ(runs.size(), all.size());
    if (shard) {
      EXPECT_TRUE(Holds(messages.text(), "FREEST_FIRST_RESTARTS is left out"));
      for (const ModelRun &r : runs) EXPECT_EQ(r.rounds, 1);
      continue;
    }
    EXPECT_TRUE(Holds(messages.text(), "the 1 of most free coordinates (6), by parallel"));
    ASSERT_TRUE(Holds(messages.text(), "clearly ahead of the")) << messages.text();
    int last = 0;
    for (const ModelRun &r : runs) {
      EXPECT_TRUE(r.finished);
      if (r.model == data.truth) {
        EXPECT_TRUE(r.method == METHOD_TEMPERING && r.rounds == 0 && !r.dropped);
        EXPECT_LT(r.model->Rmin, 0.1);  // on the search grid
      } else {
        EXPECT_TRUE(r.dropped);
        last = std::max(last, r.rounds);
      }
      outcomes[threads - 1].push_back(Outcome(*r.model) + " " + std::to_string(r.rounds));
    }
    EXPECT_EQ(last, 1);
  }
  EXPECT_EQ(outcomes[0], outcomes[1]);
}

TEST(Stages, RefinementTakesTheBestModelsCheckedOrNotAsAsked) {
  Job job;
  InitializeJob(&job);
  job.config.refine = 1;
  job.config.refineN = 2;
  CrystalModel m[3];
  for (int i = 0; i < 3; ++i) {
    m[i].modelNumber = i + 1;
    m[i].Rmin = 0.1 * (i + 1);
  }
  m[0].validity &= ~VALIDITY_BOND_LENGTHS;  // found too close
  const std::vector<CrystalModel *> solved = {&m[2], &m[0], &m[1]};
  EXPECT_EQ(ChooseRefinementModels(&job, solved, false),
            (std::vector<CrystalModel *>{&m[0], &m[1]}));
  EXPECT_EQ(ChooseRefinementModels(&job, solved, true),
            (std::vector<CrystalModel *>{&m[1], &m[2]}));
}

TEST(Stages, StopRequestsEndEveryStageAndKeepTheBest) {
  CapturedMessages messages;
  ForsteriteJob f(2);
  ASSERT_TRUE(f.ok);
  Job &job = f.job;
  const std::vector<CrystalModel *> all = AllModels(&job);
  StopFlag stop{false};
  std::atomic<int> reports{0};
  auto stopAfter = [&](int n) { return [&, n](const ModelReport &) { stop = ++reports >= n; }; };
  EXPECT_LT(StatisticTestModels(&job, all, stopAfter(300), &stop), all.size());
  stop = false;
  reports = 0;
  auto cost = [&](CrystalModel *m) { return SearchCost(&job, m); };
  std::vector<double> before;
  for (CrystalModel *m : all) before.push_back(cost(m));
  std::vector<ModelRun> runs = SolveModels(&job, all, OptimizationSettings(job.config),
                                           STAGE_OPTIMIZATION, stopAfter(500), &stop);
  ASSERT_FALSE(runs.empty());
  EXPECT_LT(runs.size(), all.size());
  size_t stopped = 0;
  for (const ModelRun &r : runs) stopped += r.stopped;
  EXPECT_GE(stopped, 1u);
  for (const ModelRun &r : runs) EXPECT_NE(r.finished, r.stopped);
  // Stopped or not, a model never loses the best it had.
  for (size_t i = 0; i < all.size(); ++i) EXPECT_LE(cost(all[i]), before[i] + 1e-12);
  EXPECT_TRUE(Holds(messages.text(), "was stopped"));
  // A model alone on two threads searches its restarts side by side: a stop
  // ends them all, and the model keeps the best they found.
  StageSettings sideBySide = OptimizationSettings(job.config);
  sideBySide.restarts = 4;
  sideBySide.traditional.moves = 2000;
  CrystalModel *lone = *std::find_if(all.begin(), all.end(), [&](CrystalModel *m) {
    return ChooseMethod(sideBySide, m) != METHOD_GRID;
  });
  const double had = cost(lone);
  stop = false;
  reports = 0;
  runs = SolveModels(&job, {lone}, sideBySide, STAGE_OPTIMIZATION, stopAfter(300), &stop);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_TRUE(runs[0].stopped);
  EXPECT_LE(cost(lone), had + 1e-12);
  // A stop while the freest models are searched first ends the race before
  // its first round: they are marked stopped, and no other model started.
  StageSettings freestFirst = OptimizationSettings(job.config);
  freestFirst.freestFirst = 4;
  stop = false;
  reports = 0;
  runs = SolveModels(&job, all, freestFirst, STAGE_OPTIMIZATION, stopAfter(300), &stop);
  ASSERT_FALSE(runs.empty());
  for (const ModelRun &r : runs)
    EXPECT_TRUE(r.stopped && !r.finished && r.method == METHOD_TEMPERING && r.rounds == 0);
  // Four two-atom entries in Pmmm: minutes of enumeration before the budget
  // refuses it, unless the stop is seen.
  Job slow;
  InitializeJob(&slow);
  slow.config.formular = "Na2Cl2K2Br2";
  slow.config.formularZ = 2;
  slow.config.sgNumber = 47;
  ASSERT_TRUE(SetupJob(&slow));
  EXPECT_FALSE(GenerateJobModels(&slow, &stop));
  EXPECT_TRUE(Holds(messages.text(), "generating models, stopped"));
  EXPECT_EQ(slow.models.count, 0);
}

// An olivine with a tenth of its magnesium replaced by iron: the mixed site
// is one site, solved as one, and its model is valid.
TEST(Stages, AMixedSiteIsSolvedAsOneSite) {
  Job job;
  InitializeJob(&job);
  job.settings.threads = 1;
  job.settings.seed = 5;
  job.settings.annealingLog = nullptr;
  CapturedMessages quiet;
  ASSERT_EQ(ReadConfigFile(&job.config, (kForsterite + "/forsterite.epc").c_str()), CONFIG_READ);
  job.config.formular = "(Mg0.9Fe0.1)2Si1O4";
  job.config.oxidation.push_back({"Fe", 2});
  job.config.allCombinations = 1;  // the model is looked up by its combination
  ASSERT_TRUE(SetupJob(&job) && GenerateJobModels(&job, nullptr) &&
              ReadJobPeakFile(&job, kForsterite) > 0);
  CrystalModel *olivine = nullptr;
  for (CrystalModel &m : job.models.models)
    if (EPCStr(&m) == "Mg(4c)+Mg(4a)+Fe(4c)+Fe(4a)+Si(4c)+O(8d)+O(4c)+O(4c)") olivine = &m;
  ASSERT_NE(olivine, nullptr);
  EXPECT_EQ(olivine->freeCount, 11);  // as forsterite's: Fe adds none
  EvaluateModels(&job, {olivine}, nullptr, nullptr);
  SolveModels(&job, {olivine}, OptimizationSettings(job.config), STAGE_OPTIMIZATION, nullptr,
              nullptr);
  EXPECT_LT(olivine->Rmin, 0.15);
  Crystal crystal = job.crystal;
  UpdateCrystalByModel(&crystal, olivine, nullptr, 1);
  for (size_t i = 0; i < olivine->atoms.size(); ++i) {
    const int site = olivine->atoms[i].site;
    if (olivine->atoms[i].element->symbol != "Fe") continue;
    ASSERT_GE(site, 0);
    const Atom &fe = crystal.atoms[i], &mg = crystal.atoms[static_cast<size_t>(site)];
    EXPECT_EQ(mg.element->symbol, "Mg");
    EXPECT_TRUE(fe.x == mg.x && fe.y == mg.y && fe.z == mg.z);
  }
  CheckModelsBondLengths(&job, {olivine}, kDefaultBondTolerance, nullptr, nullptr);
  EXPECT_TRUE(olivine->validity & VALIDITY_BOND_LENGTHS);
  FreeJob(&job);
}

TEST(Stages, GenerationAppliesTheFixedCoordinates) {
  // Read and written back, the control file's fixed coordinates used to
  // reach no model. Forsterite's Si on 4c has x and z free; fixing its x
  // takes one parameter out of every model with Si on 4c, at that value.
  CapturedMessages quiet;
  ForsteriteJob f(1);
  ASSERT_TRUE(f.ok);
  Job &job = f.job;
  // Fixed values break the equivalence of combinations that an origin shift
  // relates: with them every combination is a model of its own.
  job.config.allCombinations = 1;
  ASSERT_TRUE(GenerateJobModels(&job, nullptr));
  job.config.allCombinations = 0;
  job.config.fixedCoordinates.insert(job.config.fixedCoordinates.begin(),
                                     FixedCoordinate{"Si", 4, 4, 'c', 0.094, 0, 0, 1, 1, FIX_X});
  std::vector<int> before;
  for (CrystalModel &m : job.models.models) before.push_back(m.freeCount);
  ASSERT_TRUE(GenerateJobModels(&job, nullptr));
  ASSERT_EQ(job.models.models.size(), before.size());
  EXPECT_TRUE(Holds(quiet.text(), "all combinations are kept"));
  int fixed = 0;
  for (size_t i = 0; i < job.models.models.size(); ++i) {
    const CrystalModel &m = job.models.models[i];
    int siOnC = 0;
    for (const AtomModel &a : m.atoms)
      if (a.element->symbol == "Si" && a.position->wyckoffLetter == 'c')
        siOnC += a.para[SLOT_X].fixed == 1 && a.para[SLOT_X].value == 0.094;
    EXPECT_EQ(m.freeCount, before[i] - siOnC) << EPCStr(&m);
    fixed += siOnC;
  }
  EXPECT_GT(fixed, 20);
  EXPECT_TRUE(Holds(quiet.text(), "fixed coordinates applied to"));
}

TEST(Messages, TheSinkMayTakeALockThatAReporterHolds) {
  // The desktop program's sink takes the toolkit's (recursive) lock, which
  // the main thread holds as it reports, while a worker reports too. Were the
  // sink called under a kernel lock, each thread would wait for the other.
  std::recursive_mutex toolkit;
  std::vector<std::string> seen;
  MessageSink previous = SetMessageSink([&](int, const std::string &text) {
    std::lock_guard<std::recursive_mutex> lock(toolkit);
    seen.push_back(text);
  });
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread main([&] {
    std::lock_guard<std::recursive_mutex> lock(toolkit);
    std::thread worker([] { Message(MESSAGE_PLAIN, "from the worker\n"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the worker waits in the sink
    Message(MESSAGE_PLAIN, "from the main thread\n");
    toolkit.unlock();
    worker.join();
    toolkit.lock();
    done.set_value();
  });
  if (finished.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "reporting threads deadlocked";
    std::_Exit(1);  // the threads can never be joined
  }
  main.join();
  SetMessageSink(std::move(previous));
  EXPECT_EQ(seen, (std::vector<std::string>{"from the main thread\n", "from the worker\n"}));
}


TEST(BatchSolver, AnInterruptKeepsWhatWasSolvedAndTheModelInProgress) {
  // SIGINT during the optimisation: status 130, and the models solved and the
  // one stopped written, each marked, each with its files.
  TempDir work;
  const std::string control = ReadWholeFile(kForsterite + "/forsterite.epc");
  const std::string job = work.write(
      "job.epc", std::regex_replace(control, std::regex("STATISTIC_CIRCLES\t[0-9]+"),
                                    "STATISTIC_CIRCLES\t20"));
  work.write("forsterite.hkl", ReadWholeFile(kForsterite + "/forsterite.hkl"));
  const std::string out = work.file("out");
  // On one thread the log tells when each model's search begins: the signal
  // sent as the second begins finds it under way, after the first was solved.
  // (A signal sent when a model is reported done may fall between two
  // models and stop none.) The shell gives its process number to the solver.
  std::FILE *log = popen(("echo $$; exec " PULVINA_SOLVE " -v --seed 5 --threads 1 -o " + out +
                          " " + job + " 2>&1 >/dev/null").c_str(), "r");
  ASSERT_NE(log, nullptr);
  char line[1024];
  const pid_t solver = std::fgets(line, sizeof line, log) ? std::atoi(line) : 0;
  int begun = 0;
  while (std::fgets(line, sizeof line, log))
    if (std::strncmp(line, "Solving model ", 14) == 0 && ++begun == 2) kill(solver, SIGINT);
  const int status = pclose(log);
  ASSERT_GE(begun, 2);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  const std::string summary = ReadWholeFile(out + "/summary.tsv");
  EXPECT_TRUE(Holds(summary, "\tstopped"));
  const std::vector<std::string> models = SummaryModels(summary);
  for (const std::string &model : models)
    EXPECT_FALSE(ReadWholeFile(out + "/forsterite_" + model + ".cif").empty()) << model;
  EXPECT_GE(models.size(), 1u);
  EXPECT_LT(models.size(), 57u);
}

}  // namespace
