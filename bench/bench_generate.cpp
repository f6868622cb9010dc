// SPDX-License-Identifier: BSD-3-Clause
// Enumeration of Wyckoff combinations and model building, from a cubic
// perovskite to tens of thousands of combinations in low symmetry. Reports
// the combinations found and the peak heap use of one run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "kernel.h"
#include "checked.h"

namespace {

std::atomic<long long> heapNow{0}, heapPeak{0};

struct Problem {
  const char *formula;
  int z;
  int number;
};

const Problem kProblems[] = {
    {"Ba1Ti1O3", 1, 221},    // cubic perovskite, Pm-3m
    {"Y2O3", 16, 206},       // bixbyite, Ia-3
    {"Ca1Ti1O3", 4, 62},     // orthorhombic perovskite, Pnma
    {"Li1Fe1P1O4", 4, 62},   // olivine, Pnma
    {"Sr1Ti1O3", 2, 25},     // ternary oxide in Pmm2
    {"Ba1Ti1O3", 2, 47},     // ternary oxide in Pmmm
};

void Generate(benchmark::State &state) {
  const Problem &p = kProblems[state.range(0)];
  SpaceGroup sg;
  Checked(SetSpaceGroup(&sg, p.number, 1), "space group");
  Compound compound;
  Checked(ParseFormular(p.formula, &compound), "formula");
  SetFormularZ(&compound, p.z);
  int combinations = 0;
  long long peak = 0;
  for (auto _ : state) {
    heapPeak = heapNow.load();
    long long before = heapNow.load();
    CombPositions cp;
    SetCombPositions(sg.positions, &cp);
    InitializeRestraints(&cp, &compound);
    Combination comb;
    combinations = GetCombination(&compound, &cp, &comb);
    CrystalModelList models;
    Checked(CreateModelList(&compound, &cp, &comb, &models, !sg.translations.empty()), "models");
    benchmark::DoNotOptimize(models.count);
    peak = heapPeak.load() - before;
  }
  state.SetLabel(std::string(p.formula) + " Z=" + std::to_string(p.z) + " in " + sg.shortSymbol);
  state.counters["combinations"] = combinations;
  state.counters["peak_MiB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
}

}  // namespace

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
// Heap accounting: every allocation of the program goes through here, so the
// peak of one enumeration can be read without a profiler.
void *operator new(std::size_t size) {
  void *p = std::malloc(size + 16);
  if (!p) throw std::bad_alloc();
  *static_cast<std::size_t *>(p) = size;
  long long now = heapNow += static_cast<long long>(size);
  long long peak = heapPeak.load();
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char *>(p) + 16;
}

void operator delete(void *p) noexcept {
  if (!p) return;
  char *base = static_cast<char *>(p) - 16;
  heapNow -= static_cast<long long>(*reinterpret_cast<std::size_t *>(base));
  std::free(base);
}

void operator delete(void *p, std::size_t) noexcept { operator delete(p); }

BENCHMARK(Generate)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
