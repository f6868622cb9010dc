// SPDX-License-Identifier: BSD-3-Clause
// Calculated intensities: the formula summed term by term against the fast
// paths, in terms (reflections x cell atoms) per second.
//   S: 150 reflections x 48 cell atoms, L: 1500 reflections x 384 cell atoms,
// in P21/c (centrosymmetric, the most common group) and in P1 (no symmetry
// to exploit). Each case also reports the largest relative error of |F|^2
// against the term-by-term sum.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "kernel.h"
#include "reference_intensity.h"
#include "profile.h"
#include "checked.h"

namespace {

constexpr double kPi = 3.14159265358979323846;


struct Problem {
  Compound compound;
  Crystal crystal;
  HKLList list;
  double terms = 0;
};

// The lowest-angle reflections of a monoclinic cell, one of each Friedel
// pair, and random atoms on the general position.
std::unique_ptr<Problem> MakeProblem(int reflections, int cellAtoms, int group) {
  auto p = std::make_unique<Problem>();
  InitializeCompound(&p->compound);
  Checked(ParseFormular("C6N2O3Fe1", &p->compound), "formula");
  Checked(AssignASF(&p->compound), "scattering factors");
  InitializeCrystal(&p->crystal);
  Checked(SetSpaceGroup(&p->crystal.spaceGroup, group, 1), "space group");
  const Position &general = p->crystal.spaceGroup.positions[0];
  const int perAtom = static_cast<int>(general.fullCoordinates.size());
  const double scale = std::cbrt(cellAtoms / 48.0);
  const double a = 10 * scale, b = 12 * scale, c = 14 * scale, beta = 100 * kPi / 180;

  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> unit(0, 1);
  const Element *elements[4];
  for (int i = 0; i < 4; ++i) elements[i] = &p->compound.entries[static_cast<size_t>(i)];
  for (int n = 0; n < cellAtoms / perAtom; ++n) {
    Atom atom;
    atom.position = &general;
    atom.element = elements[n % 4];
    atom.x = unit(random);
    atom.y = unit(random);
    atom.z = unit(random);
    p->crystal.atoms.push_back(atom);
    for (const Coordinate &m : general.fullCoordinates) {
      Atom image = atom;
      CoordMatrixMultiply(m.matrix, atom.x, atom.y, atom.z, &image.x, &image.y, &image.z);
      p->crystal.cellAtoms.push_back(image);
    }
  }

  std::vector<std::tuple<double, int, int, int>> hkl;
  const int m = 40;
  for (int h = -m; h <= m; ++h)
    for (int k = 0; k <= m; ++k)
      for (int l = -m; l <= m; ++l) {
        if (k == 0 && (l < 0 || (l == 0 && h <= 0))) continue;
        const double s2 =
            (h * h / (a * a) + l * l / (c * c) - 2 * h * l * std::cos(beta) / (a * c)) /
                (std::sin(beta) * std::sin(beta)) +
            k * k / (b * b);
        hkl.emplace_back(s2, h, k, l);
      }
  std::partial_sort(hkl.begin(), hkl.begin() + reflections, hkl.end());
  for (int i = 0; i < reflections; ++i) {
    HKLItem it;
    std::tie(std::ignore, it.h, it.k, it.l) = hkl[static_cast<size_t>(i)];
    it.d = 1 / std::sqrt(std::get<0>(hkl[static_cast<size_t>(i)]));
    it.twoTheta = 2 * std::asin(std::min(1.0, 1.5406 / (2 * it.d))) * 180 / kPi;
    it.multiplicity = it.k == 0 ? 2 : 4;
    p->list.items.push_back(it);
  }
  Checked(SetASFTable(&p->list, &p->compound), "scattering table");
  Radiation radiation;
  radiation.polarization = 0.5;
  SetLPFactor(&p->list, &radiation);
  p->terms = static_cast<double>(reflections) * static_cast<double>(p->crystal.cellAtoms.size());
  return p;
}

Problem &Shared(int size, int group) {
  static std::map<std::pair<int, int>, std::unique_ptr<Problem>> problems;
  auto &p = problems[{size, group}];
  if (!p) p = size == 0 ? MakeProblem(150, 48, group) : MakeProblem(1500, 384, group);
  return *p;
}

// Over the reflections that are not absent: an absent one is rounding
// noise in both sums, orders of magnitude below the squared sum of the
// weights.
double WorstError(const HKLList &fast, const HKLList &oracle, const Crystal &crystal) {
  double worst = 0;
  for (size_t i = 0; i < oracle.items.size(); ++i) {
    const HKLItem &o = oracle.items[i];
    double scale = 0;
    for (const Atom &a : crystal.cellAtoms)
      scale += a.occupancy * std::fabs(o.asf[static_cast<size_t>(a.element->index)]);
    if (o.fSquared <= 1e-20 * scale * scale) continue;
    worst = std::max(worst, std::fabs(fast.items[i].fSquared - o.fSquared) / o.fSquared);
  }
  return worst;
}

void Report(benchmark::State &state, const Problem &p) {
  state.counters["terms/s"] = benchmark::Counter(p.terms * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

// Arguments: size (0 = S, 1 = L), space group.
void BM_Literal(benchmark::State &state) {
  Problem &p = Shared(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  HKLList list = p.list;
  for (auto _ : state) {
    LiteralIntensity(&list, p.crystal, 0);
    benchmark::DoNotOptimize(list.items.data());
  }
  Report(state, p);
}

// The entry point without a workspace: no symmetry, scratch per thread.
void BM_CalculateIntensity(benchmark::State &state) {
  Problem &p = Shared(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  HKLList list = p.list, oracle = p.list;
  LiteralIntensity(&oracle, p.crystal, 0);
  for (auto _ : state) {
    CalculateIntensity(&list, &p.crystal, 0);
    benchmark::DoNotOptimize(list.items.data());
  }
  Report(state, p);
  state.counters["max_rel_err"] = WorstError(list, oracle, p.crystal);
}

// The searches' step: refresh the coordinates, evaluate.
void BM_Workspace(benchmark::State &state) {
  Problem &p = Shared(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  HKLList list = p.list, oracle = p.list;
  LiteralIntensity(&oracle, p.crystal, 0);
  IntensityWorkspace ws;
  ws.vectorWidth = static_cast<int>(state.range(2));
  Checked(PrepareIntensityWorkspace(&ws, &list, &p.crystal, 0), "workspace");
  for (auto _ : state) {
    Checked(RefreshIntensityWorkspace(&ws, &p.crystal), "workspace");
    Checked(CalculateIntensityFast(&ws, &list), "intensities");
    benchmark::DoNotOptimize(list.items.data());
  }
  Report(state, p);
  state.counters["max_rel_err"] = WorstError(list, oracle, p.crystal);
  state.counters["shortcuts"] = IntensityWorkspaceShortcuts(&ws);
  state.counters["width"] = ws.vectorWidth ? ws.vectorWidth : IntensityVectorWidth();
}

// A search's evaluation after every parameter moved (the statistic test's
// trial): refresh, full sums, the grouped Bragg factor. In evaluations per
// second, to set beside the move below.
void BM_FullEvaluation(benchmark::State &state) {
  Problem &p = Shared(static_cast<int>(state.range(0)), 14);
  HKLList list = p.list;
  GroupHKLList(&list, 1.0);
  IntensityWorkspace ws;
  Checked(PrepareIntensityWorkspace(&ws, &list, &p.crystal, 0), "workspace");
  for (auto _ : state) {
    Checked(RefreshIntensityWorkspace(&ws, &p.crystal), "workspace");
    Checked(CalculateIntensityFast(&ws, &list), "intensities");
    benchmark::DoNotOptimize(GroupBraggFactor(&list));
  }
  state.counters["evaluations/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// An annealing move: one parameter of one atom changes, its images follow,
// the moved orbit is summed again, the factor is taken. Every move goes to
// a new place, so no part comes from the cache of the last two places.
void BM_OneParameterMove(benchmark::State &state) {
  Problem &p = Shared(static_cast<int>(state.range(0)), 14);
  Crystal crystal = p.crystal;
  HKLList list = p.list;
  GroupHKLList(&list, 1.0);
  IntensityWorkspace ws;
  Checked(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), "workspace");
  Checked(CalculateIntensityFast(&ws, &list), "intensities");
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> unit(0, 1);
  const size_t atoms = crystal.atoms.size();
  const size_t perAtom = crystal.cellAtoms.size() / atoms;
  size_t a = 0, moves = 0, full = 0;
  for (auto _ : state) {
    Atom &atom = crystal.atoms[a];
    atom.x = unit(random);
    for (size_t i = 0; i < perAtom; ++i) {
      const Coordinate &m = atom.position->fullCoordinates[i];
      Atom &image = crystal.cellAtoms[a * perAtom + i];
      CoordMatrixMultiply(m.matrix, atom.x, atom.y, atom.z, &image.x, &image.y, &image.z);
    }
    double R = 0;
    if (GroupBraggFactorOfMoves(&ws, &crystal, &R)) {
      ++moves;
    } else {
      Checked(RefreshIntensityWorkspace(&ws, &crystal), "workspace");
      Checked(CalculateIntensityFast(&ws, &list), "intensities");
      R = GroupBraggFactor(&list);
      ++full;
    }
    benchmark::DoNotOptimize(R);
    a = (a + 1) % atoms;
  }
  state.counters["evaluations/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["full_share"] = moves + full ? double(full) / double(moves + full) : 0;
}

}  // namespace

BENCHMARK(BM_FullEvaluation)->ArgNames({"L"})->Arg(0)->Arg(1);
BENCHMARK(BM_OneParameterMove)->ArgNames({"L"})->Arg(0)->Arg(1);
BENCHMARK(BM_Literal)
    ->ArgNames({"L", "sg"})
    ->Args({0, 14})
    ->Args({1, 14})
    ->Args({0, 1})
    ->Args({1, 1});
BENCHMARK(BM_CalculateIntensity)
    ->ArgNames({"L", "sg"})
    ->Args({0, 14})
    ->Args({1, 14})
    ->Args({0, 1})
    ->Args({1, 1});
BENCHMARK(BM_Workspace)
    ->ArgNames({"L", "sg", "width"})
    ->Args({0, 14, 0})
    ->Args({1, 14, 0})
    ->Args({0, 1, 0})
    ->Args({1, 1, 0})
    ->Args({0, 14, 2})
    ->Args({1, 14, 2})
    ->Args({1, 14, 8});

BENCHMARK_MAIN();
