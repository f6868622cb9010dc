// Bond lengths, and the CIF and model files: their layout, and the CIF read
// back by independent CIF software.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

#include "kernel.h"
#include "solving_testing.h"
#include "testing.h"

namespace {

struct Site {
  double x, y, z;
  std::string symbol;
};

bool Same(const Site &a, const Site &b) {
  auto close = [](double p, double q) {
    double d = std::fabs(p - std::floor(p) - (q - std::floor(q)));
    return std::min(d, 1 - d) < 1e-4;
  };
  return a.symbol == b.symbol && close(a.x, b.x) && close(a.y, b.y) && close(a.z, b.z);
}

std::vector<Site> Distinct(const std::vector<Site> &sites) {
  std::vector<Site> out;
  for (const Site &s : sites) {
    bool seen = false;
    for (const Site &o : out) seen = seen || Same(s, o);
    if (!seen) out.push_back(s);
  }
  return out;
}

bool SameSets(const std::vector<Site> &a, const std::vector<Site> &b) {
  if (a.size() != b.size()) return false;
  for (const Site &s : a) {
    bool found = false;
    for (const Site &t : b) found = found || Same(s, t);
    if (!found) return false;
  }
  return true;
}

// ---- bond lengths ------------------------------------------------------------

struct RockSalt : ::testing::Test {
  SyntheticJob data{"Na1Cl1", 4, 225, 5.64, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, 3};
  void SetUp() override {
    ASSERT_NE(data.truth, nullptr);
    SetOxidations(&data.job.compound, {{"Na", 1}, {"Cl", -1}});
    UpdateIonRadii(&data.job.compound);
    UpdateBondLengthConstraints(&data.job.bondLengths, &data.job.compound);
  }
};

TEST_F(RockSalt, MeasuredDistancesAndValidity) {
  BondLengths measured;
  GenerateBondLengths(&measured, &data.job.crystal, data.truth, -0.5, 1.5, -0.5, 1.5, -0.5, 1.5);
  ASSERT_GT(measured.count, 0);
  double shortest = 1e9;
  for (const BondLength &b : measured.items) {
    shortest = std::min(shortest, b.distance);
    // Collected up to three times the sum of the ion radii: 8.34 for Na-Cl.
    EXPECT_LT(b.distance, (b.first->ionRadius + b.second->ionRadius) * 0.003);
    EXPECT_GT(b.distance, 0);
  }
  EXPECT_NEAR(shortest, 2.82, 1e-9);  // a / 2
  // Each distance appears once per element pair.
  for (size_t i = 0; i < measured.items.size(); ++i)
    for (size_t j = i + 1; j < measured.items.size(); ++j) {
      const BondLength &p = measured.items[i], &q = measured.items[j];
      bool samePair = (p.first == q.first && p.second == q.second) ||
                      (p.first == q.second && p.second == q.first);
      EXPECT_FALSE(samePair && std::fabs(p.distance - q.distance) < 1e-6);
    }
  EXPECT_EQ(CheckBondLengthValidity(&measured, &data.job.bondLengths, 1.0), 1);
  // A 2.9 angstrom minimum for Na-Cl rejects the 2.82 contact, whichever
  // way round the pair was met.
  ASSERT_EQ(data.job.bondLengths.count, 3);  // Na-Na, Na-Cl, Cl-Cl
  data.job.bondLengths.items[1].distance = 2.9;
  EXPECT_EQ(CheckBondLengthValidity(&measured, &data.job.bondLengths, 1.0), 0);
  EXPECT_EQ(CheckBondLengthValidity(&measured, &data.job.bondLengths, 0.9), 1);
  int invalid = 0;
  CheckBondLengthValidity(&measured, &data.job.bondLengths, 1.0);
  for (const BondLength &b : measured.items) invalid += !b.valid;
  EXPECT_GE(invalid, 1);
}

TEST_F(RockSalt, AtomsOnOneSpotAreInvalid) {
  CrystalModel *both = data.Find("Na(4a)+Cl(4a)");
  if (!both) {
    // Slot 0 allows one set per fixed position; build the clash by hand.
    both = data.truth;
    both->atoms[1].position = both->atoms[0].position;
    both->atoms[1].para[SLOT_X].value = both->atoms[0].para[SLOT_X].value;
  }
  BondLengths measured;
  GenerateBondLengths(&measured, &data.job.crystal, both, -0.5, 1.5, -0.5, 1.5, -0.5, 1.5);
  bool zero = false;
  for (const BondLength &b : measured.items) zero = zero || b.distance < 1e-6;
  EXPECT_TRUE(zero);
  EXPECT_EQ(CheckBondLengthValidity(&measured, &data.job.bondLengths, 1.0), 0);
}

TEST(BondLengths, ImpossibleCellLeavesTheTable) {
  SyntheticJob data{"Na1Cl1", 4, 225, 5.64, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, 2};
  BondLengths measured;
  measured.items.resize(2);
  measured.count = 2;
  data.job.crystal.a = 0;
  GenerateBondLengths(&measured, &data.job.crystal, data.truth, -0.5, 1.5, -0.5, 1.5, -0.5, 1.5);
  EXPECT_EQ(measured.count, 2);
}

// ---- files ---------------------------------------------------------------

std::vector<Site> CellSites(const Crystal &crystal) {
  std::vector<Site> sites;
  for (const Atom &a : crystal.cellAtoms) sites.push_back({a.x, a.y, a.z, a.element->symbol});
  return Distinct(sites);
}

// Runs the gemmi reader on a CIF and returns its two expansions.
bool ReadWithGemmi(const std::string &path, int *ops, std::vector<Site> *fromOps,
                   std::vector<Site> *fromSymbol) {
  std::string command =
      "/usr/bin/python3 " PULVINA_SOURCE_DIR "/tests/check_cif.py '" + path + "' 2>&1";
  std::FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  char line[512];
  std::string all;
  while (std::fgets(line, sizeof line, pipe)) {
    all += line;
    std::istringstream in(line);
    std::string tag;
    in >> tag;
    Site s{};
    if (tag == "ops") in >> *ops;
    else if (tag == "op" && in >> s.x >> s.y >> s.z >> s.symbol) fromOps->push_back(s);
    else if (tag == "hm" && in >> s.x >> s.y >> s.z >> s.symbol) fromSymbol->push_back(s);
  }
  int status = pclose(pipe);
  if (status != 0) ADD_FAILURE() << all;
  return status == 0;
}

bool HaveGemmi() {
  return std::system("/usr/bin/python3 -c 'import gemmi' > /dev/null 2>&1") == 0;
}

void ExpectCifExpandsToTheCell(SyntheticJob &data, int expectedOps) {
  TempDir dir;
  std::string path = dir.file("model.cif");
  UpdateCrystalByModel(&data.job.crystal, data.truth, nullptr, 1);
  ASSERT_EQ(WriteCIFFile(path.c_str(), &data.job.crystal, &data.job), 1);
  int ops = 0;
  std::vector<Site> fromOps, fromSymbol;
  ASSERT_TRUE(ReadWithGemmi(path, &ops, &fromOps, &fromSymbol));
  EXPECT_EQ(ops, expectedOps);
  std::vector<Site> ours = CellSites(data.job.crystal);
  EXPECT_TRUE(SameSets(fromOps, ours)) << fromOps.size() << " sites from the operators, "
                                       << ours.size() << " in the cell";
  EXPECT_TRUE(SameSets(Distinct(fromSymbol), ours))
      << fromSymbol.size() << " sites from the symbol, " << ours.size() << " in the cell";
}

TEST(CifFile, PrimitiveGroupReadsBackWithGemmi) {
  if (!HaveGemmi()) GTEST_SKIP() << "python3-gemmi is not installed";
  SyntheticJob data{"Ti1O2", 2, 136, 4.5937, 4.5937, 2.9587, "Ti(2a)+O(4f)", {0.3049}, 2};
  ASSERT_NE(data.truth, nullptr);
  *data.truth->parameterList[0] = 0.3049;
  ExpectCifExpandsToTheCell(data, 16);
}

TEST(CifFile, CentredGroupsReadBackWithGemmi) {
  if (!HaveGemmi()) GTEST_SKIP() << "python3-gemmi is not installed";
  {
    SyntheticJob data{"Zn1S1", 4, 216, 5.41, 5.41, 5.41, "Zn(4a)+S(4c)", {}, 2};
    ASSERT_NE(data.truth, nullptr);
    ExpectCifExpandsToTheCell(data, 96);  // 24 operators x 4 centring translations
  }
  {
    // Body centring and a free coordinate: Y2O3-like, Ia-3 with Y on 8b and 24d.
    SyntheticJob data{"Y2O3", 16, 206, 10.6, 10.6, 10.6, "Y(24d)+Y(8b)+O(48e)",
                      {0.0323, 0.389, 0.152, 0.38}, 2};
    ASSERT_NE(data.truth, nullptr);
    ExpectCifExpandsToTheCell(data, 48);
  }
}

TEST(CifFile, Layout) {
  SyntheticJob data{"Na1Cl1", 4, 225, 5.64, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, 2};
  TempDir dir;
  std::string path = dir.file("nacl.cif");
  UpdateCrystalByModel(&data.job.crystal, data.truth, nullptr, 1);
  ASSERT_EQ(WriteCIFFile(path.c_str(), &data.job.crystal, &data.job), 1);
  std::string text = ReadWholeFile(path);
  const std::string hashes(57, '#');
  EXPECT_EQ(text.substr(0, 4 * 58),
            hashes + "\n# This cif file is created by Quendralit                #\n"
                     "# (kernel version 2.0.0)                                #\n" +
                hashes + "\n");
  EXPECT_NE(text.find("\ndata_Crystal\n# Chemical data\n_chemical_formula_sum\t\"Na1Cl1\"\n"
                      "_cell_formula_units_Z\t4\n\n# Crystal data\n_symmetry_cell_setting\tCubic\n"
                      "_symmetry_Int_Tables_number\t225\n_symmetry_space_group_name_H-M\t'Fm-3m'\n"
                      "\nloop_\n\t_symmetry_equiv_pos_as_xyz\n'x,y,z'\n'x,y+1/2,z+1/2'\n"),
            std::string::npos);
  EXPECT_NE(text.find("_cell_angle_gamma\t90.000000\n\n# Atomic coordinates and dispalcement "
                      "parameters\nloop_\n\t_atom_site_label\n"),
            std::string::npos);
  EXPECT_NE(text.find("Na1 Na 0.000000 0.000000 0.000000 1.000000 1.000000\n"
                      "Cl1 Cl 0.500000 0.500000 0.500000 1.000000 1.000000\n"),
            std::string::npos);
  CapturedMessages messages;
  std::string bad = dir.file("missing/folder/x.cif");
  EXPECT_EQ(WriteCIFFile(bad.c_str(), &data.job.crystal, &data.job), 0);
  EXPECT_EQ(messages.text(), "writting cif file, Can not create file '" + bad + "'!\n");
}

TEST(CifFile, TripletsFromMatrices) {
  double m[3][4] = {{1, -1, 0, 0.5}, {1, 0, 0, 7.0 / 6}, {0, 0, -1, -0.25}};
  EXPECT_EQ(MatrixToTriplet(m), "x-y+1/2,x+1/6,-z+3/4");
  double p[3][4] = {{0, 0, 0, 0}, {2, 0, 0, 1.0 / 12}, {0, 0, 0, 0.375}};
  EXPECT_EQ(MatrixToTriplet(p), "0,2x+1/12,3/8");
}

TEST(ModelFile, Layout) {
  SyntheticJob data{"Ti1O2", 2, 136, 4.5937, 4.5937, 2.9587, "Ti(2a)+O(4f)", {0.3049}, 2};
  TempDir dir;
  std::string path = dir.file("job.tsm");
  ASSERT_EQ(WriteModelFile(path.c_str(), &data.job), 1);
  std::string text = ReadWholeFile(path);
  EXPECT_EQ(text.rfind("Quendralite (kernel version 2.0.0)\n\nFormular: Ti1O2\nZ : 2\n"
                       "Cell Parameters: 4.593700 4.593700 2.958700 90.000000 90.000000 "
                       "90.000000\nSG Number: 136\nHermann-Mauguin symbol: P42/mnm\n"
                       "Multiplicity\tWyckoff\tCoordinates\n",
                       0),
            0u);
  EXPECT_NE(text.find("10 models has been generated.\n\nModel Statistic Information: \n"
                      "Minimum parameter count : 0\nMaximum parameter count : 1\n"),
            std::string::npos);
  // Each newly met count goes in front: 1 came first, so 0 is listed first.
  EXPECT_NE(text.find("0\t4\t40.000%\n1\t6\t60.000%\n------------------------------\n"
                      "Total\t10\t100%\n\n"),
            std::string::npos);
  EXPECT_NE(text.find("Parameter Count: 1\nParameters:  P1 \n"), std::string::npos);
  EXPECT_NE(text.find("Parameter Count: 0\nParameters: <null>\n"), std::string::npos);
  EXPECT_NE(text.find("\tO\t0\t4f\t-1.000(P1)\t0.000(const0)\t0.000(const0)\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("EPC: Ti(2a)+O(4f)\n\n"), std::string::npos);
}

TEST(ModelFile, JobWithoutModels) {
  Job job;
  InitializeJob(&job);
  TempDir dir;
  std::string path = dir.file("empty.tsm");
  ASSERT_EQ(WriteModelFile(path.c_str(), &job), 1);
  std::string text = ReadWholeFile(path);
  EXPECT_NE(text.find("0 models has been generated.\n\nModel Statistic Information: \n"
                      "Minimum parameter count : 65535\nMaximum parameter count : 0\n"
                      "ParaNO.\tCount.\tPercen.\n------------------------------\n"
                      "------------------------------\nTotal\t0\t100%\n\n"),
            std::string::npos);
  CapturedMessages messages;
  EXPECT_EQ(WriteModelFile(dir.file("no/dir.tsm").c_str(), &job), 0);
  EXPECT_EQ(messages.text(),
            "writting model file, Can not create file '" + dir.file("no/dir.tsm") + "'!\n");
  FreeJob(&job);
}

}  // namespace
