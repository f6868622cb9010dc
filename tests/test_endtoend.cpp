// The batch programs end to end: the solver on every reference structure,
// clean and noisy data, must rank the true structure first (up to the
// choices powder data cannot tell apart: origin, and axes the cell allows to
// exchange); the simulator must reproduce the reference patterns; and bad
// jobs stop with their file, line and status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>

#include "kernel.h"
#include "testing.h"

namespace {

struct Site {
  double v[3];
  std::string symbol;
};

bool Contains(const std::vector<Site> &sites, const Site &s, double tolerance,
              const double shift[3] = nullptr) {
  for (const Site &o : sites) {
    bool same = o.symbol == s.symbol;
    for (int i = 0; i < 3 && same; ++i)
      same = SameModOne(s.v[i] + (shift ? shift[i] : 0), o.v[i], tolerance);
    if (same) return true;
  }
  return false;
}

// Every atom of the cell made from asymmetric-unit sites by the general
// position of the space group (centring included), duplicates dropped.
std::vector<Site> Expand(const SpaceGroup &sg, const std::vector<Site> &sites, double tolerance,
                         bool hydrogen) {
  std::vector<Site> cell;
  for (const Site &s : sites)
    for (const Coordinate &c : sg.positions.front().fullCoordinates) {
      Site image{{0, 0, 0}, s.symbol};
      CoordMatrixMultiply(c.matrix, s.v[0], s.v[1], s.v[2], &image.v[0], &image.v[1],
                          &image.v[2]);
      if ((hydrogen || s.symbol != "H") && !Contains(cell, image, tolerance)) cell.push_back(image);
    }
  return cell;
}

// True when the found sites make the reference's cell within a tolerance,
// after some signed permutation of the axes that keeps the cell's edge
// lengths and a shift of the origin; hydrogen left out when asked.
bool SameStructure(const ReferenceCase &reference, const std::vector<Site> &found, double tolerance,
                   bool hydrogen = true) {
  SpaceGroup sg;
  Config config;
  InitializeConfig(&config);
  if (SetSpaceGroup(&sg, reference.sgNumber, reference.sgSetting) != 1 ||
      ReadConfigFile(&config, reference.path(".epc").c_str()) != CONFIG_READ)
    return false;
  const double edges[3] = {config.cellA, config.cellB, config.cellC};
  std::vector<Site> truth;
  for (const ReferenceAtom &a : reference.atoms) truth.push_back({{a.x, a.y, a.z}, a.element});
  const std::vector<Site> a = Expand(sg, found, tolerance, hydrogen),
                          b = Expand(sg, truth, tolerance, hydrogen);
  if (a.size() != b.size() || a.empty()) return false;
  int perm[3] = {0, 1, 2};
  do {
    if (std::fabs(edges[perm[0]] - edges[0]) > 1e-6 || std::fabs(edges[perm[1]] - edges[1]) > 1e-6)
      continue;
    for (int signs = 0; signs < 8; ++signs) {
      auto map = [&](const Site &s) {
        Site t{{0, 0, 0}, s.symbol};
        for (int i = 0; i < 3; ++i) t.v[i] = ((signs >> i) & 1 ? -1 : 1) * s.v[perm[i]];
        return t;
      };
      const Site first = map(a.front());
      for (const Site &target : b) {
        if (target.symbol != first.symbol) continue;
        const double shift[3] = {target.v[0] - first.v[0], target.v[1] - first.v[1],
                                 target.v[2] - first.v[2]};
        bool all = true;
        for (const Site &s : a) all = all && Contains(b, map(s), tolerance, shift);
        if (all) return true;
      }
    }
  } while (std::next_permutation(perm, perm + 3));
  return false;
}

// The atoms of a structure file for the simulator: SYMBOL X Y Z per line.
std::string StructureText(const ReferenceCase &reference) {
  std::string atoms;
  for (const ReferenceAtom &a : reference.atoms)
    atoms += a.element + " " + std::to_string(a.x) + " " + std::to_string(a.y) + " " +
             std::to_string(a.z) + "\n";
  return atoms;
}

// The rows of summary.tsv: model, EPC, free coordinates, Rmin.
struct Summary {
  std::string model, epc;
  int free = -1;
  double rmin = 100;
};
std::vector<Summary> ReadSummary(const std::string &out) {
  std::vector<Summary> rows;
  std::istringstream in(ReadWholeFile(out + "/summary.tsv"));
  std::string line, rank, free, rmin;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Summary s;
    for (std::string *f : {&rank, &s.model, &s.epc, &free, &rmin}) std::getline(fields, *f, '\t');
    s.free = std::stoi(free);
    s.rmin = std::stod(rmin);
    rows.push_back(s);
  }
  return rows;
}

// The sites of the best model's CIF in out/, and their B.
std::vector<Site> BestSites(const std::string &out, const std::string &name,
                            std::vector<double> *B = nullptr) {
  const std::vector<Summary> rows = ReadSummary(out);
  if (rows.empty()) return {};
  std::istringstream in(ReadWholeFile(out + "/" + name + "_" + rows.front().model + ".cif"));
  const std::regex re("^[A-Za-z]+[0-9]+ ([A-Za-z]+) ([-0-9.]+) ([-0-9.]+) ([-0-9.]+) ([-0-9.]+) ");
  std::vector<Site> sites;
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_search(line, m, re)) {
      sites.push_back({{std::stod(m[2]), std::stod(m[3]), std::stod(m[4])}, m[1]});
      if (B) B->push_back(std::stod(m[5]));
    }
  return sites;
}

std::string WithPeakFile(const std::string &control, const std::string &peaks) {
  return std::regex_replace(control, std::regex("PEAK_FILE\t\"[^\"]*\""),
                            "PEAK_FILE\t\"" + peaks + "\"");
}

TEST(EndToEnd, EveryReferenceStructureIsSolved) {
  for (const ReferenceCase &reference : ReferenceCases()) {
    for (const std::string kind : {"clean", "noisy"}) {
      SCOPED_TRACE(reference.name + " " + kind);
      TempDir work;
      // The same job reading the other peak file, from a folder of its own.
      const std::string job = work.write(
          reference.name + ".epc",
          WithPeakFile(ReadWholeFile(reference.path(".epc")), reference.path("_" + kind + ".hkl")));
      RunExpecting(std::string(PULVINA_SOLVE) + " -q --seed 7 -o " + work.file("out") + " " + job);
      const std::vector<Summary> rows = ReadSummary(work.file("out"));
      ASSERT_EQ(static_cast<int>(rows.size()), reference.epcCount);
      // Clean data fix the coordinates to a few thousandths; noisy data
      // (5 % noise, a displacement the model lacks) to a few hundredths,
      // except hydrogen, which X-rays hardly see. On noisy data the solver
      // must do at least as well as the truth.
      const bool clean = kind == "clean";
      const Summary &best = rows.front();
      EXPECT_LE(best.rmin, clean ? 0.05 : reference.rTrueOnNoisy + 1e-6);
      EXPECT_TRUE(SameStructure(reference, BestSites(work.file("out"), reference.name),
                                clean ? 2e-3 : 3e-2, clean))
          << "best model " << best.model << " " << best.epc << " R " << best.rmin;
      // The exact EPC of the reference is among the solved models, with its
      // free coordinates.
      auto truth = std::find_if(rows.begin(), rows.end(),
                                [&](const Summary &s) { return s.epc == reference.epc; });
      ASSERT_NE(truth, rows.end()) << reference.epc;
      EXPECT_EQ(truth->free, reference.freeCoordinates);
    }
  }
}

// Each class of nonsense once ran to the end with status 0, or hung; now
// the run stops before any work, names file, line, key and value, exits 1
// and writes nothing.
TEST(EndToEnd, BadJobsStopWithStatus1AndWriteNothing) {
  TempDir work, data;
  const std::string control = ReadWholeFile(TestDataPath("nacl/nacl.epc"));
  ASSERT_FALSE(control.empty());
  work.write("nacl_noisy.hkl", ReadWholeFile(TestDataPath("nacl/nacl_noisy.hkl")));
  work.write("zero.hkl", "1 1 1 8 3.2563 27.37 0.1 0\n2 0 0 6 2.82 31.70 0.1 0\n");
  // A title whose tail once became a key of its own.
  const std::string longTitle = "TITLE\t\"" + std::string(250, 'x') + " SG_NUMBER 229\"";
  const struct {
    const char *name;
    std::string pattern, replacement;  // in the control file
    const char *message;               // expected on standard error
  } cases[] = {
      {"method", "OPTIMIZATION_METHOD\t1", "OPTIMIZATION_METHOD\t9",
       ":96: OPTIMIZATION_METHOD: '9' out of range"},
      {"formula", "FORMULAR\tNa1Cl1", "FORMULAR\tNa0Cl1", "'Na0' needs a count"},
      {"radius", "OXIDATION\tNa 1", "OXIDATION\tNa 5", "no ionic radius is known for Na+5"},
      {"nomodels", "FORMULAR_Z\t4", "FORMULAR_Z\t3", ""},
      {"constraint", "; Combination\n", "; Combination\nCONSTRAINT\tO 2 a 0 1\n",
       ":73: CONSTRAINT: 'O 2 a 0 1': entry 2 of the formula Na1Cl1 is Cl, not O"},
      {"title", "TITLE\t\"nacl\"", longTitle, ":7: a line of 272 characters"},
      {"peaks", "nacl_noisy.hkl", "zero.hkl", "every observed intensity in the range is 0"},
      {"nopeaks", "nacl_noisy.hkl", "elsewhere.hkl", "elsewhere.hkl"},
  };
  const std::string solve = std::string(PULVINA_SOLVE) + " -q -o " + work.file("out") + " ";
  ASSERT_EQ(mkfifo(work.file("fifo.epc").c_str(), 0600), 0);
  // A data folder with the space groups but without scattering factors:
  // every atom would scatter nothing, so the job must fail, naming the
  // folder, whether given with --data or in the environment.
  std::filesystem::copy_file(PULVINA_SOURCE_DIR "/data/sgt.xml", data.file("sgt.xml"));
  const std::string good = work.write("good.epc", control);
  const std::string noData = "can not open file \"" + data.file("asft.dat") +
                             "\" (No such file or directory)\n  data folders searched: " +
                             data.path() + "\n";
  std::vector<std::pair<std::string, std::string>> runs = {
      {solve + work.file("missing.epc"), "missing.epc"},
      {solve + work.path(), "is a folder"},
      {solve + "/dev/zero", "is a device, not a regular file"},
      {solve + work.file("fifo.epc"), "is a FIFO, not a regular file"},
      {solve + "--data " + data.path() + " " + good, noData},
      {"PULVINA_DATA=" + data.path() + " " + solve + good, noData},
  };
  for (const auto &c : cases) {
    const size_t at = control.find(c.pattern);
    ASSERT_NE(at, std::string::npos) << c.name;
    std::string text = control;
    text.replace(at, c.pattern.size(), c.replacement);
    runs.push_back({solve + work.write(std::string(c.name) + ".epc", text), c.message});
  }
  for (const auto &[command, message] : runs) {
    SCOPED_TRACE(command);
    EXPECT_NE(RunExpecting(command, 1).find(message), std::string::npos);
  }
  EXPECT_TRUE(!std::filesystem::exists(work.file("out")) ||
              std::filesystem::is_empty(work.file("out")));
  // The same job with good values runs, --data winning over the
  // environment; --help is no failure.
  RunExpecting("PULVINA_DATA=" + data.path() + " " + solve + "--stop-after evaluate --data " +
         PULVINA_SOURCE_DIR "/data " + good);
  RunExpecting(std::string(PULVINA_SOLVE) + " --help");
}

TEST(OverallB, EstimatedFromTheDataTheTrueStructureIsFound) {
  // Rutile's pattern simulated with B = 2, read by its job.
  TempDir work;
  const ReferenceCase rutile = LoadReferenceCase("tio2_rutile");
  const std::string job = work.write(
      "rutile.epc", WithPeakFile(ReadWholeFile(rutile.path(".epc")), "sim.hkl") + "\nAUTO_OVERALL_B\t1\n");
  RunExpecting(std::string(PULVINA_SIMULATE) + " --overall-b 2 -o " + work.file("sim.hkl") + " " +
               job + " " + work.write("atoms.txt", StructureText(rutile)));
  // The control file's AUTO_OVERALL_B asks for the estimate; --overall-b 0
  // overrides it.
  const std::string solve = std::string(PULVINA_SOLVE) + " --seed 7 -o " + work.file("out") + " ";
  EXPECT_FALSE(Holds(RunExpecting(solve + "--stop-after evaluate --overall-b 0 " + job), "Wilson"));
  const std::string out = RunExpecting(solve + job);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      out, m,
      std::regex("overall B from a Wilson plot: ([0-9.]+) A\\^2 over ([0-9]+) reflections in "
                 "([0-9]+) shells")))
      << out;
  const double B = std::stod(m[1]);
  EXPECT_NEAR(B, 2.0, 0.3);
  EXPECT_EQ(std::stoi(m[2]), rutile.reflections);
  std::vector<double> Bs;
  EXPECT_TRUE(SameStructure(rutile, BestSites(work.file("out"), "tio2_rutile", &Bs), 2e-3)) << out;
  // Each atom of the CIF carries the B the intensities were computed with.
  ASSERT_EQ(Bs.size(), 2u);
  for (double b : Bs) EXPECT_NEAR(b, B, 5e-3);
}

// The reflections of a peak file: d, multiplicity and intensity, in order of
// falling d and rising intensity.
std::vector<std::array<double, 3>> ReadPeaks(const std::string &text) {
  std::vector<std::array<double, 3>> peaks;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    int h, k, l, mult;
    double d, tt, fwhm, intensity;
    if (line[0] != ';' && f >> h >> k >> l >> mult >> d >> tt >> fwhm >> intensity)
      peaks.push_back({-d, double(mult), intensity});
  }
  std::sort(peaks.begin(), peaks.end());
  return peaks;
}

TEST(Simulate, ReproducesTheReferencePatterns) {
  // The reference files were computed by another program from the same
  // structures: reflection set, multiplicities and intensities must agree.
  for (const ReferenceCase &reference : ReferenceCases()) {
    SCOPED_TRACE(reference.name);
    TempDir work;
    const std::string out = work.file("sim.hkl");
    RunExpecting(std::string(PULVINA_SIMULATE) + " -o " + out + " " + reference.path(".epc") + " " +
           work.write("atoms.txt", StructureText(reference)));
    const auto ours = ReadPeaks(ReadWholeFile(out)),
               theirs = ReadPeaks(ReadWholeFile(reference.path("_clean.hkl")));
    ASSERT_EQ(ours.size(), theirs.size());
    ASSERT_EQ(static_cast<int>(theirs.size()), reference.reflections);
    for (size_t i = 0; i < ours.size(); ++i) {
      EXPECT_NEAR(ours[i][0], theirs[i][0], 1.5e-6) << i;
      EXPECT_EQ(ours[i][1], theirs[i][1]) << i;
      // Coordinates above are printed to six decimals; that moves the
      // weakest intensities in the fifth.
      EXPECT_NEAR(ours[i][2], theirs[i][2], 2e-4) << i;
    }
  }
}

TEST(Simulate, BadStructuresStopWithFileAndLine) {
  // Each once gave NaN intensities, negative scattering or atoms the cell
  // cannot hold, with status 0; a device or a folder was read for ever.
  TempDir work;
  const std::string simulate = std::string(PULVINA_SIMULATE) + " " + TestDataPath("nacl/nacl.epc");
  const std::pair<std::string, const char *> cases[] = {
      {"Na 0 0 0 1e308\nCl 0.5 0.5 0.5\n",
       ":1: occupancy: '1e308' out of range: expected an occupancy above 0 and at most 1"},
      {"Na 0 0 0 0\n", ":1: occupancy: '0' out of range"},
      {"Na1 Na 0 0 -101 1.0 1.0\n", ":1: z: '-101' out of range"},
      {"# atoms\nNa 1e300 0 0\n",
       ":2: x: '1e300' out of range: expected a fractional coordinate from -100 to 100"},
      {"Na 0 0 nan\n", ":1: 'Na 0 0 nan': expected SYMBOL X Y Z [OCCUPANCY]"},
      {std::string("Na 0 0 0\nCl 0.5\0 0.5 0.5\n", 24), ":2: binary data: not a structure file"},
      {"K 0 0 0\n", ":1: K is not in the formula Na1Cl1"},
  };
  int n = 0;
  for (const auto &c : cases) {
    const std::string path = work.write("atoms" + std::to_string(++n) + ".txt", c.first);
    EXPECT_NE(RunExpecting(simulate + " " + path, 1).find(path + c.second), std::string::npos);
  }
  for (const char *notAFile : {"/dev/zero", "/", "x.epc"})
    RunExpecting(simulate + " " + notAFile + " > /dev/null", 1);
}

}  // namespace
