// The stages of a job: results that do not depend on the thread count or
// on which models are solved together, stop requests seen in every stage,
// and a message sink that may take a lock of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "stages.h"
#include "testing.h"

namespace {

const std::string kExample = PULVINA_SOURCE_DIR "/examples/mg2sio4_forsterite";

// The forsterite example (57 models, 8 to 14 free coordinates) with short
// searches, so that a whole run takes about a second.
void LightSettings(Config *c) {
  c->statisticCircles = 40;
  c->tradiSaCycles = 1;
  c->tradiSaMoves = 25;
  c->refineTradiSaCycles = 1;
  c->refineTradiSaMoves = 25;
  c->refineN = 4;
}

struct ForsteriteJob {
  Job job;
  explicit ForsteriteJob(int threads, uint64_t seed = 11) {
    InitializeJob(&job);
    job.settings.threads = threads;
    job.settings.seed = seed;
    job.settings.annealingLog = nullptr;
    ok = ReadConfigFile(&job.config, (kExample + "/forsterite.epc").c_str()) == CONFIG_READ;
    LightSettings(&job.config);
    ok = ok && SetupJob(&job) && GenerateJobModels(&job, nullptr) &&
         ReadJobPeakFile(&job, kExample) > 0;
    if (ok) EvaluateModels(&job, AllModels(&job), nullptr, nullptr);
  }
  ~ForsteriteJob() { FreeJob(&job); }
  bool ok = false;
};

struct Outcome {
  double Rmin, Ravg, Rsd;
  std::vector<double> values;
  bool operator==(const Outcome &o) const {
    return Rmin == o.Rmin && Ravg == o.Ravg && Rsd == o.Rsd && values == o.values;
  }
};

std::vector<Outcome> Outcomes(Job &job) {
  std::vector<Outcome> out;
  for (CrystalModel &m : job.models.models) {
    Outcome o{m.Rmin, m.Ravg, m.Rsd, {}};
    for (double *p : m.parameterList) o.values.push_back(*p);
    out.push_back(o);
  }
  return out;
}

// Statistic test, filter, optimisation and refinement of every model.
std::vector<Outcome> SolveAll(int threads) {
  ForsteriteJob f(threads);
  EXPECT_TRUE(f.ok);
  Job &job = f.job;
  CapturedMessages quiet;
  EXPECT_EQ(StatisticTestModels(&job, AllModels(&job), nullptr, nullptr), 57u);
  EXPECT_EQ(FilterJobModels(&job, 0), 57u);
  std::vector<ModelRun> runs = SolveModels(&job, job.filtered, OptimizationSettings(job.config),
                                           STAGE_OPTIMIZATION, nullptr, nullptr);
  EXPECT_EQ(runs.size(), 57u);
  std::vector<CrystalModel *> solved;
  for (const ModelRun &r : runs) {
    EXPECT_TRUE(r.finished);
    solved.push_back(r.model);
  }
  std::vector<CrystalModel *> chosen = ChooseRefinementModels(&job, solved, false);
  EXPECT_EQ(chosen.size(), 4u);
  SolveModels(&job, chosen, RefinementSettings(job.config), STAGE_REFINEMENT, nullptr, nullptr);
  return Outcomes(job);
}

TEST(Stages, ResultsDoNotDependOnTheThreadCount) {
  const std::vector<Outcome> one = SolveAll(1);
  ASSERT_EQ(one.size(), 57u);
  EXPECT_TRUE(one == SolveAll(2));
  EXPECT_TRUE(one == SolveAll(4));
}

TEST(Stages, AModelsResultDoesNotDependOnItsCompany) {
  CapturedMessages quiet;
  ForsteriteJob all(2), alone(1);
  ASSERT_TRUE(all.ok && alone.ok);
  StatisticTestModels(&all.job, AllModels(&all.job), nullptr, nullptr);
  CrystalModel *model = &alone.job.models.models[20];
  StatisticTestModels(&alone.job, {model}, nullptr, nullptr);
  const StageSettings settings = OptimizationSettings(all.job.config);
  SolveModels(&all.job, AllModels(&all.job), settings, STAGE_OPTIMIZATION, nullptr, nullptr);
  SolveModels(&alone.job, {model}, settings, STAGE_OPTIMIZATION, nullptr, nullptr);
  EXPECT_TRUE(Outcomes(all.job)[20] == Outcomes(alone.job)[20]);
  // Another run seed is another run.
  ForsteriteJob other(1, 12);
  CrystalModel *same = &other.job.models.models[20];
  StatisticTestModels(&other.job, {same}, nullptr, nullptr);
  EXPECT_NE(same->Ravg, model->Ravg);
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
  FixedCoordinate si;
  si.symbol = "Si";
  si.oxidation = 4;
  si.multiplicity = 4;
  si.wyckoffLetter = 'c';
  si.x = 0.094;
  si.flags = FIX_X;
  job.config.fixedCoordinates.insert(job.config.fixedCoordinates.begin(), si);
  std::vector<int> before;
  for (CrystalModel &m : job.models.models) before.push_back(m.freeCount);
  ASSERT_TRUE(GenerateJobModels(&job, nullptr));
  size_t fixed = 0;
  for (size_t i = 0; i < job.models.models.size(); ++i) {
    const CrystalModel &m = job.models.models[i];
    bool siOnC = false;
    for (const AtomModel &a : m.atoms)
      if (a.element->symbol == "Si" && a.position->wyckoffLetter == 'c') {
        siOnC = true;
        EXPECT_EQ(a.para[SLOT_X].fixed, 1);
        EXPECT_EQ(a.para[SLOT_X].value, 0.094);
      }
    EXPECT_EQ(m.freeCount, before[i] - (siOnC ? 1 : 0)) << EPCStr(&m);
    fixed += siOnC;
  }
  EXPECT_GT(fixed, 20u);
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
  FreeJob(&job);
}

// A job of 70,168 models: SrTiO3 with Z = 2 in Pmm2.
struct ManyModels {
  Job job;
  ManyModels() {
    InitializeJob(&job);
    job.config.formular = "Sr1Ti1O3";
    job.config.formularZ = 2;
    job.config.sgNumber = 25;
  }
  ~ManyModels() { FreeJob(&job); }
};

TEST(Generation, RefusesModelsThatWouldNotFitInMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators leave mallinfo2 at 0";
#endif
  // The estimate made before anything is allocated must be within a factor
  // of two of what the models really take: refused at half their size,
  // accepted at twice.
  size_t used = 0;
  {
    ManyModels m;
    ASSERT_TRUE(SetupJob(&m.job));
    const size_t before = mallinfo2().uordblks;
    CapturedMessages quiet;
    ASSERT_TRUE(GenerateJobModels(&m.job, nullptr));
    ASSERT_EQ(m.job.models.count, 70168);
    used = mallinfo2().uordblks - before;
  }
  ManyModels small;
  ASSERT_TRUE(SetupJob(&small.job));
  small.job.settings.modelMemory = 0.5 * static_cast<double>(used);
  CapturedMessages messages;
  EXPECT_FALSE(GenerateJobModels(&small.job, nullptr));
  EXPECT_NE(messages.text().find("give 70168 combinations, whose models would need about"),
            std::string::npos)
      << messages.text();
  EXPECT_EQ(small.job.models.count, 0);
  EXPECT_TRUE(small.job.combination.cells.empty());
  ManyModels enough;
  ASSERT_TRUE(SetupJob(&enough.job));
  enough.job.settings.modelMemory = 2.0 * static_cast<double>(used);
  EXPECT_TRUE(GenerateJobModels(&enough.job, nullptr)) << messages.text();
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
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "from the main thread\n");
  EXPECT_EQ(seen[1], "from the worker\n");
}

// ---- the batch solver ---------------------------------------------------------

int Shell(const std::string &command, std::string *out = nullptr) {
  std::FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// summary.tsv without its column of seconds.
std::string WithoutTimes(const std::string &summary) {
  return std::regex_replace(summary, std::regex("\t[0-9.]+\t(solved|stopped)"), "\t$1");
}

TEST(BatchSolver, FilesDoNotDependOnTheThreadCount) {
  TempDir work;
  std::string control = ReadWholeFile(kExample + "/forsterite.epc");
  ASSERT_FALSE(control.empty()) << kExample << "/forsterite.epc";
  control = std::regex_replace(control, std::regex("TRADI_SA_MOVES\t[0-9]+"), "TRADI_SA_MOVES\t25");
  control = std::regex_replace(control, std::regex("STATISTIC_CIRCLES\t[0-9]+"),
                               "STATISTIC_CIRCLES\t40");
  work.write("job.epc", control);
  work.write("forsterite.hkl", ReadWholeFile(kExample + "/forsterite.hkl"));
  std::vector<std::string> names;
  std::string reference;
  for (int threads : {1, 2, 4}) {
    const std::string out = work.file("out" + std::to_string(threads));
    std::string log;
    ASSERT_EQ(Shell(std::string(PULVINA_SOLVE) + " -q --seed 3 --threads " +
                      std::to_string(threads) + " -o " + out + " " + work.file("job.epc"),
                  &log),
              0)
        << log;
    std::string all = WithoutTimes(ReadWholeFile(out + "/summary.tsv"));
    ASSERT_NE(all.find("\tsolved"), std::string::npos);
    // Every file the summary names, and the model report.
    std::istringstream rows(all);
    std::string row;
    std::getline(rows, row);
    while (std::getline(rows, row)) {
      const std::string model = row.substr(row.find('\t') + 1, row.find('\t', row.find('\t') + 1) - row.find('\t') - 1);
      for (const char *ext : {".cif", ".hkl"}) {
        const std::string text = ReadWholeFile(out + "/forsterite_" + model + ext);
        ASSERT_FALSE(text.empty()) << model << ext;
        all += text;
      }
    }
    all += ReadWholeFile(out + "/forsterite.tsm");
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
  std::string control = ReadWholeFile(kExample + "/forsterite.epc");
  ASSERT_FALSE(control.empty());
  control = std::regex_replace(control, std::regex("STATISTIC_CIRCLES\t[0-9]+"),
                               "STATISTIC_CIRCLES\t20");
  work.write("job.epc", control);
  work.write("forsterite.hkl", ReadWholeFile(kExample + "/forsterite.hkl"));
  const std::string out = work.file("out"), job = work.file("job.epc");
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(pipe[1], STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(pipe[0]);
    execl(PULVINA_SOLVE, PULVINA_SOLVE, "--seed", "5", "--threads", "2", "-o", out.c_str(),
          job.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(pipe[1]);
  // In a pipe the solver writes a line per model; the first of the
  // optimisation says it is under way.
  std::FILE *log = fdopen(pipe[0], "r");
  char line[1024];
  bool interrupted = false;
  while (std::fgets(line, sizeof line, log))
    if (!interrupted && std::strncmp(line, "optimise:", 9) == 0) {
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
  std::istringstream rows(summary);
  std::string row;
  std::getline(rows, row);
  size_t listed = 0;
  while (std::getline(rows, row)) {
    const size_t a = row.find('\t') + 1, b = row.find('\t', a);
    const std::string model = row.substr(a, b - a);
    EXPECT_FALSE(ReadWholeFile(out + "/forsterite_" + model + ".cif").empty()) << model;
    ++listed;
  }
  EXPECT_GE(listed, 1u);
  EXPECT_LT(listed, 57u);
}

TEST(BatchSolver, SeedsAreWholeNumbersOrRefused) {
  for (const char *bad : {"-1", "18446744073709551616", "99999999999999999999", "7x", "", "1e3"})
    EXPECT_EQ(Shell(std::string(PULVINA_SOLVE) + " --seed '" + bad + "' --stop-after setup x.epc"),
              2)
        << bad;
  for (const char *bad : {"0", "-2", "257", "two"})
    EXPECT_EQ(Shell(std::string(PULVINA_SOLVE) + " --threads '" + bad + "' x.epc"), 2) << bad;
}

}  // namespace
