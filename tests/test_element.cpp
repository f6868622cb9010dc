// SPDX-License-Identifier: BSD-3-Clause
// Formula parsing, element tables and scattering data.
#include <gtest/gtest.h>

#include <tuple>

#include "kernel.h"
#include "testing.h"

namespace {

// Symbol, count and index of each entry, and the members of mixed sites.
std::string Entries(const Compound &c) {
  std::string s;
  for (const Element &e : c.entries) {
    s += e.symbol + std::to_string(e.count) + "#" + std::to_string(e.index) + " ";
    for (const Element &m : e.members) s += "[" + m.symbol + "#" + std::to_string(m.index) + "] ";
  }
  return s;
}

TEST(Formula, CountsMixedSitesTheMissingOneErrorsIonRadiiAndScatteringData) {
  // The everyday notation: a missing count means 1, and symbols part at
  // their capitals, so no formula that parsed before reads otherwise.
  for (const char *same : {"BaTiO3", "Ba1Ti1O3", "Ba Ti O3"}) {
    Compound c;
    ASSERT_EQ(ParseFormular(same, &c), 1) << same;
    EXPECT_EQ(Entries(c), "Ba1#0 Ti1#1 O3#2 ") << same;
  }
  Compound mixed;
  ASSERT_EQ(ParseFormular("UunCCo2(Fe0.5Mn0.5)3O", &mixed), 1);
  EXPECT_EQ(Entries(mixed), "Uun1#0 C1#1 Co2#2 Dummy3#-1 [Fe#3] [Mn#4] O1#5 ");
  const Element &site = mixed.entries[3];
  EXPECT_EQ(RealElementCount(&mixed), 6);
  SetFormularZ(&mixed, 4);
  EXPECT_EQ(std::make_tuple(site.atomicNumber, site.members[0].fraction, site.members[0].count,
                            site.cellCount, site.members[1].cellCount, mixed.entries[2].cellCount),
            std::make_tuple(0, 0.5, 3, 12, 12, 8));
  // A site need not be full; thirds add up to one within rounding.
  for (const char *formula : {"(Fe0.333333Mn0.333333Co0.333334)1", "(Fe0.25)4O3"}) {
    Compound c;
    EXPECT_EQ(ParseFormular(formula, &c), 1) << formula;
  }
  // Each of these once parsed into a compound that silently lost or
  // invented atoms, or reported a syntax error as a lack of memory.
  const std::pair<const char *, const char *> cases[] = {
      {"NACL", "unrecognized element symbol 'A'!"},
      {"Na0Cl1", "'Na0Cl1' in a wrong format: 'Na0' needs a count from 1 to 1000000"},
      {"O99999999999", "'O99999999999' needs a count from 1 to 1000000"},
      {"Fe0.5O1", "'Fe0.5' has a fractional count outside a mixed site; write mixed sites in "
                  "brackets, such as (Fe0.5Mn0.5)2O3"},
      {"(Fe0.5.5)1", "'Fe0.5.5' has more than one point"},
      {"(Na0.5K0.5)Cl1", "a mixed site needs a whole count from 1 to 1000000 after its ')'"},
      {"(Na0.7K0.7)1Cl1", "the occupancies of the mixed site add up to more than 1"},
      {"(Na0.0K0.5)1", "'Na0.0' needs an occupancy above 0 and at most 1"},
      {"(Fe1Mn1)2", "'Fe1' in a mixed site needs its fractional occupancy, such as Fe0.5"},
      {"((Fe0.5)1)1", "a mixed site cannot hold another one"},
      {"()2", "an empty mixed site"},
      {"Na1)Cl1", "a ')' that closes no '('"},
      {"(Fe0.5Mn0.5", "formula '(Fe0.5Mn0.5' in a wrong format!"},
      {"Fe2-O3", "'-' at character 4 belongs to no element"},
      {"  ", "it names no element"},
  };
  for (const auto &[formula, message] : cases) {
    Compound compound;
    CapturedMessages messages;
    EXPECT_EQ(ParseFormular(formula, &compound), 0) << formula;
    EXPECT_EQ(messages.text().rfind("parsing formula, "), 0u) << messages.text();
    EXPECT_TRUE(Holds(messages.text(), message));
  }
  Compound compound;
  CapturedMessages messages;
  EXPECT_EQ(ParseFormular("", &compound), 0);
  EXPECT_EQ(messages.size(), 0u);
  // What parsed before a fault stays until the compound is freed.
  EXPECT_EQ(ParseFormular("Ba1Ti1Q3", &compound), 0);
  EXPECT_EQ(compound.entryCount, 2);
  // Ionic radii outside the table: no element gives 0, an ion it lacks the
  // covalent radius.
  EXPECT_EQ(GetIonRadius(0, 0), 0);
  EXPECT_EQ(GetIonRadius(113, 1), 0);
  EXPECT_EQ(GetIonRadius(26, 7), GetIonRadius(26, 0));
  // A new job's common states are ions the radius table knows (hydrogen's
  // has none); outside the table there is none.
  for (int z = 2; z <= kElementCount; ++z) {
    const int state = CommonOxidationState(z);
    EXPECT_TRUE(state == 0 || HasIonRadius(z, state)) << z;
  }
  EXPECT_EQ(CommonOxidationState(0), 0);
  EXPECT_EQ(CommonOxidationState(kElementCount + 1), 0);
  Compound oxides;
  ASSERT_EQ(ParseFormular("(Fe0.5Mn0.5)2O3", &oxides), 1);
  SetOxidations(&oxides, {{"Fe", 3}, {"O", -2}, {"Mn", 2}, {"O", -1}});
  UpdateIonRadii(&oxides);
  EXPECT_TRUE(AssignASF(&oxides));
  EXPECT_TRUE(AssignNSL(&oxides));
  const Element &fe = oxides.entries[0].members[0], &mn = oxides.entries[0].members[1],
                &o = oxides.entries[1];
  EXPECT_EQ(fe.ionRadius, GetIonRadius(26, 3));
  EXPECT_EQ(o.ionRadius, GetIonRadius(8, -1));  // the later entry overrides
  // f0(0) is close to the number of electrons; coherent lengths in fm:
  // Fe 9.45, Mn -3.73, O 5.80 (tables differ in the last digit).
  for (auto [f, expected] : {std::pair{ASFFactor(0, fe.asf), 23.0}, {ASFFactor(0, mn.asf), 23.0},
                             {ASFFactor(0, o.asf), 9.0}, {fe.nsl[0], 9.45}, {mn.nsl[0], -3.73},
                             {o.nsl[0], 5.80}})
    EXPECT_NEAR(f, expected, 0.05);
  // Deuterium has a key of its own; a key the table lacks takes the element.
  double b[2], c[kAsfCount], neutral[kAsfCount];
  for (auto [z, key, length] : {std::tuple{1, 0, -3.74}, {1, 2, 6.67}, {8, -2, 5.80}}) {
    ASSERT_EQ(GetNSL(z, key, b), 1);
    EXPECT_NEAR(b[0], length, 0.01) << z << " " << key;
  }
  // An ion that is not tabulated quietly takes the neutral atom.
  messages.clear();
  ASSERT_EQ(GetASF(26, 0, neutral), 1);
  ASSERT_EQ(GetASF(26, 7, c), 1);
  EXPECT_EQ(std::vector<double>(c, c + kAsfCount), std::vector<double>(neutral, neutral + kAsfCount));
  EXPECT_EQ(messages.size(), 0u);
  // Element 112 has no row at all.
  EXPECT_EQ(GetASF(112, 0, c), 0);
  EXPECT_EQ(c[0], 0);
  EXPECT_EQ(GetNSL(112, 3, b), 0);
  EXPECT_EQ(std::make_pair(b[0], b[1]), std::make_pair(1.0, 0.0));
  EXPECT_EQ(messages.text(),
            "reading atomic scattering factor, can not find factors for element (number 112)\n"
            "reading neutron scattering length, can not find factors for element (number 112, "
            "A 3)\n");
  // Lines of the data file that do not scan are skipped.
  TempDir data;
  data.write("asft.dat", "garbage\n\nO x 0 1\nO 8 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14\n");
  ASSERT_EQ(GetASF(8, -2, c, {data.path(), {}}), 1);
  EXPECT_EQ(c[10], 11);
}

}  // namespace
