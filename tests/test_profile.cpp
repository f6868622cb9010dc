// The reflection list: grouping, scattering and LP factors, and intensities,
// the fast evaluation checked against the formula summed term by term.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "diffractometer.h"
#include "kernel.h"
#include "profile.h"
#include "reference_intensity.h"
#include "testing.h"

namespace {

constexpr double kPi = 3.14159265358979323846;


HKLItem Reflection(int h, int k, int l, double twoTheta = 30, double iObs = 10, double fwhm = 0.1) {
  HKLItem it;
  it.h = h;
  it.k = k;
  it.l = l;
  it.multiplicity = 2;
  it.twoTheta = twoTheta;
  it.d = 1.54 / (2 * std::sin(twoTheta * kPi / 360));
  it.iObs = iObs;
  it.fwhm = fwhm;
  return it;
}

std::vector<int> Groups(const HKLList &list) {
  std::vector<int> g;
  for (const HKLItem &it : list.items) g.push_back(it.group);
  return g;
}

TEST(HKLListLife, CloneIsDeepAndReplacesTheDestination) {
  HKLList a, b;
  InitializeHKLList(&a);
  InitializeHKLList(&b);
  a.items = {Reflection(1, 0, 0), Reflection(1, 1, 0)};
  a.items[0].asf = {1.5, 2.5};
  a.items[0].asfCount = 2;
  b.items = {Reflection(9, 9, 9)};
  ASSERT_EQ(CloneHKLList(&a, &b), 1);
  ASSERT_EQ(LengthOfHKLList(&b), 2);
  EXPECT_EQ(b.items[1].k, 1);
  a.items[0].asf[0] = 7;
  EXPECT_EQ(b.items[0].asf[0], 1.5);
  EXPECT_EQ(CloneHKLList(&b, &b), 1);
  EXPECT_EQ(LengthOfHKLList(&b), 2);
  FreeHKLList(&b);
  EXPECT_EQ(LengthOfHKLList(&b), 0);
}

TEST(Grouping, NeighboursWithinTheWindowOfTheStrongestShareItsGroup) {
  HKLList list;
  list.items = {Reflection(1, 0, 0, 20.00, 100), Reflection(1, 1, 0, 20.15, 50),
                Reflection(1, 1, 1, 20.25, 40)};
  GroupHKLList(&list, 2.0);
  EXPECT_EQ(Groups(list), (std::vector<int>{0, 0, 1}));
  // The third is within the window of the second, but windows belong to the
  // strongest member only and groups never merge.
  list.items[2].iObs = 10;
  list.items[1].twoTheta = 20.19;
  GroupHKLList(&list, 2.0);
  EXPECT_EQ(Groups(list), (std::vector<int>{0, 0, 1}));
}

TEST(Grouping, OrderSelectionAndUnselectableItems) {
  HKLList list;
  list.items = {Reflection(1, 0, 0, 10, 5),     Reflection(2, 0, 0, 40, 90),
                Reflection(3, 0, 0, 60, 5),     Reflection(4, 0, 0, 80, -1),
                Reflection(5, 0, 0, 60.05, -3), Reflection(6, 0, 0, 70, 50, 0.0),
                Reflection(7, 0, 0, 70, 10)};
  list.items[0].group = 7;  // stale numbers are not kept
  GroupHKLList(&list, 1.0);
  // Strongest first; equal intensities in list order; -1 or less is never
  // selected but joins a stronger neighbour; a zero width takes in nothing,
  // not even a reflection at the very same angle.
  EXPECT_EQ(Groups(list), (std::vector<int>{3, 0, 4, -1, 4, 1, 2}));
}

struct CompoundTest : ::testing::Test {
  Compound compound;
  void SetUp() override {
    InitializeCompound(&compound);
  }
  void TearDown() override { FreeCompound(&compound); }
  void Parse(const char *formula) {
    ASSERT_EQ(ParseFormular(formula, &compound), 1);
    SetFormularZ(&compound, 2);
    EXPECT_TRUE(AssignASF(&compound));
    EXPECT_TRUE(AssignNSL(&compound));
  }
  const Element *Find(const std::string &symbol) const {
    for (const Element &e : compound.entries) {
      if (e.symbol == symbol) return &e;
      for (const Element &m : e.members)
        if (m.symbol == symbol) return &m;
    }
    return nullptr;
  }
};

TEST_F(CompoundTest, NoSpacingNoScatteringFactor) {
  // Nothing infinite may reach the intensities.
  Parse("(Fe0.5Mn0.5)1O2Ti1");
  HKLList list;
  list.items = {Reflection(2, 0, 0, 0.0)};
  list.items[0].d = 0;
  EXPECT_TRUE(SetASFTable(&list, &compound));
  ASSERT_EQ(list.items[0].asfCount, 4);
  for (double f : list.items[0].asf) EXPECT_TRUE(std::isfinite(f));
}

std::string FormulaOfKinds(int kinds) {
  std::string f;
  for (int i = 0; i < kinds; ++i) f += std::string(ElementTable[i]) + "1";
  return f;
}

TEST_F(CompoundTest, SixtyFourKindsAreTheLimit) {
  ASSERT_EQ(ParseFormular(FormulaOfKinds(64).c_str(), &compound), 1);
  HKLList list;
  list.items = {Reflection(1, 0, 0)};
  EXPECT_EQ(SetASFTable(&list, &compound), 1);
  EXPECT_EQ(list.items[0].asfCount, 64);
  ASSERT_EQ(ParseFormular(FormulaOfKinds(65).c_str(), &compound), 1);
  // Refused and reported; the process goes on.
  CapturedMessages messages;
  EXPECT_EQ(SetASFTable(&list, &compound), 0);
  EXPECT_EQ(messages.text(),
            "caculating atomic scattering factors,  the problem scale is too big (more than "
            "64 kinds of elements)\n");
}

TEST(LorentzPolarisation, MonochromatorAngleIsItsBraggAngle) {
  // MONO_ANGLE is theta_M, and the factor takes cos 2theta_M. A crystal
  // reflecting at theta_M = 45 degrees passes only one polarisation: with
  // K = 0.5 at 2theta = 90 the factor is 1 / (sin 45 * sin 90) = sqrt 2.
  Radiation r;
  r.type = 0;
  r.polarization = 0.5;
  r.monochromator = 1;
  r.monoAngle = 45;
  EXPECT_NEAR(LPFactor(&r, 90), 1.4142135624, 1e-9);
  // Graphite (002), d = 3.354 A, reflects Cu K-alpha at theta_M = 13.28
  // degrees; at 2theta = 40 the factor is 3.7133089350 (by hand from
  // (K + (1 - K) cos^2 2theta_M cos^2 2theta) /
  //  ((K + (1 - K) cos^2 2theta_M) sin theta sin 2theta)).
  r.monoAngle = 13.28;
  EXPECT_NEAR(LPFactor(&r, 40), 3.7133089350, 1e-9);
}

TEST(LorentzPolarisation, UndefinedAnglesGiveZero) {
  Radiation r;
  r.polarization = 0.5;
  for (double tt : {0.0, 180.0, 360.0, -180.0, 1e-320, double(NAN), double(INFINITY)}) {
    EXPECT_EQ(LPFactor(&r, tt), 0) << tt;
  }
  HKLList list;
  list.items = {Reflection(1, 0, 0, 30), Reflection(2, 0, 0, 180)};
  SetLPFactor(&list, &r);
  EXPECT_EQ(list.items[0].lp, LPFactor(&r, 30));
  EXPECT_EQ(list.items[1].lp, 0);
}

TEST(SinCos, AgreesWithTheLibraryOnEveryPath) {
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> unit(-1, 1);
  std::vector<double> angle;
  for (int i = 0; i < 20000; ++i) angle.push_back(unit(random) * std::pow(10.0, i % 7));
  for (int q = -40000; q <= 40000; q += 7) angle.push_back(q * kPi / 2);
  angle.push_back(0);
  angle.push_back(-0.0);
  const int n = static_cast<int>(angle.size());
  for (int width : {1, 2, 4, 8}) {
    std::vector<double> s(angle.size()), c(angle.size());
    VectorSinCos(n, angle.data(), s.data(), c.data(), width);
    double worst = 0;
    for (size_t i = 0; i < angle.size(); ++i) {
      worst = std::max(worst, std::fabs(s[i] - std::sin(angle[i])));
      worst = std::max(worst, std::fabs(c[i] - std::cos(angle[i])));
    }
    EXPECT_LE(worst, 2.3e-16) << "width " << width;
  }
}

// ---- Random crystals: the fast paths against the oracle.

struct Setting {
  int number, setting, shortcuts;
};

class IntensityTest : public CompoundTest {
 protected:
  Crystal crystal;
  HKLList list;
  std::mt19937_64 random{17};

  void SetUp() override {
    CompoundTest::SetUp();
    InitializeCrystal(&crystal);
    Parse("(Fe0.6Mn0.4)2O3Ti1");
  }
  void TearDown() override {
    FreeCrystal(&crystal);
    CompoundTest::TearDown();
  }
  double Uniform(double a, double b) {
    return std::uniform_real_distribution<double>(a, b)(random);
  }

  // atoms asymmetric-unit atoms on random positions with random coordinates,
  // expanded to the cell as a model rebuild does it.
  void RandomCrystal(int number, int setting, int atoms) {
    FreeCrystal(&crystal);
    ASSERT_EQ(SetSpaceGroup(&crystal.spaceGroup, number, setting), 1);
    const std::vector<Position> &positions = crystal.spaceGroup.positions;
    const char *symbols[] = {"Fe", "Mn", "O", "Ti"};
    for (int a = 0; a < atoms; ++a) {
      Atom atom;
      atom.position = &positions[a % 3 == 2 ? random() % positions.size() : 0];
      atom.element = Find(symbols[random() % 4]);
      atom.occupancy =
          atom.element->symbol == "Fe" || atom.element->symbol == "Mn" ? Uniform(0.2, 1.0) : 1.0;
      CoordMatrixMultiply(atom.position->coordinates[0].matrix, Uniform(0, 1), Uniform(0, 1),
                          Uniform(0, 1), &atom.x, &atom.y, &atom.z);
      crystal.atoms.push_back(atom);
    }
    ExpandCell();
  }
  void ExpandCell() {
    crystal.cellAtoms.clear();
    for (const Atom &atom : crystal.atoms)
      for (const Coordinate &c : atom.position->fullCoordinates) {
        Atom image = atom;
        CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &image.x, &image.y, &image.z);
        crystal.cellAtoms.push_back(image);
      }
  }
  void RandomList(int count, int maxIndex) {
    list.items.clear();
    std::uniform_int_distribution<int> index(-maxIndex, maxIndex);
    for (int i = 0; i < count; ++i) {
      HKLItem it = Reflection(index(random), index(random), index(random), Uniform(5, 120));
      it.multiplicity = 1 + static_cast<int>(random() % 48);
      list.items.push_back(it);
    }
    EXPECT_TRUE(SetASFTable(&list, &compound));
    Radiation r;
    r.polarization = 0.5;
    SetLPFactor(&list, &r);
  }
  // Squared sum of the weights: the scale of |F|^2 below which a reflection
  // is absent and only rounding is left.
  double Scale(const HKLItem &it, int type) const {
    double s = 0;
    for (const Atom &a : crystal.cellAtoms)
      s += a.occupancy * (type == 1 ? std::hypot(a.element->nsl[0], a.element->nsl[1])
                                    : std::fabs(it.asf[static_cast<size_t>(a.element->index)]));
    return s * s;
  }
  // Largest relative error of |F|^2 over the reflections that are not absent.
  double Compare(const HKLList &fast, const HKLList &oracle, int type) {
    double worst = 0;
    for (size_t i = 0; i < oracle.items.size(); ++i) {
      const HKLItem &f = fast.items[i], &o = oracle.items[i];
      const double scale = Scale(o, type);
      if (o.fSquared > 1e-20 * scale) {
        worst = std::max(worst, std::fabs(f.fSquared - o.fSquared) / o.fSquared);
        EXPECT_NEAR(f.iCalc, o.iCalc, 1e-9 * std::max(o.iCalc, 1e-3)) << i;
      } else {
        EXPECT_LE(f.fSquared, 1e-20 * scale) << i;
      }
      EXPECT_NEAR(f.fReal, o.fReal, 1e-11 * std::sqrt(scale)) << i;
      EXPECT_NEAR(f.fImag, o.fImag, 1e-11 * std::sqrt(scale)) << i;
    }
    return worst;
  }
};

TEST_F(IntensityTest, FastPathsMatchTheFormulaOnRandomCrystals) {
  const Setting settings[] = {
      {1, 1, 0},                                         // P1
      {2, 1, INTENSITY_CENTRIC},                         // P-1
      {14, 1, INTENSITY_CENTRIC},                        // P21/c
      {15, 1, INTENSITY_CENTRING | INTENSITY_CENTRIC},   // C2/c
      {19, 1, 0},                                        // P212121
      {166, 1, INTENSITY_CENTRING | INTENSITY_CENTRIC},  // R-3m, hexagonal axes
      {194, 1, INTENSITY_CENTRIC},                       // P63/mmc
      {216, 1, INTENSITY_CENTRING},                      // F-43m
      {225, 1, INTENSITY_CENTRING | INTENSITY_CENTRIC},  // Fm-3m
      {227, 1, INTENSITY_CENTRING},                      // Fd-3m, inversion off the origin
      {227, 2, INTENSITY_CENTRING | INTENSITY_CENTRIC},  // Fd-3m, origin at -1
  };
  double worst = 0;
  for (const Setting &s : settings) {
    SCOPED_TRACE(::testing::Message() << "group " << s.number << " setting " << s.setting);
    RandomCrystal(s.number, s.setting, 7);
    RandomList(300, 9);
    for (int type : {0, 1, 2}) {
      HKLList oracle = list;
      LiteralIntensity(&oracle, crystal, type);
      HKLList plain = list;
      CalculateIntensity(&plain, &crystal, type);
      worst = std::max(worst, Compare(plain, oracle, type));
      for (int width : {1, 2, 4, 8}) {
        IntensityWorkspace ws;
        ws.vectorWidth = width;
        ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, type), 1);
        EXPECT_EQ(IntensityWorkspaceShortcuts(&ws), s.shortcuts | INTENSITY_TABLES);
        HKLList fast = list;
        ASSERT_EQ(CalculateIntensityFast(&ws, &fast), 1);
        worst = std::max(worst, Compare(fast, oracle, type));
      }
    }
  }
  EXPECT_LE(worst, 1e-9);
  RecordProperty("worst_relative_error", ::testing::PrintToString(worst));
}

TEST_F(IntensityTest, RefreshFollowsTheCoordinatesWithoutANewLayout) {
  RandomCrystal(14, 1, 6);
  RandomList(200, 8);
  IntensityWorkspace ws;
  ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
  for (Atom &a : crystal.atoms) a.x += 0.137;
  ExpandCell();
  ASSERT_EQ(RefreshIntensityWorkspace(&ws, &crystal), 1);
  HKLList fast = list, oracle = list;
  ASSERT_EQ(CalculateIntensityFast(&ws, &fast), 1);
  LiteralIntensity(&oracle, crystal, 0);
  EXPECT_LE(Compare(fast, oracle, 0), 1e-9);
  // A list or a cell of another size needs a new preparation.
  HKLList shorter = list;
  shorter.items.pop_back();
  EXPECT_EQ(CalculateIntensityFast(&ws, &shorter), 0);
  EXPECT_EQ(shorter.items[0].fSquared, 0);
  crystal.cellAtoms.pop_back();
  EXPECT_EQ(RefreshIntensityWorkspace(&ws, &crystal), 0);
}

TEST_F(IntensityTest, OtherLayoutsAndExtremeInputsTakeTheSafeRoad) {
  RandomCrystal(225, 1, 4);
  RandomList(100, 7);
  // Cell atoms out of the rebuild's order: no shortcut, same result.
  std::swap(crystal.cellAtoms[1], crystal.cellAtoms[50]);
  IntensityWorkspace ws;
  ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
  EXPECT_EQ(IntensityWorkspaceShortcuts(&ws), INTENSITY_TABLES);
  HKLList fast = list, oracle = list;
  EXPECT_TRUE(CalculateIntensityFast(&ws, &fast));
  LiteralIntensity(&oracle, crystal, 0);
  EXPECT_LE(Compare(fast, oracle, 0), 1e-9);

  // Index ranges too wide for tables, and coordinates too large for them.
  list.items[0].h = 30000;
  ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
  EXPECT_EQ(IntensityWorkspaceShortcuts(&ws) & INTENSITY_TABLES, 0);
  fast = list;
  oracle = list;
  EXPECT_TRUE(CalculateIntensityFast(&ws, &fast));
  LiteralIntensity(&oracle, crystal, 0);
  EXPECT_LE(Compare(fast, oracle, 0), 1e-9);
  list.items[0].h = 1;
  crystal.cellAtoms[3].y = 1e9;
  fast = list;
  oracle = list;
  CalculateIntensity(&fast, &crystal, 0);
  LiteralIntensity(&oracle, crystal, 0);
  EXPECT_LE(Compare(fast, oracle, 0), 1e-9);
  // An undefined coordinate spoils F as the formula does, whatever its index.
  for (HKLItem &it : list.items) it.k = 0;
  crystal.cellAtoms[3].y = NAN;
  CalculateIntensity(&list, &crystal, 0);
  EXPECT_TRUE(std::isnan(list.items[5].fSquared));
}

// Moves one asymmetric-unit atom to new random values of its position's
// free variables, as a search moves a parameter.
void MoveAtom(Atom *atom, std::mt19937_64 &random) {
  std::uniform_real_distribution<double> u(0, 1);
  CoordMatrixMultiply(atom->position->coordinates[0].matrix, u(random), u(random), u(random),
                      &atom->x, &atom->y, &atom->z);
}

TEST_F(IntensityTest, MovesOfSingleAtomsEqualFullSums) {
  // Centric and not, centred and not, X-ray and neutron: after each move of
  // one atom the updated sums agree with the formula.
  const Setting settings[] = {{14, 1, 0}, {1, 1, 0}, {229, 1, 0}, {88, 2, 0}, {186, 1, 0}};
  for (const Setting &g : settings)
    for (int type : {0, 1}) {
      SCOPED_TRACE("space group " + std::to_string(g.number) + " type " + std::to_string(type));
      RandomCrystal(g.number, g.setting, 12);
      RandomList(150, 7);
      IntensityWorkspace ws;
      ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, type), 1);
      HKLList work = list;
      ASSERT_EQ(CalculateIntensityFast(&ws, &work), 1);
      int taken = 0;
      for (int move = 0; move < 60; ++move) {
        Atom &atom = crystal.atoms[random() % crystal.atoms.size()];
        MoveAtom(&atom, random);
        // Half the moves return at once, as a rejected annealing move does.
        const Atom before = atom;
        ExpandCell();
        if (CalculateIntensityMoves(&ws, &crystal, &work)) {
          ++taken;
        } else {
          ASSERT_EQ(RefreshIntensityWorkspace(&ws, &crystal), 1);
          ASSERT_EQ(CalculateIntensityFast(&ws, &work), 1);
        }
        HKLList oracle = list;
        LiteralIntensity(&oracle, crystal, type);
        EXPECT_LE(Compare(work, oracle, type), 1e-9);
        if (move % 2) {
          atom = before;
          MoveAtom(&atom, random);
        }
      }
      // Every atom here has at most a sixth of the slots.
      EXPECT_EQ(taken, 60);
      // When every atom moves, the full sums are cheaper: the list is left
      // alone for the caller to evaluate in full.
      for (Atom &a : crystal.atoms) MoveAtom(&a, random);
      ExpandCell();
      HKLList untouched = work;
      EXPECT_EQ(CalculateIntensityMoves(&ws, &crystal, &untouched), 0);
      EXPECT_EQ(untouched.items[3].fReal, work.items[3].fReal);
    }
}

TEST_F(IntensityTest, MovesNeedAFullEvaluationToStartFrom) {
  RandomCrystal(14, 1, 8);
  RandomList(40, 5);
  IntensityWorkspace ws;
  ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
  MoveAtom(&crystal.atoms[0], random);
  ExpandCell();
  HKLList work = list;
  EXPECT_EQ(CalculateIntensityMoves(&ws, &crystal, &work), 0);
  // A layout that is not the atoms' images has no atoms to move.
  std::swap(crystal.cellAtoms[1], crystal.cellAtoms[9]);
  ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
  ASSERT_EQ(CalculateIntensityFast(&ws, &work), 1);
  EXPECT_EQ(CalculateIntensityMoves(&ws, &crystal, &work), 0);
}

TEST_F(IntensityTest, RoundingOfMovesDoesNotBuildUp) {
  // A million moves; every 997th state (which falls on every phase of the
  // periodic full sums) is compared with a fresh full evaluation.
  RandomCrystal(14, 1, 8);
  RandomList(60, 6);
  IntensityWorkspace ws, fresh;
  ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
  HKLList work = list, full = list;
  ASSERT_EQ(CalculateIntensityFast(&ws, &work), 1);
  double worst = 0;
  long taken = 0;
  for (long move = 1; move <= 1000000; ++move) {
    MoveAtom(&crystal.atoms[random() % crystal.atoms.size()], random);
    ExpandCell();
    if (CalculateIntensityMoves(&ws, &crystal, &work)) {
      ++taken;
    } else {
      EXPECT_TRUE(RefreshIntensityWorkspace(&ws, &crystal));
      EXPECT_TRUE(CalculateIntensityFast(&ws, &work));
    }
    if (move % 997) continue;
    ASSERT_EQ(PrepareIntensityWorkspace(&fresh, &list, &crystal, 0), 1);
    ASSERT_EQ(CalculateIntensityFast(&fresh, &full), 1);
    double largest = 0;
    for (const HKLItem &it : full.items) largest = std::max(largest, std::sqrt(it.fSquared));
    for (size_t i = 0; i < full.items.size(); ++i) {
      worst = std::max(worst, std::fabs(work.items[i].fReal - full.items[i].fReal) / largest);
      worst = std::max(worst, std::fabs(work.items[i].fImag - full.items[i].fImag) / largest);
    }
  }
  EXPECT_LT(worst, 1e-9);
  EXPECT_GT(taken, 990000);
}

TEST_F(IntensityTest, AtomsWithoutScatteringDataScatterNothing) {
  RandomCrystal(1, 1, 3);
  RandomList(30, 5);
  HKLList oracle = list;
  LiteralIntensity(&oracle, crystal, 0);
  Element stranger;
  stranger.index = 70;
  Atom extra = crystal.cellAtoms[0];
  extra.element = &stranger;
  crystal.cellAtoms.push_back(extra);
  extra.element = nullptr;
  crystal.cellAtoms.push_back(extra);
  CalculateIntensity(&list, &crystal, 0);
  for (size_t i = 0; i < list.items.size(); ++i)
    EXPECT_NEAR(list.items[i].fSquared, oracle.items[i].fSquared, 1e-9 * oracle.items[i].fSquared);
}

// ---- The overall displacement factor.

// Observed intensities for the grouped Bragg factor: random, grouped.
void Observe(HKLList *list, std::mt19937_64 &random) {
  for (HKLItem &it : list->items) {
    it.iObs = std::uniform_real_distribution<double>(0, 100)(random);
    it.iObsScaled = it.iObs;
    it.twoTheta = 2 * std::asin(1.54 / (2 * it.d)) * 180 / kPi;
  }
  GroupHKLList(list, 1.0);
}

TEST_F(IntensityTest, OverallBScalesEveryPathAlike) {
  for (int type : {0, 1}) {
    SCOPED_TRACE("type " + std::to_string(type));
    RandomCrystal(14, 1, 9);
    RandomList(200, 8);
    Observe(&list, random);
    HKLList still = list;
    CalculateIntensity(&still, &crystal, type);
    ASSERT_EQ(SetOverallB(&list, 1.7), 1);
    EXPECT_EQ(list.overallB, 1.7);
    // Each intensity falls by exp(-2 B s^2), s = 1 / 2d, and nothing else
    // changes.
    HKLList plain = list;
    CalculateIntensity(&plain, &crystal, type);
    for (size_t i = 0; i < list.items.size(); ++i) {
      const HKLItem &a = plain.items[i], &b = still.items[i];
      const double s = 1 / (2 * a.d);
      EXPECT_NEAR(a.intensity, b.intensity * std::exp(-2 * 1.7 * s * s), 1e-12 * b.intensity);
      EXPECT_EQ(a.fSquared, b.fSquared);
    }
    // The oracle, the fast sums at every width and the moves agree.
    HKLList oracle = list;
    LiteralIntensity(&oracle, crystal, type);
    EXPECT_LE(Compare(plain, oracle, type), 1e-9);
    const double factor = GroupBraggFactor(&oracle);
    for (int width : {1, 2, 4, 8}) {
      IntensityWorkspace ws;
      ws.vectorWidth = width;
      ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, type), 1);
      HKLList fast = list;
      ASSERT_EQ(CalculateIntensityFast(&ws, &fast), 1);
      EXPECT_LE(Compare(fast, oracle, type), 1e-9);
      EXPECT_NEAR(GroupBraggFactor(&fast), factor, 1e-12);
    }
    IntensityWorkspace ws;
    ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, type), 1);
    HKLList work = list;
    ASSERT_EQ(CalculateIntensityFast(&ws, &work), 1);
    for (int move = 0; move < 10; ++move) {
      MoveAtom(&crystal.atoms[random() % crystal.atoms.size()], random);
      ExpandCell();
      HKLList moved = list;
      LiteralIntensity(&moved, crystal, type);
      double R = -2;
      ASSERT_EQ(GroupBraggFactorOfMoves(&ws, &crystal, &R), 1);
      EXPECT_NEAR(R, GroupBraggFactor(&moved), 1e-12);
      ASSERT_EQ(SyncIntensityList(&ws, &work), 1);
      EXPECT_LE(Compare(work, moved, type), 1e-9);
    }
  }
}

TEST(OverallB, OutOfRangeIsRefusedAndLeavesTheList) {
  HKLList list;
  list.items = {Reflection(1, 0, 0, 20), Reflection(2, 0, 0, 40), Reflection(0, 0, 0, 0)};
  list.items[2].d = 0;
  for (double bad : {-0.1, kMaxOverallB + 0.01, double(NAN), HUGE_VAL}) {
    EXPECT_EQ(SetOverallB(&list, bad), 0) << bad;
    EXPECT_EQ(list.items[1].debyeWaller, 1.0);
    EXPECT_EQ(list.overallB, 0);
  }
  ASSERT_EQ(SetOverallB(&list, kMaxOverallB), 1);
  // A spacing of 0 keeps nothing, and nothing undefined.
  EXPECT_EQ(list.items[2].debyeWaller, 0.0);
  EXPECT_GT(list.items[0].debyeWaller, list.items[1].debyeWaller);
  HKLList copy;
  ASSERT_EQ(CloneHKLList(&list, &copy), 1);
  EXPECT_EQ(copy.overallB, kMaxOverallB);
  FreeHKLList(&copy);
  EXPECT_EQ(copy.overallB, 0);
}

// ---- Wilson plots.

class WilsonTest : public IntensityTest {
 protected:
  // Every reflection of a cell up to a spacing (one of each Friedel pair),
  // with the intensities of a random structure of many atoms and a known B
  // as the observations, each its own group: the case Wilson's statistics
  // are about.
  void Pattern(double B, int atoms, double dmin, int type = 0) {
    Parse("Fe1O1Ti1");
    FreeCrystal(&crystal);
    ASSERT_EQ(SetSpaceGroup(&crystal.spaceGroup, 1, 1), 1);
    const char *symbols[] = {"Fe", "O", "O", "Ti"};
    for (int n = 0; n < atoms; ++n) {
      Atom atom;
      atom.position = &crystal.spaceGroup.positions[0];
      atom.element = Find(symbols[random() % 4]);
      atom.x = Uniform(0, 1);
      atom.y = Uniform(0, 1);
      atom.z = Uniform(0, 1);
      crystal.atoms.push_back(atom);
    }
    ExpandCell();
    // The formula's cell contents are those of the crystal.
    for (Element &e : compound.entries) {
      e.cellCount = 0;
      for (const Atom &atom : crystal.cellAtoms) e.cellCount += atom.element == &e ? 1 : 0;
    }
    list.items.clear();
    const double a = 9.1, b = 7.3, c = 11.2, beta = 101 * kPi / 180;
    for (int h = -15; h <= 15; ++h)
      for (int k = -12; k <= 12; ++k)
        for (int l = 0; l <= 15; ++l) {
          if (l == 0 && (k < 0 || (k == 0 && h <= 0))) continue;
          const double q = (h * h / (a * a) + l * l / (c * c) -
                            2 * h * l * std::cos(beta) / (a * c)) /
                               (std::sin(beta) * std::sin(beta)) +
                           k * k / (b * b);
          const double d = 1 / std::sqrt(q);
          if (d < dmin) continue;
          HKLItem it = Reflection(h, k, l);
          it.d = d;
          it.twoTheta = 2 * std::asin(1.54 / (2 * d)) * 180 / kPi;
          it.multiplicity = 2;
          list.items.push_back(it);
        }
    EXPECT_TRUE(SetASFTable(&list, &compound));
    Radiation r;
    r.type = type;
    r.polarization = 0.5;
    SetLPFactor(&list, &r);
    EXPECT_TRUE(SetOverallB(&list, B));
    CalculateIntensity(&list, &crystal, type);
    for (size_t i = 0; i < list.items.size(); ++i) {
      list.items[i].iObs = list.items[i].intensity * 3.7;
      list.items[i].group = static_cast<int>(i);
    }
    // The plot must not see the model's factor.
    EXPECT_TRUE(SetOverallB(&list, 0));
  }
};

TEST_F(WilsonTest, RandomStructuresGiveTheirB) {
  for (double B : {0.5, 2.0, 4.0})
    for (int type : {0, 1}) {
      SCOPED_TRACE(::testing::Message() << "B " << B << " type " << type);
      Pattern(B, 40, 0.8, type);
      CapturedMessages messages;
      WilsonPlot plot;
      ASSERT_EQ(WilsonOverallB(&list, &compound, type, &plot), 1) << messages.text();
      EXPECT_NEAR(plot.B, B, 0.2);
      EXPECT_EQ(plot.shells, 10);
      EXPECT_GT(plot.reflections, 2500);
      RecordProperty("B" + std::to_string(B) + "_" + std::to_string(type), std::to_string(plot.B));
      // The scale of the observations moves only the intercept.
      for (HKLItem &it : list.items) it.iObs *= 1000;
      WilsonPlot scaled;
      ASSERT_EQ(WilsonOverallB(&list, &compound, type, &scaled), 1);
      EXPECT_NEAR(scaled.B, plot.B, 1e-9);
      EXPECT_NEAR(scaled.lnScale - plot.lnScale, std::log(1000.0), 1e-9);
    }
}

TEST_F(WilsonTest, OverlappingReflectionsCountAsTheirGroup) {
  Pattern(2.0, 30, 1.0);
  // Pairs of neighbours in angle overlap.
  std::sort(list.items.begin(), list.items.end(),
            [](const HKLItem &a, const HKLItem &b) { return a.d > b.d; });
  for (size_t i = 0; i < list.items.size(); ++i) list.items[i].group = static_cast<int>(i / 2);
  WilsonPlot own;
  ASSERT_EQ(WilsonOverallB(&list, &compound, 0, &own), 1);
  EXPECT_EQ(own.reflections, static_cast<int>((list.items.size() + 1) / 2));
  // A peak file may give a group's intensity to one member: the same plot.
  for (size_t i = 0; i + 1 < list.items.size(); i += 2) {
    list.items[i].iObs += list.items[i + 1].iObs;
    list.items[i + 1].iObs = 0;
  }
  WilsonPlot first;
  ASSERT_EQ(WilsonOverallB(&list, &compound, 0, &first), 1);
  EXPECT_NEAR(first.B, own.B, 1e-9);
  EXPECT_NEAR(first.lnScale, own.lnScale, 1e-9);
  // Unobserved reflections (-1) take no part.
  for (size_t i = 0; i + 1 < list.items.size(); i += 6) list.items[i].iObs = list.items[i + 1].iObs = -1;
  WilsonPlot fewer;
  ASSERT_EQ(WilsonOverallB(&list, &compound, 0, &fewer), 1);
  EXPECT_LT(fewer.reflections, own.reflections);
  EXPECT_NEAR(fewer.B, own.B, 0.3);
}

TEST_F(WilsonTest, MeaninglessPlotsAreRefused) {
  Pattern(2.0, 10, 1.0);
  CapturedMessages messages;
  WilsonPlot plot;
  // Too few reflections.
  HKLList few = list;
  few.items.resize(kWilsonMinReflections - 1);
  EXPECT_EQ(WilsonOverallB(&few, &compound, 0, &plot), 0);
  EXPECT_NE(messages.text().find("too few"), std::string::npos) << messages.text();
  EXPECT_EQ(plot.B, 0);
  // Intensities that grow with angle.
  messages.clear();
  HKLList rising = list;
  for (HKLItem &it : rising.items) it.iObs *= std::exp(4.0 / (it.d * it.d));
  EXPECT_EQ(WilsonOverallB(&rising, &compound, 0, &plot), 0);
  EXPECT_NE(messages.text().find("do not fall off"), std::string::npos) << messages.text();
  EXPECT_EQ(plot.B, 0);
  // Nothing observed but in one shell.
  messages.clear();
  HKLList dark = list;
  for (size_t i = 0; i < dark.items.size(); ++i) dark.items[i].iObs = 0;
  dark.items[0].iObs = 5;
  EXPECT_EQ(WilsonOverallB(&dark, &compound, 0, &plot), 0);
  EXPECT_NE(messages.text().find("shells"), std::string::npos) << messages.text();
  EXPECT_EQ(plot.B, 0);
}

// ---- Independent check: intensities of the reference structures.

TEST_F(CompoundTest, ReferenceStructuresGiveTheCleanIntensities) {
  for (const ReferenceCase &reference : ReferenceCases()) {
    SCOPED_TRACE(reference.name);
    Parse(reference.formula.c_str());
    for (const auto &[symbol, state] : reference.oxidation)
      for (Element &e : compound.entries)
        if (e.symbol == symbol) e.oxidation = state;
    EXPECT_TRUE(AssignASF(&compound));

    Crystal crystal;
    ASSERT_EQ(SetSpaceGroup(&crystal.spaceGroup, reference.sgNumber, reference.sgSetting), 1);
    for (const ReferenceAtom &a : reference.atoms) {
      Atom atom;
      atom.element = Find(a.element);
      for (const Position &p : crystal.spaceGroup.positions)
        if (p.wyckoffLetter == a.wyckoff.back()) atom.position = &p;
      ASSERT_TRUE(atom.element && atom.position) << a.element << a.wyckoff;
      atom.x = a.x;
      atom.y = a.y;
      atom.z = a.z;
      crystal.atoms.push_back(atom);
      for (const Coordinate &c : atom.position->fullCoordinates) {
        Atom image = atom;
        CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &image.x, &image.y, &image.z);
        crystal.cellAtoms.push_back(image);
      }
    }

    HKLList list;
    double start = 5, stop = 100;
    ASSERT_GT(ReadHKLList(&list, reference.path("_clean.hkl").c_str(), PEAK_FILE_INTERNAL, &start,
                          &stop, 1.0, 0),
              0);
    EXPECT_EQ(LengthOfHKLList(&list), reference.reflections);
    EXPECT_TRUE(SetASFTable(&list, &compound));
    Radiation radiation;
    radiation.type = 0;
    radiation.polarization = 0.5;
    SetLPFactor(&list, &radiation);
    CalculateIntensity(&list, &crystal, 0);
    for (const HKLItem &it : list.items)
      EXPECT_NEAR(it.iCalc, it.iObsScaled, 2e-5) << it.h << " " << it.k << " " << it.l;
    IntensityWorkspace ws;
    ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
    HKLList fast = list;
    EXPECT_TRUE(CalculateIntensityFast(&ws, &fast));
    for (const HKLItem &it : fast.items) EXPECT_NEAR(it.iCalc, it.iObsScaled, 2e-5);
    // The true structure explains its exact data completely.
    EXPECT_LT(GroupBraggFactor(&list), 1e-6);
    EXPECT_LT(GroupBraggFactor(&fast), 1e-6);
    FreeCrystal(&crystal);
  }
}

}  // namespace
