// SPDX-License-Identifier: BSD-3-Clause
// Model evaluation, the statistic test and filter, grid search and the two
// annealing searches, on synthetic data whose answer is known.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "kernel.h"
#include "stages.h"
#include "solving_testing.h"
#include "testing.h"

namespace {

constexpr double kRutileX = 0.3049;

// x and 1 - x describe the same rutile structure.
double RutileError(double x) {
  double d = std::fabs(x - std::floor(x) - kRutileX);
  return std::min(d, std::fabs(x - std::floor(x) - (1 - kRutileX)));
}

// What a search reported: calls, the planned total, the values shown; it
// asks to stop at call stopAfter.
struct Recorder {
  int calls = 0;
  int stopAfter = -1;
  double total = 0;
  uint32_t done = 0;
  std::vector<std::vector<double>> values;
  bool Stop() { return ++calls == stopAfter; }
};

int RecordOptimization(const OptimizationProgress *record, void *argument) {
  Recorder *r = static_cast<Recorder *>(argument);
  r->total = record->total;
  std::vector<double> v;
  for (double *p : record->model->parameterList) v.push_back(*p);
  r->values.push_back(v);
  return r->Stop() ? 0 : 1;
}

int RecordStatistic(const StatisticProgress *record, void *argument) {
  Recorder *r = static_cast<Recorder *>(argument);
  r->done = record->done;
  r->total = record->total;
  return r->Stop() ? 1 : 0;
}

// A search of the model on the job's crystal and list, drawing from random
// (null: this thread's stream).
Search SearchOn(Job &job, CrystalModel *m, SearchRandom *random = nullptr) {
  UpdateCrystalByModel(&job.crystal, m, nullptr, 1);
  Search s;
  s.model = m;
  s.crystal = &job.crystal;
  s.list = &job.hklList;
  s.random = random;
  return s;
}

struct Rutile : ::testing::Test {
  SyntheticJob data{"Ti1O2", 2, 136, 4.5937, 4.5937, 2.9587, "Ti(2a)+O(4f)", {kRutileX}};
  CrystalModel *m = data.truth;  // its oxygen's x the one parameter
  Job &job() { return data.job; }
  void SetUp() override {
    ASSERT_NE(data.truth, nullptr);
    SetSearchSeed(12345);
  }
  void TearDown() override { SetSearchSeed(0); }
  // A search of the model on the job's crystal and list, held in the
  // asymmetric unit, on this thread's stream.
  Search SearchOf(CrystalModel *model, Recorder *r = nullptr) {
    Search s = SearchOn(job(), model);
    s.asym = 1;
    if (r) {
      s.progress = RecordOptimization;
      s.progressArg = r;
    }
    return s;
  }
  void Statistic(CrystalModel *model, uint32_t trials, int autoTrials, Recorder *r = nullptr) {
    Search s = SearchOf(model);
    RunStatisticTest(&s, trials, autoTrials, r ? RecordStatistic : nullptr, r);
  }
};

// ---- evaluation --------------------------------------------------------

TEST_F(Rutile, InPlaceRefreshEqualsARebuildAndTheTruthFitsExactly) {
  *m->parameterList[0] = 0.31;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
  Crystal rebuilt = job().crystal;
  *m->parameterList[0] = 0.2;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 0);
  *m->parameterList[0] = 0.31;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 0);
  ASSERT_EQ(job().crystal.cellAtoms.size(), 6u);  // 2 Ti + 4 O
  for (size_t i = 0; i < rebuilt.cellAtoms.size(); ++i) {
    EXPECT_EQ(job().crystal.cellAtoms[i].x, rebuilt.cellAtoms[i].x);
    EXPECT_EQ(job().crystal.cellAtoms[i].z, rebuilt.cellAtoms[i].z);
  }
  // A values array is indexed by parameter number and wins over the slots.
  const double values[1] = {0.25};
  UpdateCrystalByModel(&job().crystal, m, values, 0);
  EXPECT_DOUBLE_EQ(job().crystal.atoms[1].x, 0.25);
  EXPECT_DOUBLE_EQ(job().crystal.atoms[1].y, 0.25);
  EXPECT_EQ(*m->parameterList[0], 0.31);
  // The true model fits exactly, a model off the truth does not.
  *m->parameterList[0] = kRutileX;
  SetModelFactor(m, &job().crystal, &job().hklList, 0);
  EXPECT_LT(m->Rmin, 1e-9);
  EXPECT_EQ(m->Ravg, m->Rmin);
  EXPECT_TRUE(std::isinf(m->FOM) || m->FOM > 1e9);
  *m->parameterList[0] = 0.28;
  SetModelFactor(m, &job().crystal, &job().hklList, 0);
  EXPECT_GT(m->Rmin, 0.05);
}

TEST(Evaluation, GroupedBraggFactorAndEqualFitsRankedByModelNumber) {
  // Reflections as {group, observed, calculated}.
  auto factor = [](const std::vector<std::array<double, 3>> &rows) {
    HKLList list;
    for (const auto &r : rows) {
      list.items.emplace_back();
      list.items.back().group = static_cast<int32_t>(r[0]);
      list.items.back().iObsScaled = r[1];
      list.items.back().iCalc = r[2];
    }
    return GroupBraggFactor(&list);
  };
  // Overlapping reflections are compared by their sums; a group number met
  // again after another is a run of its own, and so is an ungrouped run.
  EXPECT_DOUBLE_EQ(factor({{0, 10, 4}, {0, 0, 5}, {1, 20, 25}, {0, 5, 5}, {-1, 1, 0}, {-1, 1, 0}}),
                   (1 + 5 + 0 + 2) / 37.0);
  EXPECT_DOUBLE_EQ(factor({{-1, 3, 1}, {-1, 1, 0}}), 3.0 / 4.0);
  EXPECT_EQ(factor({{-1, 0, 1}, {-1, 0, 0}}), -1.0);  // nothing observed
  EXPECT_EQ(factor({}), -1.0);
  // Models equal up to an origin shift differ in the last bits of their
  // factor; the ranking must not depend on those bits.
  CrystalModel a, b;
  a.modelNumber = 5;
  a.Rmin = 0.2 - 1e-14;
  b.modelNumber = 2;
  b.Rmin = 0.2;
  std::vector<CrystalModel *> models = {&a, &b};
  SortModels(&models);
  EXPECT_EQ(models[0], &b);
  b.Rmin = 0.3;
  SortModels(&models);
  EXPECT_EQ(models[0], &a);
}

// ---- statistic test, filter and choice ----------------------------------

TEST_F(Rutile, StatisticTestSamplesKeepsTheBestStopsAndSkipsFixedModels) {
  Recorder r;
  Statistic(m, 500, 0, &r);
  EXPECT_EQ(r.calls, 500);
  EXPECT_EQ(r.total, 500u);
  EXPECT_EQ(m->selected, 1);
  EXPECT_LT(m->Rmin, m->Ravg);
  EXPECT_GT(m->Rsd, 0);
  // 500 samples of x in the asymmetric unit come near the truth.
  EXPECT_LT(RutileError(*m->parameterList[0]), 0.01);
  EXPECT_DOUBLE_EQ(m->FOM, 10.0 / m->Rmin + 100.0 * m->Rsd / m->Ravg);
  // The best value is in place: one more evaluation finds it again.
  SetModelFactor(m, &job().crystal, &job().hklList, 0);
  EXPECT_LT(m->Rmin, 0.05);
  // A stop ends it at once.
  Recorder once;
  once.stopAfter = 1;
  Statistic(m, 1000, 0, &once);
  EXPECT_EQ(once.calls, 1);
  EXPECT_EQ(once.done, 1u);
  EXPECT_NEAR(m->Rsd, 0.0, 1e-12);
  Recorder automatic;
  automatic.stopAfter = 1;
  Statistic(m, 7, 1, &automatic);
  EXPECT_EQ(automatic.total, 100u);  // one free parameter, automatic count
  // A model without parameters gets its single factor, unsampled.
  CrystalModel *fixed = data.Find("Ti(2a)+O(4c)");
  ASSERT_NE(fixed, nullptr);
  ASSERT_EQ(fixed->freeCount, 0);
  fixed->selected = 0;
  Statistic(fixed, 100, 0);
  EXPECT_EQ(fixed->Rmin, fixed->Ravg);
  EXPECT_EQ(fixed->Rsd, 0.0);
  EXPECT_EQ(fixed->selected, 0);
}

TEST(Statistic, FiltersAndTheChoiceOfModels) {
  // The models kept of one with Rmin 0.55, Rsd 0.005, FOM 20 and the Ravg
  // given; marked tells whether it is still marked selected afterwards.
  auto kept = [](int type, double Ravg, uint32_t validity, int flags, bool *marked = nullptr) {
    CrystalModelList list;
    CrystalModel m;
    m.Rmin = 0.55;
    m.Rsd = 0.005;
    m.Ravg = Ravg;
    m.FOM = 20;
    m.validity = validity;
    m.selected = 1;
    CrystalModelAdd(&list, std::move(m));
    FilterSettings s;
    s.filterType = type;
    s.fomThreshold = 20;
    s.bestThreshold = 0.5;
    s.sdThreshold = 0.01;
    s.avgThreshold = 0.6;
    uint32_t count = 7;
    const size_t n = ModelsStatisticFilter(&list, s, flags, &count).size();
    EXPECT_EQ(count, n);
    if (marked) *marked = list.models[0].selected != 0;
    return n;
  };
  // Type 1 drops a model with a poor best, a small spread and a poor
  // average, and only that; type 0 keeps a FOM above the threshold.
  EXPECT_EQ(kept(1, 0.7, kAllValid, 0), 0u);
  EXPECT_EQ(kept(1, 0.6, kAllValid, 0), 1u);
  EXPECT_EQ(kept(0, 0.7, kAllValid, 0), 0u);  // equal is not above
  EXPECT_EQ(kept(2, 0.7, kAllValid, 0), 1u);
  EXPECT_EQ(kept(2, 0.7, 0, FILTER_VALID_ONLY), 0u);
  EXPECT_EQ(kept(2, 0.7, 0, 0), 1u);
  // No such filter: none kept, the marks untouched.
  bool marked = false;
  EXPECT_EQ(kept(3, 0.7, kAllValid, 0, &marked), 0u);
  EXPECT_TRUE(marked);
  // The choice among the sorted models: all, the best N, those at most a
  // threshold, or none for an unknown mode.
  CrystalModel m[4];
  const double factors[4] = {0.2, 0.3, 0.4, 0.5};
  std::vector<CrystalModel *> sorted;
  for (int i = 0; i < 4; ++i) {
    m[i].Rmin = factors[i];
    sorted.push_back(&m[i]);
  }
  struct Case {
    int mode;
    uint32_t count;
    double threshold;
    size_t chosen;
  };
  const Case cases[] = {
      {0, 1, 0.1, 4},  // all
      {1, 0, 1, 0},    {1, 3, 1, 3}, {1, 9, 1, 4},
      {2, 9, 0.3, 2},  // at most the threshold
      {2, 9, 0.1, 0},  {5, 9, 1, 0},
  };
  for (const Case &c : cases) {
    SelectionLevel level;
    const std::vector<CrystalModel *> chosen =
        CrystalModelsOf(sorted, c.mode, c.count, c.threshold, &level);
    EXPECT_EQ(chosen.size(), c.chosen) << "mode " << c.mode << ", " << c.count << ", "
                                       << c.threshold;
    EXPECT_EQ(level.models, chosen);
  }
}

// ---- grid search and annealing --------------------------------------------

StageSettings Settings(int method, double resolution) {
  StageSettings s;
  s.method = method;
  s.resolution = resolution;
  s.traditional = {2, 10, 1, 0.5, 50};  // 10, 5, 2.5, 1.25: four steps a cycle
  s.adaptive = {1, 1, 0.01, 100, 0};
  s.tempering = {4, 1, 0.001, 40};
  return s;
}

// Every method finds the oxygen from a poor start, and a stop on the first
// move ends the search after that move, not after a temperature step.
TEST_F(Rutile, EveryMethodFindsTheOxygenAndStopsNoOtherRunsAndTheGridKeepsItsBounds) {
  struct Case {
    int method;
    double resolution, tolerance;
  };
  const Case cases[] = {{METHOD_GRID, 0.01, 0.0015},
                        {METHOD_TRADITIONAL, 0.01, 0.0015},
                        {METHOD_ADAPTIVE, 0.005, 0.002},
                        {METHOD_TEMPERING, 0.01, 0.0015}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.method);
    m->Rmin = 100;
    *m->parameterList[0] = 0.123;
    Recorder r;
    Search s = SearchOf(m, &r);
    const double R = RunSolveStructure(&s, c.method, Settings(c.method, c.resolution));
    EXPECT_GT(r.calls, 0);
    EXPECT_LT(RutileError(*m->parameterList[0]), c.tolerance);
    EXPECT_EQ(R, m->Rmin);
    EXPECT_LE(m->Rmin, m->runMinimum);
    Recorder once;
    once.stopAfter = 1;
    Search stopped = SearchOf(m, &once);
    RunSolveStructure(&stopped, c.method, Settings(c.method, c.resolution));
    EXPECT_EQ(once.calls, 1);
  }
  // An unknown method, or a model without parameters, leaves the model as it
  // was.
  m->Rmin = 0.75;
  CapturedMessages messages;
  Search s = SearchOf(m);
  EXPECT_EQ(RunSolveStructure(&s, 4, Settings(4, 0.1)), 0.75);
  EXPECT_EQ(messages.text(), "solving structure, unknown global optimisation method!\n");
  CrystalModel *fixed = data.Find("Ti(2a)+O(4c)");
  fixed->Rmin = 0.5;
  Search none = SearchOf(fixed);
  EXPECT_GT(RunSolveStructure(&none, METHOD_GRID, Settings(METHOD_GRID, 0.1)), 0.1);
  EXPECT_EQ(fixed->Rmin, 0.5);
  // The grid's bounds of a special position: resolution 0.0919 on a =
  // 4.5937 is a step of 0.02 (fractional): with the asymmetric unit the x
  // range is 0..25; searched over the whole edge, a special position's
  // parameter runs 0..50.
  ASSERT_EQ(m->atoms[1].para[SLOT_X].special, 0);  // primitive group: not marked
  m->atoms[1].para[SLOT_X].special = 1;
  Recorder whole;
  Search edge = SearchOf(m, &whole);
  edge.asym = 0;
  RunSolveStructure(&edge, METHOD_GRID, Settings(METHOD_GRID, 4.5937 * 0.03));
  EXPECT_EQ(whole.calls, 35);  // indices 0..34, the last value 1.02
  m->atoms[1].para[SLOT_X].special = 0;
}

// The completion that ends tempering: an oxygen half a cell off goes back to
// its place, and a barium and a titanium that have traded places trade them
// back (on a grid through the truth). From the truth nothing improves, and a
// coordinate given a cell on comes back inside the cell, also after tempering.
TEST(Tempering, CompletesAMisplacedSiteAndASwappedPair) {
  const std::vector<double> truth = {0, 0, 0, 0.5, 0.45, 0.55, 0.3, 0.05, 0.1, 0.2, 0.6, 0.35};
  SyntheticJob data{"Ba1Ti1O2", 1, 1, 5, 5, 5, "Ba(1a)+Ti(1a)+O(1a)+O(1a)", truth, 4};
  ASSERT_NE(data.truth, nullptr);
  CrystalModel *m = data.truth;
  ASSERT_EQ(m->freeCount, 12);
  auto complete = [&](const std::vector<double> &start) {
    for (size_t i = 0; i < start.size(); ++i) *m->parameterList[i] = start[i];
    SetModelFactor(m, &data.job.crystal, &data.job.hklList, 0);
    const double before = m->Rmin;
    Search s = SearchOn(data.job, m);
    SetSearchGrid(&s, 0.05);
    const double after = RunCompletion(&s, 1e5);
    return std::make_pair(before, after);
  };
  std::vector<double> start = truth;
  std::swap_ranges(start.begin(), start.begin() + 3, start.begin() + 3);
  start[9] += 0.5;
  const auto wrong = complete(start);
  EXPECT_GT(wrong.first, 0.1);
  EXPECT_LT(wrong.second, 0.02);  // within a grid step or two of the truth
  start = truth;
  start[10] += 1;
  EXPECT_LT(complete(start).second, 1e-9);
  EXPECT_NEAR(*m->parameterList[10], truth[10], 1e-9);
  *m->parameterList[10] += 1;
  Search s = SearchOn(data.job, m);
  StageSettings settings;
  settings.tempering = {2, 1, 1, 1};
  EXPECT_LT(RunSolveStructure(&s, METHOD_TEMPERING, settings), 1e-9);
  EXPECT_NEAR(*m->parameterList[10], truth[10], 1e-9);
}

// The effort a model's free count earns: a tenth per coordinate of the
// settings' moves, within a quarter and eight times, a cycle more per 16
// coordinates; a race's share scales it further, never below one move.
TEST(Effort, ScalesWithTheFreeCountWithinItsLimits) {
  struct Case {
    int free, autoEffort;
    double share;
    uint32_t moves, cycles, tempering;
  };
  const Case cases[] = {
      {0, 1, 1, 100, 3, 500},      {1, 1, 1, 100, 3, 500},     {2, 1, 1, 100, 3, 500},
      {10, 1, 1, 400, 3, 2000},    {15, 1, 1, 600, 3, 3000},   {16, 1, 1, 640, 4, 3200},
      {48, 1, 1, 1920, 6, 9600},   {80, 1, 1, 3200, 8, 16000}, {500, 1, 1, 3200, 34, 16000},
      {48, 0, 1, 400, 3, 2000},    {10, 1, 0.125, 50, 3, 250}, {1, 1, 0.001, 1, 3, 1},
      {48, 0, 0.5, 200, 3, 1000},
  };
  StageSettings base;
  base.traditional = {3, 1, 0.001, 0.9, 400};
  base.adaptive.cycles = 3;
  base.adaptive.moves = 400;
  base.tempering.moves = 2000;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.free) + " free, share " + std::to_string(c.share));
    base.autoEffort = c.autoEffort;
    const StageSettings e = SearchEffort(base, c.free, c.share);
    EXPECT_EQ(e.traditional.moves, c.moves);
    EXPECT_EQ(e.adaptive.moves, c.moves);
    EXPECT_EQ(e.traditional.cycles, c.cycles);
    EXPECT_EQ(e.adaptive.cycles, c.cycles);
    EXPECT_EQ(e.tempering.moves, c.tempering);
    EXPECT_DOUBLE_EQ(e.adaptive.effort, c.share);  // the automatic schedule scales itself
    EXPECT_EQ(e.traditional.startT, base.traditional.startT);
  }
  // A race's first round: an eighth up to 64 models, halved for every four
  // times as many, never below a sixty-fourth.
  const std::pair<size_t, double> shares[] = {{1, 0.125},      {64, 0.125},  {65, 0.0625},
                                              {256, 0.0625},   {257, 1.0 / 32}, {561, 1.0 / 32},
                                              {1242, 1.0 / 64}, {1000000, 1.0 / 64}};
  for (const auto &s : shares) EXPECT_DOUBLE_EQ(RaceFirstShare(s.first), s.second) << s.first;
}

TEST(Grid, PointOrderAndTotal) {
  CrystalModel model;
  model.atoms.resize(1);
  model.parameterCount = 2;
  model.atoms[0].para[SLOT_X].index = 0;
  model.atoms[0].para[SLOT_Y].index = 1;
  UpdateParaList(&model);
  Crystal crystal;
  HKLList list;
  Recorder r;
  Search s;
  s.model = &model;
  s.crystal = &crystal;
  s.list = &list;
  s.progress = RecordOptimization;
  s.progressArg = &r;
  s.grid = {{0, 0}, {0, 0}, {2, 1}, {1, 10}};
  RunGridSearch(&s);
  ASSERT_EQ(r.values.size(), 6u);
  EXPECT_EQ(r.values[1], (std::vector<double>{1, 0}));
  EXPECT_EQ(r.values[3], (std::vector<double>{0, 10}));
  EXPECT_EQ(r.values[5], (std::vector<double>{2, 10}));
  EXPECT_EQ(r.total, 2.0);
}

TEST_F(Rutile, TraditionalAnnealingSchedule) {
  StageSettings s = Settings(METHOD_TRADITIONAL, 0.01);
  Recorder r;
  Search search = SearchOf(m, &r);
  RunSolveStructure(&search, METHOD_TRADITIONAL, s);
  EXPECT_EQ(r.calls, 2 * 4 * 50);
  EXPECT_DOUBLE_EQ(r.total, std::ceil(2 * 50 * 1 / std::log10(2.0)));  // 333, an estimate
  // A schedule that starts at its end makes no moves.
  s.traditional.startT = 1;
  Recorder none;
  Search cold = SearchOf(m, &none);
  RunSolveStructure(&cold, METHOD_TRADITIONAL, s);
  EXPECT_EQ(none.calls, 0);
  // One that never ends is cut, with a word.
  s.traditional = {1, 10, 0.01, 1.0, 1};
  CapturedMessages messages;
  Recorder endless;
  Search forever = SearchOf(m, &endless);
  RunSolveStructure(&forever, METHOD_TRADITIONAL, s);
  EXPECT_EQ(endless.calls, kMaxTemperatureSteps);
  EXPECT_NE(messages.text().find("never ends"), std::string::npos);
}

TEST_F(Rutile, AdaptiveAnnealingTakesItsScheduleFromTheStatisticTest) {
  StageSettings s = Settings(METHOD_ADAPTIVE, 0.005);
  s.adaptive.strategy = 1;
  // Without a statistic test Rsd is 0: no temperature step at all.
  Recorder idle;
  *m->parameterList[0] = 0.123;
  Search search = SearchOf(m, &idle);
  RunSolveStructure(&search, METHOD_ADAPTIVE, s);
  EXPECT_EQ(idle.calls, 0);
  EXPECT_EQ(*m->parameterList[0], 0.123);
  // After one the automatic schedule runs and refines.
  Statistic(m, 200, 0);
  Recorder r;
  Search tested = SearchOf(m, &r);
  RunSolveStructure(&tested, METHOD_ADAPTIVE, s);
  EXPECT_GT(r.calls, 0);
  EXPECT_LT(RutileError(*m->parameterList[0]), 0.002);
}

// ---- the bond penalty --------------------------------------------------------

// The penalty of moved sites, summed again row by row with the columns from
// symmetry, agrees with a fresh sum, with and without its bond-valence term;
// at the true structure it is nearly 0 (no contact too short, valences as
// the oxidation states within 3%).
TEST_F(Rutile, BondPenaltyFollowsMovesAsAFreshSumDoes) {
  // The job leaves the states out; the valence term needs them.
  job().compound.entries[0].oxidation = 4;
  job().compound.entries[1].oxidation = -2;
  for (double valence : {0.0, 1.0}) {
    SCOPED_TRACE(valence);
    const BondPenaltySettings settings{&job().bondLengths, 0.9, 1.0, valence};
    *m->parameterList[0] = kRutileX;
    EXPECT_NEAR(ModelBondPenalty(m, &job().crystal, settings), 0.0, valence * 2e-3);
    Crystal fresh = job().crystal;
    UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
    BondPenalty penalty;
    ASSERT_TRUE(penalty.Prepare(m, &job().crystal, settings));
    penalty(job().crystal);
    EXPECT_NEAR(penalty.ValenceSum(0), valence * 4, 0.15);  // Ti
    double bumped = 0;
    for (double x : {0.3049, 0.10, 0.45, 0.02, 0.25, 0.3049}) {
      *m->parameterList[0] = x;
      UpdateCrystalByModel(&job().crystal, m, nullptr, 0);
      const double moved = penalty(job().crystal);
      EXPECT_NEAR(moved, ModelBondPenalty(m, &fresh, settings), 1e-12) << x;
      bumped = std::max(bumped, moved);
    }
    EXPECT_GT(bumped, 0.1);
  }
}

// An oxygen 0.7 A from a fixed phosphorus: with a factor that cannot tell
// places apart, the penalty alone moves it to a bond's length or more; the
// model keeps the pure factor, and without the penalty the oxygen stays.
TEST(BondPenalty, MovesALightAtomOutOfABump) {
  for (bool penalised : {true, false}) {
    SCOPED_TRACE(penalised);
    SyntheticJob data{"P1O1", 1, 1, 10, 10, 10, "P(1a)+O(1a)", {0, 0, 0, 0.07, 0, 0}, 2};
    ASSERT_NE(data.truth, nullptr);
    CrystalModel *m = data.truth;
    for (int i = 0; i < 3; ++i) {
      m->atoms[0].para[i].fixed = 1;
      m->atoms[0].para[i].value = 0;
      m->atoms[1].para[i].value = i == 0 ? 0.07 : 0;
    }
    UpdateParaList(m);
    ASSERT_EQ(m->freeCount, 3);
    SearchRandom random;
    random.base = 99;
    Search s = SearchOn(data.job, m, &random);
    s.factor = [](void *) { return 0.0; };
    s.factorArg = &s;
    if (penalised) s.penalty = {&data.job.bondLengths, 0.9, 1.0};
    m->Rmin = 0;
    StageSettings settings;
    settings.resolution = 0.1;
    settings.traditional = {1, 1.0, 0.001, 0.8, 200};
    RunSolveStructure(&s, METHOD_TRADITIONAL, settings);
    EXPECT_EQ(m->Rmin, 0.0);
    UpdateCrystalByModel(&data.job.crystal, m, nullptr, 1);
    const Atom &p = data.job.crystal.atoms[0], &o = data.job.crystal.atoms[1];
    double d2 = 0;
    for (double u : {o.x - p.x, o.y - p.y, o.z - p.z}) {
      u -= std::floor(u + 0.5);
      d2 += 100 * u * u;
    }
    if (penalised)
      EXPECT_GE(std::sqrt(d2), 0.9 * 1.45);
    else
      EXPECT_NEAR(std::sqrt(d2), 0.7, 1e-9);
  }
}

}  // namespace
