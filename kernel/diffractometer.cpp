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

struct Line {
  char text[kMaxLine + 1];
  size_t length = 0;  // characters before the line end
  bool blank = true;
  char first = 0;  // first character that is not white space
};

bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads one line of any length, keeping its first kMaxLine characters; a CR
// before the line feed is no part of the line. False at the end of the file.
bool ReadLine(std::FILE *f, Line *line) {
  line->length = 0;
  line->blank = true;
  line->first = 0;
  int c;
  int last = 0;
  bool any = false;
  while ((c = std::getc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line->length < kMaxLine) line->text[line->length] = static_cast<char>(c);
    ++line->length;
    if (line->blank && !IsBlank(c)) {
      line->blank = false;
      line->first = static_cast<char>(c);
    }
    last = c;
  }
  if (c == '\n' && last == '\r') --line->length;
  line->text[line->length < kMaxLine ? line->length : kMaxLine] = '\0';
  return any;
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
  if (r.ec != std::errc() || r.ptr == s) return false;
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
  if (r.ec != std::errc() || r.ptr == s || !std::isfinite(*value)) return false;
  *p = r.ptr;
  return true;
}

// Reads the columns of one data line into the item; false when a field is
// missing or not a number. skip is set for the second-wavelength lines of
// the FullProf layout.
bool ScanLine(const char *text, int format, HKLItem *item, bool *skip) {
  const char *p = text;
  *skip = false;
  switch (format) {
    case PEAK_FILE_INTERNAL:
      return ScanInt(&p, &item->h) && ScanInt(&p, &item->k) && ScanInt(&p, &item->l) &&
             ScanInt(&p, &item->multiplicity) && ScanReal(&p, &item->d) &&
             ScanReal(&p, &item->twoTheta) && ScanReal(&p, &item->fwhm) &&
             ScanReal(&p, &item->iObs);
    case PEAK_FILE_FULLPROF: {
      int32_t n = 0;
      if (!(ScanInt(&p, &n) && ScanInt(&p, &item->h) && ScanInt(&p, &item->k) &&
            ScanInt(&p, &item->l) && ScanInt(&p, &item->multiplicity) && ScanReal(&p, &item->d) &&
            ScanReal(&p, &item->twoTheta) && ScanReal(&p, &item->fwhm) &&
            ScanReal(&p, &item->iObs)))
        return false;
      *skip = n == 2;
      return true;
    }
    default: {
      double unused = 0;
      return ScanInt(&p, &item->h) && ScanInt(&p, &item->k) && ScanInt(&p, &item->l) &&
             ScanReal(&p, &item->twoTheta) && ScanReal(&p, &item->d) && ScanReal(&p, &item->iObs) &&
             ScanReal(&p, &unused) && ScanInt(&p, &item->multiplicity) && ScanReal(&p, &item->fwhm);
    }
  }
}

}  // namespace

int ReadHKLList(HKLList *list, const char *path, int format, double *startAngle, double *endAngle,
                double width, int autoRange) {
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
  FilePtr file = OpenFile(path, "r");
  if (!file) {
    Message(MESSAGE_ERROR, "reading hkl file, cannot open file %s\n", path);
    return fail();
  }
  const int headerLines = format == PEAK_FILE_FULLPROF ? 3 : format == PEAK_FILE_PCW ? 10 : 0;
  double smallest = 360.0, largestAngle = -1.0, largestObs = 0.0;
  const size_t first = list->items.size();
  Line line;
  for (int number = 1; ReadLine(file.get(), &line); ++number) {
    if (number <= headerLines || line.blank || line.first == ';') continue;
    HKLItem item;
    bool skip = false;
    if (line.length > kMaxLine || !ScanLine(line.text, format, &item, &skip)) {
      Message(MESSAGE_ERROR, "Reading hkl file \"%s\", Wrong hkl file format, at line %d\n", path,
              number);
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
  if (std::ferror(file.get())) {
    Message(MESSAGE_ERROR, "reading hkl file, cannot open file %s\n", path);
    return fail();
  }
  file.reset();
  const size_t kept = list->items.size() - first;
  // With nothing kept there is nothing to narrow the range to: it stays as
  // it was rather than becoming 360 to -1 or turning inside out.
  if (kept == 0) return 0;
  for (size_t i = first; i < list->items.size(); ++i) {
    HKLItem &item = list->items[i];
    item.iObsScaled = largestObs == 0.0 ? 0.0 : item.iObs * 100.0 / largestObs;
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

int WriteHKLListFile(const char *path, const HKLList *list) {
  AtomicFile file(path, "w+");
  std::FILE *f = file.get();
  if (!f) {
    Message(MESSAGE_ERROR, "writting hkl list file, Can not create file '%s'!\n", path);
    return 0;
  }
  std::fputs(";h, k, l, d, 2theta, mult, fwhm, Iobs, Icalc, group\n", f);
  for (const HKLItem &item : list->items)
    std::fprintf(f, "%d %d %d %f %f %d %f %f %f %d\n", item.h, item.k, item.l, item.d,
                 item.twoTheta, item.multiplicity, item.fwhm, item.iObsScaled, item.iCalc,
                 item.group);
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "writting hkl list file, Can not write file '%s'!\n", path);
    return 0;
  }
  return 1;
}
