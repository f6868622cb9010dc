// The stages of a job: results that do not depend on which models are
// solved together, stop requests seen in every stage,
// a message sink that may take a lock of its own, and the batch solver's
// files at any thread count and after an interrupt.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <regex>
#include <thread>

#include "solving_testing.h"
#include "stages.h"
#include "testing.h"

namespace {

// A model's results, exactly: as a shard file carries them.
std::string Outcome(const CrystalModel &m) { return FormatModelResult(ResultOfModel(m, nullptr)); }

TEST(Stages, AModelsResultDoesNotDependOnItsCompany) {
  CapturedMessages quiet;
  ForsteriteJob all(2), alone(1), other(1, 12);
  ASSERT_TRUE(all.ok && alone.ok && other.ok);
  StatisticTestModels(&all.job, AllModels(&all.job), nullptr, nullptr);
  CrystalModel *model = &alone.job.models.models[20];
  StatisticTestModels(&alone.job, {model}, nullptr, nullptr);
  const StageSettings settings = OptimizationSettings(all.job.config);
  SolveModels(&all.job, AllModels(&all.job), settings, STAGE_OPTIMIZATION, nullptr, nullptr);
  SolveModels(&alone.job, {model}, settings, STAGE_OPTIMIZATION, nullptr, nullptr);
  EXPECT_EQ(Outcome(all.job.models.models[20]), Outcome(*model));
  // Another run seed is another run.
  CrystalModel *same = &other.job.models.models[20];
  StatisticTestModels(&other.job, {same}, nullptr, nullptr);
  EXPECT_NE(same->Ravg, model->Ravg);
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
  auto stopAfter = [&](int n) {
    return [&, n](const ModelReport &) {
      if (++reports >= n) stop = true;
    };
  };
  EXPECT_LT(StatisticTestModels(&job, all, stopAfter(300), &stop), all.size());
  stop = false;
  reports = 0;
  std::vector<double> before;
  for (CrystalModel *m : all) before.push_back(m->Rmin);
  std::vector<ModelRun> runs = SolveModels(&job, all, OptimizationSettings(job.config),
                                           STAGE_OPTIMIZATION, stopAfter(500), &stop);
  ASSERT_FALSE(runs.empty());
  EXPECT_LT(runs.size(), all.size());
  size_t stopped = 0;
  for (const ModelRun &r : runs) {
    EXPECT_NE(r.finished, r.stopped);
    stopped += r.stopped;
  }
  EXPECT_GE(stopped, 1u);
  // Stopped or not, a model never loses the best it had.
  for (size_t i = 0; i < all.size(); ++i) EXPECT_LE(all[i]->Rmin, before[i]);
  EXPECT_NE(messages.text().find("was stopped"), std::string::npos);
}

TEST(Stages, GenerationAppliesTheFixedCoordinates) {
  // Read and written back, the control file's fixed coordinates used to
  // reach no model. Forsterite's Si on 4c has x and z free; fixing its x
  // takes one parameter out of every model with Si on 4c, at that value.
  CapturedMessages quiet;
  ForsteriteJob f(1);
  ASSERT_TRUE(f.ok);
  Job &job = f.job;
  job.config.fixedCoordinates.insert(job.config.fixedCoordinates.begin(),
                                     FixedCoordinate{"Si", 4, 4, 'c', 0.094, 0, 0, 1, 1, FIX_X});
  std::vector<int> before;
  for (CrystalModel &m : job.models.models) before.push_back(m.freeCount);
  ASSERT_TRUE(GenerateJobModels(&job, nullptr));
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
  EXPECT_NE(quiet.text().find("fixed coordinates applied to"), std::string::npos);
}

TEST(Stages, EnumerationSeesTheStop) {
  // Four two-atom entries in Pmmm: minutes of enumeration before the
  // budget refuses it, unless the stop is seen.
  CapturedMessages messages;
  Job job;
  InitializeJob(&job);
  job.config.formular = "Na2Cl2K2Br2";
  job.config.formularZ = 2;
  job.config.sgNumber = 47;
  ASSERT_TRUE(SetupJob(&job));
  StopFlag stop{true};
  EXPECT_FALSE(GenerateJobModels(&job, &stop));
  EXPECT_NE(messages.text().find("generating models, stopped"), std::string::npos);
  EXPECT_EQ(job.models.count, 0);
}

TEST(Generation, RefusesModelsThatWouldNotFitInMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators leave mallinfo2 at 0";
#endif
  // SrTiO3 with Z = 2 in Pmm2 has 70,168 models. The estimate made before
  // anything is allocated must be within a factor of two of what they
  // really take: refused at half their size, accepted at twice.
  auto generate = [](double memory, size_t *used) {
    Job job;
    InitializeJob(&job);
    job.config.formular = "Sr1Ti1O3";
    job.config.formularZ = 2;
    job.config.sgNumber = 25;
    job.settings.modelMemory = memory;
    EXPECT_TRUE(SetupJob(&job));
    const size_t before = mallinfo2().uordblks;
    const bool ok = GenerateJobModels(&job, nullptr);
    if (used) *used = mallinfo2().uordblks - before;
    EXPECT_EQ(job.models.count, ok ? 70168 : 0);
    EXPECT_EQ(job.combination.cells.empty(), !ok);
    return ok;
  };
  size_t used = 0;
  CapturedMessages messages;
  ASSERT_TRUE(generate(0, &used));
  EXPECT_FALSE(generate(0.5 * static_cast<double>(used), nullptr));
  EXPECT_NE(messages.text().find("give 70168 combinations, whose models would need about"),
            std::string::npos)
      << messages.text();
  EXPECT_TRUE(generate(2.0 * static_cast<double>(used), nullptr)) << messages.text();
}

TEST(Messages, TheSinkMayTakeALockThatAReporterHolds) {
  // The desktop program's case: its sink takes the toolkit's (recursive)
  // lock, and the main thread reports while holding that lock, at the same
  // time as a worker reports. Were the sink called under a lock of the
  // kernel, the worker would hold it waiting for the toolkit's lock and the
  // main thread would wait for it: both for ever.
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

// ---- the batch solver ---------------------------------------------------------

TEST(BatchSolver, FilesDoNotDependOnTheThreadCount) {
  TempDir work;
  const std::string job = work.write("job.epc", LightForsteriteControl());
  work.write("forsterite.hkl", ReadWholeFile(kForsterite + "/forsterite.hkl"));
  std::string reference;
  for (int threads : {1, 2, 4}) {
    const std::string out = work.file("out" + std::to_string(threads));
    std::string log;
    ASSERT_EQ(RunCommand(std::string(PULVINA_SOLVE) + " -q --seed 3 --threads " +
                             std::to_string(threads) + " -o " + out + " " + job,
                         &log),
              0)
        << log;
    const std::string all = RunOutputs(out, "forsterite");
    ASSERT_NE(all.find("\tsolved"), std::string::npos);
    if (threads == 1)
      reference = all;
    else
      EXPECT_TRUE(all == reference) << "--threads " << threads << " wrote other files";
  }
}

TEST(BatchSolver, AnInterruptKeepsWhatWasSolvedAndTheModelInProgress) {
  // SIGINT in the middle of the optimisation: the run ends with status 130
  // and writes the models solved to the end and those it stopped, each
  // marked, every one with its files.
  TempDir work;
  const std::string control = ReadWholeFile(kForsterite + "/forsterite.epc");
  const std::string job = work.write(
      "job.epc", std::regex_replace(control, std::regex("STATISTIC_CIRCLES\t[0-9]+"),
                                    "STATISTIC_CIRCLES\t20"));
  work.write("forsterite.hkl", ReadWholeFile(kForsterite + "/forsterite.hkl"));
  const std::string out = work.file("out");
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(pipe[1], STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(pipe[0]);
    execl(PULVINA_SOLVE, PULVINA_SOLVE, "-v", "--seed", "5", "--threads", "1", "-o", out.c_str(),
          job.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(pipe[1]);
  // On one thread the log tells when each model's search begins: the signal
  // sent as the second begins finds it under way, after the first was solved.
  // (A signal sent when a model is reported done may fall between two
  // models and stop none.)
  std::FILE *log = fdopen(pipe[0], "r");
  char line[1024];
  bool interrupted = false;
  int begun = 0;
  while (std::fgets(line, sizeof line, log))
    if (!interrupted && std::strncmp(line, "Solving model ", 14) == 0 && ++begun == 2) {
      kill(child, SIGINT);
      interrupted = true;
    }
  std::fclose(log);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(interrupted);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  const std::string summary = ReadWholeFile(out + "/summary.tsv");
  EXPECT_NE(summary.find("\tstopped"), std::string::npos) << summary;
  const std::vector<std::string> models = SummaryModels(summary);
  for (const std::string &model : models)
    EXPECT_FALSE(ReadWholeFile(out + "/forsterite_" + model + ".cif").empty()) << model;
  EXPECT_GE(models.size(), 1u);
  EXPECT_LT(models.size(), 57u);
}

}  // namespace
