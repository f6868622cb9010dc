// Model evaluation, the statistic test and filter, grid search and the two
// annealing searches, on synthetic data whose answer is known.
#include <gtest/gtest.h>

#include <cmath>

#include "kernel.h"
#include "solving_testing.h"
#include "testing.h"

namespace {

constexpr double kRutileX = 0.3049;

// x and 1 - x describe the same rutile structure.
double RutileError(double x) {
  double d = std::fabs(x - std::floor(x) - kRutileX);
  return std::min(d, std::fabs(x - std::floor(x) - (1 - kRutileX)));
}

struct Rutile : ::testing::Test {
  SyntheticJob data{"Ti1O2", 2, 136, 4.5937, 4.5937, 2.9587, "Ti(2a)+O(4f)", {kRutileX}};
  Job &job() { return data.job; }
  void SetUp() override {
    ASSERT_NE(data.truth, nullptr);
    SetSearchSeed(12345);
  }
  void TearDown() override {
    SetSearchSeed(0);
  }
};

// ---- evaluation --------------------------------------------------------

TEST_F(Rutile, InPlaceRefreshEqualsARebuild) {
  CrystalModel *m = data.truth;
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
}

TEST_F(Rutile, TrueModelFitsExactly) {
  *data.truth->parameterList[0] = kRutileX;
  SetModelFactor(data.truth, &job().crystal, &job().hklList, 0);
  EXPECT_LT(data.truth->Rmin, 1e-9);
  EXPECT_EQ(data.truth->Ravg, data.truth->Rmin);
  EXPECT_TRUE(std::isinf(data.truth->FOM) || data.truth->FOM > 1e9);
  *data.truth->parameterList[0] = 0.28;
  SetModelFactor(data.truth, &job().crystal, &job().hklList, 0);
  EXPECT_GT(data.truth->Rmin, 0.05);
}

TEST(Evaluation, GroupedBraggFactor) {
  HKLList list;
  auto add = [&](int group, double obs, double calc) {
    HKLItem item;
    item.group = group;
    item.iObsScaled = obs;
    item.iCalc = calc;
    list.items.push_back(item);
  };
  add(0, 10, 4);
  add(0, 0, 5);     // overlaps its neighbour: the sums are compared
  add(1, 20, 25);
  add(0, 5, 5);     // same number, but a run of its own
  add(-1, 1, 0);
  add(-1, 1, 0);    // ungrouped run: one group
  EXPECT_DOUBLE_EQ(GroupBraggFactor(&list), (1 + 5 + 0 + 2) / 37.0);
  HKLList one;
  one.items.resize(2);
  one.items[0].iObsScaled = 3;
  one.items[1].iObsScaled = 1;
  one.items[0].iCalc = 1;
  EXPECT_DOUBLE_EQ(GroupBraggFactor(&one), 3.0 / 4.0);
  for (HKLItem &item : one.items) item.iObsScaled = 0;
  EXPECT_EQ(GroupBraggFactor(&one), -1.0);
  HKLList empty;
  EXPECT_EQ(GroupBraggFactor(&empty), -1.0);
}

TEST(Evaluation, EqualFitsRankByModelNumber) {
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

// ---- statistic test ------------------------------------------------------

struct Recorder {
  int calls = 0;
  int stopAfter = -1;
  uint32_t lastDone = 0, total = 0;
};

int Record(const StatisticProgress *record, void *argument) {
  Recorder *r = static_cast<Recorder *>(argument);
  ++r->calls;
  r->lastDone = record->done;
  r->total = record->total;
  return r->stopAfter >= 0 && r->calls >= r->stopAfter;
}

TEST_F(Rutile, StatisticTestSamplesAndKeepsTheBest) {
  CrystalModel *m = data.truth;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
  Recorder r;
  ModelStatisticTest(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                     500, 0, Record, &r);
  EXPECT_EQ(r.calls, 500);
  EXPECT_EQ(r.total, 500u);
  EXPECT_EQ(m->selected, 1);
  EXPECT_LT(m->Rmin, m->Ravg);
  EXPECT_GT(m->Rsd, 0);
  // 500 samples of x in the asymmetric unit come near the truth.
  EXPECT_LT(RutileError(*m->parameterList[0]), 0.01);
  EXPECT_DOUBLE_EQ(m->FOM, 10.0 / m->Rmin + 100.0 * m->Rsd / m->Ravg);
  // The best value is in place: one more evaluation gives Rmin again.
  SetModelFactor(m, &job().crystal, &job().hklList, 0);
  double again = m->Rmin;
  EXPECT_LT(again, 0.05);
}

TEST_F(Rutile, StatisticTestStopsAndCountsTrials) {
  CrystalModel *m = data.truth;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
  Recorder r;
  r.stopAfter = 1;
  ModelStatisticTest(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                     1000, 0, Record, &r);
  EXPECT_EQ(r.calls, 1);
  EXPECT_EQ(r.lastDone, 1u);
  EXPECT_NEAR(m->Rsd, 0.0, 1e-12);
  Recorder automatic;
  automatic.stopAfter = 1;
  ModelStatisticTest(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                     7, 1, Record, &automatic);
  EXPECT_EQ(automatic.total, 100u);  // one free parameter, automatic count
}

TEST_F(Rutile, ModelWithoutParametersGetsItsSingleFactor) {
  CrystalModel *fixed = data.Find("Ti(2a)+O(4c)");
  ASSERT_NE(fixed, nullptr);
  ASSERT_EQ(fixed->freeCount, 0);
  fixed->selected = 0;
  UpdateCrystalByModel(&job().crystal, fixed, nullptr, 1);
  ModelStatisticTest(fixed, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor,
                     &job().hklList, 100, 0, nullptr, nullptr);
  EXPECT_EQ(fixed->Rmin, fixed->Ravg);
  EXPECT_EQ(fixed->Rsd, 0.0);
  EXPECT_EQ(fixed->selected, 0);
}

TEST(Statistic, Filters) {
  CrystalModelList list;
  CrystalModel m;
  m.Rmin = 0.55;
  m.Rsd = 0.005;
  m.Ravg = 0.7;
  m.FOM = 20;
  CrystalModelAdd(&list, std::move(m));
  FilterSettings s;
  s.filterType = 1;
  s.bestThreshold = 0.5;
  s.sdThreshold = 0.01;
  s.avgThreshold = 0.6;
  uint32_t count = 7;
  EXPECT_TRUE(ModelsStatisticFilter(&list, s, 0, &count).empty());
  EXPECT_EQ(count, 0u);
  list.models[0].Ravg = 0.6;
  EXPECT_EQ(ModelsStatisticFilter(&list, s, 0, &count).size(), 1u);
  s.filterType = 0;
  s.fomThreshold = 20;
  EXPECT_TRUE(ModelsStatisticFilter(&list, s, 0, &count).empty());  // equal is not above
  s.filterType = 2;
  list.models[0].validity = 0;
  EXPECT_TRUE(ModelsStatisticFilter(&list, s, FILTER_VALID_ONLY, &count).empty());
  EXPECT_EQ(ModelsStatisticFilter(&list, s, 0, &count).size(), 1u);
  s.filterType = 3;
  list.models[0].selected = 1;
  EXPECT_TRUE(ModelsStatisticFilter(&list, s, 0, &count).empty());
  EXPECT_EQ(list.models[0].selected, 1);  // untouched
}

TEST(Statistic, ChoosingModels) {
  CrystalModel m[4];
  const double factors[4] = {0.2, 0.3, 0.5, 0.4};
  std::vector<CrystalModel *> sorted;
  for (int i = 0; i < 4; ++i) {
    m[i].Rmin = factors[i];
    sorted.push_back(&m[i]);
  }
  SelectionLevel level;
  const double threshold = 0.4;
  EXPECT_EQ(CrystalModelsOf(sorted, 2, &threshold, &level).size(), 2u);
  EXPECT_EQ(level.models.size(), 2u);
  const uint32_t none = 0, many = 9;
  EXPECT_TRUE(CrystalModelsOf(sorted, 1, &none, &level).empty());
  EXPECT_EQ(CrystalModelsOf(sorted, 1, &many, &level).size(), 4u);
  EXPECT_EQ(CrystalModelsOf(sorted, 0, nullptr, &level).size(), 4u);
  EXPECT_TRUE(CrystalModelsOf(sorted, 5, nullptr, &level).empty());
}

// ---- grid search and annealing --------------------------------------------

struct OptRecorder {
  int calls = 0;
  int stopAfter = -1;
  double total = 0;
  std::vector<double> first;
  std::vector<std::vector<double>> values;
  bool keepValues = false;
};

int RecordOpt(const OptimizationProgress *record, void *argument) {
  OptRecorder *r = static_cast<OptRecorder *>(argument);
  ++r->calls;
  r->total = record->total;
  if (r->keepValues) {
    std::vector<double> v;
    for (double *p : record->model->parameterList) v.push_back(*p);
    r->values.push_back(v);
  }
  return !(r->stopAfter >= 0 && r->calls >= r->stopAfter);
}

TEST_F(Rutile, GridSearchFindsTheOxygen) {
  CrystalModel *m = data.truth;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
  OptRecorder r;
  double R = SolveStructure(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor,
                            &job().hklList, METHOD_GRID, 0.01, nullptr, RecordOpt, &r);
  EXPECT_LT(R, 0.02);
  EXPECT_LT(RutileError(*m->parameterList[0]), 0.0015);
  EXPECT_EQ(R, m->Rmin);
  EXPECT_LE(m->Rmin, m->runMinimum);
}

TEST(Grid, PointOrderAndStop) {
  CrystalModel model;
  model.atoms.resize(1);
  model.parameterCount = 2;
  model.atoms[0].para[SLOT_X].index = 0;
  model.atoms[0].para[SLOT_Y].index = 1;
  UpdateParaList(&model);
  Crystal crystal;
  HKLList list;
  int current[2] = {0, 0};
  const int lower[2] = {0, 0}, upper[2] = {2, 1};
  const double step[2] = {1, 10};
  OptRecorder r;
  r.keepValues = true;
  GridSearch(&model, &crystal, &list, 0, GroupBraggFactor, &list, current, lower, upper, step,
             RecordOpt, &r);
  ASSERT_EQ(r.values.size(), 6u);
  EXPECT_EQ(r.values[1], (std::vector<double>{1, 0}));
  EXPECT_EQ(r.values[3], (std::vector<double>{0, 10}));
  EXPECT_EQ(r.values[5], (std::vector<double>{2, 10}));
  EXPECT_EQ(r.total, 2.0);
  OptRecorder once;
  once.stopAfter = 1;
  current[0] = current[1] = 0;
  GridSearch(&model, &crystal, &list, 0, GroupBraggFactor, &list, current, lower, upper, step,
             RecordOpt, &once);
  EXPECT_EQ(once.calls, 1);
}

TEST_F(Rutile, GridBoundsOfSpecialPositions) {
  // Resolution 0.0919 on a = 4.5937 is a step of 0.02 (fractional): with the
  // asymmetric unit the x range is 0..25; searched over the whole edge, a
  // special position's parameter runs 0..50.
  CrystalModel *m = data.truth;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
  ASSERT_EQ(m->atoms[1].para[SLOT_X].special, 0);  // primitive group: not marked
  m->atoms[1].para[SLOT_X].special = 1;
  OptRecorder r;
  SolveStructure(m, &job().crystal, &job().hklList, 0, 0, GroupBraggFactor, &job().hklList,
                 METHOD_GRID, 4.5937 * 0.03, nullptr, RecordOpt, &r);
  EXPECT_EQ(r.calls, 35);  // indices 0..34, the last value 1.02
  m->atoms[1].para[SLOT_X].special = 0;
}

TEST_F(Rutile, UnknownMethodAndModelsWithoutParameters) {
  CrystalModel *m = data.truth;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
  m->Rmin = 0.75;
  CapturedMessages messages;
  EXPECT_EQ(SolveStructure(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor,
                           &job().hklList, 3, 0.1, nullptr, nullptr, nullptr),
            0.75);
  EXPECT_EQ(messages.text(), "solving structure, unknown global optimazation method!\n");
  CrystalModel *fixed = data.Find("Ti(2a)+O(4c)");
  fixed->Rmin = 0.5;
  UpdateCrystalByModel(&job().crystal, fixed, nullptr, 1);
  double R = SolveStructure(fixed, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor,
                            &job().hklList, METHOD_GRID, 0.1, nullptr, nullptr, nullptr);
  EXPECT_GT(R, 0.1);
  EXPECT_EQ(fixed->Rmin, 0.5);  // the model is not changed
}

TEST_F(Rutile, TraditionalAnnealingFindsTheOxygen) {
  CrystalModel *m = data.truth;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
  TraditionalAnnealingSettings s;
  s.cycles = 2;
  s.startT = 10;
  s.endT = 1;
  s.rate = 0.5;  // 10, 5, 2.5, 1.25: four steps
  s.moves = 50;
  OptRecorder r;
  SolveStructure(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                 METHOD_TRADITIONAL, 0.01, &s, RecordOpt, &r);
  EXPECT_EQ(r.calls, 2 * 4 * 50);
  EXPECT_DOUBLE_EQ(r.total, std::ceil(2 * 50 * 1 / std::log10(2.0)));  // 333, an estimate
  EXPECT_LT(RutileError(*m->parameterList[0]), 0.0015);
  // A stop on the first move ends the search after it, not after the
  // temperature step.
  OptRecorder once;
  once.stopAfter = 1;
  SolveStructure(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                 METHOD_TRADITIONAL, 0.01, &s, RecordOpt, &once);
  EXPECT_EQ(once.calls, 1);
  // A schedule that starts at its end makes no moves.
  OptRecorder none;
  s.startT = 1;
  SolveStructure(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                 METHOD_TRADITIONAL, 0.01, &s, RecordOpt, &none);
  EXPECT_EQ(none.calls, 0);
}

TEST_F(Rutile, AnnealingScheduleThatNeverEndsIsBounded) {
  CrystalModel *m = data.truth;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
  TraditionalAnnealingSettings s;
  s.cycles = 1;
  s.rate = 1.0;
  s.moves = 1;
  CapturedMessages messages;
  OptRecorder r;
  SolveStructure(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                 METHOD_TRADITIONAL, 0.01, &s, RecordOpt, &r);
  EXPECT_EQ(r.calls, kMaxTemperatureSteps);
  EXPECT_NE(messages.text().find("never ends"), std::string::npos);
}

TEST_F(Rutile, AdaptiveAnnealing) {
  CrystalModel *m = data.truth;
  UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
  // Automatic strategy without a statistic test: Rsd 0, no step at all.
  AdaptiveAnnealingSettings s;
  s.strategy = 1;
  OptRecorder idle;
  *m->parameterList[0] = 0.123;
  SolveStructure(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                 METHOD_ADAPTIVE, 0.01, &s, RecordOpt, &idle);
  EXPECT_EQ(idle.calls, 0);
  EXPECT_EQ(*m->parameterList[0], 0.123);
  // After a statistic test the automatic schedule runs and refines.
  ModelStatisticTest(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                     200, 0, nullptr, nullptr);
  OptRecorder r;
  SolveStructure(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                 METHOD_ADAPTIVE, 0.005, &s, RecordOpt, &r);
  EXPECT_GT(r.calls, 0);
  EXPECT_LT(RutileError(*m->parameterList[0]), 0.002);
  // A stop on the first move ends the search after it.
  OptRecorder once;
  once.stopAfter = 1;
  s.strategy = 0;
  s.startT = 1;
  s.endT = 0.01;
  s.moves = 100;
  SolveStructure(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor, &job().hklList,
                 METHOD_ADAPTIVE, 0.005, &s, RecordOpt, &once);
  EXPECT_EQ(once.calls, 1);
}

TEST_F(Rutile, SeededRunsRepeatExactly) {
  CrystalModel *m = data.truth;
  auto run = [&] {
    SetSearchSeed(777);
    m->Rmin = 100;
    *m->parameterList[0] = 0;
    UpdateCrystalByModel(&job().crystal, m, nullptr, 1);
    ModelStatisticTest(m, &job().crystal, &job().hklList, 0, 1, GroupBraggFactor,
                       &job().hklList, 50, 0, nullptr, nullptr);
    return std::make_pair(m->Rmin, m->Ravg);
  };
  EXPECT_EQ(run(), run());
}

}  // namespace
