// SPDX-License-Identifier: BSD-3-Clause
// Measured patterns as plain columns "2theta y [sigma]", "#" starting a
// comment. Without a sigma column the counts are taken as Poisson counts.
#include "pattern.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "utils.h"

bool ReadMeasuredPattern(const std::string &path, MeasuredPattern *pattern, std::string *error) {
  *pattern = MeasuredPattern();
  std::string why;
  FilePtr file = OpenInputFile(path, kMaxPeakFileBytes, &why);
  if (!file) {
    *error = path + ": " + why;
    return false;
  }
  LineReader reader(file.get(), 1023, kMaxPeakFileBytes);
  while (reader.Next()) {
    std::string text = reader.text();
    if (size_t hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    const char *p = text.c_str();
    double v[3];
    int n = 0;
    char *end = nullptr;
    for (; n < 3; ++n) {
      v[n] = std::strtod(p, &end);
      if (end == p) break;
      p = end;
    }
    while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
    if (n == 0 && *p == '\0') continue;  // blank or comment
    const std::string where = path + ":" + std::to_string(reader.number()) + ": ";
    if (n < 2 || *p != '\0' || !std::isfinite(v[0]) || !std::isfinite(v[1]) ||
        (n == 3 && !(v[2] > 0 && std::isfinite(v[2])))) {
      *error = where + "expected '2theta intensity [sigma]' with a sigma above 0";
      return false;
    }
    if (!pattern->x.empty() && !(v[0] > pattern->x.back())) {
      *error = where + "2theta does not increase";
      return false;
    }
    pattern->x.push_back(v[0]);
    pattern->y.push_back(v[1]);
    pattern->sigma.push_back(n == 3 ? v[2] : std::sqrt(std::max(v[1], 1.0)));
  }
  if (reader.failed() || reader.binary()) {
    *error = path + ": not a readable text file";
    return false;
  }
  if (pattern->x.empty()) {
    *error = path + ": no data points";
    return false;
  }
  pattern->format = "xy";
  return true;
}
