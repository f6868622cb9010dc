// SPDX-License-Identifier: BSD-3-Clause
// pulvina-simulate: computes a peak file in the internal layout from a
// structure, with the intensity formula of the solver. Users check a model
// against their data with it; the bundled examples are made with it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "kernel.h"
#include "lebail.h"
#include "options.h"
#include "pictures.h"
#include "simulation.h"

namespace {

// Widths of a laboratory diffractometer: FWHM about 0.08 degrees at low
// angle, 0.2 at 120 degrees.
constexpr double kDefaultShape[5] = {0.005, -0.002, 0.003, 0.0, 0.02};
// Counts of the pattern: the strongest peak this high above a level
// background of kBackgroundCounts.
constexpr double kPeakCounts = 10000, kBackgroundCounts = 100;

// The pattern of the reflections with the extraction's peak shape, scaled to
// kPeakCounts, with Gaussian counting noise of variance y unless seed < 0.
bool WriteProfile(const std::string &path, const Job &job, const double shape[5], long seed) {
  const Config &config = job.config;
  PatternModel model;
  const Crystal &c = job.crystal;
  const double cell[6] = {c.a, c.b, c.c, c.alpha, c.beta, c.gamma};
  std::copy(cell, cell + 6, model.cell);
  model.shape.U = shape[0];
  model.shape.V = shape[1];
  model.shape.W = shape[2];
  model.shape.X = shape[3];
  model.shape.Y = shape[4];
  model.background.start = config.startAngle;
  model.background.end = config.endAngle;
  std::vector<double> x;
  const double step = config.scanStep > 0 ? config.scanStep : 0.02;
  for (long i = 0;; ++i) {
    const double t = config.startAngle + static_cast<double>(i) * step;
    if (t > config.endAngle + 1e-9) break;
    x.push_back(t);
  }
  std::vector<PatternPeak> peaks;
  for (const HKLItem &item : job.hklList.items) peaks.push_back({item.d, item.iCalc});
  const PatternLines lines = JobPatternLines(config);
  const double window = JobPeakWindow(config);
  std::vector<double> y;
  CalculatePattern(model, lines, window, peaks, x, &y);
  const double top = y.empty() ? 0 : *std::max_element(y.begin(), y.end());
  const double scale = top > 0 ? kPeakCounts / top : 1;
  std::mt19937_64 random(static_cast<uint64_t>(seed));
  std::normal_distribution<double> normal;
  std::string text = "# " + config.title + " simulated pattern: 2theta intensity sigma\n";
  char line[96];
  for (size_t i = 0; i < x.size(); ++i) {
    double v = kBackgroundCounts + scale * y[i];
    if (seed >= 0) v = std::max(0.0, v + std::sqrt(v) * normal(random));
    std::snprintf(line, sizeof line, "%.4f %.3f %.3f\n", x[i], v, std::sqrt(std::max(v, 1.0)));
    text += line;
  }
  AtomicFile f(path);
  if (!f.get() || std::fputs(text.c_str(), f.get()) < 0 || !f.commit()) {
    std::fprintf(stderr, "pulvina-simulate: cannot write %s (%s)\n", path.c_str(),
                 f.error().empty() ? "write error" : f.error().c_str());
    return false;
  }
  return true;
}

void Usage(std::FILE *out) {
  std::fprintf(out,
               "Usage: pulvina-simulate [options] JOB.epc STRUCTURE\n"
               "Writes the indexed reflections of a structure with their intensities, in the\n"
               "internal peak-file layout, for the cell, space group, radiation and 2theta\n"
               "range of the control file.\n"
               "\n"
               "STRUCTURE is a CIF file written by pulvina-solve, or a text file with one atom\n"
               "of the asymmetric unit per line: SYMBOL X Y Z [OCCUPANCY]\n"
               "\n"
               "Options:\n"
               "  -o FILE        output file (default: standard output)\n"
               "  --plot FILE    also draw the peaks as a picture (.svg, .png or .pdf)\n"
               "  --fwhm DEG     peak width written for every reflection (default: 0.1)\n"
               "  --profile FILE also write the whole pattern, '2theta intensity sigma' at every\n"
               "                 SCAN_STEP of the range, with the peak shape of pulvina-extract\n"
               "                 and counting noise\n"
               "  --shape U,V,W,X,Y  widths of that pattern (default: %g,%g,%g,%g,%g)\n"
               "  --seed N       seed of its noise (default: 1)\n"
               "  --no-noise     the pattern without noise\n"
               "  --overall-b B  overall displacement factor in A^2 (0 to %g; default: the\n"
               "                 control file's OVERALL_B)\n"
               "  --data DIR     folder of sgt.xml, asft.dat and nslt.dat (default:\n"
               "                 $PULVINA_DATA, else ../share/pulvina from the program's folder)\n"
               "  -h, --help     show this help\n",
               kDefaultShape[0], kDefaultShape[1], kDefaultShape[2], kDefaultShape[3],
               kDefaultShape[4], kMaxOverallB);
}

}  // namespace

int main(int argc, char **argv) {
  std::string output, plot, dataDir, profile;
  double shape[5];
  std::copy(kDefaultShape, kDefaultShape + 5, shape);
  long seed = 1;
  bool noise = true;
  double fwhm = 0.1;
  double overallB = -1;  // the control file's
  CommandLine commandLine("pulvina-simulate", Usage);
  commandLine.Text("-o", &output);
  commandLine.Text("--plot", &plot);
  commandLine.Text("--profile", &profile);
  commandLine.Value("--shape", [&shape](const std::string &v) {
    std::stringstream in(v);
    std::string part;
    double values[5];
    int n = 0;
    while (std::getline(in, part, ',')) {
      if (n == 5 || !ParseDecimalNumber(part.c_str(), &values[n]) || std::fabs(values[n]) > 10)
        return "--shape needs five numbers U,V,W,X,Y from -10 to 10, not '" + v + "'";
      ++n;
    }
    if (n != 5) return "--shape needs five numbers U,V,W,X,Y from -10 to 10, not '" + v + "'";
    std::copy(values, values + 5, shape);
    return std::string();
  });
  commandLine.Value("--seed", [&seed](const std::string &v) {
    double s = 0;
    if (!ParseDecimalNumber(v.c_str(), &s) || s != std::floor(s) || s < 0 || s > 2e9)
      return "--seed needs a whole number from 0 to 2000000000, not '" + v + "'";
    seed = static_cast<long>(s);
    return std::string();
  });
  commandLine.Flag("--no-noise", [&noise] { noise = false; });
  commandLine.Value("--fwhm", [&fwhm](const std::string &v) {
    double width = 0;
    if (!ParseDecimalNumber(v.c_str(), &width) || width < 0 || width > 180)
      return "--fwhm needs a width from 0 to 180 degrees, not '" + v + "'";
    fwhm = width;
    return std::string();
  });
  // The shared options are checked by the kernel, whose reason is the
  // whole message. The estimate of auto needs observed intensities, which
  // a simulation has not.
  commandLine.Value("--overall-b", [&overallB](const std::string &v) {
    OverallBOption b;
    std::string why;
    if (CheckOverallBOption(v.c_str(), false, &b, &why)) overallB = b.value;
    return why;
  });
  commandLine.DataOption(&dataDir);
  std::vector<std::string> files;
  if (int status = commandLine.Parse(argc, argv, &files); status >= 0) return status;
  if (files.size() != 2) {
    Usage(stderr);
    return 2;
  }
  Job job;
  InitializeJob(&job);
  job.settings.data = LocateData(dataDir);
  int status = 1;
  std::vector<SiteIn> sites;
  do {
    if (ReadConfigFile(&job.config, files[0].c_str()) != CONFIG_READ) {
      std::fprintf(stderr, "pulvina-simulate: %s: Wrong file format!\n", files[0].c_str());
      break;
    }
    std::string error;
    if (!SetupJob(&job)) break;
    if (!ReadStructure(files[1], &sites, &error) ||
        !PlaceSites(sites, files[1], &job, &error)) {
      std::fprintf(stderr, "pulvina-simulate: %s\n", error.c_str());
      break;
    }
    const double lambda = job.radiation.type == 1   ? job.config.lambdaNeutron
                          : job.radiation.type == 2 ? job.config.lambdaElectron
                                                    : job.config.lambdaXray1;
    std::vector<Reflection> reflections;
    if (!Reflections(job.crystal, lambda, job.config.startAngle, job.config.endAngle,
                     &reflections, &error)) {
      std::fprintf(stderr, "pulvina-simulate: %s\n", error.c_str());
      break;
    }
    for (const Reflection &r : reflections) {
      HKLItem item;
      item.h = r.h;
      item.k = r.k;
      item.l = r.l;
      item.multiplicity = r.multiplicity;
      // Rounded as written, so that the solver reads the values computed here.
      item.d = std::round(r.d * 1e6) / 1e6;
      item.twoTheta = std::round(2 * std::asin(lambda / (2 * item.d)) * 180 / M_PI * 1e6) / 1e6;
      item.fwhm = fwhm;
      job.hklList.items.push_back(item);
    }
    if (job.hklList.items.empty()) {
      std::fprintf(stderr, "pulvina-simulate: no reflection between %f and %f degrees\n",
                   job.config.startAngle, job.config.endAngle);
      break;
    }
    if (overallB >= 0) job.config.overallB = overallB;
    // A structure given has no observed intensities to estimate B from: the
    // configured value holds.
    job.config.autoOverallB = 0;
    if (!PrepareJobReflections(&job)) break;
    CalculateIntensity(&job.hklList, &job.crystal, job.config.radiation);
    std::string text = "; " + job.config.title + " simulated: h k l mult d(A) 2theta(deg) fwhm(deg) Iobs";
    if (JobHasPreferredOrientation(job.config)) {
      char texture[128];
      std::snprintf(texture, sizeof texture, ", March-Dollase r %g along %d %d %d",
                    job.config.prefOrientR, job.config.prefOrientH, job.config.prefOrientK,
                    job.config.prefOrientL);
      text += texture;
    }
    text += "\n";
    char line[160];
    for (const HKLItem &item : job.hklList.items) {
      std::snprintf(line, sizeof line, "%4d %4d %4d %4d %11.6f %11.6f %9.6f %14.6f\n", item.h,
                    item.k, item.l, item.multiplicity, item.d, item.twoTheta, item.fwhm,
                    item.iCalc);
      text += line;
    }
    if (output.empty()) {
      std::fputs(text.c_str(), stdout);
    } else {
      AtomicFile f(output);
      if (!f.get() || std::fputs(text.c_str(), f.get()) < 0 || !f.commit()) {
        std::fprintf(stderr, "pulvina-simulate: cannot write %s (%s)\n", output.c_str(),
                     f.error().empty() ? "write error" : f.error().c_str());
        break;
      }
    }
    std::fprintf(stderr, "%zu reflections from %zu atoms of the cell\n", job.hklList.items.size(),
                 job.crystal.cellAtoms.size());
    if (!profile.empty() && !WriteProfile(profile, job, shape, noise ? seed : -1)) break;
    if (!plot.empty() &&
        !WritePeaksPicture(plot, job.hklList, job.config.title + ": simulated peaks", false))
      break;
    status = 0;
  } while (false);
  FreeJob(&job);
  return status;
}
