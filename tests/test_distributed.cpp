// SPDX-License-Identifier: BSD-3-Clause
// Solving beyond one process: results carried exactly as text, shards merged
// into the files of one run (wrong sets refused), MPI ranks writing the files
// of one process, the thread count that changes nothing, and the command
// lines that start them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <regex>

#include "options.h"
#include "solving_testing.h"
#include "stages.h"
#include "testing.h"

namespace {

// ---- model results -------------------------------------------------------------

TEST(ModelResults, TravelAsTextWithoutChangingABitAndGarbledLinesAreRefused) {
  // The numbers a search can leave, the awkward ones too. (The merges and
  // the MPI runs below carry the results of real searches.)
  ForsteriteJob to(1, 5);
  ASSERT_TRUE(to.ok);
  CapturedMessages quiet;
  ModelRun run;
  run.method = METHOD_ADAPTIVE;
  run.seconds = 0.1;
  run.stopped = true;
  ModelResult odd = ResultOfModel(to.job.models.models[2], &run), received;
  odd.Rmin = std::numeric_limits<double>::denorm_min();
  odd.Ravg = -0.0;
  odd.Rsd = std::numeric_limits<double>::max();
  odd.FOM = std::numeric_limits<double>::infinity();
  odd.values = {1.0 / 3, 0.1, std::nextafter(1.0, 0.0), -1e-300};
  odd.validity = 0xFFFFFFFFu;
  odd.selected = -1;
  std::string error;
  ASSERT_TRUE(ParseModelResult(FormatModelResult(odd), &received, &error)) << error;
  EXPECT_EQ(FormatModelResult(received), FormatModelResult(odd));
  std::vector<double> x = {odd.Rmin, odd.Ravg, odd.Rsd, odd.FOM, odd.runMinimum, odd.seconds},
                      y = {received.Rmin, received.Ravg, received.Rsd, received.FOM,
                           received.runMinimum, received.seconds};
  x.insert(x.end(), odd.values.begin(), odd.values.end());
  y.insert(y.end(), received.values.begin(), received.values.end());
  ASSERT_EQ(x.size(), y.size());
  for (size_t i = 0; i < x.size(); ++i)
    EXPECT_EQ(std::memcmp(&x[i], &y[i], sizeof x[i]), 0) << x[i] << " became " << y[i];
  // Garbled lines are refused, each with what is wrong.
  const CrystalModel &m = to.job.models.models[0];
  const std::string good = FormatModelResult(ResultOfModel(m, nullptr));
  const size_t n = m.parameterList.size();
  ModelResult r;
  ASSERT_TRUE(ParseModelResult(good, &r, &error)) << error;
  const std::string counted = " " + std::to_string(n) + " ";
  const size_t at = good.find(counted, good.find("0x"));
  ASSERT_NE(at, std::string::npos);
  const std::vector<std::string> bad = {
      "",
      good + " 1",                                  // something after the end
      std::regex_replace(good, std::regex("^model 1 "), "model 0 "),
      std::regex_replace(good, std::regex("^model"), "modell"),
      std::regex_replace(good, std::regex(" none$"), " run 7 0x0p+0 1 0"),
      std::regex_replace(good, std::regex(" none$"), " run 1 0x0p+0 1"),
      good.substr(0, at) + " 99999999999999999999 " + good.substr(at + counted.size()),
      good.substr(0, at) + " " + std::to_string(n + 1) + " " + good.substr(at + counted.size()),
  };
  for (const std::string &line : bad) {
    error.clear();
    EXPECT_FALSE(ParseModelResult(line, &r, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
  // A result put into a model of another number or another size.
  quiet.clear();
  EXPECT_FALSE(RestoreModelResult(r, &to.job.models.models[1], nullptr));
  r.values.pop_back();
  EXPECT_FALSE(RestoreModelResult(r, &to.job.models.models[0], nullptr));
  EXPECT_TRUE(Holds(quiet.text(), "does not fit"));
}

// ---- the batch solver: shards and ranks ---------------------------------------

const std::string kSolve = PULVINA_SOLVE;

// The forsterite example with short searches in a folder kept for all these
// tests, and the files of its run in one process on one thread, which every
// other way of running must repeat.
struct Reference {
  TempDir work;
  std::string control = work.write("job.epc", LightForsteriteControl()), files;
  Reference() {
    work.write("forsterite.hkl", ReadWholeFile(kForsterite + "/forsterite.hkl"));
    RunExpecting(kSolve + " -q --seed 3 --threads 1 -o " + work.file("single") + " " + control);
    files = RunOutputs(work.file("single"), "forsterite");
  }
};
Reference &Single() {
  static Reference reference;
  return reference;
}

// Shard I of N of the reference job (or of another control file) into a
// folder of the work folder; returns the shard file.
std::string SolveShard(int i, int n, const std::string &folder, uint64_t seed = 3,
                       const std::string &control = Single().control) {
  const std::string part = std::to_string(i) + "/" + std::to_string(n);
  RunExpecting(kSolve + " -q --threads 1 --seed " + std::to_string(seed) + " --shard " + part +
               " -o " + Single().work.file(folder) + " " + control);
  return Single().work.file(folder + "/forsterite-" + std::to_string(i) + "of" +
                            std::to_string(n) + ".shard");
}

// A merge that must be refused: exit status 1, a message holding every text
// of `names`, and no results written.
void ExpectRefused(const std::string &shards, const std::vector<std::string> &names) {
  const std::string out = Single().work.file("refused");
  const std::string log = RunExpecting(kSolve + " -q --merge -o " + out + " " + shards, 1);
  for (const std::string &name : names) EXPECT_TRUE(Holds(log, name));
  EXPECT_FALSE(std::filesystem::exists(out + "/summary.tsv"));
}

// Merged shards, and runs on more threads, give the files of one run on one.
TEST(Distributed, MergedShardsAndMoreThreadsGiveTheFilesOfOneRun) {
  const TempDir &work = Single().work;
  ASSERT_TRUE(Holds(Single().files, "\tsolved"));
  // Two shards in one folder, the third as a file of its own; one shard is
  // a run of its own too.
  SolveShard(1, 3, "three");
  SolveShard(2, 3, "three");
  const std::string third = SolveShard(3, 3, "third");
  SolveShard(1, 1, "one");
  for (auto [run, out] : {std::pair{"2 --merge " + work.file("three") + " " + third, "merged"},
                          {"2 --merge " + work.file("one"), "merged1"},
                          {"2 --seed 3 " + Single().control, "threads2"},
                          {"4 --seed 3 " + Single().control, "threads4"}}) {
    RunExpecting(kSolve + " -q -o " + work.file(out) + " --threads " + run);
    EXPECT_TRUE(RunOutputs(work.file(out), "forsterite") == Single().files) << run << " wrote other files";
  }
}

TEST(Distributed, MergeRefusesShardsThatAreNotOneRunOrWhoseInputsChanged) {
  const TempDir &work = Single().work;
  const std::string s1 = SolveShard(1, 3, "set"), s2 = SolveShard(2, 3, "set");
  const std::string s3 = SolveShard(3, 3, "last");
  ExpectRefused(work.file("set"), {"shard 3 of 3 is missing", s1, s2});
  ExpectRefused(work.file("set") + " " + s3 + " " + s1, {"shard 1 of 3 is given twice", s1});
  const std::string seed4 = SolveShard(3, 3, "seed4", 4);
  ExpectRefused(work.file("set") + " " + seed4, {"another run", seed4, "seed 4", "seed 3"});
  const std::string four = SolveShard(3, 4, "four");
  ExpectRefused(work.file("set") + " " + four, {"another run", four, "4 shards"});
  ExpectRefused(work.file("empty-folder-that-is-not-there"), {"no file or folder"});
  // Another job: the same title, other settings.
  TempDir job;
  const std::string control = job.write("job.epc", LightForsteriteControl(1));
  const std::string peaks = ReadWholeFile(kForsterite + "/forsterite.hkl");
  job.write("forsterite.hkl", peaks);
  const std::string a = SolveShard(1, 2, "two", 3, control), b = SolveShard(2, 2, "two", 3, control);
  const std::string other = SolveShard(3, 3, "other", 3, control);
  ExpectRefused(work.file("set") + " " + other, {"another job", other});
  // A shard cut short on the way, or with a number garbled.
  const std::string original = ReadWholeFile(a);
  job.write("short.shard", original.substr(0, original.size() / 2));
  ExpectRefused(job.file("short.shard") + " " + b, {job.file("short.shard"), "line "});
  job.write("garbled.shard", std::regex_replace(original, std::regex(" 0x1"), " 0x1z",
                                                std::regex_constants::format_first_only));
  ExpectRefused(job.file("garbled.shard") + " " + b, {job.file("garbled.shard"), "line 10"});
  job.write("not.shard", "some other file\n");
  ExpectRefused(job.file("not.shard"), {"not a shard file"});
  // The peak file, then the control file, changed after the shards.
  job.write("forsterite.hkl", peaks + "\n");
  ExpectRefused(work.file("two"), {"changed since the shards were solved", control});
  job.write("forsterite.hkl", peaks);
  job.write("job.epc", LightForsteriteControl(1) + "\n; edited\n");
  ExpectRefused(work.file("two"), {"changed since the shards were solved", control});
  job.write("job.epc", LightForsteriteControl(1));
  RunExpecting(kSolve + " -q --merge -o " + job.file("out") + " " + work.file("two"));
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
  if (option == "--pattern") return CheckPatternOption(value.c_str(), &folder, why);
  return CheckOverallBOption(value.c_str(), takesAuto, &b, why);
}

TEST(CommandLine, BadOptionsStopBeforeAnyWork) {
  // Status 2 for a bad option, before the job (which does not exist, and
  // would give 1) is read.
  const std::string job = " " + kForsterite + "/forsterite.epc";
  std::vector<std::string> bad = {
      "--best 0 x.epc", "--stop-after nowhere x.epc",
      // Shards: a part of one run, whose ranking and files are the merge's.
      "--merge", "--merge --seed 3 somewhere", job + " --merge somewhere",
      "--merge --shard 1/2 --seed 1 somewhere", "--merge --overall-b 1.5 somewhere"};
  for (const char *shard : {"0/3", "4/3", "1/0", "1/3x", "3", "/3", "1/", "-1/3", "1/2000000"})
    bad.push_back(std::string("--seed 1 --shard '") + shard + "'" + job);
  for (const char *leftToTheMerge :
       {"--best 3", "--tolerance 5", "--stop-after statistic", "--overall-b auto",
        "--pattern p.xye"})
    bad.push_back(std::string("--seed 1 --shard 1/3 ") + leftToTheMerge + job);
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
      {"pulvina-solve", kSolve, " x.epc", true,
       {"--threads", "--seed", "--data", "--overall-b", "--pattern"}},
      {"pulvina-simulate", PULVINA_SIMULATE, " x.epc y.txt", false, {"--data", "--overall-b"}},
      {"pulvina-extract", PULVINA_EXTRACT, " x.epc y.xye", false, {"--data"}},
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
      {"--data", "", REFUSED},           {"--pattern", "p.xye", TAKEN},
      {"--pattern", "", REFUSED},        {"--overall-b", "0", TAKEN},
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
  for (const std::string &options : bad) RunExpecting(kSolve + " " + options, 2);
  EXPECT_TRUE(Holds(RunExpecting(kSolve + " --shard 1/3" + job, 2), "--shard needs --seed"));
}

#ifdef PULVINA_MPIRUN
// mpirun refuses root unless told; CI runs as root. OpenMPI leaves its
// allocations behind in modules it unloads, where no suppression can name
// them, so a sanitizer build checks for leaks in the runs without MPI only.
const std::string kMpirun =
    "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 ASAN_OPTIONS=detect_leaks=0 "
    "timeout 120 " + std::string(PULVINA_MPIRUN) + " --oversubscribe";

TEST(Distributed, RanksWriteTheFilesOfOneProcessOrFailTogether) {
  const TempDir &work = Single().work;
  const std::string &control = Single().control;
  for (int ranks : {2, 3}) {
    const std::string out = work.file("ranks" + std::to_string(ranks));
    const std::string log = RunExpecting(kMpirun + " -n " + std::to_string(ranks) + " " + kSolve +
                                         " -q --seed 3 -o " + out + " " + control);
    EXPECT_TRUE(RunOutputs(out, "forsterite") == Single().files) << ranks << " ranks wrote other files";
    // Rank 0 alone prints: one table of results.
    const std::string table = "solved models, best first";
    EXPECT_TRUE(log.find(table) != std::string::npos && log.find(table) == log.rfind(table)) << log;
  }
  // Rank 1 is given a control file it cannot read: rank 0, already on its
  // way, must hear of it and end instead of waiting. Ranks that read
  // different jobs would mix them.
  const std::string out = work.file("failed"), rank = " -q --seed 3 -o " + out + " ";
  const std::string other = work.write("other-ranks.epc", LightForsteriteControl(2));
  const std::pair<std::string, std::vector<std::string>> runs[] = {
      {" -n 1 " + kSolve + rank + control + " : -n 1 " + kSolve + rank + work.file("missing.epc"),
       {"rank 1 could not go on", "[rank 1] ", "missing.epc"}},
      {" -n 2 " + kSolve + rank + control + " : -n 1 " + kSolve + rank + other,
       {"rank 2 read other control or peak files than rank 0"}},
  };
  for (const auto &[ranks, messages] : runs) {
    std::string log;
    EXPECT_NE(RunCommand(kMpirun + ranks, &log), 0);
    for (const std::string &m : messages) EXPECT_TRUE(Holds(log, m));
    EXPECT_FALSE(std::filesystem::exists(out + "/summary.tsv"));
  }
  // Shards and merges are one process each.
  RunExpecting(kMpirun + " -n 2 " + kSolve + " -q --seed 3 --shard 1/2 -o " + out + " " + control,
               2);
}
#endif

}  // namespace
