// SPDX-License-Identifier: BSD-3-Clause
// Job set-up: what only the whole job can judge (cell, ionic radii,
// scattering data, constraints against formula and space group), the
// warnings of reading its peak file; crystal models from combinations,
// oxidation states and radiation.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>

#include "kernel.h"
#include "testing.h"

namespace {

struct SetupTest : ::testing::Test {
  Job job;
  TempDir dir;
  void SetUp() override { Start("Na1Cl1", 4, 225, 5.64, 5.64); }
  void TearDown() override { FreeJob(&job); }
  void Start(const char *formula, int z, int sg, double a, double c) {
    InitializeJob(&job);
    job.settings = JobSettings();
    job.config.formular = formula;
    job.config.formularZ = z;
    job.config.sgNumber = sg;
    job.config.cellA = job.config.cellB = a;
    job.config.cellC = c;
  }
};

TEST_F(SetupTest, WhatOnlyTheWholeJobCanJudgeConstraintsAmongItIsRefusedWithItsReason) {
  // Each once set up without a word (and later wrote a CIF with the value,
  // judged bonds with a covalent radius for a missing ionic one, scored every
  // model R = 1 without scattering data), or ended the process.
  TempDir noNeutrons;
  for (const char *name : {"sgt.xml", "asft.dat"})
    noNeutrons.write(name, ReadWholeFile(PULVINA_SOURCE_DIR "/data/" + std::string(name)));
  std::string kinds;
  for (int i = 0; i < 65; ++i) kinds += std::string(ElementTable[i]) + "1";
  const std::pair<std::function<void(Job &)>, std::string> cases[] = {
      {[](Job &j) { j.config.cellA = -5.64; }, "CELL_A -5.64: a cell edge must be from 0.5 to 1000"},
      {[](Job &j) { j.config.cellC = 1e240; }, "CELL_C 1e+240: a cell edge must be from 0.5 to 1000"},
      // Thinner than any crystal: the bond checks would count images for hours.
      {[](Job &j) { j.config.cellBeta = 179.9; }, "two of its faces lie 0.00984 angstrom apart"},
      {[](Job &j) { j.config.cellBeta = 0; }, "CELL_ALPHA, CELL_BETA, CELL_GAMMA 90 0 90: these angles"},
      {[](Job &j) { j.config.oxidation = {{"Na", 5}, {"Cl", -1}}; },
       "OXIDATION Na 5: no ionic radius is known for Na+5 (states with a radius: +1; 0 takes the "
       "covalent radius)\n"},
      {[&](Job &j) { j.settings.data = {noNeutrons.path(), {}}; },
       "the scattering data in " + noNeutrons.path() + " cannot be read\n"},
      {[&](Job &j) { j.config.formular = kinds; }, "has more than 64 kinds of elements"},
  };
  for (const auto &[change, reason] : cases) {
    Start("Na1Cl1", 4, 225, 5.64, 5.64);
    change(job);
    CapturedMessages messages;
    EXPECT_FALSE(SetupJob(&job)) << reason;
    EXPECT_TRUE(Holds(messages.text(), reason));
  }
  // The largest cell is one; an entry for an element the formula lacks
  // changes nothing and says so; 0 takes the covalent radius, and so does
  // the hydrogen of hydroxides, +1, which no radius table has.
  Start("Na1Cl1", 4, 225, 1000, 1000);
  job.config.oxidation = {{"Na", 1}, {"Cl", 0}, {"Fe", 3}};
  CapturedMessages messages;
  EXPECT_TRUE(SetupJob(&job));
  EXPECT_EQ(messages.text(),
            "setting up the job, OXIDATION Fe 3: Fe is not in the formula Na1Cl1\n");
  EXPECT_EQ(messages.all()[0].first, MESSAGE_WARNING);
  Start("Mg1O2H2", 1, 164, 3.15, 4.77);
  job.config.oxidation = {{"Mg", 2}, {"O", -2}, {"H", 1}};
  EXPECT_TRUE(SetupJob(&job)) << messages.text();
  EXPECT_DOUBLE_EQ(job.compound.entries[2].ionRadius, GetIonRadius(1, 0));
  // Constraints are judged against formula and space group, read from a
  // control file of these lines after the stamp.
  auto read = [&](const std::string &lines) {
    InitializeJob(&job);
    const std::string path =
        dir.write("job.epc", "QUENDRALITE 2.0.0\nFORMULAR\tTi1O2\nFORMULAR_Z\t2\nSG_NUMBER\t136\n"
                             "CELL_A\t4.59\nCELL_B\t4.59\nCELL_C\t2.96\n" + lines);
    ASSERT_EQ(ReadConfigFile(&job.config, path.c_str()), CONFIG_READ);
  };
  const std::pair<const char *, const char *> constraints[] = {
      {"O 3 f 0 2", "entry index 3 is beyond the formula Ti1O2, which has 2 entries"},
      {"O 1 f 0 2", "entry 1 of the formula Ti1O2 is Ti, not O"},
      {"O 2 z 0 2", "space group no. 136 (setting 1) has no Wyckoff position z"},
  };
  for (const auto &[value, why] : constraints) {
    read(std::string("\nCONSTRAINT\t") + value + "\n");
    messages.clear();
    EXPECT_FALSE(SetupJob(&job)) << value;
    EXPECT_EQ(messages.text(), dir.file("job.epc") + ":9: CONSTRAINT: '" + value + "': " + why +
                                   "\n");
  }
  // Without a file to name, the set-up says what it knows.
  job.config.controlFile.clear();
  messages.clear();
  EXPECT_FALSE(SetupJob(&job));
  EXPECT_EQ(messages.text(), "setting up the job, CONSTRAINT 'O 2 z 0 2': space group no. 136 "
                             "(setting 1) has no Wyckoff position z\n");
  read("CONSTRAINT\tO 2 f 1 1\nCONSTRAINT\t* 0 a 0 1\n");
  EXPECT_TRUE(SetupJob(&job));
}

// A peak file must fit its job: a reflection the space group forbids, a
// multiplicity the Laue class does not give, or a position the cell and
// wavelength do not give once ran to a result with exit status 0.
TEST_F(SetupTest, PeakFilesAreCheckedAgainstTheJob) {
  ASSERT_TRUE(SetupJob(&job));
  job.config.peakFile = "nacl.hkl";
  const std::string good = "; NaCl, a 5.64, lambda 1.540598\n2 0 0 6 2.82 31.70 0.1 100\n";
  const std::string fm3m = "space group Fm-3m (no. 225, setting 1)";
  const std::pair<const char *, std::string> refused[] = {
      {"1 0 0 6 5.64 15.70 0.1 5",
       "h k l: '1 0 0' is forbidden by the systematic absences of " + fm3m},
      {"600 0 0 6 0.0094 30 0.1 5", "h k l: '600 0 0' has an index beyond 500"},
      {"1 1 1 6 3.2563 27.37 0.1 10",
       "mult: '6' disagrees with the Laue class of " + fm3m + ": 1 1 1 has 8 equivalents"},
      {"2 2 0 6 1.994 45.45 0.1 10", "mult: '6' disagrees with the Laue class of " + fm3m +
                                         ": 2 2 0 has 12 equivalents"},
      {"1 1 1 8 3.30 27.37 0.1 10", "d: '3.3' disagrees with the cell: 1 1 1 has d 3.25625"},
      {"1 1 1 8 3.2563 27.52 0.1 10",
       "2theta: '27.52' disagrees with the cell and wavelength 1.540598 A: 1 1 1 lies at 27.36"},
      {"8 8 8 8 0.407 179 0.1 5", "d: '0.407' disagrees with the cell: 8 8 8 has d 0.407032 A, "
                                  "below half the wavelength"},
  };
  for (const auto &[line, reason] : refused) {
    job.config.startAngle = 5;
    job.config.endAngle = 100;
    const std::string path = dir.write("nacl.hkl", good + line + "\n");
    CapturedMessages messages;
    EXPECT_EQ(ReadJobPeakFile(&job, dir.path()), 0) << line;
    EXPECT_EQ(messages.text().rfind(path + ":3: " + reason, 0), 0u) << messages.text();
  }
  // Within the margins: a zero shift of 0.06 degrees at a width of 0.1, a
  // shift of 0.15 degrees at a width of 0.6, a cell 0.15 % off at 142
  // degrees (0.6 degrees in 2theta).
  job.config.startAngle = 5;
  job.config.endAngle = 150;
  dir.write("nacl.hkl", good + "1 1 1 8 3.2563 27.426 0.1 10\n2 2 0 12 1.994 45.60 0.6 10\n"
                               "4 4 4 8 0.81528 141.71 0.1 5\n");
  CapturedMessages messages;
  EXPECT_EQ(ReadJobPeakFile(&job, dir.path()), 4) << messages.text();
  // The reference extractions of the measured patterns, made independently,
  // fit their jobs: every space group, cell and wavelength, neutrons and a
  // doublet among them, and a starting cell 0.1 % off for the garnet.
  for (const auto &[folder, count] : {std::pair{"garnet_yfeal_neutron_d1a", 89},
                                      {"beta_si3n4_xray_cu", 113},
                                      {"lab6_synchrotron_11bm", 186},
                                      {"jadarite_synchrotron_11bm", 488}}) {
    SCOPED_TRACE(folder);
    FreeJob(&job);
    InitializeJob(&job);
    const std::string path = TestDataPath(std::string("patterns/") + folder);
    ASSERT_EQ(ReadConfigFile(&job.config, (path + "/job.epc").c_str()), CONFIG_READ);
    ASSERT_TRUE(SetupJob(&job));
    messages.clear();
    EXPECT_EQ(ReadJobPeakFile(&job, path), count) << messages.text();
    for (const auto &m : messages.all()) EXPECT_NE(m.first, MESSAGE_ERROR) << m.second;
  }
  // Glide and screw conditions count too: P42/mnm forbids h 0 0 with h odd
  // and 0 k l with k + l odd; 1 1 0 is allowed.
  SpaceGroup rutile;
  ASSERT_EQ(SetSpaceGroup(&rutile, 136, 1), 1);
  for (auto [h, k, l, absent] : {std::tuple{1, 0, 0, true}, {0, 1, 2, true}, {2, 0, 0, false},
                                    {1, 1, 0, false}, {0, 1, 1, false}})
    EXPECT_EQ(ReflectionForbidden(rutile, h, k, l), absent) << h << k << l;
}

Position MakePosition(int multiplicity, char letter, const char *coordinates) {
  Position p;
  p.multiplicity = multiplicity;
  p.wyckoffLetter = letter;
  EXPECT_GT(SetCoordinates(coordinates, &p.coordinates), 0);
  return p;
}

// A model as text: its EPC and number of parameters, then per atom x, y and
// z, each its place in the parameter list or "=value" when constant, "s" when
// special (partial freedom); and the occupancy of a mixed site's member.
std::string Describe(const CrystalModel &m) {
  std::ostringstream out;
  out << EPCStr(&m) << " free " << m.parameterList.size() << ":";
  for (const AtomModel &a : m.atoms) {
    for (int i = 0; i < 3; ++i) {
      const ModelParameter &p = CoordinateAtom(m, a).para[i];
      if (p.index < 0) out << " =" << p.value;
      else out << " " << std::find(m.parameterList.begin(), m.parameterList.end(), &p.value) -
                            m.parameterList.begin();
      if (p.special) out << "s";
    }
    if (a.para[SLOT_OCCUPANCY].kind == KIND_OCCUPANCY) out << " occ" << a.para[SLOT_OCCUPANCY].value;
    out << ";";
  }
  return out.str();
}

// The models of a formula (Z = 1) on hand-made positions, one per row; they
// point into the positions.
CrystalModelList Models(Compound *compound, const std::vector<Position> &positions,
                        const char *formula, const std::vector<std::vector<int8_t>> &rows,
                        int partialFreedom = 0) {
  EXPECT_EQ(ParseFormular(formula, compound), 1);
  SetFormularZ(compound, 1);
  CombPositions cp;
  SetCombPositions(positions, &cp);
  Combination comb;
  CreateCombination(&comb, static_cast<int>(positions.size()), compound->entryCount,
                    static_cast<int>(rows.size()));
  for (const auto &r : rows) EXPECT_GT(CombinationAdd(r.data(), &comb), 0);
  CrystalModelList models;
  EXPECT_EQ(CreateModelList(compound, &cp, &comb, &models, partialFreedom),
            static_cast<int>(rows.size()));
  return models;
}

TEST(Models, EveryCombinationRowIsAModelOfItsFreeCoordinatesWithItsStatesAndWavelength) {
  const Position general = MakePosition(2, 'a', "(x,y,z)(-x,-y,-z)"),
                 axis = MakePosition(2, 'b', "(0,0,z)(0,0,-z)"),
                 line = MakePosition(2, 'c', "(x,0,0)(-x,0,0)"),
                 mirror = MakePosition(4, 'e', "(x,y,z)(-x,y,z)(x,-y,z)(x,y,-z)"),
                 origin = MakePosition(1, 'o', "(0,0,0)"),
                 centre = MakePosition(1, 'h', "(1/2,1/2,1/2)");
  const struct {
    std::vector<Position> positions;
    const char *formula;
    std::vector<std::vector<int8_t>> rows;
    int partialFreedom;
    std::vector<std::string> models;
  } cases[] = {
      {{general, axis, centre}, "O2", {{1, 0, 0}, {0, 1, 0}}, 0,
       {"O(2a) free 3: 0 1 2;", "O(2b) free 1: =0 =0 0;"}},
      // Two sets on one position, and a constant one.
      {{mirror, centre}, "O8Ba1", {{2, 0, 0, 1}}, 0,
       {"O(4e)+O(4e)+Ba(1h) free 6: 0 1 2; 3 4 5; =0.5 =0.5 =0.5;"}},
      // The members of a mixed site are one site: one set of coordinates,
      // the first member's, on each of its positions; special marks partial
      // freedom only.
      {{line, origin}, "(Fe0.5Mn0.5)2", {{1, 0}}, 1,
       {"Fe(2c)+Mn(2c) free 1: 0s =0s =0s occ0.5; 0s =0s =0s occ0.5;"}},
      {{general, line}, "(Fe0.5Mn0.5)4O2", {{1, 1, 0, 1}}, 0,
       {"Fe(2a)+Fe(2c)+Mn(2a)+Mn(2c)+O(2c) free 5: 0 1 2 occ0.5; 3 =0 =0 occ0.5; 0 1 2 "
        "occ0.5; 3 =0 =0 occ0.5; 4 =0 =0;"}},
      {{general, origin}, "O2Ba1", {{1, 0, 0, 1}}, 1, {"O(2a)+Ba(1o) free 3: 0 1 2; =0 =0 =0;"}},
      {{origin, centre}, "Cs1Cl1", {{1, 0, 0, 1}, {0, 1, 1, 0}}, 0,
       {"Cs(1o)+Cl(1h) free 0: =0 =0 =0; =0.5 =0.5 =0.5;",
        "Cs(1h)+Cl(1o) free 0: =0.5 =0.5 =0.5; =0 =0 =0;"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.formula);
    Compound compound;
    const CrystalModelList models = Models(&compound, c.positions, c.formula, c.rows, c.partialFreedom);
    for (size_t i = 0; i < models.models.size(); ++i) {
      EXPECT_EQ(models.models[i].modelNumber, static_cast<int>(i) + 1);
      EXPECT_EQ(models.models[i].parameterCount, models.models[i].freeCount);
      EXPECT_EQ(Describe(models.models[i]), c.models[i]);
    }
  }
  // Oxidation states reach mixed sites; the last entry for an element wins.
  Compound compound;
  ASSERT_EQ(ParseFormular("(Fe0.5Mn0.5)1Fe1O2", &compound), 1);
  EXPECT_EQ(SetOxidations(&compound, {{"Fe", 3}, {"O", -2}, {"Fe", 2}}), 3);
  EXPECT_EQ(compound.entries[0].members[0].oxidation, 2);
  EXPECT_EQ(compound.entries[1].oxidation, 2);
  EXPECT_EQ(compound.entries[0].members[1].oxidation, 0);
  // Each radiation takes its own wavelength.
  Config config;
  InitializeConfig(&config);
  config.lambdaXray1 = 1.1;
  config.lambdaNeutron = 2.2;
  config.lambdaElectron = 3.3;
  for (int type : {1, 2, 0}) {
    config.radiation = type;
    Radiation r;
    SetRadiation(&config, &r);
    EXPECT_EQ(r.type, type);
    EXPECT_DOUBLE_EQ(r.lambda, 1.1 * (type + 1)) << type;
  }
}

}  // namespace
