// Bond lengths, and the CIF and model files: their layout, and the CIF read
// back by independent CIF software.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "kernel.h"
#include "solving_testing.h"
#include "stages.h"
#include "testing.h"

namespace {

struct Site {
  double x, y, z;
  std::string symbol;
};

bool Same(const Site &a, const Site &b) {
  return a.symbol == b.symbol && SameModOne(a.x, b.x, 1e-4) && SameModOne(a.y, b.y, 1e-4) &&
         SameModOne(a.z, b.z, 1e-4);
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
  EXPECT_EQ(CheckBondLengthValidity(&measured, &data.job.bondLengths, 1.0), 0);
  for (const BondLength &b : measured.items) invalid += !b.valid;
  EXPECT_GE(invalid, 1);
}

TEST_F(RockSalt, AMinimumSwitchedOffLeavesItsPairUnchecked) {
  BondLengths measured;
  GenerateBondLengths(&measured, &data.job.crystal, data.truth, -0.5, 1.5, -0.5, 1.5, -0.5, 1.5);
  ASSERT_EQ(data.job.bondLengths.count, 3);
  data.job.bondLengths.items[1].distance = 2.9;  // Na-Cl, above the 2.82 contact
  ASSERT_EQ(CheckBondLengthValidity(&measured, &data.job.bondLengths, 1.0), 0);
  data.job.bondLengths.items[1].valid = 0;
  EXPECT_EQ(CheckBondLengthValidity(&measured, &data.job.bondLengths, 1.0), 1);
  for (const BondLength &b : measured.items) EXPECT_EQ(b.valid, 1);
  // The others still apply.
  data.job.bondLengths.items[0].distance = 10;  // Na-Na
  EXPECT_EQ(CheckBondLengthValidity(&measured, &data.job.bondLengths, 1.0), 0);
}

TEST_F(RockSalt, AtomsOnOneSpotAreInvalid) {
  // Two atoms of one element on one spot: the second was once taken for
  // the first one's own image and skipped, so the model passed as valid.
  for (bool sameElement : {false, true}) {
    SCOPED_TRACE(sameElement ? "Na on Na" : "Cl on Na");
    SyntheticJob job{"Na1Cl1", 4, 225, 5.64, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, 2};
    CrystalModel *clash = job.truth;
    if (sameElement) {
      clash->atoms[1] = clash->atoms[0];
    } else {
      clash->atoms[1].position = clash->atoms[0].position;
      clash->atoms[1].para[SLOT_X].value = clash->atoms[0].para[SLOT_X].value;
    }
    BondLengths measured;
    GenerateBondLengths(&measured, &job.job.crystal, clash, -0.5, 1.5, -0.5, 1.5, -0.5, 1.5);
    bool zero = false;
    for (const BondLength &b : measured.items) zero = zero || b.distance < 1e-6;
    EXPECT_TRUE(zero);
    EXPECT_EQ(CheckBondLengthValidity(&measured, &job.job.bondLengths, 1.0), 0);
  }
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
  std::string all;
  const int status =
      RunCommand("/usr/bin/python3 " PULVINA_SOURCE_DIR "/tests/check_cif.py '" + path + "'", &all);
  std::istringstream lines(all);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    std::string tag;
    in >> tag;
    Site s{};
    if (tag == "ops") in >> *ops;
    else if (tag == "op" && in >> s.x >> s.y >> s.z >> s.symbol) fromOps->push_back(s);
    else if (tag == "hm" && in >> s.x >> s.y >> s.z >> s.symbol) fromSymbol->push_back(s);
  }
  if (status != 0) ADD_FAILURE() << all;
  return status == 0;
}

bool HaveGemmi() { return RunCommand("/usr/bin/python3 -c 'import gemmi'") == 0; }

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

TEST(CifFile, PrimitiveAndCentredGroupsReadBackWithGemmi) {
  if (!HaveGemmi()) GTEST_SKIP() << "python3-gemmi is not installed";
  SyntheticJob rutile{"Ti1O2", 2, 136, 4.5937, 4.5937, 2.9587, "Ti(2a)+O(4f)", {0.3049}, 2};
  SyntheticJob sphalerite{"Zn1S1", 4, 216, 5.41, 5.41, 5.41, "Zn(4a)+S(4c)", {}, 2};
  // Body centring and free coordinates: Y2O3-like, Ia-3 with Y on 8b and 24d.
  SyntheticJob bixbyite{"Y2O3", 16, 206, 10.6, 10.6, 10.6, "Y(24d)+Y(8b)+O(48e)",
                        {0.0323, 0.389, 0.152, 0.38}, 2};
  ASSERT_NE(rutile.truth, nullptr);
  *rutile.truth->parameterList[0] = 0.3049;
  // Sphalerite: 24 operators x 4 centring translations.
  for (auto [data, operators] : {std::pair{&rutile, 16}, {&sphalerite, 96}, {&bixbyite, 48}}) {
    ASSERT_NE(data->truth, nullptr);
    ExpectCifExpandsToTheCell(*data, operators);
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
  EXPECT_NE(text.find("\ndata_Crystal\n# Chemical data\n_chemical_formula_sum\t'Cl Na'\n"
                      "_cell_formula_units_Z\t4\n\n# Crystal data\n_symmetry_cell_setting\tCubic\n"
                      "_symmetry_Int_Tables_number\t225\n"
                      "_symmetry_space_group_name_H-M\t'F m -3 m'\n"
                      "_symmetry_space_group_name_Hall\t'-F 4 2 3'\n"
                      "\nloop_\n\t_symmetry_equiv_pos_as_xyz\n'x,y,z'\n'x,y+1/2,z+1/2'\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("_cell_angle_gamma\t90.000000\n\n# Atomic coordinates and dispalcement "
                      "parameters\nloop_\n\t_atom_site_label\n"),
            std::string::npos);
  EXPECT_NE(text.find("Na1 Na 0.000000 0.000000 0.000000 1.000000 1.000000\n"
                      "Cl1 Cl 0.500000 0.500000 0.500000 1.000000 1.000000\n"),
            std::string::npos);
  CapturedMessages messages;
  std::string bad = dir.file("missing/folder/x.cif");
  EXPECT_EQ(WriteCIFFile(bad.c_str(), &data.job.crystal, &data.job), 0);
  EXPECT_EQ(messages.text(),
            "writting cif file, Can not create file '" + bad + "'! (No such file or directory)\n");
}

TEST(CifFile, FormulaSumInTheDictionaryForm) {
  // Symbols with their counts per formula unit, 1 left out, in Hill's
  // order: carbon, hydrogen, then the rest alphabetically; without carbon
  // all alphabetically.
  const std::pair<const char *, const char *> cases[] = {
      {"Ba1S1O4", "Ba O4 S"},     {"C2H6O1", "C2 H6 O"},
      {"H2O1", "H2 O"},           {"Ca1C1O3", "C Ca O3"},
      {"(Fe0.5Mn0.5)2O3", "Fe Mn O3"}, {"(Fe0.25Mn0.5)4O3", "Fe Mn2 O3"},
      {"Fe1(Fe0.5Mn0.5)2", "Fe2 Mn"},  {"(Na0.3K0.6)1Cl1", "Cl K0.6 Na0.3"},
  };
  for (const auto &c : cases) {
    Compound compound;
    ASSERT_EQ(ParseFormular(c.first, &compound), 1) << c.first;
    EXPECT_EQ(FormulaSum(compound), c.second) << c.first;
  }
}

bool HaveCodTools() {
  return RunCommand("cif_cod_check --version") == 0 && RunCommand("cif_cell_contents --version") == 0;
}

// Standard output of a command, with standard error too when asked.
std::string Output(const std::string &command, int *status, bool errors = true) {
  std::string out;
  *status = RunCommand(errors ? command : "(" + command + " 2>/dev/null)", &out);
  return out;
}

TEST(CifFile, CodToolsReadOurFiles) {
  if (!HaveCodTools()) GTEST_SKIP() << "cod-tools is not installed";
  struct Case {
    const char *formula;
    int z, sg, setting;
    double a, c;
    const char *epc;
    std::vector<double> values;
    const char *cell;  // the content of the cell, from the formula and Z by hand
  };
  const Case cases[] = {
      {"Na1Cl1", 4, 225, 1, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, "Cl4 Na4"},
      {"Ti1O2", 2, 136, 1, 4.5937, 2.9587, "Ti(2a)+O(4f)", {0.3049}, "O4 Ti2"},
      // Origin choice 2: software that took the setting-1 symbol built 32
      // silicon atoms out of these 8.
      {"Si1", 8, 227, 2, 5.431, 5.431, "Si(8a)", {}, "Si8"},
      {"(Fe0.5Mn0.5)1O1", 4, 225, 1, 4.3, 4.3, "Fe(4a)+Mn(4a)+O(4b)", {}, "Fe2 Mn2 O4"},
  };
  TempDir dir;
  std::string files, expected;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.epc);
    Job job;
    InitializeJob(&job);
    job.config.formular = c.formula;
    job.config.formularZ = c.z;
    job.config.sgNumber = c.sg;
    job.config.sgSetting = c.setting;
    job.config.cellA = job.config.cellB = c.a;
    job.config.cellC = c.c;
    ASSERT_TRUE(SetupJob(&job) && GenerateJobModels(&job, nullptr));
    CrystalModel *model = nullptr;
    for (CrystalModel &m : job.models.models)
      if (EPCStr(&m) == c.epc) model = &m;
    ASSERT_NE(model, nullptr);
    for (size_t i = 0; i < c.values.size(); ++i) *model->parameterList[i] = c.values[i];
    UpdateCrystalByModel(&job.crystal, model, nullptr, 1);
    const std::string path = dir.file(std::to_string(files.size()) + ".cif");
    ASSERT_EQ(WriteCIFFile(path.c_str(), &job.crystal, &job), 1);
    files += " " + path;
    expected += std::string(c.cell) + "\n";
    FreeJob(&job);
  }
  int status = 0;
  const std::string check = Output("cif_cod_check" + files, &status);
  EXPECT_EQ(status, 0) << check;
  // Only the publication items a solution cannot know may be missing.
  std::istringstream lines(check);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("WARNING") == std::string::npos && line.find("ERROR") == std::string::npos)
      continue;
    EXPECT_TRUE(line.find("_publ_") != std::string::npos ||
                line.find("_journal_") != std::string::npos ||
                line.find("WARNING(s) encountered") != std::string::npos)
        << line;
  }
  // With Z = 1 the tool prints what the cell holds: the formula times Z.
  EXPECT_EQ(Output("cif_cell_contents -Z 1" + files, &status, false), expected);
  EXPECT_EQ(status, 0);
}

TEST(CifFile, EverySettingReadsBackWithGemmi) {
  if (!HaveGemmi()) GTEST_SKIP() << "python3-gemmi is not installed";
  TempDir dir;
  std::string files;
  int settings = 0;
  CapturedMessages quiet;  // missing second settings are reported
  for (int number = 1; number <= 230; ++number)
    for (int setting = 1; setting <= 2; ++setting) {
      Job job;
      InitializeJob(&job);
      if (!SetSpaceGroup(&job.crystal.spaceGroup, number, setting)) continue;
      ASSERT_EQ(ParseFormular("Fe1", &job.compound), 1);
      ++settings;
      const std::string path =
          dir.file(std::to_string(number) + "_" + std::to_string(setting) + ".cif");
      ASSERT_EQ(WriteCIFFile(path.c_str(), &job.crystal, &job), 1);
      files += " " + path;
      FreeJob(&job);
    }
  EXPECT_EQ(settings, 274);
  int status = 0;
  const std::string out =
      Output("/usr/bin/python3 " PULVINA_SOURCE_DIR "/tests/check_settings.py" + files, &status);
  ASSERT_EQ(status, 0) << out;
  std::istringstream lines(out);
  int ok = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("ok ", 0) == 0)
      ++ok;
    else
      ADD_FAILURE() << line;
  }
  EXPECT_EQ(ok, 274);
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

// ---- writing files ------------------------------------------------------

struct OutputTarget : ::testing::Test {
  TempDir dir;
  // Writes text to path through a scratch file; true when committed.
  bool Write(const std::string &path, const std::string &text, std::string *error = nullptr) {
    AtomicFile file(path);
    bool ok = file.get() && std::fputs(text.c_str(), file.get()) >= 0 && file.commit();
    if (error) *error = file.error();
    return ok;
  }
  size_t Entries(const std::string &folder) const {
    size_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator(folder)) n += !e.path().empty();
    return n;
  }
};

TEST_F(OutputTarget, PlantedScratchNameIsNeverFollowed) {
  // The scratch file once had the fixed name PATH.tmp and was opened
  // through whatever lay there, so a link under that name overwrote its
  // target.
  const std::string elsewhere = dir.write("elsewhere", "precious\n");
  std::filesystem::create_directory(dir.file("out"));
  std::filesystem::create_symlink(elsewhere, dir.file("out/nacl_1.cif.tmp"));
  ASSERT_TRUE(Write(dir.file("out/nacl_1.cif"), "new\n"));
  EXPECT_EQ(ReadWholeFile(elsewhere), "precious\n");
  EXPECT_EQ(ReadWholeFile(dir.file("out/nacl_1.cif")), "new\n");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("out/nacl_1.cif.tmp")));
  EXPECT_EQ(Entries(dir.file("out")), 2u);  // the file and the planted link
}

TEST_F(OutputTarget, ALinkIsWrittenThroughAndKept) {
  std::filesystem::create_directory(dir.file("a"));
  std::filesystem::create_directory(dir.file("b"));
  const std::string real = dir.write("b/real.cif", "old\n");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  std::filesystem::create_symlink("../b/real.cif", dir.file("a/link.cif"));
  ASSERT_TRUE(Write(dir.file("a/link.cif"), "new\n"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("a/link.cif")));
  EXPECT_EQ(ReadWholeFile(real), "new\n");
  struct stat st;
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // The scratch file lived beside the target and is gone.
  EXPECT_EQ(Entries(dir.file("a")), 1u);
  EXPECT_EQ(Entries(dir.file("b")), 1u);
  // A plain file keeps its mode too; a new one gets the usual one.
  ASSERT_EQ(chmod(real.c_str(), 0600), 0);
  ASSERT_TRUE(Write(real, "again\n"));
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const mode_t old = umask(027);
  const bool written = Write(dir.file("b/fresh.cif"), "x\n");
  umask(old);
  ASSERT_TRUE(written);
  ASSERT_EQ(stat(dir.file("b/fresh.cif").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(OutputTarget, WhatIsNoRegularFileIsRefusedAndLeftAlone) {
  // A device node given as output was once replaced by a regular file.
  std::filesystem::create_directory(dir.file("folder"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir.file("fifo"), dir.file("link-to-fifo"));
  std::filesystem::create_symlink(dir.file("nothing"), dir.file("dangling"));
  std::vector<std::pair<std::string, std::string>> refused = {
      {dir.file("folder"), "is a folder"},
      {dir.file("fifo"), "is a FIFO, not a regular file"},
      {dir.file("link-to-fifo"), "is a FIFO, not a regular file"},
      {dir.file("dangling"), "is a link to a file that does not exist"},
  };
  // Root may make a device node of its own to try.
  if (mknod(dir.file("null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0)
    refused.push_back({dir.file("null"), "is a device, not a regular file"});
  for (const auto &r : refused) {
    std::string error;
    EXPECT_FALSE(Write(r.first, "x\n", &error)) << r.first;
    EXPECT_EQ(error, r.second) << r.first;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir.file("fifo")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("nothing")));
  if (refused.size() == 5) {
    EXPECT_TRUE(std::filesystem::is_character_file(dir.file("null")));
  }
  // Dropped uncommitted, nothing is left behind.
  {
    AtomicFile file(dir.file("dropped"));
    ASSERT_NE(file.get(), nullptr);
    std::fputs("half", file.get());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("dropped")));
  EXPECT_EQ(Entries(dir.path()), refused.size());
}

TEST(ModelFile, JobWithoutModels) {
  Job job;
  InitializeJob(&job);
  TempDir dir;
  ASSERT_EQ(WriteModelFile(dir.file("empty.tsm").c_str(), &job), 1);
  EXPECT_NE(ReadWholeFile(dir.file("empty.tsm")).find("0 models has been generated."),
            std::string::npos);
  CapturedMessages messages;
  EXPECT_EQ(WriteModelFile(dir.file("no/dir.tsm").c_str(), &job), 0);
  EXPECT_EQ(messages.text(), "writting model file, Can not create file '" +
                                 dir.file("no/dir.tsm") + "'! (No such file or directory)\n");
  FreeJob(&job);
}

}  // namespace
