// SPDX-License-Identifier: BSD-3-Clause
// The CIF and model files: their layout, the CIF read back by independent
// CIF software; and how every file is written: through a scratch file, into
// regular files only, with failures reported.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <regex>
#include <sstream>

#include "diffractometer.h"
#include "kernel.h"
#include "solving_testing.h"
#include "testing.h"

namespace {

// A site as tests/check_cif.py prints it: TYPE X Y Z, in [0, 1) to 1e-4.
std::string SiteText(const std::string &symbol, double x, double y, double z) {
  std::string text = symbol;
  for (double v : {x, y, z}) {
    const double w = std::round((v - std::floor(v)) * 1e4) / 1e4;
    char number[16];
    std::snprintf(number, sizeof number, " %.4f", w >= 1 ? 0.0 : w);
    text += number;
  }
  return text;
}

TEST(CifFile, IndependentReadersReadOurFiles) {
  const bool gemmi = RunCommand("/usr/bin/python3 -c 'import gemmi'") == 0,
             cod = RunCommand("cif_cod_check --version && cif_cell_contents --version") == 0;
  if (!gemmi && !cod) GTEST_SKIP() << "neither python3-gemmi nor cod-tools is installed";
  // Structures in primitive and centred groups, an origin choice, free
  // coordinates and a mixed site, with what their cells hold by hand.
  const struct {
    const char *formula;
    int z, sg, setting;
    double a, c;
    const char *epc;
    std::vector<double> values;
    const char *contents;
  } cases[] = {
      {"Na1Cl1", 4, 225, 1, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, "Cl4 Na4"},
      {"Ti1O2", 2, 136, 1, 4.5937, 2.9587, "Ti(2a)+O(4f)", {0.3049}, "O4 Ti2"},
      // Origin choice 2: software that took the setting-1 symbol built 32
      // silicon atoms out of these 8.
      {"Si1", 8, 227, 2, 5.431, 5.431, "Si(8a)", {}, "Si8"},
      {"(Fe0.5Mn0.5)1O1", 4, 225, 1, 4.3, 4.3, "Fe(4a)+Mn(4a)+O(4b)", {}, "Fe2 Mn2 O4"},
      {"Zn1S1", 4, 216, 1, 5.41, 5.41, "Zn(4a)+S(4c)", {}, "S4 Zn4"},
      // Body centring and free coordinates: Y2O3-like, Ia-3 with Y on 8b and 24d.
      {"Y2O3", 16, 206, 1, 10.6, 10.6, "Y(24d)+Y(8b)+O(48e)", {0.0323, 0.389, 0.152, 0.38},
       "O48 Y32"},
  };
  TempDir dir;
  std::string files, contents;
  std::map<std::string, std::set<std::string>> ours, theirs;
  for (const auto &c : cases) {
    SyntheticJob data(c.formula, c.z, c.sg, c.a, c.a, c.c, c.epc, {}, 1, c.setting);
    ASSERT_NE(data.truth, nullptr) << c.epc;
    for (size_t i = 0; i < c.values.size(); ++i) *data.truth->parameterList[i] = c.values[i];
    UpdateCrystalByModel(&data.job.crystal, data.truth, nullptr, 1);
    const std::string path = dir.file("structure" + std::to_string(ours.size()) + ".cif");
    ASSERT_EQ(WriteCIFFile(path.c_str(), &data.job.crystal, &data.job), 1);
    for (const Atom &a : data.job.crystal.cellAtoms)
      ours[path].insert(SiteText(a.element->symbol, a.x, a.y, a.z));
    files += " " + path;
    contents += std::string(c.contents) + "\n";
  }
  if (cod) {
    // Only the publication items a solution cannot know may be missing.
    std::istringstream lines(RunExpecting("cif_cod_check" + files));
    const std::regex fault("WARNING|ERROR"), allowed("_publ_|_journal_|WARNING\\(s\\) encountered");
    for (std::string line; std::getline(lines, line);)
      EXPECT_TRUE(!std::regex_search(line, fault) || std::regex_search(line, allowed)) << line;
    // With Z = 1 the tool prints what the cell holds: the formula times Z.
    EXPECT_EQ(RunExpecting("(cif_cell_contents -Z 1" + files + " 2>/dev/null)"), contents);
  }
  if (!gemmi) return;
  // The operators of every setting are those of the name written, and the
  // cells gemmi builds from the structures' sites are ours.
  int settings = 0;
  for (int number = 1; number <= 230; ++number)
    for (int setting = 1; setting <= 2; ++setting) {
      Job job;
      InitializeJob(&job);
      CapturedMessages quiet;  // missing second settings are reported
      if (!SetSpaceGroup(&job.crystal.spaceGroup, number, setting)) continue;
      ASSERT_EQ(ParseFormular("Fe1", &job.compound), 1);
      ++settings;
      const std::string path = dir.file(std::to_string(number) + "_" + std::to_string(setting) + ".cif");
      ASSERT_EQ(WriteCIFFile(path.c_str(), &job.crystal, &job), 1);
      files += " " + path;
    }
  EXPECT_EQ(settings, 274);
  std::istringstream lines(RunExpecting("/usr/bin/python3 " PULVINA_SOURCE_DIR "/tests/check_cif.py" + files));
  int ok = 0;
  for (std::string line, tag, path; std::getline(lines, line);) {
    std::istringstream in(line);
    in >> tag >> path;
    ok += tag == "ok";
    if (tag == "site") theirs[path].insert(line.substr(line.find(path) + path.size() + 1));
    EXPECT_TRUE(tag == "ok" || tag == "site") << line;
  }
  EXPECT_EQ(ok, 274 + static_cast<int>(ours.size()));
  EXPECT_EQ(theirs, ours);
}

TEST(Files, LayoutsAndTheFormulaSum) {
  TempDir dir;
  const std::string path = dir.file("file");
  SyntheticJob nacl{"Na1Cl1", 4, 225, 5.64, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, 1};
  UpdateCrystalByModel(&nacl.job.crystal, nacl.truth, nullptr, 1);
  ASSERT_EQ(WriteCIFFile(path.c_str(), &nacl.job.crystal, &nacl.job), 1);
  std::string text = ReadWholeFile(path);
  const std::string hashes(57, '#');
  EXPECT_EQ(text.substr(0, 4 * 58),
            hashes + "\n# This cif file is created by Pulvina                   #\n"
                     "# (kernel version 2.0.0)                                #\n" +
                hashes + "\n");
  for (const char *part :
       {"\ndata_Crystal\n# Chemical data\n_chemical_formula_sum\t'Cl Na'\n"
        "_cell_formula_units_Z\t4\n\n# Crystal data\n_symmetry_cell_setting\tCubic\n"
        "_symmetry_Int_Tables_number\t225\n_symmetry_space_group_name_H-M\t'F m -3 m'\n"
        "_symmetry_space_group_name_Hall\t'-F 4 2 3'\n"
        "\nloop_\n\t_symmetry_equiv_pos_as_xyz\n'x,y,z'\n'x,y+1/2,z+1/2'\n",
        "_cell_angle_gamma\t90.000000\n\n# Atomic coordinates and displacement "
        "parameters\nloop_\n\t_atom_site_label\n",
        "Na1 Na 0.000000 0.000000 0.000000 1.000000 1.000000\n"
        "Cl1 Cl 0.500000 0.500000 0.500000 1.000000 1.000000\n"})
    EXPECT_TRUE(Holds(text, part));
  // The model file.
  SyntheticJob rutile{"Ti1O2", 2, 136, 4.5937, 4.5937, 2.9587, "Ti(2a)+O(4f)", {0.3049}, 1};
  ASSERT_EQ(WriteModelFile(path.c_str(), &rutile.job), 1);
  text = ReadWholeFile(path);
  EXPECT_EQ(text.rfind("Pulvina (kernel version 2.0.0)\n\nFormula: Ti1O2\nZ : 2\n"
                       "Cell Parameters: 4.593700 4.593700 2.958700 90.000000 90.000000 "
                       "90.000000\nSG Number: 136\nHermann-Mauguin symbol: P42/mnm\n"
                       "Multiplicity\tWyckoff\tCoordinates\n",
                       0),
            0u);
  for (const char *part :
       {"10 models has been generated.\n\nModel Statistic Information: \n"
        "Minimum parameter count : 0\nMaximum parameter count : 1\n",
        // Each newly met count goes in front: 1 came first, so 0 is listed first.
        "0\t4\t40.000%\n1\t6\t60.000%\n------------------------------\nTotal\t10\t100%\n\n",
        "Parameter Count: 1\nParameters:  P1 \n", "Parameter Count: 0\nParameters: <null>\n",
        "\tO\t0\t4f\t-1.000(P1)\t0.000(const0)\t0.000(const0)\n",
        // Rutile's ten combinations fall into classes of 4, 2, 2 and 2.
        "EPC: Ti(2a)+O(4f)\nEquivalent combinations: 4\n\n"})
    EXPECT_TRUE(Holds(text, part));
  // A job without models has no smallest count to report.
  Job empty;
  InitializeJob(&empty);
  ASSERT_EQ(WriteModelFile(path.c_str(), &empty), 1);
  EXPECT_TRUE(Holds(ReadWholeFile(path), "0 models has been generated.\n\nModel Statistic "
                                         "Information: \nMinimum parameter count : 0\nMaximum "
                                         "parameter count : 0\n"));
  // The CIF's formula sum: symbols with their counts per formula unit, 1
  // left out, in Hill's order: carbon, hydrogen, then the rest
  // alphabetically; without carbon all alphabetically.
  for (auto [formula, sum] : {std::pair{"Ba1S1O4", "Ba O4 S"}, {"C2H6O1", "C2 H6 O"},
                              {"H2O1", "H2 O"}, {"Ca1C1O3", "C Ca O3"},
                              {"(Fe0.5Mn0.5)2O3", "Fe Mn O3"}, {"(Fe0.25Mn0.5)4O3", "Fe Mn2 O3"},
                              {"Fe1(Fe0.5Mn0.5)2", "Fe2 Mn"}, {"(Na0.3K0.6)1Cl1", "Cl K0.6 Na0.3"}}) {
    Compound compound;
    ASSERT_EQ(ParseFormular(formula, &compound), 1) << formula;
    EXPECT_EQ(FormulaSum(compound), sum) << formula;
  }
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
    return std::distance(std::filesystem::directory_iterator(folder), {});
  }
  mode_t Mode(const std::string &path) const {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
};

TEST_F(OutputTarget, ThroughAScratchFileIntoRegularFilesOnlyAndEveryWriterReportsWhatItCannot) {
  // The scratch file once had the fixed name PATH.tmp and was opened
  // through whatever lay there, so a link under that name overwrote its
  // target.
  const std::string elsewhere = dir.write("elsewhere", "precious\n");
  std::filesystem::create_directory(dir.file("out"));
  std::filesystem::create_symlink(elsewhere, dir.file("out/nacl_1.cif.tmp"));
  ASSERT_TRUE(Write(dir.file("out/nacl_1.cif"), "new\n"));
  EXPECT_EQ(ReadWholeFile(elsewhere) + ReadWholeFile(dir.file("out/nacl_1.cif")), "precious\nnew\n");
  EXPECT_EQ(Entries(dir.file("out")), 2u);  // the file and the planted link
  // A link is written through and kept, with its target's mode; the scratch
  // file lived beside the target and is gone; a new file gets the usual mode.
  const std::string real = dir.write("real.cif", "old\n");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  std::filesystem::create_symlink("../real.cif", dir.file("out/link.cif"));  // relative
  ASSERT_TRUE(Write(dir.file("out/link.cif"), "new\n"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("out/link.cif")));
  EXPECT_EQ(ReadWholeFile(real), "new\n");
  EXPECT_EQ(Mode(real), 0640u);
  EXPECT_EQ(Entries(dir.file("out")), 3u);
  const mode_t old = umask(027);
  const bool written = Write(dir.file("fresh.cif"), "x\n");
  umask(old);
  ASSERT_TRUE(written);
  EXPECT_EQ(Mode(dir.file("fresh.cif")), 0640u);
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
  const size_t entries = Entries(dir.path());
  for (const auto &[path, why] : refused) {
    std::string error;
    EXPECT_FALSE(Write(path, "x\n", &error)) << path;
    EXPECT_EQ(error, why) << path;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir.file("fifo")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("nothing")));
  // Dropped uncommitted, nothing is left behind.
  {
    AtomicFile file(dir.file("dropped"));
    ASSERT_NE(file.get(), nullptr);
    std::fputs("half", file.get());
  }
  EXPECT_EQ(Entries(dir.path()), entries);
  // Every writer reports a target it cannot create: a failure, not a
  // success.
  SyntheticJob data{"Na1Cl1", 4, 225, 5.64, 5.64, 5.64, "Na(4a)+Cl(4b)", {}, 1};
  for (auto [path, why] : {std::pair{dir.file("no/such/folder"), "No such file or directory"},
                           {dir.file("folder"), "is a folder"}}) {
    CapturedMessages messages;
    EXPECT_EQ(WriteCIFFile(path.c_str(), &data.job.crystal, &data.job), 0);
    EXPECT_EQ(WriteModelFile(path.c_str(), &data.job), 0);
    EXPECT_EQ(WriteHKLListFile(path.c_str(), &data.job.hklList), 0);
    const std::string tail = "cannot create file '" + path + "'! (" + why + ")\n";
    EXPECT_EQ(messages.text(), "writing cif file, " + tail + "writing model file, " + tail +
                                   "writing hkl list file, " + tail);
  }
}

}  // namespace
