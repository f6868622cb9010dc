// SPDX-License-Identifier: BSD-3-Clause
#include "diffractometer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

#include "utils.h"

namespace {

constexpr size_t kMaxLine = 255;
// Larger observed intensities are typing slips; they would also overflow
// the sums of the factors.
constexpr double kMaxIntensity = 1e30;

bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Numbers as the scan formats read them: leading white space and a sign
// allowed, the number ends where its characters do. Parsed without the
// locale, since the files are written with a decimal point everywhere.
const char *NumberStart(const char *p, bool *plus) {
  while (IsBlank(static_cast<unsigned char>(*p))) ++p;
  *plus = *p == '+';
  if (*plus) {
    ++p;
    if (*p == '+' || *p == '-') return nullptr;
  }
  return p;
}

bool ScanInt(const char **p, int32_t *value) {
  bool plus = false;
  const char *s = NumberStart(*p, &plus);
  if (!s) return false;
  const char *end = s + std::strlen(s);
  std::from_chars_result r = std::from_chars(s, end, *value);
  // A number ends at a blank: 3O.5 is no 3 followed by O.5.
  if (r.ec != std::errc() || r.ptr == s || (*r.ptr && !IsBlank(static_cast<unsigned char>(*r.ptr))))
    return false;
  *p = r.ptr;
  return true;
}

// Infinite and undefined values, and values beyond the range of a double,
// are no numbers a reflection can carry.
bool ScanReal(const char **p, double *value) {
  bool plus = false;
  const char *s = NumberStart(*p, &plus);
  if (!s) return false;
  const char *end = s + std::strlen(s);
  std::from_chars_result r = std::from_chars(s, end, *value);
  if (r.ec != std::errc() || r.ptr == s || !std::isfinite(*value) ||
      (*r.ptr && !IsBlank(static_cast<unsigned char>(*r.ptr))))
    return false;
  *p = r.ptr;
  return true;
}

// One column of a layout: its name in messages and where its value goes.
struct Column {
  const char *name;
  int32_t HKLItem::*integer;
  double HKLItem::*real;
};

const Column kInternal[] = {
    {"h", &HKLItem::h, nullptr},          {"k", &HKLItem::k, nullptr},
    {"l", &HKLItem::l, nullptr},          {"mult", &HKLItem::multiplicity, nullptr},
    {"d", nullptr, &HKLItem::d},          {"2theta", nullptr, &HKLItem::twoTheta},
    {"fwhm", nullptr, &HKLItem::fwhm},    {"Iobs", nullptr, &HKLItem::iObs},
};
// The leading n of the FullProf layout goes nowhere; it is read apart.
const Column kFullProf[] = {
    {"n", nullptr, nullptr},              {"h", &HKLItem::h, nullptr},
    {"k", &HKLItem::k, nullptr},          {"l", &HKLItem::l, nullptr},
    {"mult", &HKLItem::multiplicity, nullptr}, {"d", nullptr, &HKLItem::d},
    {"2theta", nullptr, &HKLItem::twoTheta},   {"fwhm", nullptr, &HKLItem::fwhm},
    {"Iobs", nullptr, &HKLItem::iObs},
};
// The seventh column of the PCW layout is read and not used.
const Column kPCW[] = {
    {"h", &HKLItem::h, nullptr},          {"k", &HKLItem::k, nullptr},
    {"l", &HKLItem::l, nullptr},          {"2theta", nullptr, &HKLItem::twoTheta},
    {"d", nullptr, &HKLItem::d},          {"Iobs", nullptr, &HKLItem::iObs},
    {"F", nullptr, nullptr},              {"mult", &HKLItem::multiplicity, nullptr},
    {"fwhm", nullptr, &HKLItem::fwhm},
};

struct Layout {
  const Column *columns;
  int count;
  int headerLines;
  const char *names;  // for messages
};

Layout LayoutOf(int format) {
  switch (format) {
    case PEAK_FILE_FULLPROF: return {kFullProf, 9, 3, "n h k l mult d 2theta fwhm Iobs"};
    case PEAK_FILE_PCW: return {kPCW, 9, 10, "h k l 2theta d Iobs F mult fwhm"};
    default: return {kInternal, 8, 0, "h k l mult d 2theta fwhm Iobs"};
  }
}

std::string NextToken(const char *p) {
  while (*p && IsBlank(static_cast<unsigned char>(*p))) ++p;
  const char *start = p;
  while (*p && !IsBlank(static_cast<unsigned char>(*p))) ++p;
  return std::string(start, p);
}

// Reads the columns of one data line into the item. On a fault, *bad is the
// column and *token the text found there ("" when the line ended). skip is
// set for the second-wavelength lines of the FullProf layout.
bool ScanLine(const char *text, const Layout &layout, HKLItem *item, bool *skip,
              const Column **bad, std::string *token) {
  const char *p = text;
  *skip = false;
  for (int i = 0; i < layout.count; ++i) {
    const Column &c = layout.columns[i];
    const char *before = p;
    bool ok;
    if (c.integer || (!c.real && std::strcmp(c.name, "n") == 0)) {
      int32_t v = 0;
      ok = ScanInt(&p, &v);
      if (ok && c.integer) item->*c.integer = v;
      if (ok && !c.integer) *skip = v == 2;
    } else {
      double v = 0;
      ok = ScanReal(&p, &v);
      if (ok && c.real) item->*c.real = v;
    }
    if (!ok) {
      *bad = &c;
      *token = NextToken(before);
      return false;
    }
  }
  return true;
}

// What is wrong with the values of a reflection, "" when nothing is.
std::string ValueProblem(const HKLItem &item, const char **column, std::string *value) {
  char text[64];
  auto fail = [&](const char *name, double v, const char *expected) {
    *column = name;
    std::snprintf(text, sizeof text, "%.10g", v);
    *value = text;
    return std::string("out of range: expected ") + expected;
  };
  if (item.h == 0 && item.k == 0 && item.l == 0) {
    *column = "h k l";
    *value = "0 0 0";
    return "is no reflection";
  }
  if (item.multiplicity < 1) return fail("mult", item.multiplicity, "a multiplicity of at least 1");
  if (!(item.d > 0)) return fail("d", item.d, "a spacing above 0 angstrom");
  if (!(item.twoTheta > 0 && item.twoTheta < 180))
    return fail("2theta", item.twoTheta, "an angle between 0 and 180 degrees");
  if (!(item.fwhm >= 0)) return fail("fwhm", item.fwhm, "a width of at least 0 degrees");
  if (!(item.iObs >= 0 && item.iObs <= kMaxIntensity))
    return fail("Iobs", item.iObs, "an intensity from 0 to 1e30");
  return "";
}

constexpr double kPi = 3.14159265358979323846;

// 1/d^2 of h k l in the cell; 0 when the cell spans no volume.
double InverseDSquared(const ReflectionRules &r, int h, int k, int l) {
  const double rad = kPi / 180;
  const double ca = std::cos(r.alpha * rad), cb = std::cos(r.beta * rad),
               cg = std::cos(r.gamma * rad);
  const double G[3][3] = {{r.a * r.a, r.a * r.b * cg, r.a * r.c * cb},
                          {r.a * r.b * cg, r.b * r.b, r.b * r.c * ca},
                          {r.a * r.c * cb, r.b * r.c * ca, r.c * r.c}};
  const double det = G[0][0] * (G[1][1] * G[2][2] - G[1][2] * G[2][1]) -
                     G[0][1] * (G[1][0] * G[2][2] - G[1][2] * G[2][0]) +
                     G[0][2] * (G[1][0] * G[2][1] - G[1][1] * G[2][0]);
  if (!(det > 0) || !std::isfinite(det)) return 0;
  const double v[3] = {static_cast<double>(h), static_cast<double>(k), static_cast<double>(l)};
  double q = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      // The inverse metric from cofactors (G is symmetric).
      const int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      q += v[i] * v[j] * (G[i1][j1] * G[i2][j2] - G[i1][j2] * G[i2][j1]) / det;
    }
  return q;
}

// 2theta (degrees) of a spacing at a wavelength; 180 or more when no angle
// diffracts it.
double BraggAngle(double lambda, double d) {
  const double s = lambda / (2 * d);
  return s >= 1 ? 360 : 2 * std::asin(s) * 180 / kPi;
}

}  // namespace

int LaueMultiplicity(const SpaceGroup &sg, int h, int k, int l) {
  if (sg.positions.empty()) return 1;
  std::vector<std::array<int, 3>> orbit;
  for (const Coordinate &op : sg.positions.front().fullCoordinates) {
    const double(*m)[4] = op.matrix;
    std::array<int, 3> r;
    // Indices turn with the transpose of the rotation.
    for (int j = 0; j < 3; ++j)
      r[static_cast<size_t>(j)] =
          static_cast<int>(std::lround(h * m[0][j] + k * m[1][j] + l * m[2][j]));
    for (int sign : {1, -1}) {
      const std::array<int, 3> e = {sign * r[0], sign * r[1], sign * r[2]};
      if (std::find(orbit.begin(), orbit.end(), e) == orbit.end()) orbit.push_back(e);
    }
  }
  return orbit.empty() ? 1 : static_cast<int>(orbit.size());
}

std::string ReflectionRuleProblem(const ReflectionRules &rules, const HKLItem &item,
                                  const char **column) {
  char text[320];
  *column = "h k l";
  if (std::abs(item.h) > kMaxReflectionIndex || std::abs(item.k) > kMaxReflectionIndex ||
      std::abs(item.l) > kMaxReflectionIndex) {
    std::snprintf(text, sizeof text, "has an index beyond %d: no measured reflection",
                  kMaxReflectionIndex);
    return text;
  }
  const SpaceGroup *sg = rules.spaceGroup;
  if (sg && !sg->positions.empty()) {
    if (ReflectionForbidden(*sg, item.h, item.k, item.l)) {
      std::snprintf(text, sizeof text,
                    "is forbidden by the systematic absences of space group %s (no. %d, "
                    "setting %d): a wrong space group or a wrong indexing",
                    sg->shortSymbol.c_str(), sg->number, sg->setting);
      return text;
    }
    const int m = LaueMultiplicity(*sg, item.h, item.k, item.l);
    if (item.multiplicity != m) {
      *column = "mult";
      std::snprintf(text, sizeof text,
                    "disagrees with the Laue class of space group %s (no. %d, setting %d): "
                    "%d %d %d has %d equivalents",
                    sg->shortSymbol.c_str(), sg->number, sg->setting, item.h, item.k, item.l, m);
      return text;
    }
  }
  if (!rules.hasCell) return "";
  const double q = InverseDSquared(rules, item.h, item.k, item.l);
  if (!(q > 0)) return "";
  const double d = 1 / std::sqrt(q);
  const double lambda = rules.lambda;
  const double angleTolerance = kPosition2ThetaTolerance + kPositionFwhmTolerance * item.fwhm;
  if (lambda > 0 && lambda >= 2 * d) {
    *column = "d";
    std::snprintf(text, sizeof text,
                  "disagrees with the cell: %d %d %d has d %.6f A, below half the wavelength "
                  "%.6f A, where no angle diffracts it",
                  item.h, item.k, item.l, d, lambda);
    return text;
  }
  const double angle = lambda > 0 ? BraggAngle(lambda, d) : 0;
  // A position is wrong only when it strays beyond both margins.
  auto strays = [&](double dFound) {
    if (std::fabs(dFound - d) <= kPositionToleranceD * d) return false;
    return !(lambda > 0 && std::fabs(BraggAngle(lambda, dFound) - angle) <= angleTolerance);
  };
  char allowed[128];
  std::snprintf(allowed, sizeof allowed,
                "at most %.1f %% in d or %.3f degrees (%.2f + %.1f x fwhm) in 2theta",
                kPositionToleranceD * 100, angleTolerance,
                kPosition2ThetaTolerance, kPositionFwhmTolerance);
  if (strays(item.d)) {
    *column = "d";
    std::snprintf(text, sizeof text,
                  "disagrees with the cell: %d %d %d has d %.6f A (off by %.3f %%; %s)", item.h,
                  item.k, item.l, d, std::fabs(item.d - d) / d * 100, allowed);
    return text;
  }
  if (lambda > 0) {
    const double s = std::sin(item.twoTheta * kPi / 360);
    if (strays(lambda / (2 * s))) {
      *column = "2theta";
      std::snprintf(text, sizeof text,
                    "disagrees with the cell and wavelength %.6f A: %d %d %d lies at %.4f "
                    "degrees (off by %.4f degrees; %s)",
                    lambda, item.h, item.k, item.l, angle, std::fabs(item.twoTheta - angle),
                    allowed);
      return text;
    }
  }
  return "";
}

int ReadHKLList(HKLList *list, const char *path, int format, double *startAngle, double *endAngle,
                double width, int autoRange, const ReflectionRules *rules) {
  std::string why;
  FilePtr file = OpenInputFile(path, kMaxPeakFileBytes, &why);
  if (!file) {
    Message(MESSAGE_ERROR, "reading hkl file, cannot open file %s (%s)\n", path, why.c_str());
    FreeHKLList(list);
    *startAngle = 0;
    *endAngle = 0;
    return 0;
  }
  return ReadHKLListStream(list, file.get(), path, format, startAngle, endAngle, width, autoRange,
                           rules);
}

int ReadHKLListStream(HKLList *list, std::FILE *stream, const char *path, int format,
                      double *startAngle, double *endAngle, double width, int autoRange,
                      const ReflectionRules *rules) {
  auto fail = [&] {
    FreeHKLList(list);
    *startAngle = 0;
    *endAngle = 0;
    return 0;
  };
  if (format < PEAK_FILE_INTERNAL || format > PEAK_FILE_PCW) {
    Message(MESSAGE_ERROR, "Reading hkl file \"%s\", unknown peak file format %d!\n", path, format);
    return fail();
  }
  if (!std::isfinite(width) || width < 0) {
    Message(MESSAGE_ERROR, "Reading hkl file \"%s\", width factor %g: expected at least 0\n", path,
            width);
    return fail();
  }
  const Layout layout = LayoutOf(format);
  double smallest = 360.0, largestAngle = -1.0, largestObs = 0.0;
  const size_t first = list->items.size();
  LineReader lines(stream, kMaxLine, kMaxPeakFileBytes);
  while (lines.Next()) {
    const int number = lines.number();
    if (lines.binary()) {
      Message(MESSAGE_ERROR, "%s:%d: binary data (a NUL or control character): not a peak file\n",
              path, number);
      return fail();
    }
    if (number <= layout.headerLines) continue;
    const char *text = lines.text().c_str();
    const char *firstChar = text;
    while (*firstChar && IsBlank(static_cast<unsigned char>(*firstChar))) ++firstChar;
    if (lines.tooLong()) {
      // A long comment is harmless; a long data line was never meant.
      if (*firstChar == ';') continue;
      Message(MESSAGE_ERROR, "%s:%d: a line of %zu characters: a line holds at most %zu\n", path,
              number, lines.length(), kMaxLine);
      return fail();
    }
    if (!*firstChar || *firstChar == ';') continue;
    HKLItem item;
    bool skip = false;
    const Column *bad = nullptr;
    std::string token;
    if (!ScanLine(text, layout, &item, &skip, &bad, &token)) {
      if (token.empty())
        Message(MESSAGE_ERROR, "%s:%d: %s: missing: expected the columns %s\n", path, number,
                bad->name, layout.names);
      else
        Message(MESSAGE_ERROR, "%s:%d: %s: '%s' in a wrong format: expected %s\n", path, number,
                bad->name, token.c_str(),
                bad->integer || !bad->real ? "a whole number" : "a finite decimal number");
      return fail();
    }
    const char *column = nullptr;
    std::string value;
    const std::string problem = ValueProblem(item, &column, &value);
    if (!problem.empty()) {
      Message(MESSAGE_ERROR, "%s:%d: %s: '%s' %s\n", path, number, column, value.c_str(),
              problem.c_str());
      return fail();
    }
    if (skip) continue;
    if (rules) {
      const std::string broken = ReflectionRuleProblem(*rules, item, &column);
      if (!broken.empty()) {
        char found[64];
        if (std::strcmp(column, "h k l") == 0)
          std::snprintf(found, sizeof found, "%d %d %d", item.h, item.k, item.l);
        else if (std::strcmp(column, "mult") == 0)
          std::snprintf(found, sizeof found, "%d", item.multiplicity);
        else
          std::snprintf(found, sizeof found, "%.10g",
                        std::strcmp(column, "d") == 0 ? item.d : item.twoTheta);
        Message(MESSAGE_ERROR, "%s:%d: %s: '%s' %s\n", path, number, column, found,
                broken.c_str());
        return fail();
      }
    }
    if (item.twoTheta < smallest) smallest = item.twoTheta;
    if (item.twoTheta > largestAngle) largestAngle = item.twoTheta;
    if (!autoRange && !(*startAngle <= item.twoTheta && item.twoTheta <= *endAngle)) continue;
    try {
      list->items.push_back(std::move(item));
    } catch (const std::bad_alloc &) {
      Message(MESSAGE_ERROR,
              format == PEAK_FILE_INTERNAL ? "Reading hkl file \"%s\", memory error!\n"
                                           : "Reading hkl file \"%s\", not enough memory!\n",
              path);
      return fail();
    }
    if (list->items.back().iObs > largestObs) largestObs = list->items.back().iObs;
  }
  if (lines.failed()) {
    if (lines.exceeded())
      Message(MESSAGE_ERROR, "Reading hkl file \"%s\", more than %lld bytes: not a peak file\n",
              path, kMaxPeakFileBytes);
    else if (lines.abandoned())
      Message(MESSAGE_ERROR, "%s:%d: a line of more than %zu characters: not a peak file\n", path,
              lines.number(), LineReader::kMaxLineBytes);
    else
      Message(MESSAGE_ERROR, "Reading hkl file \"%s\", the file could not be read to its end\n",
              path);
    return fail();
  }
  const size_t kept = list->items.size() - first;
  // With nothing kept there is nothing to narrow the range to: it stays as
  // it was rather than becoming 360 to -1 or turning inside out.
  if (kept == 0) return 0;
  // Nothing observed, nothing to fit: every model would score alike.
  if (largestObs == 0.0) {
    Message(MESSAGE_ERROR,
            "Reading hkl file \"%s\", every observed intensity in the range is 0: nothing to "
            "fit\n",
            path);
    return fail();
  }
  for (size_t i = first; i < list->items.size(); ++i) {
    HKLItem &item = list->items[i];
    // Divided first, so that intensities near the largest double do not
    // overflow on their way to 100.
    item.iObsScaled = item.iObs / largestObs * 100.0;
  }
  if (autoRange) {
    *startAngle = smallest;
    *endAngle = largestAngle;
  } else {
    if (*startAngle < smallest) *startAngle = smallest;
    if (*endAngle > largestAngle) *endAngle = largestAngle;
  }
  GroupHKLList(list, width);
  return static_cast<int>(kept);
}

bool ReflectionForbidden(const SpaceGroup &sg, int h, int k, int l) {
  if (sg.positions.empty()) return false;
  // An operator that maps the reflection onto itself but shifts its phase
  // by other than a whole turn extinguishes it.
  for (const Coordinate &op : sg.positions.front().fullCoordinates) {
    const double(*m)[4] = op.matrix;
    bool same = true;
    for (int j = 0; j < 3 && same; ++j)
      same = std::lround(h * m[0][j] + k * m[1][j] + l * m[2][j]) == (j == 0 ? h : j == 1 ? k : l);
    if (!same) continue;
    const double phase = h * m[0][3] + k * m[1][3] + l * m[2][3];
    if (std::fabs(phase - std::round(phase)) > 1e-6) return true;
  }
  return false;
}

void WriteHKLList(std::FILE *f, const HKLList *list) {
  std::fputs(";h, k, l, d, 2theta, mult, fwhm, Iobs, Icalc, group\n", f);
  for (const HKLItem &item : list->items)
    std::fprintf(f, "%d %d %d %f %f %d %f %f %f %d\n", item.h, item.k, item.l, item.d,
                 item.twoTheta, item.multiplicity, item.fwhm, item.iObsScaled, item.iCalc,
                 item.group);
}

int WriteHKLListFile(const char *path, const HKLList *list) {
  AtomicFile file(path, "w+");
  std::FILE *f = file.get();
  if (!f) {
    Message(MESSAGE_ERROR, "writing hkl list file, cannot create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  WriteHKLList(f, list);
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "writing hkl list file, cannot write file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  return 1;
}
