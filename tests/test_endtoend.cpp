// The batch solver on every reference structure, clean and noisy data: the
// best-ranked model must be the true structure (up to the choices powder
// data cannot tell apart: origin, and axes the cell allows to exchange).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "kernel.h"
#include "testing.h"

namespace {

struct Site {
  double v[3];
  std::string symbol;
};

double Wrap(double a) { return a - std::floor(a); }

double tolerance = 2e-3;

bool Close(double a, double b) {
  double d = std::fabs(Wrap(a) - Wrap(b));
  return std::min(d, 1 - d) < tolerance;
}

std::vector<Site> WithoutHydrogen(const std::vector<Site> &sites) {
  std::vector<Site> out;
  for (const Site &s : sites)
    if (s.symbol != "H") out.push_back(s);
  return out;
}

// Every atom of the cell made from asymmetric-unit sites by the general
// position of the space group (centring included), duplicates dropped.
std::vector<Site> Expand(const SpaceGroup &sg, const std::vector<Site> &sites) {
  const Position &general = sg.positions.front();
  std::vector<Site> cell;
  for (const Site &s : sites)
    for (const Coordinate &c : general.fullCoordinates) {
      Site image{{0, 0, 0}, s.symbol};
      CoordMatrixMultiply(c.matrix, s.v[0], s.v[1], s.v[2], &image.v[0], &image.v[1],
                          &image.v[2]);
      bool seen = false;
      for (const Site &o : cell)
        seen = seen || (o.symbol == image.symbol && Close(o.v[0], image.v[0]) &&
                        Close(o.v[1], image.v[1]) && Close(o.v[2], image.v[2]));
      if (!seen) cell.push_back(image);
    }
  return cell;
}

// True when some signed permutation of the axes that keeps the cell's edge
// lengths, followed by a shift of the origin, maps one cell onto the other.
bool Equivalent(const std::vector<Site> &a, const std::vector<Site> &b, const double edges[3]) {
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
      Site first = map(a.front());
      for (const Site &target : b) {
        if (target.symbol != first.symbol) continue;
        double shift[3];
        for (int i = 0; i < 3; ++i) shift[i] = target.v[i] - first.v[i];
        bool all = true;
        for (const Site &s : a) {
          Site t = map(s);
          bool found = false;
          for (const Site &o : b)
            found = found || (o.symbol == t.symbol && Close(o.v[0], t.v[0] + shift[0]) &&
                              Close(o.v[1], t.v[1] + shift[1]) && Close(o.v[2], t.v[2] + shift[2]));
          if (!found) {
            all = false;
            break;
          }
        }
        if (all) return true;
      }
    }
  } while (std::next_permutation(perm, perm + 3));
  return false;
}

std::vector<Site> TruthSites(const ReferenceCase &reference) {
  std::vector<Site> sites;
  for (const ReferenceAtom &a : reference.atoms) sites.push_back({{a.x, a.y, a.z}, a.element});
  return sites;
}

std::vector<Site> CifSites(const std::string &cif) {
  std::vector<Site> sites;
  std::istringstream in(cif);
  std::string line;
  std::regex re("^[A-Za-z]+[0-9]+ ([A-Za-z]+) ([-0-9.]+) ([-0-9.]+) ([-0-9.]+) ");
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_search(line, m, re))
      sites.push_back({{std::stod(m[2]), std::stod(m[3]), std::stod(m[4])}, m[1]});
  return sites;
}

struct Summary {
  int model = 0;
  std::string epc;
  double rmin = 100;
};

std::vector<Summary> ReadSummary(const std::string &path) {
  std::vector<Summary> rows;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string rank, model, epc, free, rmin;
    std::getline(fields, rank, '\t');
    std::getline(fields, model, '\t');
    std::getline(fields, epc, '\t');
    std::getline(fields, free, '\t');
    std::getline(fields, rmin, '\t');
    rows.push_back({std::stoi(model), epc, std::stod(rmin)});
  }
  return rows;
}

// Standard output and error of a command that must end with the status given.
std::string RunCommand(const std::string &command, int expected = 0) {
  std::FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = pclose(pipe);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code != expected) ADD_FAILURE() << command << " exited with " << code << "\n" << out;
  return out;
}

TEST(EndToEnd, EveryReferenceStructureIsSolved) {
  for (const ReferenceCase &reference : ReferenceCases()) {
    const std::string &name = reference.name;
    for (const char *kind : {"clean", "noisy"}) {
      SCOPED_TRACE(name + " " + kind);
      TempDir work;
      // The same job reading the other peak file, from a folder of its own.
      std::string control = ReadWholeFile(reference.path(".epc"));
      ASSERT_FALSE(control.empty());
      const std::string peaks = reference.path(std::string("_") + kind + ".hkl");
      control = std::regex_replace(control, std::regex("PEAK_FILE\t\"[^\"]*\""),
                                   "PEAK_FILE\t\"" + peaks + "\"");
      std::string job = work.write(name + ".epc", control);
      RunCommand(std::string(PULVINA_SOLVE) + " -q --seed 7 -o " + work.file("out") + " " + job);
      std::vector<Summary> rows = ReadSummary(work.file("out/summary.tsv"));
      ASSERT_FALSE(rows.empty());
      EXPECT_EQ(static_cast<int>(rows.size()), reference.epcCount);
      const Summary &best = rows.front();
      const bool clean = std::string(kind) == "clean";
      if (clean) {
        EXPECT_LT(best.rmin, 0.05);
      } else {
        // On noisy data the solver must do at least as well as the truth.
        EXPECT_LE(best.rmin, reference.rTrueOnNoisy + 1e-6);
      }
      Config config;
      InitializeConfig(&config);
      ASSERT_EQ(ReadConfigFile(&config, job.c_str()), CONFIG_READ);
      SpaceGroup sg;
      ASSERT_EQ(SetSpaceGroup(&sg, config.sgNumber, config.sgSetting), 1);
      const double edges[3] = {config.cellA, config.cellB, config.cellC};
      std::string cif = ReadWholeFile(work.file("out/" + name + "_" + std::to_string(best.model) + ".cif"));
      // Clean data fix the coordinates to a few thousandths; noisy data
      // (5 % noise, a displacement the model lacks) to a few hundredths,
      // except hydrogen, which X-rays hardly see.
      tolerance = clean ? 2e-3 : 3e-2;
      std::vector<Site> found = Expand(sg, CifSites(cif));
      std::vector<Site> wanted = Expand(sg, TruthSites(reference));
      if (!clean) {
        found = WithoutHydrogen(found);
        wanted = WithoutHydrogen(wanted);
      }
      EXPECT_TRUE(Equivalent(found, wanted, edges))
          << "best model " << best.model << " " << best.epc << " R " << best.rmin;
      // The exact EPC of the reference is among the solved models.
      const std::string &epc = reference.epc;
      int rank = 0;
      for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].epc == epc) rank = static_cast<int>(i) + 1;
      EXPECT_GT(rank, 0) << epc;
      std::printf("%-16s %-6s best %-24s R %.6f  true EPC %-22s rank %d of %zu\n", name.c_str(),
                  kind, best.epc.c_str(), best.rmin, epc.c_str(), rank, rows.size());
    }
  }
}

TEST(EndToEnd, BadInputsFailCleanly) {
  TempDir work;
  const std::string solve = PULVINA_SOLVE;
  std::string errors;
  auto status = [&](const std::string &args) {
    const std::string log = work.file("stderr.txt");
    std::string command = solve + " -q -o " + work.file("out") + " " + args + " > /dev/null 2> " +
                          log;
    int s = std::system(command.c_str());
    errors = ReadWholeFile(log);
    return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  };
  EXPECT_EQ(status(work.file("missing.epc")), 1);
  EXPECT_EQ(status(work.write("bad.epc", "QUENDRALITE 2.0.0\nRADIATION\tx\n")), 1);
  const std::string control = ReadWholeFile(TestDataPath("nacl/nacl.epc"));
  ASSERT_FALSE(control.empty());
  EXPECT_EQ(status(work.write("nopeaks.epc", control)), 1);  // its peak file is not beside it
  EXPECT_EQ(status(work.write("sg.epc", std::regex_replace(control, std::regex("SG_NUMBER\t225"),
                                                          "SG_NUMBER\t999"))),
            1);
  EXPECT_EQ(status(work.write("none.epc", std::regex_replace(control, std::regex("FORMULAR_Z\t4"),
                                                            "FORMULAR_Z\t3"))),
            1);
  EXPECT_EQ(status("--stop-after nowhere x.epc"), 2);
  EXPECT_EQ(status("--seed"), 2);
  EXPECT_EQ(status("--best 0 x.epc"), 2);
  EXPECT_EQ(status("--help"), 0);
  // Nothing was written for any of them.
  EXPECT_FALSE(std::ifstream(work.file("out/summary.tsv")).good());
}

TEST(EndToEnd, DataFolderLookupAndMissingDataFiles) {
  // A folder with the space groups but without scattering factors: every
  // atom would scatter nothing, so the job must fail, naming the folder.
  TempDir data, work;
  std::filesystem::copy_file(PULVINA_SOURCE_DIR "/data/sgt.xml", data.file("sgt.xml"));
  const std::string job = work.write(
      "nacl.epc", std::regex_replace(ReadWholeFile(TestDataPath("nacl/nacl.epc")),
                                     std::regex("PEAK_FILE\t\"[^\"]*\""),
                                     "PEAK_FILE\t\"" + TestDataPath("nacl/nacl_noisy.hkl") + "\""));
  const std::string solve = std::string(PULVINA_SOLVE) + " -q -o " + work.file("out") + " ";
  const std::string note = "can not open file \"" + data.file("asft.dat") +
                           "\" (No such file or directory)\n  data folders searched: " +
                           data.path() + "\n";
  EXPECT_NE(RunCommand(solve + "--data " + data.path() + " " + job, 1).find(note),
            std::string::npos);
  EXPECT_NE(RunCommand("PULVINA_DATA=" + data.path() + " " + solve + job, 1).find(note),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(work.file("out/summary.tsv")));
  // --data wins over the environment.
  RunCommand("PULVINA_DATA=" + data.path() + " " + solve + "--stop-after setup --data " +
             PULVINA_SOURCE_DIR "/data " + job);
}

// A job of a reference case reading a peak file simulated from its true
// structure with a displacement factor.
struct DisplacedJob {
  TempDir work;
  ReferenceCase reference;
  std::string job;
  DisplacedJob(const std::string &name, double B, const std::string &extraKeys = "")
      : reference(LoadReferenceCase(name)) {
    std::string atoms;
    for (const Site &s : TruthSites(reference))
      atoms += s.symbol + " " + std::to_string(s.v[0]) + " " + std::to_string(s.v[1]) + " " +
               std::to_string(s.v[2]) + "\n";
    const std::string structure = work.write("atoms.txt", atoms);
    std::string control = std::regex_replace(ReadWholeFile(reference.path(".epc")),
                                             std::regex("PEAK_FILE\t\"[^\"]*\""),
                                             "PEAK_FILE\t\"sim.hkl\"" + extraKeys);
    job = work.write(name + ".epc", control);
    char value[32];
    std::snprintf(value, sizeof value, "%.2f", B);
    RunCommand(std::string(PULVINA_SIMULATE) + " --overall-b " + value + " -o " +
               work.file("sim.hkl") + " " + job + " " + structure);
  }
  // The solver's output; its files go to out/.
  std::string Solve(const std::string &options) {
    return RunCommand(std::string(PULVINA_SOLVE) + " --seed 7 " + options + " -o " +
                      work.file("out") + " " + job);
  }
  bool FoundTruth(double within) {
    std::vector<Summary> rows = ReadSummary(work.file("out/summary.tsv"));
    if (rows.empty()) return false;
    SpaceGroup sg;
    if (SetSpaceGroup(&sg, reference.sgNumber, reference.sgSetting) != 1) return false;
    Config config;
    InitializeConfig(&config);
    if (ReadConfigFile(&config, job.c_str()) != CONFIG_READ) return false;
    const double edges[3] = {config.cellA, config.cellB, config.cellC};
    tolerance = within;
    const std::string cif = ReadWholeFile(
        work.file("out/" + reference.name + "_" + std::to_string(rows.front().model) + ".cif"));
    return Equivalent(Expand(sg, CifSites(cif)), Expand(sg, TruthSites(reference)), edges);
  }
};

TEST(OverallB, EstimatedFromTheDataTheTrueStructureIsFound) {
  DisplacedJob rutile("tio2_rutile", 2.0);
  const std::string out = rutile.Solve("--overall-b auto");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      out, m,
      std::regex("overall B from a Wilson plot: ([0-9.]+) A\\^2 over ([0-9]+) reflections in "
                 "([0-9]+) shells")))
      << out;
  const double B = std::stod(m[1]);
  EXPECT_NEAR(B, 2.0, 0.3);
  EXPECT_EQ(std::stoi(m[2]), rutile.reference.reflections);
  EXPECT_TRUE(rutile.FoundTruth(2e-3)) << out;
  std::printf("rutile simulated with B = 2.00: estimated %.2f\n", B);
  // Each atom of the CIF carries the B the intensities were computed with.
  const std::vector<Summary> rows = ReadSummary(rutile.work.file("out/summary.tsv"));
  ASSERT_FALSE(rows.empty());
  const std::string cif = ReadWholeFile(
      rutile.work.file("out/tio2_rutile_" + std::to_string(rows.front().model) + ".cif"));
  std::istringstream lines(cif);
  int atoms = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream f(line);
    std::string label, type;
    double x, y, z, b, occupancy;
    if (line.empty() || !std::isdigit(static_cast<unsigned char>(line.back()))) continue;
    if (f >> label >> type >> x >> y >> z >> b >> occupancy && (type == "Ti" || type == "O")) {
      EXPECT_NEAR(b, B, 5e-3) << line;
      ++atoms;
    }
  }
  EXPECT_EQ(atoms, 2);
  // The control file's AUTO_OVERALL_B asks for the same, and the option
  // overrides it.
  DisplacedJob automatic("tio2_rutile", 2.0, "\nAUTO_OVERALL_B\t1");
  EXPECT_NE(automatic.Solve("--stop-after evaluate").find("overall B from a Wilson plot: " +
                                                          std::string(m[1])),
            std::string::npos);
  EXPECT_EQ(automatic.Solve("--stop-after evaluate --overall-b 0").find("Wilson"),
            std::string::npos);
  // The same data with the true B given.
  DisplacedJob given("tio2_rutile", 2.0);
  EXPECT_EQ(given.Solve("-q --overall-b 2").find("Wilson"), std::string::npos);
  EXPECT_TRUE(given.FoundTruth(2e-3));
}

TEST(OverallB, ZeroChangesNoByteOfAnyFile) {
  DisplacedJob plain("tio2_rutile", 0.0);
  DisplacedJob zero("tio2_rutile", 0.0, "\nOVERALL_B\t0.000000\nAUTO_OVERALL_B\t0");
  plain.Solve("-q --threads 1");
  zero.Solve("-q --threads 1");
  size_t files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(plain.work.file("out"))) {
    const std::string name = entry.path().filename().string();
    std::string a = ReadWholeFile(entry.path().string());
    std::string b = ReadWholeFile(zero.work.file("out/" + name));
    if (name == "summary.tsv") {
      // Every column but the time each model took.
      const std::regex seconds("\t[0-9]+\\.[0-9]{3}\t");
      a = std::regex_replace(a, seconds, "\t\t");
      b = std::regex_replace(b, seconds, "\t\t");
    }
    EXPECT_EQ(a, b) << name;
    ++files;
  }
  EXPECT_GE(files, 4u);
}

TEST(OverallB, OutOfRangeValuesAreRefused) {
  TempDir work;
  for (const char *bad : {"-1", "100.5", "x", "", "nan", "2,5"}) {
    SCOPED_TRACE(bad);
    RunCommand(std::string(PULVINA_SOLVE) + " --overall-b '" + bad + "' x.epc", 2);
    RunCommand(std::string(PULVINA_SIMULATE) + " --overall-b '" + bad + "' x.epc y.txt", 2);
  }
}

// Each class of nonsense once ran to the end with status 0; now the run
// stops before any work, names file, line, key and value, and exits 1.
TEST(EndToEnd, NonsenseStopsTheJobWithStatus1) {
  TempDir work;
  const std::string control = ReadWholeFile(TestDataPath("nacl/nacl.epc"));
  const std::string peaks = ReadWholeFile(TestDataPath("nacl/nacl_noisy.hkl"));
  work.write("nacl_noisy.hkl", peaks);
  struct Case {
    const char *name;
    const char *pattern, *replacement;  // in the control file
    const char *message;                // expected on standard error
  };
  // A title whose tail once became a key of its own.
  const std::string longTitle = "TITLE\t\"" + std::string(250, 'x') + " SG_NUMBER 229\"";
  const Case cases[] = {
      {"method", "OPTIMIZATION_METHOD\t1", "OPTIMIZATION_METHOD\t9",
       ":96: OPTIMIZATION_METHOD: '9' out of range"},
      {"cycles", "TRADI_SA_CYCLES\t2", "TRADI_SA_CYCLES\t-1",
       ": TRADI_SA_CYCLES: '-1' out of range"},
      {"formula", "FORMULAR\tNa1Cl1", "FORMULAR\tNa0Cl1", "'Na0' needs a count"},
      {"oxidation", "OXIDATION\tNa 1", "OXIDATION\tQq 1", ": OXIDATION: 'Qq 1' names no element"},
      {"radius", "OXIDATION\tNa 1", "OXIDATION\tNa 5", "no ionic radius is known for Na+5"},
      {"cell", "CELL_ALPHA\t90.000000\nCELL_BETA\t90.000000\nCELL_GAMMA\t90.000000",
       "CELL_ALPHA\t10\nCELL_BETA\t10\nCELL_GAMMA\t170", "admit no cell"},
      {"constraint", "; Combination\n", "; Combination\nCONSTRAINT\tO 2 a 0 1\n",
       ":73: CONSTRAINT: 'O 2 a 0 1': entry 2 of the formula Na1Cl1 is Cl, not O"},
      {"title", "TITLE\t\"nacl\"", longTitle.c_str(), ":7: a line of 272 characters"},
      {"peaks", "nacl_noisy.hkl", "zero.hkl", "every observed intensity in the range is 0"},
  };
  work.write("zero.hkl", "1 1 1 8 3.2563 27.37 0.1 0\n2 0 0 6 2.82 31.70 0.1 0\n");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const size_t at = control.find(c.pattern);
    ASSERT_NE(at, std::string::npos);
    std::string text = control;
    text.replace(at, std::string(c.pattern).size(), c.replacement);
    const std::string job = work.write(std::string(c.name) + ".epc", text);
    const std::string log = work.file("stderr.txt");
    int s = std::system((std::string(PULVINA_SOLVE) + " -q -o " + work.file("out") + " " + job +
                         " > /dev/null 2> " + log)
                            .c_str());
    EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 1) << s;
    const std::string errors = ReadWholeFile(log);
    EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
  }
  // A folder, a device and a FIFO as the control file.
  const std::string good = work.write("good.epc", control);
  ASSERT_EQ(mkfifo(work.file("fifo.epc").c_str(), 0600), 0);
  const std::pair<std::string, const char *> runs[] = {
      {work.path(), "is a folder"},
      {"/dev/zero", "is a device, not a regular file"},
      {work.file("fifo.epc"), "is a FIFO, not a regular file"},
  };
  for (const auto &r : runs) {
    const std::string log = work.file("stderr.txt");
    int s = std::system((std::string(PULVINA_SOLVE) + " -q -o " + work.file("out") + " " +
                         r.first + " > /dev/null 2> " + log)
                            .c_str());
    EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 1) << r.first;
    EXPECT_NE(ReadWholeFile(log).find(r.second), std::string::npos) << ReadWholeFile(log);
  }
  // Nothing was written for any of them.
  EXPECT_TRUE(!std::filesystem::exists(work.file("out")) ||
              std::filesystem::is_empty(work.file("out")));
  // The same job with good values runs.
  int s = std::system((std::string(PULVINA_SOLVE) + " -q --stop-after evaluate " + good +
                       " > /dev/null 2>&1").c_str());
  EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 0);
}

}  // namespace

namespace {

struct Peak {
  double d;
  int mult;
  double intensity;
};

std::vector<Peak> ReadPeaks(const std::string &text) {
  std::vector<Peak> peaks;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == ';') continue;
    std::istringstream f(line);
    int h, k, l;
    Peak p;
    double tt, fwhm;
    if (f >> h >> k >> l >> p.mult >> p.d >> tt >> fwhm >> p.intensity) peaks.push_back(p);
  }
  std::sort(peaks.begin(), peaks.end(), [](const Peak &a, const Peak &b) {
    return a.d != b.d ? a.d > b.d : a.intensity < b.intensity;
  });
  return peaks;
}

TEST(Simulate, ReproducesTheReferencePatterns) {
  // The reference files were computed by another program from the same
  // structures: reflection set, multiplicities and intensities must agree.
  for (const char *name : {"nacl", "tio2_rutile", "mgoh2_brucite", "zns_sphalerite"}) {
    SCOPED_TRACE(name);
    const ReferenceCase reference = LoadReferenceCase(name);
    TempDir work;
    std::string atoms;
    for (const Site &s : TruthSites(reference))
      atoms += s.symbol + " " + std::to_string(s.v[0]) + " " + std::to_string(s.v[1]) + " " +
               std::to_string(s.v[2]) + "\n";
    std::string structure = work.write("atoms.txt", atoms);
    std::string out = work.file("sim.hkl");
    RunCommand(std::string(PULVINA_SIMULATE) + " -o " + out + " " + reference.path(".epc") + " " +
               structure);
    std::vector<Peak> ours = ReadPeaks(ReadWholeFile(out));
    std::vector<Peak> theirs = ReadPeaks(ReadWholeFile(reference.path("_clean.hkl")));
    ASSERT_EQ(ours.size(), theirs.size());
    ASSERT_EQ(static_cast<int>(theirs.size()), reference.reflections);
    for (size_t i = 0; i < ours.size(); ++i) {
      EXPECT_NEAR(ours[i].d, theirs[i].d, 1.5e-6) << i;
      EXPECT_EQ(ours[i].mult, theirs[i].mult) << i;
      // Coordinates above are printed to six decimals; that moves the
      // weakest intensities in the fifth.
      EXPECT_NEAR(ours[i].intensity, theirs[i].intensity, 2e-4) << i;
    }
  }
  EXPECT_NE(std::system((std::string(PULVINA_SIMULATE) + " x.epc > /dev/null 2>&1").c_str()), 0);
}

TEST(Simulate, BadStructuresStopWithFileAndLine) {
  // Each once gave NaN intensities, negative scattering or atoms the cell
  // cannot hold, with status 0.
  TempDir work;
  const std::string job = TestDataPath("nacl/nacl.epc");
  const std::pair<const char *, const char *> cases[] = {
      {"Na 0 0 0 1e308\nCl 0.5 0.5 0.5\n",
       ":1: occupancy: '1e308' out of range: expected an occupancy above 0 and at most 1"},
      {"Na 0 0 0\nCl 0.5 0.5 0.5 -0.5\n",
       ":2: occupancy: '-0.5' out of range: expected an occupancy above 0 and at most 1"},
      {"Na 0 0 0 0\n", ":1: occupancy: '0' out of range"},
      {"# atoms\nNa 1e300 0 0\n",
       ":2: x: '1e300' out of range: expected a fractional coordinate from -100 to 100"},
      {"Na1 Na 0 0 -101 1.0 1.0\n", ":1: z: '-101' out of range"},
      {"Na 0 0 nan\n", ":1: 'Na 0 0 nan': expected SYMBOL X Y Z [OCCUPANCY]"},
      {"Na 0 0 0\nCl 0.5\0 0.5 0.5\n", ":2: binary data: not a structure file"},
      {"K 0 0 0\n", ":1: K is not in the formula Na1Cl1"},
  };
  int n = 0;
  for (const auto &c : cases) {
    const std::string name = "atoms" + std::to_string(++n) + ".txt";
    std::string text = c.first;
    if (n == 7) text = std::string("Na 0 0 0\nCl 0.5\0 0.5 0.5\n", 24);
    const std::string path = work.write(name, text);
    const std::string log = work.file("stderr.txt");
    int s = std::system((std::string(PULVINA_SIMULATE) + " " + job + " " + path + " > " +
                         work.file("out.hkl") + " 2> " + log)
                            .c_str());
    EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 1) << c.first;
    EXPECT_NE(ReadWholeFile(log).find(path + c.second), std::string::npos) << ReadWholeFile(log);
  }
  for (const char *notAFile : {"/dev/zero", "/"}) {
    int s = std::system((std::string(PULVINA_SIMULATE) + " " + job + " " + notAFile +
                         " > /dev/null 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 1) << notAFile;
  }
}

}  // namespace
