// pulvina-simulate: computes a peak file in the internal layout from a
// structure, with the intensity formula of the solver. Users check a model
// against their data with it; the bundled examples are made with it.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "kernel.h"
#include "pictures.h"

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

struct SiteIn {
  std::string symbol;
  double x, y, z, occupancy;
  int line;
};

bool IsNumber(const std::string &s, double *v) {
  char *end = nullptr;
  *v = std::strtod(s.c_str(), &end);
  return end != s.c_str() && *end == '\0' && std::isfinite(*v);
}

// Fractional coordinates beyond this are no positions anyone means; far
// out, reducing them into the cell would also lose every digit.
constexpr double kMaxCoordinate = 100.0;
constexpr size_t kMaxStructureLine = 1023;

// Atoms from a CIF row "Label Type x y z B occupancy" or a plain row
// "Type x y z [occupancy]"; other lines are skipped.
bool ReadStructure(const std::string &path, std::vector<SiteIn> *sites) {
  std::string why;
  FilePtr file = OpenInputFile(path, kMaxPeakFileBytes, &why);
  if (!file) {
    std::fprintf(stderr, "pulvina-simulate: cannot open structure file %s (%s)\n", path.c_str(),
                 why.c_str());
    return false;
  }
  LineReader lines(file.get(), kMaxStructureLine, kMaxPeakFileBytes);
  while (lines.Next()) {
    const int number = lines.number();
    if (lines.binary()) {
      std::fprintf(stderr, "pulvina-simulate: %s:%d: binary data: not a structure file\n",
                   path.c_str(), number);
      return false;
    }
    if (lines.tooLong()) {
      std::fprintf(stderr,
                   "pulvina-simulate: %s:%d: a line of %zu characters: a line holds at most %zu\n",
                   path.c_str(), number, lines.length(), kMaxStructureLine);
      return false;
    }
    const std::string &line = lines.text();
    std::istringstream fields(line);
    std::vector<std::string> t;
    for (std::string f; fields >> f;) t.push_back(f);
    if (t.empty() || t[0][0] == '#' || t[0][0] == ';' || t[0][0] == '_' || t[0][0] == '\'' ||
        t[0] == "loop_" || t[0].compare(0, 5, "data_") == 0)
      continue;
    double v[4] = {0, 0, 0, 1};
    SiteIn s;
    s.line = number;
    // Which columns the numbers came from, for messages.
    int column[4] = {1, 2, 3, 4};
    if (t.size() >= 7 && IsNumber(t[2], &v[0]) && IsNumber(t[3], &v[1]) && IsNumber(t[4], &v[2]) &&
        IsNumber(t[6], &v[3])) {
      s.symbol = t[1];
      column[0] = 2;
      column[1] = 3;
      column[2] = 4;
      column[3] = 6;
    } else if ((t.size() == 4 || t.size() == 5) && IsNumber(t[1], &v[0]) && IsNumber(t[2], &v[1]) &&
               IsNumber(t[3], &v[2]) && (t.size() == 4 || IsNumber(t[4], &v[3]))) {
      s.symbol = t[0];
    } else {
      std::fprintf(stderr, "pulvina-simulate: %s:%d: '%s': expected SYMBOL X Y Z [OCCUPANCY]\n",
                   path.c_str(), number, line.c_str());
      return false;
    }
    static const char *const names[4] = {"x", "y", "z", "occupancy"};
    for (int i = 0; i < 3; ++i)
      if (std::fabs(v[i]) > kMaxCoordinate) {
        std::fprintf(stderr,
                     "pulvina-simulate: %s:%d: %s: '%s' out of range: expected a fractional "
                     "coordinate from -100 to 100\n",
                     path.c_str(), number, names[i], t[static_cast<size_t>(column[i])].c_str());
        return false;
      }
    if (!(v[3] > 0 && v[3] <= 1)) {
      std::fprintf(stderr,
                   "pulvina-simulate: %s:%d: occupancy: '%s' out of range: expected an occupancy "
                   "above 0 and at most 1\n",
                   path.c_str(), number,
                   t.size() > static_cast<size_t>(column[3]) ? t[static_cast<size_t>(column[3])].c_str() : "");
      return false;
    }
    s.x = v[0];
    s.y = v[1];
    s.z = v[2];
    s.occupancy = v[3];
    sites->push_back(s);
  }
  if (lines.failed()) {
    std::fprintf(stderr, "pulvina-simulate: %s could not be read to its end\n", path.c_str());
    return false;
  }
  if (sites->empty()) {
    std::fprintf(stderr, "pulvina-simulate: %s holds no atoms\n", path.c_str());
    return false;
  }
  return true;
}

double Frac(double a) { return a - std::floor(a); }

// Coordinates typed to a few decimals (0.333333 for 1/3) put the images of
// a special position a hair apart; closer than 1e-4 of an edge is one atom.
bool SamePoint(const Atom &a, const Atom &b) {
  auto close = [](double p, double q) {
    double d = std::fabs(Frac(p) - Frac(q));
    return std::min(d, 1 - d) < 1e-4;
  };
  return a.element == b.element && close(a.x, b.x) && close(a.y, b.y) && close(a.z, b.z);
}

struct Reflection {
  int h, k, l, multiplicity;
  double d, twoTheta;
};

// Reciprocal metric of the cell, for d-spacings of any cell.
bool ReciprocalMetric(const Crystal &c, double g[3][3]) {
  const double r = M_PI / 180;
  const double ca = std::cos(c.alpha * r), cb = std::cos(c.beta * r), cg = std::cos(c.gamma * r);
  double G[3][3] = {{c.a * c.a, c.a * c.b * cg, c.a * c.c * cb},
                    {c.a * c.b * cg, c.b * c.b, c.b * c.c * ca},
                    {c.a * c.c * cb, c.b * c.c * ca, c.c * c.c}};
  double det = G[0][0] * (G[1][1] * G[2][2] - G[1][2] * G[2][1]) -
               G[0][1] * (G[1][0] * G[2][2] - G[1][2] * G[2][0]) +
               G[0][2] * (G[1][0] * G[2][1] - G[1][1] * G[2][0]);
  if (!(det > 0)) return false;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      g[j][i] = (G[i1][j1] * G[i2][j2] - G[i1][j2] * G[i2][j1]) / det;
    }
  return true;
}

// Reflections the pattern of one run may hold; a cell and range beyond
// this would take hours and gigabytes to list.
constexpr double kMaxReflections = 2e7;

// Every reflection of the range that the space group does not extinguish,
// one per set of equivalents under the Laue class (Friedel mates included).
// Each index triple of the box is looked at once: a set is marked off
// whole when its first member is met, so the work grows with the number of
// reflections.
bool Reflections(const Crystal &crystal, double lambda, double start, double end,
                 std::vector<Reflection> *out) {
  double g[3][3];
  if (!ReciprocalMetric(crystal, g)) {
    std::fprintf(stderr, "pulvina-simulate: the cell spans no volume\n");
    return false;
  }
  const SpaceGroup &sg = crystal.spaceGroup;
  const Position &general = sg.positions.front();
  const double dmin = lambda / (2 * std::sin(std::min(end, 179.9) * M_PI / 360));
  // Reciprocal-lattice points within 1/dmin: the sphere's volume over the
  // reciprocal cell's (the inverse of the direct cell's volume).
  const double detG = 1 / (g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
                           g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                           g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]));
  const double expected = 4.0 / 3.0 * M_PI / (dmin * dmin * dmin) * std::sqrt(detG);
  const double H = std::ceil(crystal.a / dmin) + 1, K = std::ceil(crystal.b / dmin) + 1,
               L = std::ceil(crystal.c / dmin) + 1;
  const double box = (2 * H + 1) * (2 * K + 1) * (2 * L + 1);
  if (!(expected <= kMaxReflections) || !(box <= 8 * kMaxReflections)) {
    std::fprintf(stderr,
                 "pulvina-simulate: the cell and the range up to %g degrees hold about %.3g "
                 "reflections, more than %.0e: lower END_ANGLE\n",
                 end, expected, kMaxReflections);
    return false;
  }
  const int h0 = static_cast<int>(H), k0 = static_cast<int>(K), l0 = static_cast<int>(L);
  const size_t nk = static_cast<size_t>(2 * k0 + 1), nl = static_cast<size_t>(2 * l0 + 1);
  std::vector<bool> seen(static_cast<size_t>(2 * h0 + 1) * nk * nl, false);
  auto slot = [&](int h, int k, int l) {
    return (static_cast<size_t>(h + h0) * nk + static_cast<size_t>(k + k0)) * nl +
           static_cast<size_t>(l + l0);
  };
  auto inBox = [&](int h, int k, int l) {
    return std::abs(h) <= h0 && std::abs(k) <= k0 && std::abs(l) <= l0;
  };
  std::vector<std::array<int, 3>> orbit;
  for (int h = -h0; h <= h0; ++h)
    for (int k = -k0; k <= k0; ++k)
      for (int l = -l0; l <= l0; ++l) {
        if (!h && !k && !l) continue;
        if (seen[slot(h, k, l)]) continue;
        double q = h * h * g[0][0] + k * k * g[1][1] + l * l * g[2][2] + 2 * h * k * g[0][1] +
                   2 * h * l * g[0][2] + 2 * k * l * g[1][2];
        double d = 1 / std::sqrt(q);
        double s = lambda / (2 * d);
        if (s >= 1) continue;
        double tt = 2 * std::asin(s) * 180 / M_PI;
        if (tt < start || tt > end) continue;
        const std::array<int, 3> hkl = {h, k, l};
        // The orbit under the rotations (acting on indices through the
        // transpose) and Friedel's law; absent when an operator keeps the
        // reflection but shifts its phase.
        orbit.clear();
        bool absent = false;
        for (const Coordinate &op : general.fullCoordinates) {
          const double(*m)[4] = op.matrix;
          std::array<int, 3> r;
          for (int j = 0; j < 3; ++j)
            r[static_cast<size_t>(j)] =
                static_cast<int>(std::lround(h * m[0][j] + k * m[1][j] + l * m[2][j]));
          if (r == hkl) {
            double phase = h * m[0][3] + k * m[1][3] + l * m[2][3];
            if (std::fabs(phase - std::round(phase)) > 1e-6) absent = true;
          }
          for (int sign : {1, -1}) {
            std::array<int, 3> e = {sign * r[0], sign * r[1], sign * r[2]};
            if (std::find(orbit.begin(), orbit.end(), e) == orbit.end()) orbit.push_back(e);
          }
        }
        // Equivalents have the same spacing, so all of them lie in the box.
        for (const auto &e : orbit)
          if (inBox(e[0], e[1], e[2])) seen[slot(e[0], e[1], e[2])] = true;
        if (absent) continue;
        const std::array<int, 3> best = *std::max_element(orbit.begin(), orbit.end());
        out->push_back({best[0], best[1], best[2], static_cast<int>(orbit.size()), d, tt});
      }
  std::sort(out->begin(), out->end(), [](const Reflection &a, const Reflection &b) {
    return a.twoTheta < b.twoTheta;
  });
  return true;
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
      if (!IsNumber(argv[++i], &v) || v < 0) {
        std::fprintf(stderr, "pulvina-simulate: --fwhm needs a width in degrees, not '%s'\n",
                     argv[i]);
        return 2;
      }
      fwhm = v;
    } else if (a == "--overall-b") {
      double v = 0;
      if (!IsNumber(argv[++i], &v) || v < 0 || v > kMaxOverallB) {
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
  std::vector<std::string> searched;
  const std::string data = FindDataDirectory(dataDir, &searched);
  SetDataDirectory(data, searched);
  Job job;
  InitializeJob(&job);
  int status = 1;
  std::vector<SiteIn> sites;
  do {
    if (ReadConfigFile(&job.config, files[0].c_str()) != CONFIG_READ) {
      std::fprintf(stderr, "pulvina-simulate: %s: Wrong file format!\n", files[0].c_str());
      break;
    }
    if (!SetupJob(&job) || !ReadStructure(files[1], &sites)) break;
    bool ok = true;
    for (const SiteIn &s : sites) {
      const Element *e = FindElement(job.compound, s.symbol);
      if (!e) {
        std::fprintf(stderr, "pulvina-simulate: %s:%d: %s is not in the formula %s\n",
                     files[1].c_str(), s.line, s.symbol.c_str(), job.config.formular.c_str());
        ok = false;
        break;
      }
      Atom atom;
      atom.element = e;
      atom.x = s.x;
      atom.y = s.y;
      atom.z = s.z;
      atom.occupancy = s.occupancy;
      job.crystal.atoms.push_back(atom);
      for (const Coordinate &c : job.crystal.spaceGroup.positions.front().fullCoordinates) {
        Atom image = atom;
        CoordMatrixMultiply(c.matrix, s.x, s.y, s.z, &image.x, &image.y, &image.z);
        bool dup = false;
        for (const Atom &o : job.crystal.cellAtoms) dup = dup || SamePoint(o, image);
        if (!dup) job.crystal.cellAtoms.push_back(image);
      }
    }
    if (!ok) break;
    const double lambda = job.radiation.type == 1   ? job.config.lambdaNeutron
                          : job.radiation.type == 2 ? job.config.lambdaElectron
                                                    : job.config.lambdaXray1;
    std::vector<Reflection> reflections;
    if (!Reflections(job.crystal, lambda, job.config.startAngle, job.config.endAngle,
                     &reflections))
      break;
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
