// SPDX-License-Identifier: BSD-3-Clause
// pulvina-extract: the peak file the solver reads, from a measured pattern
// and the cell and space group of the job, by a Le Bail fit. The refined
// cell goes back into the control file.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "kernel.h"
#include "lebail.h"
#include "options.h"
#include "pattern.h"
#include "pictures.h"

namespace {

void Usage(std::FILE *out) {
  std::fprintf(out,
               "Usage: pulvina-extract [options] JOB.epc PATTERN\n"
               "Extracts the integrated intensity of every reflection of the job's cell and\n"
               "space group from a measured powder pattern (Le Bail fit), and writes them as\n"
               "the job's peak file in the internal layout. The fit starts from the control\n"
               "file's cell and radiation, uses the points between START_ANGLE and END_ANGLE,\n"
               "and writes the refined cell back into the control file.\n"
               "\n"
               "PATTERN is a text file of columns '2theta intensity [sigma]' ('#' starts a\n"
               "comment); without sigma the intensities are taken as counts.\n"
               "\n"
               "Options:\n"
               "  -o FILE            peak file to write (default: the control file's PEAK_FILE)\n"
               "  --plot FILE        also draw the fit as a picture (.svg, .png or .pdf)\n"
               "  --keep-cell        leave the control file as it is\n"
               "  --displacement     refine a specimen displacement too (moves the cell)\n"
               "  --background N     Chebyshev background terms, 6 to 24 (default: 10, 12 for\n"
               "                     more than 20000 points)\n"
               "  --window W         peaks reach W FWHM from their centre, 3 to 100 (default:\n"
               "                     15 neutron, 20 X-ray doublet, 25 one X-ray line)\n"
               "  -q, --quiet        no progress\n"
               "  --data DIR         folder of sgt.xml, asft.dat and nslt.dat (default:\n"
               "                     $PULVINA_DATA, else ../share/pulvina from the program's\n"
               "                     folder)\n"
               "  -h, --help         show this help\n");
}

bool WholeNumber(const std::string &v, int low, int high, int *out) {
  double x = 0;
  if (!ParseDecimalNumber(v.c_str(), &x) || x != std::floor(x) || x < low || x > high) return false;
  *out = static_cast<int>(x);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::string output, plot, dataDir;
  bool keepCell = false, quiet = false;
  LeBailSettings settings;
  CommandLine commandLine("pulvina-extract", Usage);
  commandLine.Text("-o", &output);
  commandLine.Text("--plot", &plot);
  commandLine.Flag("--keep-cell", [&keepCell] { keepCell = true; });
  commandLine.Flag("--displacement", [&settings] { settings.refineDisplacement = true; });
  commandLine.Flag("-q,--quiet", [&quiet] { quiet = true; });
  commandLine.Value("--background", [&settings](const std::string &v) {
    if (!WholeNumber(v, 6, 24, &settings.backgroundTerms))
      return "--background needs a number of terms from 6 to 24, not '" + v + "'";
    return std::string();
  });
  commandLine.Value("--window", [&settings](const std::string &v) {
    double w = 0;
    if (!ParseDecimalNumber(v.c_str(), &w) || w < 3 || w > 100)
      return "--window needs a reach from 3 to 100 FWHM, not '" + v + "'";
    settings.window = w;
    return std::string();
  });
  commandLine.DataOption(&dataDir);
  std::vector<std::string> files;
  if (int status = commandLine.Parse(argc, argv, &files); status >= 0) return status;
  if (files.size() != 2) {
    Usage(stderr);
    return 2;
  }
  const std::string &jobFile = files[0], &patternFile = files[1];
  Job job;
  InitializeJob(&job);
  job.settings.data = LocateData(dataDir);
  int status = 1;
  do {
    std::string error;
    if (ReadConfigFile(&job.config, jobFile.c_str()) != CONFIG_READ) {
      std::fprintf(stderr, "pulvina-extract: %s: Wrong file format!\n", jobFile.c_str());
      break;
    }
    if (!ControlFileHasCell(jobFile, &error)) {
      std::fprintf(stderr, "pulvina-extract: %s\n", error.c_str());
      break;
    }
    if (!SetupJob(&job)) break;
    MeasuredPattern pattern;
    if (!ReadMeasuredPattern(patternFile, &pattern, &error)) {
      std::fprintf(stderr, "pulvina-extract: %s\n", error.c_str());
      break;
    }
    const std::string peakFile =
        output.empty() ? JobPeakFilePath(job.config, DirName(jobFile)) : output;
    if (peakFile.empty()) {
      std::fprintf(stderr, "pulvina-extract: %s names no PEAK_FILE: give -o\n", jobFile.c_str());
      break;
    }
    LeBailResult result;
    LeBailProgress progress;
    if (!quiet)
      progress = [](int cycle, double rwp) {
        std::fprintf(stderr, "\rcycle %4d  Rwp %.4f", cycle, rwp);
        std::fflush(stderr);
      };
    const bool fitted =
        ExtractIntensities(job, pattern, settings, progress, nullptr, &result, &error);
    if (!quiet) std::fputc('\n', stderr);
    if (!fitted) {
      std::fprintf(stderr, "pulvina-extract: %s\n", error.c_str());
      break;
    }
    const double *cell = result.model.cell;
    std::printf("points %zu  reflections %zu  cycles %d  %.1f s\n", result.x.size(),
                result.reflections.size(), result.cycles, result.seconds);
    std::printf("Rp %.4f  Rwp %.4f  Rexp %.4f  chi2 %.3f\n", result.Rp, result.Rwp, result.Rexp,
                result.chi2);
    std::printf("cell %.6f %.6f %.6f %.4f %.4f %.4f  zero %.5f  displacement %.5f\n", cell[0],
                cell[1], cell[2], cell[3], cell[4], cell[5], result.model.zero,
                result.model.displacement);
    const PeakShape &s = result.model.shape;
    std::printf("U %.6g  V %.6g  W %.6g  X %.6g  Y %.6g  P %.4g %.4g %.4g %.4g\n", s.U, s.V, s.W,
                s.X, s.Y, s.P[0], s.P[1], s.P[2], s.P[3]);
    if (!WriteExtractedPeakFile(peakFile, job, result, patternFile, &error)) {
      std::fprintf(stderr, "pulvina-extract: %s\n", error.c_str());
      break;
    }
    std::printf("%s has been written.\n", peakFile.c_str());
    if (!keepCell) {
      if (!WriteControlFileCell(jobFile, cell, &error)) {
        std::fprintf(stderr, "pulvina-extract: %s\n", error.c_str());
        break;
      }
      std::printf("%s holds the refined cell.\n", jobFile.c_str());
    }
    std::fflush(stdout);
    if (!plot.empty() && !WritePatternPicture(plot, result, job.config.title + ": Le Bail fit"))
      break;
    status = 0;
  } while (false);
  FreeJob(&job);
  return status;
}
