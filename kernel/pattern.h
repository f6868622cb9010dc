// SPDX-License-Identifier: BSD-3-Clause
#ifndef PULVINA_PATTERN_H
#define PULVINA_PATTERN_H

#include <string>
#include <vector>

struct MeasuredPattern {
  std::vector<double> x;      // 2theta, degrees, strictly increasing
  std::vector<double> y;      // intensity
  std::vector<double> sigma;  // standard uncertainty of y, > 0
  std::string format;
};
[[nodiscard]] bool ReadMeasuredPattern(const std::string &path, MeasuredPattern *pattern, std::string *error);

#endif
