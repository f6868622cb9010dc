// SPDX-License-Identifier: BSD-3-Clause
// The reflection list: grouping, scattering and LP factors, and intensities,
// whose fast evaluation and moves, with and without an overall displacement
// factor, are checked against the formula summed term by term.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "kernel.h"
#include "profile.h"
#include "reference_intensity.h"
#include "solving_testing.h"
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

TEST(ReflectionList, GroupsTakeInTheStrongestsWindowAndTheMonochromatorAngleIsItsBraggAngle) {
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
  list.items = {Reflection(1, 0, 0, 10, 5),     Reflection(2, 0, 0, 40, 90),
                Reflection(3, 0, 0, 60, 5),     Reflection(4, 0, 0, 80, -1),
                Reflection(5, 0, 0, 60.05, -3), Reflection(6, 0, 0, 70, 50, 0.0),
                Reflection(7, 0, 0, 70, 10)};
  list.items[0].group = 7;  // stale numbers are not kept
  GroupHKLList(&list, 1.0);
  // Equal intensities in list order; -1 or less is never selected but joins
  // a stronger neighbour; a zero width takes in nothing, not even a
  // reflection at the very same angle.
  EXPECT_EQ(Groups(list), (std::vector<int>{3, 0, 4, -1, 4, 1, 2}));
  // The Lorentz-polarisation factor: MONO_ANGLE is theta_M, and the factor
  // takes cos 2theta_M. A crystal reflecting at theta_M = 45 degrees passes
  // only one polarisation: with K = 0.5 at 2theta = 90 the factor is
  // 1 / (sin 45 * sin 90) = sqrt 2.
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
  for (double tt : {0.0, 180.0, 360.0, -180.0, 1e-320, double(NAN), double(INFINITY)})
    EXPECT_EQ(LPFactor(&r, tt), 0) << tt;
}

// ---- Random crystals: the fast paths against the oracle.

class IntensityTest : public ::testing::Test {
 protected:
  Compound compound;
  Crystal crystal;
  HKLList list;
  std::mt19937_64 random{17};

  void SetUp() override { Parse("(Fe0.6Mn0.4)2O3Ti1"); }
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
  double Uniform(double a, double b) {
    return std::uniform_real_distribution<double>(a, b)(random);
  }

  // Random atoms on random positions, expanded as a model rebuild does it.
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
      MoveAtom(&atom);
      crystal.atoms.push_back(atom);
    }
    ExpandCell();
  }
  // New values of the free variables of the atom's position, as a search moves.
  void MoveAtom(Atom *atom) {
    CoordMatrixMultiply(atom->position->coordinates[0].matrix, Uniform(0, 1), Uniform(0, 1),
                        Uniform(0, 1), &atom->x, &atom->y, &atom->z);
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
  // Random reflections and observations, grouped, under an overall B.
  void RandomList(int count, int maxIndex, double B = 0) {
    list.items.clear();
    std::uniform_int_distribution<int> index(-maxIndex, maxIndex);
    for (int i = 0; i < count; ++i) {
      HKLItem it = Reflection(index(random), index(random), index(random), Uniform(5, 120),
                              Uniform(0, 100));
      it.multiplicity = 1 + static_cast<int>(random() % 48);
      it.iObsScaled = it.iObs;
      list.items.push_back(it);
    }
    GroupHKLList(&list, 1.0);
    EXPECT_TRUE(SetASFTable(&list, &compound));
    Radiation r;
    r.polarization = 0.5;
    SetLPFactor(&list, &r);
    ASSERT_EQ(SetOverallB(&list, B), 1);
  }
  // Checks a list against the oracle's for the crystal as it is: |F|^2 to
  // 1e-9 relative unless absent (rounding below 1e-20 of the weights' squared
  // sum), F itself and the factor.
  void Compare(const HKLList &fast, int type) {
    HKLList oracle = list;
    LiteralIntensity(&oracle, crystal, type);
    for (size_t i = 0; i < oracle.items.size(); ++i) {
      const HKLItem &f = fast.items[i], &o = oracle.items[i];
      double scale = 0;
      for (const Atom &a : crystal.cellAtoms)
        scale += a.occupancy * (type == 1 ? std::hypot(a.element->nsl[0], a.element->nsl[1])
                                          : std::fabs(o.asf[static_cast<size_t>(a.element->index)]));
      scale *= scale;
      EXPECT_NEAR(f.fSquared, o.fSquared, std::max(1e-9 * o.fSquared, 1e-20 * scale)) << i;
      EXPECT_NEAR(f.iCalc, o.iCalc, 1e-9 * std::max(o.iCalc, 1e-3)) << i;
      EXPECT_NEAR(f.fReal, o.fReal, 1e-11 * std::sqrt(scale)) << i;
      EXPECT_NEAR(f.fImag, o.fImag, 1e-11 * std::sqrt(scale)) << i;
    }
    EXPECT_NEAR(GroupBraggFactor(&oracle), GroupBraggFactor(const_cast<HKLList *>(&fast)), 1e-12);
  }
};

TEST_F(IntensityTest, FastPathsMatchTheFormulaOnRandomCrystals) {
  struct Setting {
    int number, setting, shortcuts;
  };
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
  double B = 0;
  for (const Setting &s : settings) {
    SCOPED_TRACE(::testing::Message() << "group " << s.number << ":" << s.setting << " B " << B);
    RandomCrystal(s.number, s.setting, 7);
    RandomList(300, 9, B);
    B = B ? 0 : 1.7;
    for (int type : {0, 1, 2}) {
      HKLList plain = list;
      CalculateIntensity(&plain, &crystal, type);
      Compare(plain, type);
      for (int width : {1, 2, 4, 8}) {
        IntensityWorkspace ws;
        ws.vectorWidth = width;
        ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, type), 1);
        EXPECT_EQ(IntensityWorkspaceShortcuts(&ws), s.shortcuts | INTENSITY_TABLES);
        HKLList fast = list;
        ASSERT_EQ(CalculateIntensityFast(&ws, &fast), 1);
        Compare(fast, type);
      }
    }
  }
}

TEST_F(IntensityTest, OtherLayoutsExtremeInputsAndSixtyFiveKindsTakeTheSafeRoad) {
  RandomCrystal(225, 1, 4);
  RandomList(100, 7);
  // A refresh follows the coordinates without a new layout.
  IntensityWorkspace ws;
  ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
  for (Atom &a : crystal.atoms) a.x += 0.137;
  ExpandCell();
  ASSERT_EQ(RefreshIntensityWorkspace(&ws, &crystal), 1);
  HKLList fast = list;
  ASSERT_EQ(CalculateIntensityFast(&ws, &fast), 1);
  Compare(fast, 0);
  // A list or a cell of another size needs a new preparation.
  HKLList shorter = list;
  shorter.items.pop_back();
  EXPECT_EQ(CalculateIntensityFast(&ws, &shorter), 0);
  crystal.cellAtoms.pop_back();
  EXPECT_EQ(RefreshIntensityWorkspace(&ws, &crystal), 0);
  ExpandCell();
  // Cell atoms out of the rebuild's order: no shortcut, same result.
  std::swap(crystal.cellAtoms[1], crystal.cellAtoms[50]);
  ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
  EXPECT_EQ(IntensityWorkspaceShortcuts(&ws), INTENSITY_TABLES);
  ASSERT_EQ(CalculateIntensityFast(&ws, &fast), 1);
  Compare(fast, 0);
  // Index ranges too wide for tables, and coordinates too large for them.
  list.items[0].h = 30000;
  ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, 0), 1);
  EXPECT_EQ(IntensityWorkspaceShortcuts(&ws) & INTENSITY_TABLES, 0);
  ASSERT_EQ(CalculateIntensityFast(&ws, &fast), 1);
  Compare(fast, 0);
  list.items[0].h = 1;
  crystal.cellAtoms[3].y = 1e9;
  fast = list;
  CalculateIntensity(&fast, &crystal, 0);
  Compare(fast, 0);
  // An undefined coordinate spoils F as the formula does, whatever its index.
  for (HKLItem &it : list.items) it.k = 0;
  crystal.cellAtoms[3].y = NAN;
  CalculateIntensity(&list, &crystal, 0);
  EXPECT_TRUE(std::isnan(list.items[5].fSquared));
  // Scattering tables hold up to 64 kinds and nothing infinite.
  Parse("(Fe0.5Mn0.5)1O2Ti1");
  list.items = {Reflection(2, 0, 0, 0.0)};
  list.items[0].d = 0;
  EXPECT_TRUE(SetASFTable(&list, &compound));
  ASSERT_EQ(list.items[0].asfCount, 4);
  for (double f : list.items[0].asf) EXPECT_TRUE(std::isfinite(f));
  for (int kinds : {64, 65}) {
    std::string formula;
    for (int i = 0; i < kinds; ++i) formula += std::string(ElementTable[i]) + "1";
    ASSERT_EQ(ParseFormular(formula.c_str(), &compound), 1);
    // More are refused and reported; the process goes on.
    CapturedMessages messages;
    EXPECT_EQ(SetASFTable(&list, &compound), kinds == 64 ? 1 : 0);
    EXPECT_EQ(messages.size(), kinds == 64 ? 0u : 1u) << messages.text();
    if (kinds == 64) {
      EXPECT_EQ(list.items[0].asfCount, 64);
    }
  }
}

TEST_F(IntensityTest, MovesOfSomeAtomsEqualFullSums) {
  // Centric and not, centred and not, X-ray and neutron, with and without an
  // overall B: after each move of one atom, or of two (two sites trading
  // places), the updated sums and factor agree with the formula.
  for (int group : {14, 1, 229, 88, 186})
    for (int type : {0, 1}) {
      SCOPED_TRACE("space group " + std::to_string(group) + " type " + std::to_string(type));
      RandomCrystal(group, group == 88 ? 2 : 1, 12);
      RandomList(150, 7, type ? 1.7 : 0);
      IntensityWorkspace ws;
      ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, type), 1);
      HKLList work = list;
      // Moves need a full evaluation to start from.
      MoveAtom(&crystal.atoms[0]);
      ExpandCell();
      EXPECT_EQ(CalculateIntensityMoves(&ws, &crystal, &work), 0);
      ASSERT_EQ(RefreshIntensityWorkspace(&ws, &crystal), 1);
      ASSERT_EQ(CalculateIntensityFast(&ws, &work), 1);
      int taken = 0;
      for (int move = 0; move < 60; ++move) {
        const size_t k = random() % crystal.atoms.size();
        Atom &atom = crystal.atoms[k];
        MoveAtom(&atom);
        if (move % 5 == 4) MoveAtom(&crystal.atoms[(k + 1) % crystal.atoms.size()]);
        // Half the moves return at once, as a rejected annealing move does.
        const Atom before = atom;
        ExpandCell();
        double R = -2;
        const int took = move % 3 ? CalculateIntensityMoves(&ws, &crystal, &work)
                                  : GroupBraggFactorOfMoves(&ws, &crystal, &R);
        taken += took;
        if (!took) {  // the full sums, as an evaluator falls back to
          ASSERT_EQ(RefreshIntensityWorkspace(&ws, &crystal), 1);
          ASSERT_EQ(CalculateIntensityFast(&ws, &work), 1);
        } else if (!(move % 3)) {
          ASSERT_EQ(SyncIntensityList(&ws, &work), 1);
          EXPECT_NEAR(R, GroupBraggFactor(&work), 1e-12);
        }
        Compare(work, type);
        if (move % 2) {
          atom = before;
          MoveAtom(&atom);
        }
      }
      // Every atom here has at most a sixth of the slots: each single move
      // is taken, a pair when it holds at most a quarter.
      EXPECT_GE(taken, 48);
      // When every atom moves, the full sums are cheaper: the list is left
      // alone for the caller to evaluate in full.
      for (Atom &a : crystal.atoms) MoveAtom(&a);
      ExpandCell();
      HKLList untouched = work;
      EXPECT_EQ(CalculateIntensityMoves(&ws, &crystal, &untouched), 0);
      EXPECT_EQ(untouched.items[3].fReal, work.items[3].fReal);
      // A layout that is not the atoms' images has no atoms to move.
      std::swap(crystal.cellAtoms[1], crystal.cellAtoms[9]);
      ASSERT_EQ(PrepareIntensityWorkspace(&ws, &list, &crystal, type), 1);
      ASSERT_EQ(CalculateIntensityFast(&ws, &work), 1);
      EXPECT_EQ(CalculateIntensityMoves(&ws, &crystal, &work), 0);
    }
}

TEST(Wilson, PatternsThatRiseOrLightOneShellAreRefused) {
  // (Estimates are checked end to end, too few reflections in the set-up.)
  SyntheticJob nacl{"Na1Cl1", 4, 225, 5.64, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, 6};
  for (auto [rising, why] : {std::pair{true, "do not fall off"}, {false, "shells"}}) {
    HKLList list = nacl.job.hklList;
    for (HKLItem &it : list.items)
      it.iObs = rising ? std::exp(4.0 / (it.d * it.d)) : &it == &list.items[0] ? 5 : 0;
    CapturedMessages messages;
    WilsonPlot plot;
    EXPECT_EQ(WilsonOverallB(&list, &nacl.job.compound, 0, &plot), 0) << why;
    EXPECT_TRUE(Holds(messages.text(), why));
  }
}

TEST(Texture, MarchDollaseFactorsAveragedOverTheLaueClassAndFollowedByTheEvaluator) {
  // One equivalent: r = 1 is no texture; along the direction r^-3, across
  // it r^(3/2); 1/3 of cos^2 is the (111) of a cubic cell against 001.
  const struct {
    double r, cos2, factor;
  } rows[] = {{1.0, 0.3, 1.0},       {0.8, 1.0, 1.953125},     {0.8, 0.0, 0.7155417528},
              {1.25, 1.0, 0.512},    {1.25, 0.0, 1.3975424859}, {0.8, 1.0 / 3, 0.9338721},
              {0.5, 0.5, 0.8380525}};
  for (const auto &row : rows)
    EXPECT_NEAR(MarchDollase(row.r, row.cos2), row.factor, 1e-7) << row.r << " " << row.cos2;

  // NaCl (m-3m) against 001: the reflections' equivalents by hand.
  SyntheticJob nacl{"Na1Cl1", 4, 225, 5.64, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, 3};
  HKLList list = nacl.job.hklList;
  ASSERT_TRUE(SetOrientationTable(&list, nacl.job.crystal, 0, 0, 1));
  const double r = 0.8, along = MarchDollase(r, 1), across = MarchDollase(r, 0);
  const struct {
    int h, k, l;
    double factor;
  } cubic[] = {{2, 0, 0, (4 * across + 2 * along) / 6},
               {0, 0, 2, (4 * across + 2 * along) / 6},
               {1, 1, 1, MarchDollase(r, 1.0 / 3)},
               {2, 2, 0, (4 * across + 8 * MarchDollase(r, 0.5)) / 12},
               {3, 1, 0, (8 * across + 8 * MarchDollase(r, 0.1) + 8 * MarchDollase(r, 0.9)) / 24}};
  for (double each : {1.0, r}) {
    ASSERT_EQ(SetPreferredOrientation(&list, each), 1);
    for (const auto &c : cubic) {
      const auto it = std::find_if(list.items.begin(), list.items.end(), [&](const HKLItem &i) {
        return i.h == c.h && i.k == c.k && i.l == c.l;
      });
      ASSERT_NE(it, list.items.end());
      // r = 1 is exactly no texture, so that such jobs keep their results.
      if (each == 1.0)
        EXPECT_EQ(it->texture, 1.0);
      else
        EXPECT_NEAR(it->texture, c.factor, 1e-12) << c.h << c.k << c.l;
    }
  }
  EXPECT_EQ(SetPreferredOrientation(&list, 0.0), 0);
  EXPECT_EQ(list.marchR, r);
  // An r without a direction is refused by the set-up.
  Job job;
  InitializeJob(&job);
  job.config.formular = "Na1Cl1";
  job.config.prefOrientR = 0.8;
  CapturedMessages messages;
  EXPECT_FALSE(SetJobPreferredOrientation(&job));
  EXPECT_TRUE(Holds(messages.text(), "needs its direction"));
  FreeJob(&job);
  // Rutile with a free oxygen: moves of r and B between moves of the atom
  // give the factor of a full calculation at those values.
  SyntheticJob rutile{"Ti1O2", 2, 136, 4.594, 4.594, 2.958, "Ti(2a)+O(4f)", {0.3048}, 5};
  ASSERT_NE(rutile.truth, nullptr);
  HKLList moved = rutile.job.hklList;
  ASSERT_TRUE(SetOrientationTable(&moved, rutile.job.crystal, 1, 1, 0));
  CrystalModel *m = rutile.truth;
  m->patternParameters = PATTERN_TEXTURE | PATTERN_OVERALL_B;
  Crystal crystal = rutile.job.crystal;
  UpdateCrystalByModel(&crystal, m, nullptr, 1);
  ModelEvaluator evaluate(m, &crystal, &moved, 0, GroupBraggFactor, &moved);
  const struct {
    double x, r, B;
  } steps[] = {{0.30, 1.0, 0.0}, {0.30, 0.8, 0.0}, {0.31, 0.8, 0.0}, {0.31, 0.8, 1.5},
               {0.31, 1.3, 1.5}, {0.29, 1.3, 1.5}, {0.29, 1.0, 0.0}};
  for (const auto &step : steps) {
    *m->parameterList[0] = step.x;
    m->marchR = step.r;
    m->overallB = step.B;
    const double R = evaluate();
    HKLList reference = rutile.job.hklList;
    ASSERT_TRUE(SetOrientationTable(&reference, rutile.job.crystal, 1, 1, 0));
    ASSERT_EQ(SetPreferredOrientation(&reference, step.r), 1);
    ASSERT_EQ(SetOverallB(&reference, step.B), 1);
    CalculateIntensity(&reference, &crystal, 0);
    EXPECT_NEAR(R, GroupBraggFactor(&reference), 1e-12) << step.x << " " << step.r << " " << step.B;
  }
  m->patternParameters = 0;
}

}  // namespace
