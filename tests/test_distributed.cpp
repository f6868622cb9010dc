// Solving beyond one process: model results carried exactly from one
// process to another, shards of an array job merged into the files of a
// single run (and every wrong set of shards refused), runs over MPI ranks,
// which must write the files of a single process, and the command lines
// that start them.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <regex>
#include <sstream>

#include "options.h"
#include "solving_testing.h"
#include "stages.h"
#include "testing.h"

namespace {

// ---- model results -------------------------------------------------------------

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void ExpectSame(const ModelResult &a, const ModelResult &b) {
  EXPECT_EQ(a.modelNumber, b.modelNumber);
  EXPECT_EQ(a.selected, b.selected);
  EXPECT_EQ(a.validity, b.validity);
  for (auto [x, y] : {std::pair{a.Rmin, b.Rmin}, {a.Ravg, b.Ravg}, {a.Rsd, b.Rsd},
                      {a.FOM, b.FOM}, {a.runMinimum, b.runMinimum}, {a.seconds, b.seconds}})
    EXPECT_TRUE(SameBits(x, y)) << x << " became " << y;
  ASSERT_EQ(a.values.size(), b.values.size());
  for (size_t i = 0; i < a.values.size(); ++i)
    EXPECT_TRUE(SameBits(a.values[i], b.values[i])) << a.values[i] << " became " << b.values[i];
  EXPECT_EQ(a.solved, b.solved);
  EXPECT_EQ(a.method, b.method);
  EXPECT_EQ(a.finished, b.finished);
  EXPECT_EQ(a.stopped, b.stopped);
}

TEST(ModelResults, TravelAsTextWithoutChangingABit) {
  ForsteriteJob from(1, 5), to(1, 5);
  ASSERT_TRUE(from.ok && to.ok);
  CapturedMessages quiet;
  std::vector<CrystalModel *> some = {&from.job.models.models[0], &from.job.models.models[30]};
  StatisticTestModels(&from.job, some, nullptr, nullptr);
  ModelRun run;
  run.method = METHOD_ADAPTIVE;
  run.seconds = 0.1;
  run.stopped = true;
  for (CrystalModel *m : some) {
    const ModelResult sent = ResultOfModel(*m, m == some[0] ? &run : nullptr);
    ModelResult received;
    std::string error;
    ASSERT_TRUE(ParseModelResult(FormatModelResult(sent), &received, &error)) << error;
    ExpectSame(sent, received);
    CrystalModel *twin = &to.job.models.models[static_cast<size_t>(m->modelNumber - 1)];
    ModelRun restored;
    ASSERT_TRUE(RestoreModelResult(received, twin, &restored));
    ExpectSame(sent, ResultOfModel(*twin, received.solved ? &restored : nullptr));
    EXPECT_EQ(restored.model, received.solved ? twin : nullptr);
  }
  // The numbers a search can leave, the awkward ones too.
  ModelResult odd = ResultOfModel(from.job.models.models[2], &run);
  ASSERT_GE(odd.values.size(), 4u);
  odd.Rmin = std::numeric_limits<double>::denorm_min();
  odd.Ravg = -0.0;
  odd.Rsd = std::numeric_limits<double>::max();
  odd.FOM = std::numeric_limits<double>::infinity();
  odd.values[0] = 1.0 / 3;
  odd.values[1] = 0.1;
  odd.values[2] = std::nextafter(1.0, 0.0);
  odd.values[3] = -1e-300;
  odd.validity = 0xFFFFFFFFu;
  odd.selected = -1;
  ModelResult back;
  std::string error;
  ASSERT_TRUE(ParseModelResult(FormatModelResult(odd), &back, &error)) << error;
  ExpectSame(odd, back);
}

TEST(ModelResults, GarbledLinesAndResultsOfOtherModelsAreRefused) {
  ForsteriteJob job(1, 5);
  ASSERT_TRUE(job.ok);
  const CrystalModel &m = job.job.models.models[0];
  const std::string good = FormatModelResult(ResultOfModel(m, nullptr));
  const size_t n = m.parameterList.size();
  ModelResult r;
  std::string error;
  ASSERT_TRUE(ParseModelResult(good, &r, &error)) << error;
  const std::string counted = " " + std::to_string(n) + " ";
  const size_t at = good.find(counted, good.find("0x"));
  ASSERT_NE(at, std::string::npos);
  const std::vector<std::string> bad = {
      "",
      good.substr(0, good.size() - 5),              // cut short
      good + " 1",                                  // something after the end
      std::regex_replace(good, std::regex("^model 1 "), "model 0 "),
      std::regex_replace(good, std::regex("^model"), "modell"),
      std::regex_replace(good, std::regex(" none$"), " run 7 0x0p+0 1 0"),
      std::regex_replace(good, std::regex(" none$"), " run 1 0x0p+0 1"),
      std::regex_replace(good, std::regex(" 0x"), " 0y", std::regex_constants::format_first_only),
      good.substr(0, at) + " 99999999999999999999 " + good.substr(at + counted.size()),
      good.substr(0, at) + " " + std::to_string(n + 1) + " " + good.substr(at + counted.size()),
  };
  for (const std::string &line : bad) {
    error.clear();
    EXPECT_FALSE(ParseModelResult(line, &r, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }

  // A result put into a model of another number or another size.
  ModelResult one = ResultOfModel(job.job.models.models[0], nullptr);
  CapturedMessages messages;
  EXPECT_FALSE(RestoreModelResult(one, &job.job.models.models[1], nullptr));
  one.values.pop_back();
  EXPECT_FALSE(RestoreModelResult(one, &job.job.models.models[0], nullptr));
  EXPECT_NE(messages.text().find("does not fit"), std::string::npos);
}

// ---- the batch solver: shards and ranks ---------------------------------------

const std::string kSolve = PULVINA_SOLVE;

// The forsterite example with short searches, and the files of its run in
// one process on one thread, which every other way of running must repeat.
class Distributed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    work_ = std::make_unique<TempDir>();
    control_ = work_->write("job.epc", LightForsteriteControl());
    work_->write("forsterite.hkl", ReadWholeFile(kForsterite + "/forsterite.hkl"));
    std::string log;
    ASSERT_EQ(
        RunCommand(kSolve + " -q --seed 3 --threads 1 -o " + work_->file("single") + " " + control_,
                   &log),
        0)
        << log;
    reference_ = std::make_unique<std::string>(Outputs(work_->file("single")));
    ASSERT_NE(reference_->find("\tsolved"), std::string::npos);
  }
  static void TearDownTestSuite() {
    reference_.reset();
    work_.reset();
  }

  static std::string Outputs(const std::string &folder) { return RunOutputs(folder, "forsterite"); }

  // Shard I of N of the reference job (or of another control file) into
  // a folder of the work folder; returns the shard file.
  static std::string SolveShard(int i, int n, const std::string &folder, uint64_t seed = 3,
                                const std::string &control = control_) {
    std::string log;
    EXPECT_EQ(RunCommand(kSolve + " -q --threads 1 --seed " + std::to_string(seed) + " --shard " +
                             std::to_string(i) + "/" + std::to_string(n) + " -o " +
                             work_->file(folder) + " " + control,
                         &log),
              0)
        << log;
    return work_->file(folder + "/forsterite-" + std::to_string(i) + "of" + std::to_string(n) +
                       ".shard");
  }

  // A merge that must be refused: exit status 1, a message holding every
  // text of `names`, and no results written.
  static void ExpectRefused(const std::string &shards, const std::vector<std::string> &names) {
    const std::string out = work_->file("refused");
    std::string log;
    EXPECT_EQ(RunCommand(kSolve + " -q --merge -o " + out + " " + shards, &log), 1) << log;
    for (const std::string &name : names)
      EXPECT_NE(log.find(name), std::string::npos) << "'" << name << "' not in: " << log;
    EXPECT_FALSE(std::filesystem::exists(out + "/summary.tsv"));
  }

  static std::unique_ptr<TempDir> work_;
  static std::string control_;
  static std::unique_ptr<std::string> reference_;
};
std::unique_ptr<TempDir> Distributed::work_;
std::string Distributed::control_;
std::unique_ptr<std::string> Distributed::reference_;

TEST_F(Distributed, MergedShardsGiveTheFilesOfOneRun) {
  // Two shards in one folder, the third as a file of its own.
  SolveShard(1, 3, "three");
  SolveShard(2, 3, "three");
  const std::string third = SolveShard(3, 3, "third");
  const std::string out = work_->file("merged");
  std::string log;
  ASSERT_EQ(RunCommand(kSolve + " -q --threads 2 --merge -o " + out + " " + work_->file("three") +
                           " " + third,
                       &log),
            0)
      << log;
  EXPECT_TRUE(Outputs(out) == *reference_) << "the merge wrote other files than one run";
  // One shard is a run of its own too.
  SolveShard(1, 1, "one");
  ASSERT_EQ(
      RunCommand(kSolve + " -q --merge -o " + work_->file("merged1") + " " + work_->file("one"),
                 &log),
      0)
      << log;
  EXPECT_TRUE(Outputs(work_->file("merged1")) == *reference_);
}

TEST_F(Distributed, MergeRefusesShardsThatAreNotOneRun) {
  const std::string s1 = SolveShard(1, 3, "set"), s2 = SolveShard(2, 3, "set");
  const std::string s3 = SolveShard(3, 3, "last");
  ExpectRefused(work_->file("set"), {"shard 3 of 3 is missing", s1, s2});
  ExpectRefused(work_->file("set") + " " + s3 + " " + s1, {"shard 1 of 3 is given twice", s1});
  const std::string seed4 = SolveShard(3, 3, "seed4", 4);
  ExpectRefused(work_->file("set") + " " + seed4, {"another run", seed4, "seed 4", "seed 3"});
  const std::string four = SolveShard(3, 4, "four");
  ExpectRefused(work_->file("set") + " " + four, {"another run", four, "4 shards"});
  // Another job: the same title, other settings.
  const std::string otherControl = work_->write("other.epc", LightForsteriteControl(1));
  const std::string other = SolveShard(3, 3, "otherjob", 3, otherControl);
  ExpectRefused(work_->file("set") + " " + other, {"another job", other});
  ExpectRefused(work_->file("empty-folder-that-is-not-there"), {"no file or folder"});
}

TEST_F(Distributed, MergeRefusesChangedInputsAndDamagedShards) {
  TempDir job;
  const std::string control = job.write("job.epc", LightForsteriteControl(0));
  const std::string peaks =
      job.write("forsterite.hkl", ReadWholeFile(kForsterite + "/forsterite.hkl"));
  const std::string a = SolveShard(1, 2, "two", 3, control),
                    b = SolveShard(2, 2, "two", 3, control);
  const std::string original = ReadWholeFile(a);

  // A shard cut short on the way, or with a number garbled.
  job.write("short.shard", original.substr(0, original.size() / 2));
  ExpectRefused(job.file("short.shard") + " " + b, {job.file("short.shard"), "line "});
  job.write("garbled.shard", std::regex_replace(original, std::regex(" 0x1"), " 0x1z",
                                                std::regex_constants::format_first_only));
  ExpectRefused(job.file("garbled.shard") + " " + b, {job.file("garbled.shard"), "line 10"});
  job.write("not.shard", "some other file\n");
  ExpectRefused(job.file("not.shard"), {"not a shard file"});

  // The peak file, then the control file, changed after the shards.
  job.write("forsterite.hkl", ReadWholeFile(peaks) + "\n");
  ExpectRefused(work_->file("two"), {"changed since the shards were solved", control});
  job.write("forsterite.hkl", ReadWholeFile(kForsterite + "/forsterite.hkl"));
  job.write("job.epc", LightForsteriteControl(0) + "\n; edited\n");
  ExpectRefused(work_->file("two"), {"changed since the shards were solved", control});
  job.write("job.epc", LightForsteriteControl(0));
  std::string log;
  EXPECT_EQ(
      RunCommand(kSolve + " -q --merge -o " + job.file("out") + " " + work_->file("two"), &log), 0)
      << log;
}

// The kernel's verdict on a value of an option the programs share.
bool KernelTakes(const std::string &option, const std::string &value, bool takesAuto,
                 std::string *why) {
  int threads = 0;
  uint64_t seed = 0;
  std::string folder;
  OverallBOption b;
  if (option == "--threads") return CheckThreadsOption(value.c_str(), &threads, why);
  if (option == "--seed") return CheckSeedOption(value.c_str(), &seed, why);
  if (option == "--data") return CheckDataOption(value.c_str(), &folder, why);
  return CheckOverallBOption(value.c_str(), takesAuto, &b, why);
}

TEST(CommandLine, BadOptionsStopBeforeAnyWork) {
  // Status 2 for a bad option, before the job (which does not exist, and
  // would give 1) is read.
  const std::string job = " " + kForsterite + "/forsterite.epc";
  std::vector<std::string> bad = {
      "--best 0 x.epc", "--stop-after nowhere x.epc",
      // Shards: a part of one run, whose ranking and files are the merge's.
      "--shard 1/3" + job, "--merge", "--merge --seed 3 somewhere", job + " --merge somewhere",
      "--merge --shard 1/2 --seed 1 somewhere", "--merge --overall-b 1.5 somewhere"};
  for (const char *shard : {"0/3", "4/3", "1/0", "1/3x", "3", "/3", "1/", "-1/3", "1/2000000"})
    bad.push_back(std::string("--seed 1 --shard '") + shard + "'" + job);
  for (const char *leftToTheMerge :
       {"--best 3", "--tolerance 5", "--stop-after statistic", "--overall-b auto"})
    bad.push_back(std::string("--seed 1 --shard 1/3 ") + leftToTheMerge + job);
  for (const std::string &options : bad) {
    std::string log;
    EXPECT_EQ(RunCommand(kSolve + " " + options, &log), 2) << options << "\n" << log;
    if (options == "--shard 1/3" + job) {
      EXPECT_NE(log.find("--shard needs --seed"), std::string::npos) << log;
    }
  }

  // The options the programs share take and refuse the same values, in the
  // kernel's words. A value taken leaves the missing job (or, for the
  // desktop program, the display) to fail with 1; a refusal comes first,
  // with 2, and needs no display.
  struct Program {
    std::string name, command, arguments;
    bool takesAuto;
    std::vector<std::string> options;
  };
  const Program programs[] = {
      {"pulvina-solve", kSolve, " x.epc", true, {"--threads", "--seed", "--data", "--overall-b"}},
      {"pulvina-simulate", PULVINA_SIMULATE, " x.epc y.txt", false, {"--data", "--overall-b"}},
#ifdef PULVINA_DESKTOP
      {"pulvina", "env -u DISPLAY " PULVINA_DESKTOP, " x.epc", false,
       {"--threads", "--seed", "--data"}},
#endif
  };
  enum Verdict { TAKEN, REFUSED, TAKEN_WITH_ESTIMATE };  // the last: where auto can be estimated
  const struct {
    const char *option, *value;
    Verdict verdict;
  } values[] = {
      {"--threads", "1", TAKEN},         {"--threads", "256", TAKEN},
      {"--threads", "0", REFUSED},       {"--threads", "257", REFUSED},
      {"--threads", "two", REFUSED},     {"--threads", "-1", REFUSED},
      {"--threads", "", REFUSED},        {"--seed", "0", TAKEN},
      {"--seed", "18446744073709551615", TAKEN},
      {"--seed", "18446744073709551616", REFUSED},
      {"--seed", "-1", REFUSED},         {"--seed", "+1", REFUSED},
      {"--seed", "7x", REFUSED},         {"--seed", "1e3", REFUSED},
      {"--seed", "", REFUSED},           {"--data", "somewhere", TAKEN},
      {"--data", "", REFUSED},           {"--overall-b", "0", TAKEN},
      {"--overall-b", "100", TAKEN},     {"--overall-b", "2.5", TAKEN},
      {"--overall-b", "auto", TAKEN_WITH_ESTIMATE},
      {"--overall-b", "-1", REFUSED},    {"--overall-b", "100.5", REFUSED},
      {"--overall-b", "x", REFUSED},     {"--overall-b", "", REFUSED},
      {"--overall-b", "nan", REFUSED},   {"--overall-b", "2,5", REFUSED},
      {"--overall-b", "1e1", REFUSED},
  };
  for (const Program &p : programs) {
    for (const auto &v : values) {
      if (std::find(p.options.begin(), p.options.end(), v.option) == p.options.end()) continue;
      const bool taken = v.verdict == TAKEN || (v.verdict == TAKEN_WITH_ESTIMATE && p.takesAuto);
      const std::string line = std::string(v.option) + " '" + v.value + "'";
      std::string why, log;
      EXPECT_EQ(KernelTakes(v.option, v.value, p.takesAuto, &why), taken) << line;
      const int status = RunCommand(p.command + " " + line + p.arguments, &log);
      if (taken) {
        EXPECT_EQ(status, 1) << p.name << " " << line << "\n" << log;
      } else {
        EXPECT_EQ(status, 2) << p.name << " " << line;
        EXPECT_EQ(log, p.name + ": " + why + "\n") << line;
      }
    }
    // The two mistakes of any option, in the same words everywhere.
    for (const std::string &option : p.options) {
      std::string log;
      EXPECT_EQ(RunCommand(p.command + p.arguments + " " + option, &log), 2) << p.name;
      EXPECT_EQ(log, p.name + ": " + MissingValueReason(option) + "\n");
    }
    std::string log;
    EXPECT_EQ(RunCommand(p.command + " --frobnicate" + p.arguments, &log), 2) << p.name;
    EXPECT_EQ(log, p.name + ": " + UnknownOptionReason("--frobnicate") + "\n");
  }
}

#ifdef PULVINA_MPIRUN
// mpirun refuses root unless told; CI runs as root. OpenMPI leaves its
// allocations behind in modules it unloads, where no suppression can name
// them, so a sanitizer build checks for leaks in the runs without MPI only.
const std::string kMpirun =
    "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 ASAN_OPTIONS=detect_leaks=0 "
    "timeout 120 " + std::string(PULVINA_MPIRUN) + " --oversubscribe";

TEST_F(Distributed, RanksWriteTheFilesOfOneProcess) {
  for (int ranks : {2, 3}) {
    const std::string out = work_->file("ranks" + std::to_string(ranks));
    std::string log;
    ASSERT_EQ(RunCommand(kMpirun + " -n " + std::to_string(ranks) + " " + kSolve +
                             " -q --seed 3 -o " + out + " " + control_,
                         &log),
              0)
        << log;
    EXPECT_TRUE(Outputs(out) == *reference_) << ranks << " ranks wrote other files";
    // Rank 0 alone prints: one table of results.
    const std::string table = "solved models, best first";
    size_t tables = 0;
    for (size_t at = log.find(table); at != std::string::npos; at = log.find(table, at + 1))
      ++tables;
    EXPECT_EQ(tables, 1u) << log;
  }
}

TEST_F(Distributed, ARankThatFailsEndsEveryRankWithItsMessage) {
  // Rank 1 is given a control file it cannot read: rank 0, already on its
  // way, must hear of it and end instead of waiting.
  const std::string out = work_->file("failed");
  std::string log;
  EXPECT_NE(RunCommand(kMpirun + " -n 1 " + kSolve + " -q --seed 3 -o " + out + " " + control_ +
                           " : -n 1 " + kSolve + " -q --seed 3 -o " + out + " " +
                           work_->file("missing.epc"),
                       &log),
            0);
  EXPECT_NE(log.find("rank 1 could not go on"), std::string::npos) << log;
  EXPECT_NE(log.find("[rank 1] "), std::string::npos) << log;
  EXPECT_NE(log.find("missing.epc"), std::string::npos) << log;
  EXPECT_FALSE(std::filesystem::exists(out + "/summary.tsv"));

  // Ranks that read different jobs would mix them.
  const std::string other = work_->write("other-ranks.epc", LightForsteriteControl(2));
  EXPECT_NE(RunCommand(kMpirun + " -n 2 " + kSolve + " -q --seed 3 -o " + out + " " + control_ +
                           " : -n 1 " + kSolve + " -q --seed 3 -o " + out + " " + other,
                       &log),
            0);
  EXPECT_NE(log.find("rank 2 read other control or peak files than rank 0"), std::string::npos)
      << log;
  EXPECT_FALSE(std::filesystem::exists(out + "/summary.tsv"));

  // Shards and merges are one process each.
  EXPECT_EQ(RunCommand(
                kMpirun + " -n 2 " + kSolve + " -q --seed 3 --shard 1/2 -o " + out + " " + control_,
                &log),
            2)
      << log;
}
#endif

}  // namespace
