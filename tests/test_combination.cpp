// Wyckoff combinations: the exact enumeration order on hand-made positions,
// the bounds, refusals, and a cross-check against an independent recursive
// count on many formula and space-group pairs of the database.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "kernel.h"
#include "testing.h"

namespace {

// Positions a and b (multiplicity 1, fixed) and c (multiplicity 2, free x).
std::vector<Position> SmallPositions() {
  std::vector<Position> positions(3);
  const char *coordinates[3] = {"(0,0,0)", "(1/2,0,0)", "(x,0,0)(-x,0,0)"};
  const char letters[3] = {'a', 'b', 'c'};
  const int multiplicities[3] = {1, 1, 2};
  for (int i = 0; i < 3; ++i) {
    positions[i].multiplicity = multiplicities[i];
    positions[i].wyckoffLetter = letters[i];
    SetCoordinates(coordinates[i], &positions[i].coordinates);
  }
  return positions;
}

std::vector<std::vector<int>> Rows(const Combination &comb) {
  std::vector<std::vector<int>> rows;
  const size_t width = static_cast<size_t>(comb.entryCount) * comb.positionCount;
  for (int r = 0; r < comb.count; ++r) rows.emplace_back(comb.row(r), comb.row(r) + width);
  return rows;
}

TEST(Combination, SinglesComeInOdometerOrder) {
  std::vector<Position> positions = SmallPositions();
  CombPositions cp;
  InitializeCombPositions(&cp);
  ASSERT_EQ(SetCombPositions(positions, &cp), 3);
  Compound compound;
  ASSERT_EQ(ParseFormular("Na2", &compound), 1);
  InitializeRestraints(&cp, &compound);
  SetRestraint(&cp, 1);
  Combination single;
  ASSERT_EQ(SingleCombination(2, &cp, &single), 2);
  EXPECT_EQ(Rows(single), (std::vector<std::vector<int>>{{1, 1, 0}, {0, 0, 1}}));
}

TEST(Combination, TwoEntriesShareTheFixedPositions) {
  std::vector<Position> positions = SmallPositions();
  CombPositions cp;
  SetCombPositions(positions, &cp);
  Compound compound;
  ASSERT_EQ(ParseFormular("Na2Cl2", &compound), 1);
  InitializeRestraints(&cp, &compound);
  Combination comb;
  ASSERT_EQ(GetCombination(&compound, &cp, &comb), 3);
  EXPECT_EQ(cp.currentSlot, 0);
  // (A1,B1) is refused: a and b would each hold two sets.
  EXPECT_EQ(Rows(comb), (std::vector<std::vector<int>>{
                            {0, 0, 1, 1, 1, 0}, {1, 1, 0, 0, 0, 1}, {0, 0, 1, 0, 0, 1}}));
  // The table is full: adding fails and changes nothing.
  const int8_t extra[6] = {1, 1, 1, 1, 1, 1};
  EXPECT_EQ(CombinationAdd(extra, &comb), 0);
  EXPECT_EQ(comb.count, 3);
}

TEST(Combination, UnreachableCountsAndContradictoryBounds) {
  std::vector<Position> positions = SmallPositions();
  positions[0].multiplicity = 2;
  positions[1].multiplicity = 4;
  CombPositions cp;
  SetCombPositions(positions, &cp);
  Compound compound;
  ASSERT_EQ(ParseFormular("Na5", &compound), 1);
  InitializeRestraints(&cp, &compound);
  Combination comb;
  EXPECT_EQ(GetCombination(&compound, &cp, &comb), 0);
  EXPECT_EQ(comb.count, 0);
  FreeCompound(&compound);
  ASSERT_EQ(ParseFormular("Na4", &compound), 1);
  FreeCombPositions(&cp);
  SetCombPositions(positions, &cp);
  InitializeRestraints(&cp, &compound);
  Constraints constraints;
  UpdateConstraintList(&constraints, "Na", 1, 'c', 2, 1);
  SetConstraints(&compound, &cp, constraints);
  EXPECT_EQ(GetCombination(&compound, &cp, &comb), 0);
}

TEST(Combination, RefusesWhatItCannotHold) {
  CapturedMessages messages;
  SpaceGroup sg;
  ASSERT_EQ(SetSpaceGroup(&sg, 1, 1), 1);
  CombPositions cp;
  SetCombPositions(sg.positions, &cp);
  Compound compound;
  // 200 atoms on the single position of P1 would need 200 sets in one cell.
  ASSERT_EQ(ParseFormular("O200", &compound), 1);
  InitializeRestraints(&cp, &compound);
  Combination comb;
  EXPECT_EQ(GetCombination(&compound, &cp, &comb), -1);
  EXPECT_NE(messages.text().find("single combination, 200 atoms allow up to 200 sets on position "
                                 "1a, more than the 127 one combination can hold"),
            std::string::npos)
      << messages.text();
  EXPECT_NE(messages.text().find("formula entries with 200 atoms per cell"), std::string::npos);
  // 127 sets still fit.
  FreeCompound(&compound);
  ASSERT_EQ(ParseFormular("O127", &compound), 1);
  FreeCombPositions(&cp);
  SetCombPositions(sg.positions, &cp);
  InitializeRestraints(&cp, &compound);
  ASSERT_EQ(GetCombination(&compound, &cp, &comb), 1);
  EXPECT_EQ(comb.row(0)[0], 127);
  // More than 62 entries cannot have restraint slots of their own.
  std::string formula;
  for (int i = 0; i < 63; ++i) formula += "H1";
  FreeCompound(&compound);
  ASSERT_EQ(ParseFormular(formula.c_str(), &compound), 1);
  messages.clear();
  EXPECT_EQ(GetCombination(&compound, &cp, &comb), -1);
  EXPECT_EQ(messages.text(),
            "multi combination, the formula has 63 entries; at most 62 can be enumerated\n");
}

TEST(Combination, HopelessProblemsAreRefusedBeforeAllocating) {
  CapturedMessages messages;
  SpaceGroup sg;
  ASSERT_EQ(SetSpaceGroup(&sg, 47, 1), 1);  // Pmmm: 27 positions
  CombPositions cp;
  SetCombPositions(sg.positions, &cp);
  Compound compound;
  ASSERT_EQ(ParseFormular("Na2Cl2K2Br2", &compound), 1);
  SetFormularZ(&compound, 2);
  InitializeRestraints(&cp, &compound);
  Combination comb;
  EnumerationLimits limits;
  limits.budget = 1e5;
  EXPECT_EQ(GetCombination(&compound, &cp, &comb, limits), -1);
  EXPECT_NE(messages.text().find("multi combination, formula entries with 4, 4, 4, 4 atoms per "
                                 "cell have 490, 490, 490, 490 single combinations"),
            std::string::npos)
      << messages.text();
  EXPECT_NE(messages.text().find("too many to test"), std::string::npos);
  EXPECT_TRUE(comb.cells.empty());
}

// ---- independent count -------------------------------------------------

bool IsFixedByText(const Position &p) {
  for (const Coordinate &c : p.coordinates)
    for (char ch : c.text)
      if (ch == 'x' || ch == 'y' || ch == 'z') return false;
  return !p.coordinates.empty();
}

struct Bounds {
  std::vector<int> lo, up;
};

// Every distribution of n atoms over positions first..end within bounds,
// found by recursion over the positions (last position decided first).
void Distribute(const std::vector<Position> &pos, const Bounds &b, int n, int p,
                std::vector<int> &current, std::vector<std::vector<int>> &out) {
  if (p < 0) {
    if (n == 0) out.push_back(current);
    return;
  }
  for (int k = b.lo[p]; k <= b.up[p] && k * pos[p].multiplicity <= n; ++k) {
    current[p] = k;
    Distribute(pos, b, n - k * pos[p].multiplicity, p - 1, current, out);
  }
  current[p] = 0;
}

std::vector<std::vector<int>> BruteForce(const std::vector<Position> &pos,
                                         const std::vector<int> &counts,
                                         const std::vector<Constraint> &constraints) {
  const int P = static_cast<int>(pos.size()), E = static_cast<int>(counts.size());
  int total = 0;
  for (int n : counts) total += n;
  auto bounds = [&](int slot, int atoms) {
    Bounds b;
    for (int p = 0; p < P; ++p) {
      int up = atoms / pos[p].multiplicity;
      if (IsFixedByText(pos[p])) up = std::min(up, 1);
      b.lo.push_back(0);
      b.up.push_back(up);
    }
    for (const Constraint &c : constraints)
      if (c.index == slot)
        for (int p = 0; p < P; ++p)
          if (pos[p].wyckoffLetter == c.wyckoffLetter) {
            b.lo[p] = c.minimum;
            b.up[p] = c.maximum;
            break;
          }
    return b;
  };
  std::vector<std::vector<std::vector<int>>> singles(E);
  for (int e = 0; e < E; ++e) {
    std::vector<int> current(P, 0);
    Distribute(pos, bounds(e + 1, counts[e]), counts[e], P - 1, current, singles[e]);
  }
  Bounds all = bounds(0, total);
  std::vector<std::vector<int>> rows;
  std::vector<int> row;
  std::function<void(int)> combine = [&](int e) {
    if (e == E) {
      for (int p = 0; p < P; ++p) {
        int t = 0;
        for (int f = 0; f < E; ++f) t += row[f * P + p];
        if (t < all.lo[p] || t > all.up[p]) return;
      }
      rows.push_back(row);
      return;
    }
    for (const auto &s : singles[e]) {
      row.insert(row.end(), s.begin(), s.end());
      combine(e + 1);
      row.resize(row.size() - P);
    }
  };
  combine(0);
  // The program's order: the first entry and the first position change
  // fastest, i.e. rows sorted by their reversed cells.
  std::sort(rows.begin(), rows.end(), [](const std::vector<int> &a, const std::vector<int> &b) {
    return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
  });
  return rows;
}

TEST(Combination, AgreesWithAnIndependentRecursiveCount) {
  struct Problem {
    const char *formula;
    int z;
    std::vector<Constraint> constraints;
  };
  const std::vector<Problem> problems = {
      {"Na1Cl1", 2, {}},
      {"Ti1O2", 2, {}},
      {"(Fe0.5Mn0.5)1O2", 2, {}},
      {"Ba1Ti1O3", 1, {}},
      {"Mg1O2H2", 1, {}},
      {"Y2O3", 2, {{"O", 2, 'a', 0, 0}}},
      {"Ca1F2", 4, {{"*", 0, 'a', 1, 1}}},
      {"Zn1S1", 4, {{"S", 2, 'b', 0, 1}, {"Zn", 1, 'c', 1, 1}}},
  };
  int pairs = 0, nonEmpty = 0, skipped = 0;
  long long rowsCompared = 0;
  for (int number = 1; number <= 230; number += 1) {
    for (int setting = 1; setting <= 2; ++setting) {
      SpaceGroup sg;
      {
        CapturedMessages quiet;
        if (!SetSpaceGroup(&sg, number, setting)) continue;
      }
      for (const Problem &problem : problems) {
        Compound compound;
        ASSERT_EQ(ParseFormular(problem.formula, &compound), 1);
        SetFormularZ(&compound, problem.z);
        std::vector<int> counts;
        for (const Element &e : compound.entries) counts.push_back(e.cellCount);
        // Keep the brute force quick: skip problems whose walk is large.
        double candidates = 1;
        for (int n : counts) {
          double per = 1;
          for (const Position &p : sg.positions)
            per *= 1 + std::min(n / p.multiplicity, IsFixedByText(p) ? 1 : 1000);
          candidates *= std::min(per, 1e9);
        }
        if (candidates > 2e6) {
          ++skipped;
          continue;
        }
        CombPositions cp;
        SetCombPositions(sg.positions, &cp);
        InitializeRestraints(&cp, &compound);
        SetConstraints(&compound, &cp, problem.constraints);
        Combination comb;
        int n = GetCombination(&compound, &cp, &comb);
        std::vector<std::vector<int>> expected =
            BruteForce(sg.positions, counts, problem.constraints);
        ASSERT_EQ(n, static_cast<int>(expected.size()))
            << problem.formula << " Z=" << problem.z << " in " << number << ":" << setting;
        ASSERT_EQ(Rows(comb), expected)
            << problem.formula << " Z=" << problem.z << " in " << number << ":" << setting;
        ++pairs;
        nonEmpty += n > 0;
        rowsCompared += n;
      }
    }
  }
  RecordProperty("pairs", pairs);
  RecordProperty("rows", static_cast<int>(rowsCompared));
  RecordProperty("skipped", skipped);
  EXPECT_GT(pairs, 1500);
  EXPECT_GT(nonEmpty, 500);
}

}  // namespace
