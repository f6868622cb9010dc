// Formula parsing, element tables and scattering data.
#include <gtest/gtest.h>

#include <cmath>

#include "kernel.h"
#include "testing.h"

namespace {

struct FormulaTest : ::testing::Test {
  Compound compound;
  void SetUp() override {
    InitializeCompound(&compound);
  }
  void TearDown() override { FreeCompound(&compound); }
};

// Symbol, count and index of each entry, and the members of mixed sites.
std::string Entries(const Compound &c) {
  std::string s;
  for (const Element &e : c.entries) {
    s += e.symbol + std::to_string(e.count) + "#" + std::to_string(e.index) + " ";
    for (const Element &m : e.members) s += "[" + m.symbol + "#" + std::to_string(m.index) + "] ";
  }
  return s;
}

TEST_F(FormulaTest, CountsAndTheMissingOne) {
  ASSERT_EQ(ParseFormular("Na1Cl1", &compound), 1);
  EXPECT_EQ(compound.entries[0].atomicNumber, 11);
  // Oxidation 0: the covalent radius stands in for the ion's.
  EXPECT_EQ(compound.entries[1].ionRadius, compound.entries[1].covalentRadius);
  // The everyday notation: a missing count means 1, and symbols part at
  // their capitals, so no formula that parsed before reads otherwise.
  for (const char *same : {"BaTiO3", "Ba1Ti1O3", "Ba Ti O3"}) {
    Compound c;
    ASSERT_EQ(ParseFormular(same, &c), 1) << same;
    EXPECT_EQ(Entries(c), "Ba1#0 Ti1#1 O3#2 ") << same;
  }
  ASSERT_EQ(ParseFormular("UunCCo2(Fe0.5Mn0.5)3O", &compound), 1);
  EXPECT_EQ(Entries(compound), "Uun1#0 C1#1 Co2#2 Dummy3#-1 [Fe#3] [Mn#4] O1#5 ");
}

TEST_F(FormulaTest, Errors) {
  // Each of these once parsed into a compound that silently lost or
  // invented atoms, or reported a syntax error as a lack of memory.
  struct Case { const char *formula; const char *message; };
  const Case cases[] = {
      {"Xx2", "parsing formular, unrecognized element symbol 'Xx'!\n"},
      {"NACL", "parsing formular, unrecognized element symbol 'A'!\n"},
      {"Na0Cl1", "parsing formular, 'Na0Cl1' in a wrong format: 'Na0' needs a count from 1 to "
                 "1000000\n"},
      {"O99999999999", "parsing formular, 'O99999999999' in a wrong format: 'O99999999999' needs "
                       "a count from 1 to 1000000\n"},
      {"Fe0.5O1", "parsing formular, 'Fe0.5O1' in a wrong format: 'Fe0.5' has a fractional count "
                  "outside a mixed site; write mixed sites in brackets, such as (Fe0.5Mn0.5)2O3\n"},
      {"(Fe0.5.5)1", "parsing formular, '(Fe0.5.5)1' in a wrong format: 'Fe0.5.5' has more than "
                     "one point\n"},
      {"(Na0.5K0.5)Cl1", "parsing formular, '(Na0.5K0.5)Cl1' in a wrong format: a mixed site "
                         "needs a whole count from 1 to 1000000 after its ')', such as "
                         "(Fe0.5Mn0.5)2\n"},
      {"(Na0.7K0.7)1Cl1", "parsing formular, '(Na0.7K0.7)1Cl1' in a wrong format: the "
                          "occupancies of the mixed site add up to more than 1\n"},
      {"(Na0.0K0.5)1", "parsing formular, '(Na0.0K0.5)1' in a wrong format: 'Na0.0' needs an "
                       "occupancy above 0 and at most 1\n"},
      {"(Fe1Mn1)2", "parsing formular, '(Fe1Mn1)2' in a wrong format: 'Fe1' in a mixed site needs "
                    "its fractional occupancy, such as Fe0.5\n"},
      {"((Fe0.5)1)1", "parsing formular, '((Fe0.5)1)1' in a wrong format: a mixed site cannot "
                      "hold another one\n"},
      {"()2", "parsing formular, '()2' in a wrong format: an empty mixed site\n"},
      {"Na1)Cl1", "parsing formular, 'Na1)Cl1' in a wrong format: a ')' that closes no '('\n"},
      {"(Fe0.5Mn0.5", "parsing formular, formular '(Fe0.5Mn0.5' in a wrong format!\n"},
      {"Fe2-O3", "parsing formular, 'Fe2-O3' in a wrong format: '-' at character 4 belongs to no "
                 "element\n"},
      {"  ", "parsing formular, '  ' in a wrong format: it names no element\n"},
  };
  for (const Case &c : cases) {
    CapturedMessages messages;
    EXPECT_EQ(ParseFormular(c.formula, &compound), 0) << c.formula;
    EXPECT_EQ(messages.text(), c.message) << c.formula;
    FreeCompound(&compound);
  }
  CapturedMessages messages;
  EXPECT_EQ(ParseFormular("", &compound), 0);
  EXPECT_EQ(messages.size(), 0u);
  // What parsed before a fault stays until the compound is freed.
  EXPECT_EQ(ParseFormular("Ba1Ti1Q3", &compound), 0);
  EXPECT_EQ(compound.entryCount, 2);
}

TEST_F(FormulaTest, MixedSites) {
  ASSERT_EQ(ParseFormular("(Fe0.5Mn0.5)2O3", &compound), 1);
  EXPECT_EQ(Entries(compound), "Dummy2#-1 [Fe#0] [Mn#1] O3#2 ");
  const Element &site = compound.entries[0];
  EXPECT_EQ(site.atomicNumber, 0);
  EXPECT_DOUBLE_EQ(site.members[0].fraction, 0.5);
  EXPECT_EQ(site.members[0].count, 2);
  EXPECT_EQ(RealElementCount(&compound), 3);
  SetFormularZ(&compound, 4);
  EXPECT_EQ(site.cellCount, 8);
  EXPECT_EQ(site.members[1].cellCount, 8);
  EXPECT_EQ(compound.entries[1].cellCount, 12);
  // A site need not be full; thirds add up to one within rounding.
  FreeCompound(&compound);
  EXPECT_EQ(ParseFormular("(Fe0.333333Mn0.333333Co0.333334)1", &compound), 1);
  FreeCompound(&compound);
  ASSERT_EQ(ParseFormular("(Fe0.25)4O3", &compound), 1);
  EXPECT_EQ(compound.entries[0].members[0].count, 4);
}

TEST_F(FormulaTest, IonRadii) {
  // Outside the table: no element gives 0, an ion it lacks the covalent radius.
  EXPECT_EQ(GetIonRadius(0, 0), 0);
  EXPECT_EQ(GetIonRadius(113, 1), 0);
  EXPECT_EQ(GetIonRadius(26, 7), GetIonRadius(26, 0));
  ASSERT_EQ(ParseFormular("(Fe0.5Mn0.5)1O1", &compound), 1);
  SetOxidations(&compound, {{"Fe", 2}, {"O", -2}, {"Mn", 3}, {"O", -1}});
  UpdateIonRadii(&compound);
  EXPECT_EQ(compound.entries[0].members[0].ionRadius, GetIonRadius(26, 2));
  EXPECT_EQ(compound.entries[1].ionRadius, GetIonRadius(8, -1));  // the later entry overrides
}

TEST_F(FormulaTest, XrayFactorsFromTheDataFile) {
  // f0(0) is close to the number of electrons.
  double c[kAsfCount];
  ASSERT_EQ(GetASF(8, 0, c), 1);
  EXPECT_NEAR(ASFFactor(0, c), 8.0, 0.01);
  ASSERT_EQ(GetASF(20, 2, c), 1);
  EXPECT_NEAR(ASFFactor(0, c), 18.0, 0.01);
  // An ion that is not tabulated quietly takes the neutral atom.
  double neutral[kAsfCount];
  ASSERT_EQ(GetASF(26, 0, neutral), 1);
  CapturedMessages messages;
  ASSERT_EQ(GetASF(26, 7, c), 1);
  EXPECT_EQ(messages.size(), 0u);
  for (int i = 0; i < kAsfCount; ++i) EXPECT_EQ(c[i], neutral[i]);
  // Element 112 has no row at all.
  EXPECT_EQ(GetASF(112, 0, c), 0);
  EXPECT_EQ(messages.text(),
            "reading atomic scattering factor, can not find factors for element (number 112)\n");
  EXPECT_EQ(c[0], 0);
}

TEST_F(FormulaTest, EveryFormulaElementGetsItsData) {
  ASSERT_EQ(ParseFormular("(Fe0.5Mn0.5)2O3", &compound), 1);
  SetOxidations(&compound, {{"Fe", 3}, {"O", -2}});
  EXPECT_TRUE(AssignASF(&compound));
  EXPECT_TRUE(AssignNSL(&compound));
  const Element &fe = compound.entries[0].members[0];
  EXPECT_NEAR(ASFFactor(0, fe.asf), 23.0, 0.05);
  EXPECT_NEAR(ASFFactor(0, compound.entries[1].asf), 10.0, 0.05);
  // Coherent lengths in fm: Fe 9.45, Mn -3.73, O 5.80 (tables differ in the last digit).
  EXPECT_NEAR(fe.nsl[0], 9.45, 0.01);
  EXPECT_NEAR(compound.entries[0].members[1].nsl[0], -3.73, 0.03);
  EXPECT_NEAR(compound.entries[1].nsl[0], 5.80, 0.01);
}

TEST_F(FormulaTest, NeutronLengths) {
  double b[2];
  ASSERT_EQ(GetNSL(1, 0, b), 1);
  EXPECT_NEAR(b[0], -3.74, 0.005);
  ASSERT_EQ(GetNSL(1, 2, b), 1);  // deuterium
  EXPECT_NEAR(b[0], 6.67, 0.01);
  ASSERT_EQ(GetNSL(8, -2, b), 1);  // no such key: the natural element
  EXPECT_NEAR(b[0], 5.80, 0.01);
  CapturedMessages messages;
  EXPECT_EQ(GetNSL(112, 3, b), 0);
  EXPECT_EQ(b[0], 1.0);
  EXPECT_EQ(b[1], 0.0);
  EXPECT_EQ(messages.text(), "reading neutron scattering length, can not find factors for "
                             "element (number 112, A 3)\n");
}

TEST_F(FormulaTest, MissingDataFilesLeaveValuesAlone) {
  TempDir empty;
  const DataLocation data{empty.path(), {}};
  CapturedMessages messages;
  double c[kAsfCount] = {7};
  EXPECT_EQ(GetASF(8, 0, c, data), 0);
  EXPECT_EQ(c[0], 7);
  double b[2] = {2, 3};
  EXPECT_EQ(GetNSL(8, 0, b, data), 0);
  EXPECT_EQ(b[0], 2);
  // Each message names the folders where the file was looked for.
  EXPECT_EQ(messages.text(),
            "read atomic scattering factor, can not open file \"" + empty.file("asft.dat") +
                "\" (No such file or directory)\n"
                "  data folders searched: " + empty.path() + "\n"
                "read neutron scattering length, can not open file \"" +
                empty.file("nslt.dat") + "\" (No such file or directory)\n"
                "  data folders searched: " + empty.path() + "\n");
  messages.clear();
  EXPECT_FALSE(GetNSL(8, 0, b, {empty.path(), {"/nowhere", empty.path()}}));
  EXPECT_EQ(messages.text(), "read neutron scattering length, can not open file \"" +
                                 empty.file("nslt.dat") + "\" (No such file or directory)\n"
                                 "  data folders searched: /nowhere, " + empty.path() + "\n");
  // The compound's scattering data cannot be assigned without the files.
  Compound iron;
  ASSERT_EQ(ParseFormular("Fe1", &iron), 1);
  EXPECT_EQ(AssignASF(&iron, data), 0);
  EXPECT_EQ(AssignNSL(&iron, data), 0);
  // Lines that do not scan are skipped.
  empty.write("asft.dat", "garbage\n\nO x 0 1\nO 8 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14\n");
  ASSERT_EQ(GetASF(8, -2, c, data), 1);
  EXPECT_EQ(c[10], 11);
}

}  // namespace
