// pulvina-simulate: computes a peak file in the internal layout from a
// structure, with the intensity formula of the solver. Users check a model
// against their data with it; the bundled examples are made with it.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel.h"
#include "pictures.h"
#include "simulation.h"

namespace {

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
               "  --overall-b B  overall displacement factor in A^2 (0 to %g; default: the\n"
               "                 control file's OVERALL_B)\n"
               "  --data DIR     folder of sgt.xml, asft.dat and nslt.dat (default:\n"
               "                 $PULVINA_DATA, else ../share/pulvina from the program's folder)\n"
               "  -h, --help     show this help\n",
               kMaxOverallB);
}

}  // namespace

int main(int argc, char **argv) {
  std::string output, plot, dataDir;
  double fwhm = 0.1;
  double overallB = -1;  // the control file's
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    }
    if ((a == "-o" || a == "--plot" || a == "--fwhm" || a == "--data" || a == "--overall-b") &&
        i + 1 >= argc) {
      std::fprintf(stderr, "pulvina-simulate: option %s needs a value\n", a.c_str());
      return 2;
    }
    if (a == "-o") {
      output = argv[++i];
    } else if (a == "--plot") {
      plot = argv[++i];
    } else if (a == "--fwhm") {
      double v = 0;
      if (!IsNumber(argv[++i], &v) || v < 0 || v > 180) {
        std::fprintf(stderr,
                     "pulvina-simulate: --fwhm needs a width from 0 to 180 degrees, not '%s'\n",
                     argv[i]);
        return 2;
      }
      fwhm = v;
    } else if (a == "--overall-b") {
      double v = 0;
      if (!IsNumber(argv[++i], &v) || !ConfigAdmits("OVERALL_B", v)) {
        std::fprintf(stderr,
                     "pulvina-simulate: --overall-b needs a displacement factor from 0 to %g A^2, "
                     "not '%s'\n",
                     kMaxOverallB, argv[i]);
        return 2;
      }
      overallB = v;
    } else if (a == "--data") {
      dataDir = argv[++i];
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "pulvina-simulate: unknown option '%s' (try --help)\n", a.c_str());
      return 2;
    } else {
      files.push_back(a);
    }
  }
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
    SetASFTable(&job.hklList, &job.compound);
    SetLPFactor(&job.hklList, &job.radiation);
    if (overallB >= 0) job.config.overallB = overallB;
    if (!SetOverallB(&job.hklList, job.config.overallB)) {
      std::fprintf(stderr, "pulvina-simulate: %s: OVERALL_B %f is not from 0 to %g A^2\n",
                   files[0].c_str(), job.config.overallB, kMaxOverallB);
      break;
    }
    CalculateIntensity(&job.hklList, &job.crystal, job.config.radiation);
    std::string text = "; " + job.config.title + " simulated: h k l mult d(A) 2theta(deg) fwhm(deg) Iobs\n";
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
    if (!plot.empty() &&
        !WritePeaksPicture(plot, job.hklList, job.config.title + ": simulated peaks", false))
      break;
    status = 0;
  } while (false);
  FreeJob(&job);
  return status;
}
