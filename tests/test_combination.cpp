// SPDX-License-Identifier: BSD-3-Clause
// Wyckoff combinations: a cross-check of the exact rows and their order
// against an independent recursive count on many formula and space-group
// pairs of the database, and the problems refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "kernel.h"
#include "testing.h"

namespace {

std::vector<std::vector<int>> Rows(const Combination &comb) {
  std::vector<std::vector<int>> rows;
  const size_t width = static_cast<size_t>(comb.entryCount) * comb.positionCount;
  for (int r = 0; r < comb.count; ++r) rows.emplace_back(comb.row(r), comb.row(r) + width);
  return rows;
}

bool IsFixedByText(const Position &p) {
  for (const Coordinate &c : p.coordinates)
    if (c.text.find_first_of("xyz") != std::string::npos) return false;
  return !p.coordinates.empty();
}

// Every row of sets per entry and position holding each entry's atoms within
// the bounds (a fixed position one set at most, a constraint its entry's
// sets, slot 0 all entries'), by recursion; in the program's order, the first
// entry and position changing fastest.
std::vector<std::vector<int>> BruteForce(const std::vector<Position> &pos,
                                         const std::vector<int> &counts,
                                         const std::vector<Constraint> &constraints) {
  const int P = static_cast<int>(pos.size()), E = static_cast<int>(counts.size());
  auto bounds = [&](int slot, int atoms, std::vector<int> *lo, std::vector<int> *up) {
    for (int p = 0; p < P; ++p) {
      lo->push_back(0);
      up->push_back(IsFixedByText(pos[p]) ? std::min(atoms / pos[p].multiplicity, 1)
                                          : atoms / pos[p].multiplicity);
    }
    for (const Constraint &c : constraints)
      for (int p = 0; p < P && c.index == slot; ++p)
        if (pos[p].wyckoffLetter == c.wyckoffLetter) {
          (*lo)[p] = c.minimum;
          (*up)[p] = c.maximum;
          break;
        }
  };
  std::vector<std::vector<std::vector<int>>> singles(E);
  for (int e = 0; e < E; ++e) {
    std::vector<int> lo, up, current(P, 0);
    bounds(e + 1, counts[e], &lo, &up);
    std::function<void(int, int)> distribute = [&](int p, int n) {
      if (p < 0) {
        if (n == 0) singles[e].push_back(current);
        return;
      }
      for (int k = lo[p]; k <= up[p] && k * pos[p].multiplicity <= n; ++k) {
        current[p] = k;
        distribute(p - 1, n - k * pos[p].multiplicity);
      }
      current[p] = 0;
    };
    distribute(P - 1, counts[e]);
  }
  std::vector<int> lo, up, row;
  int total = 0;
  for (int n : counts) total += n;
  bounds(0, total, &lo, &up);
  std::vector<std::vector<int>> rows;
  std::function<void(int)> combine = [&](int e) {
    if (e == E) {
      for (int p = 0; p < P; ++p) {
        int t = 0;
        for (int f = 0; f < E; ++f) t += row[f * P + p];
        if (t < lo[p] || t > up[p]) return;
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
  std::sort(rows.begin(), rows.end(), [](const std::vector<int> &a, const std::vector<int> &b) {
    return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
  });
  return rows;
}

// The rows the normalizer's letter permutations reach from a row, by
// applying them until nothing new comes: the row's whole class.
std::set<std::vector<int>> Orbit(const std::vector<int> &row, const SpaceGroup &sg) {
  const size_t P = sg.positions.size(), E = row.size() / P;
  std::set<std::vector<int>> orbit{row};
  std::vector<std::vector<int>> todo{row};
  while (!todo.empty()) {
    const std::vector<int> r = todo.back();
    todo.pop_back();
    for (const NormalizerOperation &op : sg.normalizer) {
      std::vector<int> image(r.size());
      for (size_t e = 0; e < E; ++e)
        for (size_t p = 0; p < P; ++p)
          image[e * P + static_cast<size_t>(op.permutation[p])] = r[e * P + p];
      if (orbit.insert(image).second) todo.push_back(image);
    }
  }
  return orbit;
}

// Of rows in enumeration order, the first of each class, and the sizes of
// their classes.
std::vector<std::vector<int>> FirstOfEachClass(const std::vector<std::vector<int>> &rows,
                                               const SpaceGroup &sg, std::vector<int32_t> *sizes) {
  std::set<std::vector<int>> met;
  std::vector<std::vector<int>> firsts;
  for (const std::vector<int> &row : rows) {
    if (met.count(row)) continue;
    const std::set<std::vector<int>> orbit = Orbit(row, sg);
    met.insert(orbit.begin(), orbit.end());
    firsts.push_back(row);
    sizes->push_back(static_cast<int32_t>(orbit.size()));
  }
  return firsts;
}

TEST(Combination, AgreesWithAnIndependentRecursiveCount) {
  const struct {
    const char *formula;
    int z;
    std::vector<Constraint> constraints;
  } problems[] = {
      {"Na1Cl1", 2, {}},
      {"Ti1O2", 2, {}},
      {"(Fe0.5Mn0.5)1O2", 2, {}},
      {"Ba1Ti1O3", 1, {}},
      {"Mg1O2H2", 1, {}},
      {"Y2O3", 2, {{"O", 2, 'a', 0, 0}}},
      {"Ca1F2", 4, {{"*", 0, 'a', 1, 1}}},
      {"Zn1S1", 4, {{"S", 2, 'b', 0, 1}, {"Zn", 1, 'c', 1, 1}}},
      {"Na1Cl1", 4, {{"Na", 1, 'a', 2, 1}}},  // bounds that contradict each other
  };
  int pairs = 0, nonEmpty = 0;
  for (int number = 1; number <= 230; number += 1) {
    for (int setting = 1; setting <= 2; ++setting) {
      SpaceGroup sg;
      CapturedMessages quiet;
      if (!SetSpaceGroup(&sg, number, setting)) continue;
      for (const auto &problem : problems) {
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
        if (candidates > 2e6) continue;
        CombPositions cp;
        SetCombPositions(sg.positions, &cp);
        InitializeRestraints(&cp, &compound);
        SetConstraints(&compound, &cp, problem.constraints);
        Combination comb;
        const int n = GetCombination(&compound, &cp, &comb);
        SCOPED_TRACE(::testing::Message() << problem.formula << " Z=" << problem.z << " in "
                                          << number << ":" << setting);
        const std::vector<std::vector<int>> all =
            BruteForce(sg.positions, counts, problem.constraints);
        ASSERT_EQ(Rows(comb), all);
        ASSERT_EQ(n, comb.count);
        EXPECT_EQ(cp.currentSlot, 0);
        // Up to the normalizer: the first enumerated row of every class
        // (classes cut by the constraints included), or every row, each
        // with the size of its whole class.
        std::vector<int32_t> sizes;
        const std::vector<std::vector<int>> firsts = FirstOfEachClass(all, sg, &sizes);
        for (bool reduce : {true, false}) {
          Combination classes;
          ASSERT_EQ(GetCombination(&compound, &cp, &classes, EnumerationLimits(),
                                   SpaceGroupCombinationSymmetry(sg, reduce)),
                    reduce ? static_cast<int>(firsts.size()) : n);
          EXPECT_EQ(classes.found, n);
          EXPECT_EQ(classes.classes, static_cast<long long>(firsts.size()));
          if (reduce) {
            ASSERT_EQ(Rows(classes), firsts);
            ASSERT_EQ(classes.equivalents, sizes);
          } else {
            ASSERT_EQ(Rows(classes), all);
            for (int r = 0; r < n; ++r)
              ASSERT_EQ(classes.equivalents[static_cast<size_t>(r)],
                        static_cast<int32_t>(Orbit(all[static_cast<size_t>(r)], sg).size()));
          }
        }
        ++pairs;
        nonEmpty += n > 0;
      }
    }
  }
  RecordProperty("pairs", pairs);
  EXPECT_GT(pairs, 1700);
  EXPECT_GT(nonEmpty, 500);
}

TEST(Combination, ClassesOfTheExamplesAndOfConstrainedJobsAndWhatIsRefused) {
  const struct {
    const char *formula;
    int z, number, setting;
    std::vector<Constraint> constraints;
    int all, classes;
  } cases[] = {
      {"Ba1Ti1O3", 1, 221, 1, {}, 4, 2},      // the bundled examples
      {"Ca1W1O4", 4, 88, 2, {}, 10, 5},
      {"Mg2Si1O4", 4, 62, 1, {}, 57, 35},
      {"Zn1O1", 2, 186, 1, {}, 4, 4},         // P6_3mc exchanges no letters
      {"Ti1O2", 2, 136, 1, {}, 10, 4},
      {"Ca1Mg1Si2O6", 4, 15, 1, {}, 1654, 561},  // diopside
      // Ca held on 4b: 4a and 4b are exchanged together with 8c and 8d, and
      // the images with Ca on 4a are not enumerated: no two rows pair.
      {"Ca1W1O4", 4, 88, 2, {{"Ca", 1, 'b', 1, 1}}, 5, 5},
      // Mg kept off 4a: classes are cut, the rows left still pair.
      {"Mg2Si1O4", 4, 62, 1, {{"Mg", 1, 'a', 0, 0}}, 46, 32},
      // Ba on 1b only: no row is equivalent to another that is enumerated.
      {"Ba1Ti1O3", 1, 221, 1, {{"Ba", 1, 'b', 1, 1}}, 2, 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << c.formula << " in " << c.number << ":" << c.setting);
    SpaceGroup sg;
    ASSERT_EQ(SetSpaceGroup(&sg, c.number, c.setting), 1);
    Compound compound;
    ASSERT_EQ(ParseFormular(c.formula, &compound), 1);
    SetFormularZ(&compound, c.z);
    CombPositions cp;
    SetCombPositions(sg.positions, &cp);
    InitializeRestraints(&cp, &compound);
    SetConstraints(&compound, &cp, c.constraints);
    Combination all, reduced;
    ASSERT_EQ(GetCombination(&compound, &cp, &all), c.all);
    ASSERT_EQ(GetCombination(&compound, &cp, &reduced, EnumerationLimits(),
                             SpaceGroupCombinationSymmetry(sg, true)),
              c.classes);
    EXPECT_EQ(reduced.found, c.all);
    // Unconstrained, the classes are whole: their sizes add up to all rows.
    long long members = 0;
    for (int32_t n : reduced.equivalents) members += n;
    if (c.constraints.empty()) EXPECT_EQ(members, c.all);
    else EXPECT_GT(members, c.all);
    // Models carry their class size.
    CrystalModelList models;
    ASSERT_EQ(CreateModelList(&compound, &cp, &reduced, &models, 0), c.classes);
    for (size_t i = 0; i < models.models.size(); ++i)
      EXPECT_EQ(models.models[i].equivalents, reduced.equivalents[i]);
  }
  // The closure: generators of order 2 and 3 on four positions give the six
  // permutations of the first three; wrong lengths and non-bijections are
  // left out.
  const auto group = ClosePermutations({{1, 0, 2, 3}, {1, 2, 0, 3}, {0, 1}, {0, 0, 2, 3}}, 4);
  EXPECT_EQ(group.size(), 5u);
  EXPECT_TRUE(ClosePermutations({{0, 1, 2}}, 3).empty());
  // What it cannot hold, and hopeless problems, are refused before
  // anything is allocated.
  CapturedMessages messages;
  SpaceGroup sg;
  ASSERT_EQ(SetSpaceGroup(&sg, 1, 1), 1);
  auto combine = [&](const char *formula, Combination *comb, EnumerationLimits limits = {}) {
    Compound compound;
    EXPECT_EQ(ParseFormular(formula, &compound), 1);
    SetFormularZ(&compound, sg.number == 1 ? 1 : 2);
    CombPositions cp;
    SetCombPositions(sg.positions, &cp);
    InitializeRestraints(&cp, &compound);
    return GetCombination(&compound, &cp, comb, limits);
  };
  // 200 atoms on the single position of P1 would need 200 sets in one cell;
  // 127 still fit.
  Combination comb;
  EXPECT_EQ(combine("O200", &comb), -1);
  EXPECT_TRUE(Holds(messages.text(), "single combination, 200 atoms allow up to 200 sets on "
                                     "position 1a, more than the 127 one combination can hold"));
  ASSERT_EQ(combine("O127", &comb), 1);
  EXPECT_EQ(comb.row(0)[0], 127);
  // The table is full: adding fails and changes nothing.
  const int8_t extra[1] = {1};
  EXPECT_EQ(CombinationAdd(extra, &comb), 0);
  EXPECT_EQ(comb.count, 1);
  // More than 62 entries cannot have restraint slots of their own.
  std::string formula;
  for (int i = 0; i < 63; ++i) formula += "H1";
  messages.clear();
  EXPECT_EQ(combine(formula.c_str(), &comb), -1);
  EXPECT_EQ(messages.text(),
            "multi combination, the formula has 63 entries; at most 62 can be enumerated\n");
  // Four two-atom entries in Pmmm (27 positions) are too many to test.
  ASSERT_EQ(SetSpaceGroup(&sg, 47, 1), 1);
  EnumerationLimits limits;
  limits.budget = 1e5;
  Combination none;
  EXPECT_EQ(combine("Na2Cl2K2Br2", &none, limits), -1);
  EXPECT_TRUE(Holds(messages.text(), "multi combination, formula entries with 4, 4, 4, 4 atoms "
                                     "per cell have 490, 490, 490, 490 single combinations"));
  EXPECT_TRUE(none.cells.empty());
}

}  // namespace
