// SPDX-License-Identifier: BSD-3-Clause
// The extraction of intensities from a measured pattern: the peak shape, the
// fit of two measured patterns against fits made by another program and a
// right and a wrong structure on those fits, the intensities of a pattern
// simulated from a known structure, a stop, and the refusals of
// pulvina-extract.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "kernel.h"
#include "lebail.h"
#include "pattern.h"
#include "profilecheck.h"
#include "testing.h"

namespace {

// The peak is a density over 2theta: unit area, half its height at half the
// FWHM from the centre (when symmetric), and the asymmetry moves counts
// from one side to the other without changing the area much.
TEST(PeakShape, AreaWidthAndAsymmetry) {
  const struct {
    const char *name;
    PeakShape shape;
    double twoTheta;
    bool symmetric;
  } cases[] = {
      {"Gaussian", {0.01, -0.005, 0.004, 0, 0, {0, 0, 0, 0}}, 40, true},
      {"Lorentzian", {0, 0, 1e-12, 0.03, 0.02, {0, 0, 0, 0}}, 40, true},
      {"mixed at high angle", {0.009, -0.0045, 0.005, 0.036, 0.021, {0, 0, 0, 0}}, 130, true},
      {"asymmetric low angle",
       {0.2, -0.48, 0.41, 0, 0.009, {-0.66, -0.05, 0.11, -0.05}},
       25,
       false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const PeakAt at = ShapeAt(c.shape, c.twoTheta);
    ASSERT_GT(at.fwhm, 0);
    // Wide enough for the Lorentzian tails to hold less than 0.1 %.
    const double reach = 1000 * at.fwhm, step = at.fwhm / 200;
    double area = 0, low = 0;
    for (double dx = -reach; dx <= reach; dx += step) {
      area += PeakValue(at, dx) * step;
      if (dx < 0) low += PeakValue(at, dx) * step;
    }
    EXPECT_NEAR(area, 1.0, 2e-3);
    if (c.symmetric) {
      const double top = PeakValue(at, 0);
      EXPECT_NEAR(PeakValue(at, at.fwhm / 2) / top, 0.5, 0.005);
      EXPECT_NEAR(PeakValue(at, -at.fwhm / 2) / top, 0.5, 0.005);
    } else {
      // Negative P1 at low angle: more counts below the centre.
      EXPECT_GT(low, 0.52);
    }
  }
}

struct Reference {
  double Rwp = 0;
  std::vector<double> cell;
};

Reference LoadReference(const std::string &folder) {
  Reference r;
  const nlohmann::json fit =
      nlohmann::json::parse(
          ReadWholeFile(TestDataPath("patterns/" + folder + "/reference-fit.json")))
          .at("fit");
  r.Rwp = fit.at("Rwp").get<double>();
  for (const char *key : {"a", "b", "c", "alpha", "beta", "gamma"})
    r.cell.push_back(fit.at("cell").at(key).get<double>());
  return r;
}

bool LoadJob(const std::string &epc, Job *job) {
  InitializeJob(job);
  return ReadConfigFile(&job->config, epc.c_str()) == CONFIG_READ && SetupJob(job);
}

// The intensities of a structure as pulvina-simulate computes them, read
// back as the list a model's evaluation gives (intensity with LP).
bool StructureList(const TempDir &work, const std::string &job, const std::string &atoms, double B,
                   const Config &config, HKLList *list) {
  const std::string structure = work.write("structure.txt", atoms);
  RunExpecting(std::string(PULVINA_SIMULATE) + " --overall-b " + std::to_string(B) + " -o " +
               work.file("sim.hkl") + " " + job + " " + structure);
  InitializeHKLList(list);
  double start = config.startAngle, end = config.endAngle;
  if (ReadHKLList(list, work.file("sim.hkl").c_str(), PEAK_FILE_INTERNAL, &start, &end,
                  config.peakNWidth, 0) <= 0)
    return false;
  for (HKLItem &item : list->items) item.intensity = item.iObs;
  list->overallB = B;
  return true;
}

// Each pattern's structure, and a wrong one (sites exchanged, or an atom
// moved far); the right structure's Rwp on the profile at most this many
// times the fit's.
struct Structures {
  const char *right, *wrong;
  double most;
};
const std::map<std::string, Structures> kStructures = {
    {"garnet_yfeal_neutron_d1a",
     {"Y 0.125 0 0.25\nFe 0 0 0\nAl 0.375 0 0.25\nO -0.029366 0.053912 0.150731\n",
      "Y 0.125 0 0.25\nAl 0 0 0\nFe 0.375 0 0.25\nO 0.029366 0.053912 0.150731\n", 4.5}},
    {"beta_si3n4_xray_cu",
     {"Si 0.76859 0.175113 0.25\nN 0.029912 0.32946 0.25\nN 0.666667 0.333333 0.25\n",
      "Si 0.76859 0.175113 0.25\nN 0.229912 0.12946 0.25\nN 0.666667 0.333333 0.25\n", 2.0}},
};

// Measured data with fits made by another program: the fit must come as
// close to the data and find the same cell, from the cell of the job (the
// garnet's 0.1 % off), with nothing else given; and it stops when asked.
// On the fit's profile the right structure comes close to the fit, which
// no structure can beat by more than rounding; a wrong one leaves peaks in
// the difference.
class MeasuredFit : public testing::TestWithParam<const char *> {};

TEST_P(MeasuredFit, MatchesTheReferenceFitPutsTheRightStructureOnItAndStopsWhenAsked) {
  const Reference reference = LoadReference(GetParam());
  const std::string folder = TestDataPath(std::string("patterns/") + GetParam());
  Job job;
  ASSERT_TRUE(LoadJob(folder + "/job.epc", &job));
  MeasuredPattern pattern;
  std::string error;
  ASSERT_TRUE(ReadMeasuredPattern(folder + "/pattern.xye", &pattern, &error)) << error;
  LeBailResult result;
  int reports = 0;
  ASSERT_TRUE(ExtractIntensities(
      job, pattern, LeBailSettings(), [&reports](int, double) { ++reports; }, nullptr, &result,
      &error))
      << error;
  EXPECT_FALSE(result.stopped);
  EXPECT_GT(reports, 0);
  EXPECT_LT(result.Rwp, 1.15 * reference.Rwp);
  for (size_t i = 0; i < 6; ++i)
    EXPECT_NEAR(result.model.cell[i], reference.cell[i], 2e-4 * reference.cell[i]) << i;
  // As many reflections in range as the reference file lists.
  int inRange = 0, references = 0;
  for (const ExtractedReflection &e : result.reflections) inRange += e.inRange;
  std::istringstream lines(ReadWholeFile(folder + "/reference-peaks.hkl"));
  for (std::string line; std::getline(lines, line);) references += !line.empty() && line[0] != ';';
  EXPECT_EQ(inRange, references);
  const Structures &c = kStructures.at(GetParam());
  TempDir work;
  HKLList right, wrong;
  ASSERT_TRUE(StructureList(work, folder + "/job.epc", c.right, 0, job.config, &right));
  ASSERT_TRUE(StructureList(work, folder + "/job.epc", c.wrong, 0, job.config, &wrong));
  ProfileCheck good, bad;
  ASSERT_TRUE(CheckModelOnProfile(job.config, result, right, 0, &good, &error)) << error;
  ASSERT_TRUE(CheckModelOnProfile(job.config, result, wrong, 0, &bad, &error)) << error;
  EXPECT_EQ(good.leBailRwp, result.Rwp);
  EXPECT_GT(good.Rwp, 0.98 * result.Rwp);
  EXPECT_LT(good.Rwp, c.most * result.Rwp);
  EXPECT_GT(bad.Rwp, 2 * good.Rwp);
  EXPECT_GT(bad.Rp, 1.5 * good.Rp);
  // Atoms at rest give too much at high angle: the refined B says so.
  EXPECT_GT(good.overallB, 0.05);
  EXPECT_LT(good.overallB, 3);
  EXPECT_GE(good.matched, static_cast<int>(right.items.size()));
  // The curve is the one whose figures are given.
  ASSERT_EQ(good.fit.calculated.size(), result.x.size());
  double wr = 0, wy = 0;
  for (size_t i = 0; i < result.x.size(); ++i) {
    const double w = 1 / (result.sigma[i] * result.sigma[i]);
    wr += w * std::pow(result.observed[i] - good.fit.calculated[i], 2);
    wy += w * result.observed[i] * result.observed[i];
  }
  EXPECT_NEAR(std::sqrt(wr / wy), good.Rwp, 1e-9);
  // Nothing to put on: no points, or no reflection in common.
  HKLList elsewhere = right;
  for (HKLItem &item : elsewhere.items) {
    item.h += 100;
    item.d += 100;
  }
  EXPECT_FALSE(CheckModelOnProfile(job.config, result, elsewhere, 0, &bad, &error));
  EXPECT_FALSE(CheckModelOnProfile(job.config, LeBailResult(), right, 0, &bad, &error));
  // Asked to stop, the fit ends in the cycle it was asked in.
  std::atomic<bool> stop(false);
  int last = 0;
  ASSERT_TRUE(ExtractIntensities(
      job, pattern, LeBailSettings(),
      [&](int cycle, double) {
        last = cycle;
        if (cycle == 3) stop = true;
      },
      &stop, &result, &error));
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(last, 3);
  FreeJob(&job);
}

INSTANTIATE_TEST_SUITE_P(Patterns, MeasuredFit,
                         testing::Values("beta_si3n4_xray_cu", "garnet_yfeal_neutron_d1a"));

// The intensities of one file by h k l.
std::map<std::tuple<int, int, int>, double> PeakIntensities(const std::string &path) {
  std::map<std::tuple<int, int, int>, double> out;
  std::istringstream lines(ReadWholeFile(path));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == ';') continue;
    std::istringstream in(line);
    int h, k, l, m;
    double d, tt, w, I;
    if (in >> h >> k >> l >> m >> d >> tt >> w >> I) out[{h, k, l}] = I;
  }
  return out;
}

// A pattern without noise simulated from a known structure gives back the
// intensities it was made of, within the overlaps the solver groups anyway;
// the peak file written is one the solver reads, and the control file keeps
// every line but the cell's.
TEST(Extract, SimulatedPatternGivesItsIntensities) {
  TempDir work;
  const std::string example = std::string(PULVINA_SOURCE_DIR) + "/examples/cawo4_scheelite/";
  const std::string job = work.write("job.epc", ReadWholeFile(example + "cawo4.epc"));
  const std::string original = ReadWholeFile(job);
  RunExpecting(std::string(PULVINA_SIMULATE) + " --no-noise -o " + work.file("sim.hkl") +
               " --profile " + work.file("pattern.xye") + " " + job + " " + example +
               "solution.txt");
  const std::string output =
      RunExpecting(std::string(PULVINA_EXTRACT) + " -q -o " + work.file("out.hkl") + " --plot " +
                   work.file("fit.svg") + " " + job + " " + work.file("pattern.xye"));
  EXPECT_TRUE(Holds(output, "Rwp"));
  Job read;
  ASSERT_TRUE(LoadJob(job, &read));
  HKLList list;
  double start = read.config.startAngle, end = read.config.endAngle;
  ASSERT_GT(ReadHKLList(&list, work.file("out.hkl").c_str(), PEAK_FILE_INTERNAL, &start, &end,
                        read.config.peakNWidth, 0),
            0);
  const auto simulated = PeakIntensities(work.file("sim.hkl"));
  EXPECT_EQ(list.items.size(), simulated.size());
  for (HKLItem &item : list.items) {
    auto found = simulated.find({item.h, item.k, item.l});
    ASSERT_NE(found, simulated.end()) << item.h << " " << item.k << " " << item.l;
    item.iCalc = found->second;
  }
  EXPECT_LT(GroupBraggFactor(&list), 0.02);
  // The cell is that of the simulation, to the digits written.
  EXPECT_NEAR(read.config.cellA, 5.242880, 2e-5);
  EXPECT_NEAR(read.config.cellC, 11.373660, 5e-5);
  std::istringstream before(original), after(ReadWholeFile(job));
  std::string a, b;
  int changed = 0;
  while (std::getline(before, a) && std::getline(after, b))
    if (a != b) {
      EXPECT_EQ(a.rfind("CELL_", 0), 0u) << a;
      ++changed;
    }
  EXPECT_FALSE(std::getline(after, b)) << "lines added";
  EXPECT_LE(changed, 6);
  EXPECT_FALSE(ReadWholeFile(work.file("fit.svg")).empty());
  FreeJob(&read);
}

// What pulvina-extract refuses, with status and reason.
TEST(Extract, RefusesBadInput) {
  TempDir work;
  const std::string folder = TestDataPath("patterns/beta_si3n4_xray_cu");
  const std::string jobText = ReadWholeFile(folder + "/job.epc");
  std::string noCell;
  std::istringstream lines(jobText);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("CELL_", 0) != 0) noCell += line + "\n";
  const std::string job = work.write("job.epc", jobText);
  work.write("nocell.epc", noCell);
  // Enough points to be a pattern, so that the reason is the one sought.
  std::string high, decreasing;
  for (int i = 0; i < 60; ++i) {
    high += std::to_string(150 + 0.1 * i) + " 10 3\n";
    decreasing += std::to_string(20 + 0.1 * i) + " 10\n";
  }
  work.write("high.xye", high);
  work.write("decreasing.xye", decreasing + "19 10\n");
  work.write("words.xye", "# fine\n20 ten\n");
  const struct {
    std::string arguments, reason;
    int status;
  } cases[] = {
      {work.file("nocell.epc") + " " + folder + "/pattern.xye", "gives no cell", 1},
      {job + " " + work.file("high.xye"), "within the job's range", 1},
      {job + " " + work.file("decreasing.xye"), "2theta must increase", 1},
      {job + " " + work.file("words.xye"), "words.xye:2:", 1},
      {job + " " + work.file("missing.xye"), "missing.xye", 1},
      {job, "Usage", 2},
      {"--background 5 " + job + " x", "--background needs", 2},
      {"--window 2 " + job + " x", "--window needs", 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.arguments);
    const std::string output = RunExpecting(
        std::string(PULVINA_EXTRACT) + " -q -o " + work.file("out.hkl") + " " + c.arguments,
        c.status);
    EXPECT_TRUE(Holds(output, c.reason));
  }
  // Nothing refused touches the control file.
  EXPECT_EQ(ReadWholeFile(job), jobText);
}

}  // namespace
