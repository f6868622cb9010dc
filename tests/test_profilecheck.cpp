// SPDX-License-Identifier: BSD-3-Clause
// A solved model on the whole measured profile: the right structure fits
// the measured pattern nearly as well as the Le Bail fit and a wrong one
// clearly worse; and from the measured pattern to the structure through the
// programs: the extracted peak file solves it, and --pattern reports the
// profile's figures and draws the fit.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kernel.h"
#include "lebail.h"
#include "pattern.h"
#include "profilecheck.h"
#include "testing.h"

namespace {

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

// The right structure comes close to the Le Bail fit, which no structure
// can beat by more than rounding; a wrong one (sites exchanged, or an atom
// moved far) leaves peaks in the difference.
TEST(ProfileCheck, RightStructureFitsAndWrongOneDoesNot) {
  const struct {
    const char *folder, *right, *wrong;
    double most;  // the right structure's Rwp at most this many times the Le Bail one
  } cases[] = {
      {"garnet_yfeal_neutron_d1a",
       "Y 0.125 0 0.25\nFe 0 0 0\nAl 0.375 0 0.25\nO -0.029366 0.053912 0.150731\n",
       "Y 0.125 0 0.25\nAl 0 0 0\nFe 0.375 0 0.25\nO 0.029366 0.053912 0.150731\n", 4.5},
      {"beta_si3n4_xray_cu",
       "Si 0.76859 0.175113 0.25\nN 0.029912 0.32946 0.25\nN 0.666667 0.333333 0.25\n",
       "Si 0.76859 0.175113 0.25\nN 0.229912 0.12946 0.25\nN 0.666667 0.333333 0.25\n", 2.0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.folder);
    TempDir work;
    const std::string folder = TestDataPath(std::string("patterns/") + c.folder);
    const std::string epc = work.write("job.epc", ReadWholeFile(folder + "/job.epc"));
    Job job;
    ASSERT_TRUE(LoadJob(epc, &job));
    MeasuredPattern pattern;
    std::string error;
    ASSERT_TRUE(ReadMeasuredPattern(folder + "/pattern.xye", &pattern, &error)) << error;
    LeBailResult extraction;
    ASSERT_TRUE(
        ExtractIntensities(job, pattern, LeBailSettings(), nullptr, nullptr, &extraction, &error))
        << error;
    HKLList right, wrong;
    ASSERT_TRUE(StructureList(work, epc, c.right, 0, job.config, &right));
    ASSERT_TRUE(StructureList(work, epc, c.wrong, 0, job.config, &wrong));
    ProfileCheck good, bad;
    ASSERT_TRUE(CheckModelOnProfile(job.config, extraction, right, 0, &good, &error)) << error;
    ASSERT_TRUE(CheckModelOnProfile(job.config, extraction, wrong, 0, &bad, &error)) << error;
    EXPECT_EQ(good.leBailRwp, extraction.Rwp);
    EXPECT_GT(good.Rwp, 0.98 * extraction.Rwp);
    EXPECT_LT(good.Rwp, c.most * extraction.Rwp);
    EXPECT_GT(bad.Rwp, 2 * good.Rwp);
    EXPECT_GT(bad.Rp, 1.5 * good.Rp);
    // Atoms at rest give too much at high angle: the refined B says so.
    EXPECT_GT(good.overallB, 0.05);
    EXPECT_LT(good.overallB, 3);
    EXPECT_GE(good.matched, static_cast<int>(right.items.size()));
    // The curve is the one whose figures are given.
    ASSERT_EQ(good.fit.calculated.size(), extraction.x.size());
    double wr = 0, wy = 0;
    for (size_t i = 0; i < extraction.x.size(); ++i) {
      const double w = 1 / (extraction.sigma[i] * extraction.sigma[i]);
      wr += w * std::pow(extraction.observed[i] - good.fit.calculated[i], 2);
      wy += w * extraction.observed[i] * extraction.observed[i];
    }
    EXPECT_NEAR(std::sqrt(wr / wy), good.Rwp, 1e-9);
    // Nothing to put on: no points, or no reflection in common.
    HKLList elsewhere = right;
    for (HKLItem &item : elsewhere.items) {
      item.h += 100;
      item.d += 100;
    }
    EXPECT_FALSE(CheckModelOnProfile(job.config, extraction, elsewhere, 0, &bad, &error));
    EXPECT_FALSE(CheckModelOnProfile(job.config, LeBailResult(), right, 0, &bad, &error));
    FreeJob(&job);
  }
}

struct SiteAtom {
  std::string element;
  double x[3];
};

// The atoms of a structure.cif of the test data: label, symbol,
// multiplicity, letter, x, y, z, U, type, occupancy.
std::vector<SiteAtom> CifAtoms(const std::string &path) {
  std::vector<SiteAtom> atoms;
  std::istringstream lines(ReadWholeFile(path));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    std::string label, symbol, letter, type;
    int multiplicity;
    SiteAtom a;
    double u, occupancy;
    if (in >> label >> symbol >> multiplicity >> letter >> a.x[0] >> a.x[1] >> a.x[2] >> u >>
        type >> occupancy) {
      a.element = symbol;
      atoms.push_back(a);
    }
  }
  return atoms;
}

// The atoms pulvina-solve prints of its best model.
std::vector<SiteAtom> BestAtoms(const std::string &output) {
  std::vector<SiteAtom> atoms;
  std::istringstream lines(output.substr(output.find("atoms of the asymmetric unit")));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    SiteAtom a;
    std::string site;
    if (!(in >> a.element >> site >> a.x[0] >> a.x[1] >> a.x[2])) break;
    atoms.push_back(a);
  }
  return atoms;
}

// The largest distance (angstrom) from an atom of one list to the nearest
// symmetry image of an atom of the same element in the other, both ways,
// the found atoms moved by the best of the operations that give the same
// structure in another description: origin shifts by halves, the inversion
// and the exchange of x and y.
double LargestMiss(const Job &job, const std::vector<SiteAtom> &found,
                   const std::vector<SiteAtom> &truth) {
  const SpaceGroup &sg = job.crystal.spaceGroup;
  const Position *general = &sg.positions.front();
  for (const Position &p : sg.positions)
    if (p.multiplicity > general->multiplicity) general = &p;
  // The direct metric from the cell.
  const double ca = std::cos(job.crystal.alpha * M_PI / 180),
               cb = std::cos(job.crystal.beta * M_PI / 180),
               cg = std::cos(job.crystal.gamma * M_PI / 180);
  const double a = job.crystal.a, b = job.crystal.b, c = job.crystal.c;
  const double G[3][3] = {{a * a, a * b * cg, a * c * cb},
                          {a * b * cg, b * b, b * c * ca},
                          {a * c * cb, b * c * ca, c * c}};
  auto distance = [&G](const double *p, const double *q) {
    double d[3];
    for (int i = 0; i < 3; ++i) d[i] = (p[i] - q[i]) - std::round(p[i] - q[i]);
    double s = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) s += d[i] * G[i][j] * d[j];
    return std::sqrt(std::max(0.0, s));
  };
  auto nearest = [&](const SiteAtom &atom, const std::vector<SiteAtom> &others) {
    double best = 1e9;
    for (const SiteAtom &o : others) {
      if (o.element != atom.element) continue;
      for (const Coordinate &op : general->fullCoordinates) {
        double image[3];
        CoordMatrixMultiply(op.matrix, o.x[0], o.x[1], o.x[2], &image[0], &image[1], &image[2]);
        best = std::min(best, distance(atom.x, image));
      }
    }
    return best;
  };
  double best = 1e9;
  for (int linear = 0; linear < 4; ++linear)
    for (int shift = 0; shift < 8; ++shift) {
      std::vector<SiteAtom> moved = found;
      for (SiteAtom &m : moved) {
        if (linear & 1) std::swap(m.x[0], m.x[1]);
        for (int i = 0; i < 3; ++i) {
          if (linear & 2) m.x[i] = -m.x[i];
          if (shift & (1 << i)) m.x[i] += 0.5;
        }
      }
      double worst = 0;
      for (const SiteAtom &m : moved) worst = std::max(worst, nearest(m, truth));
      for (const SiteAtom &t : truth) worst = std::max(worst, nearest(t, moved));
      best = std::min(best, worst);
    }
  return best;
}

// From the measured pattern to the structure: pulvina-extract writes the
// peak file, pulvina-solve --overall-b auto finds the true sites from it,
// and with --pattern puts every written model on the profile.
void SolvesFromMeasuredPattern(const std::string &name) {
  TempDir work;
  const std::string folder = TestDataPath("patterns/" + name);
  std::string epcText = ReadWholeFile(folder + "/job.epc");
  const size_t at = epcText.find("\"reference-peaks.hkl\"");
  ASSERT_NE(at, std::string::npos);
  epcText.replace(at, 21, "\"extracted.hkl\"");
  const std::string epc = work.write("job.epc", epcText);
  const std::string pattern = folder + "/pattern.xye";
  RunExpecting(std::string(PULVINA_EXTRACT) + " -q " + epc + " " + pattern);
  const std::string output =
      RunExpecting(std::string(PULVINA_SOLVE) + " --seed 1 --threads 2 --overall-b auto -o " +
                   work.file("out") + " --pattern " + pattern + " " + epc);
  Job job;
  ASSERT_TRUE(LoadJob(epc, &job));
  const std::vector<SiteAtom> found = BestAtoms(output),
                              truth = CifAtoms(folder + "/structure.cif");
  ASSERT_FALSE(truth.empty());
  ASSERT_EQ(found.size(), truth.size()) << output;
  EXPECT_LT(LargestMiss(job, found, truth), 0.35) << output;
  // The summary's new columns, the CIF's figures and the picture of the best.
  std::istringstream summary(ReadWholeFile(work.file("out/summary.tsv")));
  std::string header, best;
  std::getline(summary, header);
  std::getline(summary, best);
  EXPECT_TRUE(Holds(header, "\tprofileRp\tprofileRwp\tleBailRwp"));
  std::vector<std::string> fields;
  std::istringstream row(best);
  for (std::string f; std::getline(row, f, '\t');) fields.push_back(f);
  ASSERT_GE(fields.size(), 3u);
  const double rwp = std::stod(fields[fields.size() - 2]),
               leBail = std::stod(fields[fields.size() - 1]);
  EXPECT_GT(rwp, 0.98 * leBail);
  EXPECT_LT(rwp, 5 * leBail);
  // The titles of the test data are already safe file names.
  const std::string stem = work.file("out/" + job.config.title + "_" + fields[1]);
  EXPECT_TRUE(Holds(ReadWholeFile(stem + ".cif"), "_pd_proc_ls_prof_wR_factor"));
  EXPECT_TRUE(Holds(ReadWholeFile(stem + "_profile.svg"), "<svg"));
  FreeJob(&job);
}

TEST(ProfileEndToEnd, BetaSiliconNitride) { SolvesFromMeasuredPattern("beta_si3n4_xray_cu"); }
// About a minute each (the garnet's wrong models, the LaB6's 128,000
// points): run by the "slow" test of tests/CMakeLists.txt.
TEST(ProfileEndToEnd, DISABLED_Garnet) { SolvesFromMeasuredPattern("garnet_yfeal_neutron_d1a"); }
TEST(ProfileEndToEnd, DISABLED_LanthanumHexaboride) {
  SolvesFromMeasuredPattern("lab6_synchrotron_11bm");
}

}  // namespace
