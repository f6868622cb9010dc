// SPDX-License-Identifier: BSD-3-Clause
// Jobs of real size end to end, the way users run them: pulvina-solve with
// two threads and the overall B estimated, on the larger bundled examples and
// test jobs. Wall time per job, the best factor and the models solved.
//
// To compare with another build in the same run (the machine is shared, so
// only ratios measured side by side mean anything), point
// PULVINA_BASELINE_SOLVE at that build's pulvina-solve: every job then runs
// with both programs, one after the other. PULVINA_BENCH_LIMIT (seconds,
// default 1200) ends a run that takes longer; its time is then the limit.
//
//   ninja -C build bench_large
//   PULVINA_BASELINE_SOLVE=/path/to/old/pulvina-solve build/bench/bench_large
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Case {
  std::string name, control;
};

std::vector<Case> Cases() {
  const std::string root = PULVINA_SOURCE_DIR;
  return {{"barite", root + "/tests/data/structures/barite/barite.epc"},
          {"olivine", root + "/tests/data/structures/olivine/olivine.epc"},
          {"larnite", root + "/examples/ca2sio4_larnite/larnite.epc"},
          {"diopside", root + "/examples/camgsi2o6_diopside/diopside.epc"},
          {"kyanite", root + "/tests/data/structures/kyanite/kyanite.epc"},
          {"kyanite-freest", root + "/tests/data/structures/kyanite/kyanite-freest.epc"},
          {"kyanite-general", root + "/tests/data/structures/kyanite/kyanite-general.epc"}};
}

std::string Quoted(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Rmin of the first model of summary.tsv (best first), or -1.
double BestFactor(const std::string &folder, int *models) {
  std::ifstream in(folder + "/summary.tsv");
  std::string line, best;
  *models = 0;
  std::getline(in, line);  // header
  while (std::getline(in, line))
    if (!line.empty() && (*models)++ == 0) best = line;
  std::istringstream fields(best);
  std::string field;
  for (int i = 0; i < 5 && std::getline(fields, field, '\t'); ++i) {
  }
  return field.empty() ? -1 : std::atof(field.c_str());
}

void BM_Solve(benchmark::State &state, const std::string &program, const Case &c) {
  const char *limitText = std::getenv("PULVINA_BENCH_LIMIT");
  const int limit = limitText ? std::atoi(limitText) : 1200;
  char pattern[] = "/tmp/pulvina-bench-XXXXXX";
  const char *folder = mkdtemp(pattern);
  if (!folder) {
    state.SkipWithError("no temporary folder");
    return;
  }
  double factor = -1;
  int models = 0, status = 0;
  for (auto _ : state) {
    const std::string command = "timeout " + std::to_string(limit) + " " + Quoted(program) +
                                " --threads 2 --overall-b auto --seed 7 -q --no-plots -o " +
                                Quoted(folder) + " " + Quoted(c.control) + " > /dev/null 2>&1";
    const auto start = std::chrono::steady_clock::now();
    status = std::system(command.c_str());
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(seconds.count());
    factor = BestFactor(folder, &models);
  }
  state.counters["Rbest"] = factor;
  state.counters["models"] = models;
  state.counters["cut"] = WIFEXITED(status) && WEXITSTATUS(status) == 124 ? 1 : 0;
  std::system(("rm -rf " + Quoted(folder)).c_str());
}

const bool registered = [] {
  std::vector<std::pair<std::string, std::string>> programs = {
      {"this", PULVINA_BINARY_DIR "/cli/pulvina-solve"}};
  if (const char *baseline = std::getenv("PULVINA_BASELINE_SOLVE"))
    programs.push_back({"baseline", baseline});
  for (const Case &c : Cases())
    for (const auto &p : programs)
      benchmark::RegisterBenchmark(("BM_Solve/" + c.name + "/" + p.first).c_str(), BM_Solve,
                                   p.second, c)
          ->Unit(benchmark::kSecond)
          ->Iterations(1)
          ->UseManualTime();
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
