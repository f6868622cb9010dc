// SPDX-License-Identifier: BSD-3-Clause
// The structure side of pulvina-simulate: the structure file and the atoms
// it puts into the cell.
#include "simulation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

bool IsNumber(const std::string &s, double *v) {
  char *end = nullptr;
  *v = std::strtod(s.c_str(), &end);
  return end != s.c_str() && *end == '\0' && std::isfinite(*v);
}

namespace {

// Fractional coordinates beyond this are no positions anyone means; far
// out, reducing them into the cell would also lose every digit.
constexpr double kMaxCoordinate = 100.0;
constexpr size_t kMaxStructureLine = 1023;

}  // namespace

bool ReadStructureStream(std::FILE *stream, const std::string &path, std::vector<SiteIn> *sites,
                         std::string *error) {
  char text[512];
  auto fail = [&](const std::string &what) {
    *error = what;
    return false;
  };
  LineReader lines(stream, kMaxStructureLine, kMaxPeakFileBytes);
  while (lines.Next()) {
    const int number = lines.number();
    const std::string at = path + ":" + std::to_string(number) + ": ";
    if (lines.binary()) return fail(at + "binary data: not a structure file");
    if (lines.tooLong()) {
      std::snprintf(text, sizeof text, "a line of %zu characters: a line holds at most %zu",
                    lines.length(), kMaxStructureLine);
      return fail(at + text);
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
    size_t column[4] = {1, 2, 3, 4};
    if (t.size() >= 7 && IsNumber(t[2], &v[0]) && IsNumber(t[3], &v[1]) && IsNumber(t[4], &v[2]) &&
        IsNumber(t[6], &v[3])) {
      s.symbol = t[1];
      column[0] = 2;
      column[1] = 3;
      column[2] = 4;
      column[3] = 6;
    } else if ((t.size() == 4 || t.size() == 5) && IsNumber(t[1], &v[0]) &&
               IsNumber(t[2], &v[1]) && IsNumber(t[3], &v[2]) &&
               (t.size() == 4 || IsNumber(t[4], &v[3]))) {
      s.symbol = t[0];
    } else {
      return fail(at + "'" + line + "': expected SYMBOL X Y Z [OCCUPANCY]");
    }
    static const char *const names[3] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i)
      if (std::fabs(v[i]) > kMaxCoordinate)
        return fail(at + names[i] + ": '" + t[column[i]] +
                    "' out of range: expected a fractional coordinate from -100 to 100");
    if (!(v[3] > 0 && v[3] <= 1))
      return fail(at + "occupancy: '" + (t.size() > column[3] ? t[column[3]] : "") +
                  "' out of range: expected an occupancy above 0 and at most 1");
    s.x = v[0];
    s.y = v[1];
    s.z = v[2];
    s.occupancy = v[3];
    sites->push_back(s);
  }
  if (lines.failed()) return fail(path + " could not be read to its end");
  if (sites->empty()) return fail(path + " holds no atoms");
  return true;
}

bool ReadStructure(const std::string &path, std::vector<SiteIn> *sites, std::string *error) {
  std::string why;
  FilePtr file = OpenInputFile(path, kMaxPeakFileBytes, &why);
  if (!file) {
    *error = "cannot open structure file " + path + " (" + why + ")";
    return false;
  }
  return ReadStructureStream(file.get(), path, sites, error);
}

namespace {

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

}  // namespace

bool PlaceSites(const std::vector<SiteIn> &sites, const std::string &path, Job *job,
                std::string *error) {
  for (const SiteIn &s : sites) {
    const Element *e = FindElement(job->compound, s.symbol);
    if (!e) {
      *error = path + ":" + std::to_string(s.line) + ": " + s.symbol +
               " is not in the formula " + job->config.formular;
      return false;
    }
    Atom atom;
    atom.element = e;
    atom.x = s.x;
    atom.y = s.y;
    atom.z = s.z;
    atom.occupancy = s.occupancy;
    job->crystal.atoms.push_back(atom);
    for (const Coordinate &c : job->crystal.spaceGroup.positions.front().fullCoordinates) {
      Atom image = atom;
      CoordMatrixMultiply(c.matrix, s.x, s.y, s.z, &image.x, &image.y, &image.z);
      bool dup = false;
      for (const Atom &o : job->crystal.cellAtoms) dup = dup || SamePoint(o, image);
      if (!dup) job->crystal.cellAtoms.push_back(image);
    }
  }
  return true;
}
