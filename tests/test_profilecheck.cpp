// SPDX-License-Identifier: BSD-3-Clause
// From the measured pattern to the structure through the programs: the
// extracted peak file solves it, and --pattern puts the solved models on the
// whole measured profile, reports the profile's figures and draws the fit.
// (A model on the profile itself: with the fits in test_lebail.cpp.)
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "kernel.h"
#include "testing.h"

namespace {

bool LoadJob(const std::string &epc, Job *job) {
  InitializeJob(job);
  return ReadConfigFile(&job->config, epc.c_str()) == CONFIG_READ && SetupJob(job);
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
