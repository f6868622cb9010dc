// SPDX-License-Identifier: BSD-3-Clause
#include "diffractometer.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

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

}  // namespace

int ReadHKLList(HKLList *list, const char *path, int format, double *startAngle, double *endAngle,
                double width, int autoRange) {
  std::string why;
  FilePtr file = OpenInputFile(path, kMaxPeakFileBytes, &why);
  if (!file) {
    Message(MESSAGE_ERROR, "reading hkl file, cannot open file %s (%s)\n", path, why.c_str());
    FreeHKLList(list);
    *startAngle = 0;
    *endAngle = 0;
    return 0;
  }
  return ReadHKLListStream(list, file.get(), path, format, startAngle, endAngle, width, autoRange);
}

int ReadHKLListStream(HKLList *list, std::FILE *stream, const char *path, int format,
                      double *startAngle, double *endAngle, double width, int autoRange) {
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
    Message(MESSAGE_ERROR, "writting hkl list file, Can not create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  WriteHKLList(f, list);
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "writting hkl list file, Can not write file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  return 1;
}
