// SPDX-License-Identifier: BSD-3-Clause
// The batch programs end to end: from every reference structure's clean and
// noisy data the solver must find a structure that gives the reference
// pattern another program computed (origin and axes the cell lets exchange,
// which powder data cannot tell, do not matter); the simulator must
// reproduce those patterns; bad jobs stop with their file, line and status.
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

// The atoms of a structure file for the simulator: SYMBOL X Y Z per line.
std::string StructureText(const ReferenceCase &reference) {
  std::string atoms;
  for (const ReferenceAtom &a : reference.atoms)
    atoms += a.element + " " + std::to_string(a.x) + " " + std::to_string(a.y) + " " +
             std::to_string(a.z) + "\n";
  return atoms;
}

// The reflections of a peak file: d, multiplicity and intensity, in order of
// falling d and rising intensity.
using Pattern = std::vector<std::array<double, 3>>;
Pattern ReadPeaks(const std::string &path) {
  Pattern peaks;
  std::istringstream in(ReadWholeFile(path));
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

// The pattern pulvina-simulate computes for a job from a structure file.
Pattern Simulated(const std::string &job, const std::string &structure) {
  TempDir work;
  RunExpecting(std::string(PULVINA_SIMULATE) + " -o " + work.file("sim.hkl") + " " + job + " " +
               work.write("atoms.txt", structure));
  return ReadPeaks(work.file("sim.hkl"));
}

// How far a pattern is from one of the same reflections: the summed
// differences of intensity over the summed intensities.
double Difference(const Pattern &a, const Pattern &b) {
  double diff = 0, sum = 0;
  for (size_t i = 0; i < a.size() && a.size() == b.size(); ++i)
    diff += std::fabs(a[i][2] - b[i][2]), sum += b[i][2];
  return sum > 0 ? diff / sum : 1e9;
}

// The rows of summary.tsv: model, EPC, free coordinates, Rmin, and the
// combinations the model stands for (the column named so in the header).
struct Summary {
  std::string model, epc;
  int free = -1;
  double rmin = 100;
  int equivalents = 0;
};
std::vector<Summary> ReadSummary(const std::string &out) {
  std::vector<Summary> rows;
  std::istringstream in(ReadWholeFile(out + "/summary.tsv"));
  std::string line, rank, field;
  std::getline(in, line);
  size_t column = 0, equivalents = std::string::npos;
  for (std::istringstream header(line); std::getline(header, field, '\t'); ++column)
    if (field == "equivalents") equivalents = column;
  EXPECT_NE(equivalents, std::string::npos) << line;
  for (Summary s; std::getline(in, line) && std::istringstream(line) >> rank >> s.model >> s.epc >>
                                                s.free >> s.rmin;) {
    std::istringstream fields(line);
    for (size_t c = 0; std::getline(fields, field, '\t'); ++c)
      if (c == equivalents) s.equivalents = std::stoi(field);
    rows.push_back(s);
  }
  return rows;
}

// The atom lines of the best model's CIF in out/, which the simulator reads
// as a structure file too, and their B.
std::string BestAtoms(const std::string &out, const std::string &name,
                      std::vector<double> *B = nullptr) {
  const std::vector<Summary> rows = ReadSummary(out);
  if (rows.empty()) return "";
  std::istringstream in(ReadWholeFile(out + "/" + name + "_" + rows.front().model + ".cif"));
  const std::regex re("^[A-Za-z]+[0-9]+ [A-Za-z]+ [-0-9.]+ [-0-9.]+ [-0-9.]+ ([-0-9.]+) ");
  std::string atoms;
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_search(line, m, re)) {
      atoms += line + "\n";
      if (B) B->push_back(std::stod(m[1]));
    }
  return atoms;
}

std::string WithPeakFile(const std::string &control, const std::string &peaks) {
  return std::regex_replace(control, std::regex("PEAK_FILE\t\"[^\"]*\""),
                            "PEAK_FILE\t\"" + peaks + "\"");
}

// The simulator reproduces each reference pattern, computed by another
// program from the same structure: reflection set, multiplicities and
// intensities; and the solver finds the structure from it.
TEST(EndToEnd, EveryReferencePatternIsSimulatedAndItsStructureSolved) {
  for (const ReferenceCase &reference : ReferenceCases()) {
    const Pattern truth = ReadPeaks(reference.path("_clean.hkl")),
                  ours = Simulated(reference.path(".epc"), StructureText(reference));
    ASSERT_EQ(ours.size(), truth.size()) << reference.name;
    ASSERT_EQ(static_cast<int>(truth.size()), reference.reflections) << reference.name;
    for (size_t i = 0; i < ours.size(); ++i) {
      EXPECT_NEAR(ours[i][0], truth[i][0], 1.5e-6) << reference.name << " " << i;
      EXPECT_EQ(ours[i][1], truth[i][1]) << reference.name << " " << i;
      // Coordinates above are printed to six decimals; that moves the
      // weakest intensities in the fifth.
      EXPECT_NEAR(ours[i][2], truth[i][2], 2e-4) << reference.name << " " << i;
    }
    for (const std::string kind : {"clean", "noisy"}) {
      SCOPED_TRACE(reference.name + " " + kind);
      TempDir work;
      // The same job reading the other peak file, from a folder of its own.
      const std::string job = work.write(
          reference.name + ".epc",
          WithPeakFile(ReadWholeFile(reference.path(".epc")), reference.path("_" + kind + ".hkl")));
      // The clean data with one model per class of equivalent combinations
      // and no pruning; the noisy data with every combination, pruned of
      // those that cannot keep the bond minima (the truth must survive it).
      const bool clean = kind == "clean";
      RunExpecting(std::string(PULVINA_SOLVE) + " -q --seed 7 -o " + work.file("out") +
                   (clean ? " --no-bond-pruning " : " --all-combinations ") + job);
      const std::vector<Summary> rows = ReadSummary(work.file("out"));
      // Without constraints every class is whole: the models stand for all
      // combinations together.
      int combinations = 0;
      for (const Summary &s : rows) combinations += s.equivalents;
      if (clean) {
        EXPECT_EQ(combinations, reference.epcCount);
        EXPECT_LE(static_cast<int>(rows.size()), reference.epcCount);
      } else {
        ASSERT_LE(static_cast<int>(rows.size()), reference.epcCount);
      }
      // On noisy data (5 % noise, a displacement the model lacks) the solver
      // must do at least as well as the truth. The best structure gives the
      // true pattern to a few thousandths from clean data; from noisy data
      // to a few hundredths (hydrogen, which X-rays hardly see, is the least
      // sure), where wrong structures are off by a half and more.
      const Summary &best = rows.front();
      EXPECT_LE(best.rmin, clean ? 0.05 : reference.rTrueOnNoisy + 1e-6);
      EXPECT_LE(Difference(Simulated(job, BestAtoms(work.file("out"), reference.name)), truth),
                clean ? 0.01 : 0.15)
          << "best model " << best.model << " " << best.epc << " R " << best.rmin;
      // With every combination, the exact EPC of the reference is among the
      // solved models, with its free coordinates.
      if (clean) continue;
      auto found = std::find_if(rows.begin(), rows.end(),
                                [&](const Summary &s) { return s.epc == reference.epc; });
      ASSERT_NE(found, rows.end()) << reference.epc;
      EXPECT_EQ(found->free, reference.freeCoordinates);
    }
  }
}

// Each class of nonsense once ran to the end with status 0, or hung (or
// gave NaN intensities, negative scattering or atoms the cell cannot hold);
// now the run stops before any work, names file, line, key and value, exits
// 1 and writes nothing.
TEST(EndToEnd, BadJobsAndStructuresStopWithStatus1AndWriteNothing) {
  TempDir work, data;
  const std::string control = ReadWholeFile(TestDataPath("nacl/nacl.epc"));
  ASSERT_FALSE(control.empty());
  work.write("nacl_noisy.hkl", ReadWholeFile(TestDataPath("nacl/nacl_noisy.hkl")));
  work.write("zero.hkl", "1 1 1 8 3.2563 27.37 0.1 0\n2 0 0 6 2.82 31.70 0.1 0\n");
  const struct {
    const char *name;
    std::string pattern, replacement;  // in the control file
    const char *message;               // expected on standard error
  } cases[] = {
      {"method", "OPTIMIZATION_METHOD\t1", "OPTIMIZATION_METHOD\t9",
       ":96: OPTIMIZATION_METHOD: '9' out of range"},
      {"radius", "OXIDATION\tNa 1", "OXIDATION\tNa 5", "no ionic radius is known for Na+5"},
      {"nomodels", "FORMULAR_Z\t4", "FORMULAR_Z\t3", ""},
      {"constraint", "; Combination\n", "; Combination\nCONSTRAINT\tO 2 a 0 1\n",
       ":73: CONSTRAINT: 'O 2 a 0 1': entry 2 of the formula Na1Cl1 is Cl, not O"},
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
  // The simulator's structure files.
  const std::string simulate = std::string(PULVINA_SIMULATE) + " " + good + " ";
  const std::pair<std::string, const char *> structures[] = {
      {"Na 0 0 0 1e308\n", ":1: occupancy: '1e308' out of range: expected an occupancy above 0"},
      {"Na 0 0 0 0\n", ":1: occupancy: '0' out of range"},
      {"Na1 Na 0 0 -101 1.0 1.0\n", ":1: z: '-101' out of range"},
      {"# atoms\nNa 1e300 0 0\n", ":2: x: '1e300' out of range: expected a fractional coordinate"},
      {"Na 0 0 nan\n", ":1: 'Na 0 0 nan': expected SYMBOL X Y Z [OCCUPANCY]"},
      {std::string("Na 0 0 0\nCl 0.5\0 0.5 0.5\n", 24), ":2: binary data: not a structure file"},
      {"K 0 0 0\n", ":1: K is not in the formula Na1Cl1"},
  };
  for (const auto &[text, message] : structures) {
    const std::string path = work.write("atoms" + std::to_string(runs.size()) + ".txt", text);
    runs.push_back({simulate + path, path + message});
  }
  for (const char *notAFile : {"/dev/zero", "/", "x.txt"}) runs.push_back({simulate + notAFile, ""});
  for (const auto &[command, message] : runs) EXPECT_TRUE(Holds(RunExpecting(command, 1), message));
  EXPECT_TRUE(!std::filesystem::exists(work.file("out")) ||
              std::filesystem::is_empty(work.file("out")));
  // The same job with good values runs, --data winning over the
  // environment; an example's set-up is shown; --help is no failure.
  RunExpecting("PULVINA_DATA=" + data.path() + " " + solve + "--stop-after evaluate --data " +
               PULVINA_SOURCE_DIR "/data " + good);
  EXPECT_TRUE(Holds(RunExpecting(solve + "--stop-after setup " PULVINA_SOURCE_DIR
                                 "/examples/batio3/batio3.epc"),
                    "Space group  no. 221"));
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
  // The true structure is found; the estimate only starts the refinement,
  // whose B each atom of the CIF carries, as does the summary.
  std::vector<double> Bs;
  const std::string atoms = BestAtoms(work.file("out"), "tio2_rutile", &Bs);
  EXPECT_LE(Difference(Simulated(job, atoms), ReadPeaks(rutile.path("_clean.hkl"))), 0.01);
  ASSERT_EQ(Bs.size(), 2u);
  for (double b : Bs) EXPECT_NEAR(b, 2.0, 0.3);
  std::istringstream summary(ReadWholeFile(work.file("out/summary.tsv")));
  std::string line;
  std::getline(summary, line);
  std::getline(summary, line);
  EXPECT_NEAR(std::stod(line.substr(line.rfind('\t') + 1)), Bs[0], 1e-4) << line;
  EXPECT_TRUE(Holds(out, "refined per model"));
  // Five reflections make no Wilson plot: a quiet run hides the warning but
  // says once which B it uses.
  std::istringstream all(ReadWholeFile(work.file("sim.hkl")));
  std::string few;
  for (int i = 0; i < 6 && std::getline(all, line); ++i) few += line + "\n";
  work.write("few.hkl", few);
  const std::string quiet = RunExpecting(
      solve + "-q " + work.write("few.epc", WithPeakFile(ReadWholeFile(job), "few.hkl")));
  EXPECT_FALSE(Holds(quiet, "too few"));
  const std::string said = "gives no overall B (run without -q for why); B = 0 A^2 is used";
  ASSERT_TRUE(Holds(quiet, said)) << quiet;
  EXPECT_EQ(quiet.find(said, quiet.find(said) + 1), std::string::npos);
}

TEST(Texture, RefinedRComesBackWithTheTrueModel) {
  // Plate-like textures along c (r = 0.8) simulated into two examples and
  // brucite, whose crystals are plates: the wurtzite's and brucite's models
  // are searched on grids, forsterite's annealed. A job that refines r from
  // 1 puts the true model (or its origin-shifted twin) first with r within
  // 0.05.
  const struct {
    const char *folder, *control;
    std::vector<std::string> truths;
    const char *reference;  // a reference case: the structure is its atoms
  } cases[] = {
      {"examples/zno_wurtzite/", "zno.epc", {"Zn(2b)+O(2b)"}, nullptr},
      {"examples/mg2sio4_forsterite/",
       "forsterite.epc",
       {"Mg(4c)+Mg(4a)+Si(4c)+O(8d)+O(4c)+O(4c)", "Mg(4c)+Mg(4b)+Si(4c)+O(8d)+O(4c)+O(4c)"},
       nullptr},
      {"tests/data/mgoh2_brucite/", "mgoh2_brucite.epc", {"Mg(1a)+O(2d)+H(2d)",
       "Mg(1b)+O(2d)+H(2d)"}, "mgoh2_brucite"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.folder);
    TempDir work;
    const std::string folder = std::string(PULVINA_SOURCE_DIR) + "/" + c.folder;
    const std::string structure =
        c.reference ? work.write("structure.txt", StructureText(LoadReferenceCase(c.reference)))
                    : folder + "solution.txt";
    std::string control = ReadWholeFile(folder + c.control);
    control = std::regex_replace(control, std::regex("TRADI_SA_MOVES\t[0-9]+"), "TRADI_SA_MOVES\t200");
    control = WithPeakFile(control, "textured.hkl") +
              "\nPREF_ORIENT_H\t0\nPREF_ORIENT_K\t0\nPREF_ORIENT_L\t1\n";
    const std::string simulation = work.write("sim.epc", control + "PREF_ORIENT_R\t0.8\n");
    RunExpecting(std::string(PULVINA_SIMULATE) + " -o " + work.file("textured.hkl") + " " +
                 simulation + " " + structure);
    const std::string job = work.write("job.epc", control + "REFINE_PREF_ORIENT\t1\n");
    const std::string out =
        RunExpecting(std::string(PULVINA_SOLVE) + " -q --seed 7 -o " + work.file("out") + " " + job);
    const std::vector<Summary> rows = ReadSummary(work.file("out"));
    ASSERT_FALSE(rows.empty()) << out;
    EXPECT_NE(std::find(c.truths.begin(), c.truths.end(), rows.front().epc), c.truths.end())
        << rows.front().epc;
    // r is the summary's last column.
    std::istringstream summary(ReadWholeFile(work.file("out/summary.tsv")));
    std::string line;
    std::getline(summary, line);
    EXPECT_EQ(line.substr(line.rfind('\t')), "\tr");
    std::getline(summary, line);
    EXPECT_NEAR(std::stod(line.substr(line.rfind('\t') + 1)), 0.8, 0.05) << line;
  }
}

}  // namespace
