// SPDX-License-Identifier: BSD-3-Clause
// The extraction of a whole pattern on one core: 6000 points with about 200
// reflections of the forsterite example's orthorhombic cell, made with the
// extraction's own peak shape, fixed random intensities and counting noise,
// and fitted from a cell 0.05 % off. Reports the Rwp reached.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "kernel.h"
#include "lebail.h"

namespace {

struct Problem {
  Job job;
  MeasuredPattern pattern;
  bool ready = false;
  Problem() {
    InitializeJob(&job);
    const std::string epc =
        std::string(PULVINA_SOURCE_DIR) + "/examples/mg2sio4_forsterite/forsterite.epc";
    if (ReadConfigFile(&job.config, epc.c_str()) != CONFIG_READ || !SetupJob(&job)) return;
    // The range that holds about 200 reflections, in 6000 points.
    const double start = 10;
    const PatternLines lines = JobPatternLines(job.config);
    std::vector<Reflection> all;
    std::string error;
    if (!Reflections(job.crystal, lines.lambda1, start, 150, &all, &error) || all.size() < 200)
      return;
    const double end = all[199].twoTheta + 0.05;
    job.config.startAngle = start;
    job.config.endAngle = end;
    PatternModel model;
    const Crystal &c = job.crystal;
    const double cell[6] = {c.a, c.b, c.c, c.alpha, c.beta, c.gamma};
    std::copy(cell, cell + 6, model.cell);
    model.shape = {0.005, -0.002, 0.003, 0.0, 0.02, {0, 0, 0, 0}};
    model.background.chebyshev = {100};
    model.background.start = start;
    model.background.end = end;
    std::mt19937_64 random(1);
    std::uniform_real_distribution<double> area(1, 100);
    std::normal_distribution<double> noise;
    std::vector<PatternPeak> peaks;
    for (size_t i = 0; i < 200; ++i) peaks.push_back({all[i].d, area(random)});
    for (int i = 0; i < 6000; ++i) pattern.x.push_back(start + (end - start) * i / 5999.0);
    CalculatePattern(model, lines, JobPeakWindow(job.config), peaks, pattern.x, &pattern.y);
    for (double &y : pattern.y) {
      y = std::max(0.0, y + std::sqrt(y) * noise(random));
      pattern.sigma.push_back(std::sqrt(std::max(y, 1.0)));
    }
    // The fit starts from a cell a little off, as an indexing gives it.
    job.crystal.a *= 1.0005;
    job.crystal.b *= 0.9995;
    job.crystal.c *= 1.0003;
    ready = true;
  }
  ~Problem() { FreeJob(&job); }
};

void BM_ExtractPattern(benchmark::State &state) {
  Problem problem;
  if (!problem.ready) {
    state.SkipWithError("the forsterite example could not be set up");
    return;
  }
  LeBailResult result;
  for (auto _ : state) {
    std::string error;
    if (!ExtractIntensities(problem.job, problem.pattern, LeBailSettings(), nullptr, nullptr,
                            &result, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  state.counters["Rwp"] = result.Rwp;
  state.counters["Rexp"] = result.Rexp;
  state.counters["points"] = static_cast<double>(result.x.size());
  int inRange = 0;
  for (const ExtractedReflection &e : result.reflections) inRange += e.inRange;
  state.counters["reflections"] = inRange;
}
BENCHMARK(BM_ExtractPattern)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
