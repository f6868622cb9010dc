// SPDX-License-Identifier: BSD-3-Clause
// Measured powder patterns: counts against 2theta, read from the layouts
// diffractometers and refinement programs write.
#ifndef PULVINA_PATTERN_H
#define PULVINA_PATTERN_H

#include <string>
#include <vector>

struct MeasuredPattern {
  std::vector<double> x;      // 2theta, degrees, strictly increasing
  std::vector<double> y;      // intensity (counts or normalised counts)
  std::vector<double> sigma;  // standard uncertainty of y, > 0
  std::string format;         // what the file was read as, e.g. "GSAS raw (STD)", "FXYE", "xy", a xylib format name
};

// Fewer points than this are no scan to fit a profile to.
constexpr size_t kMinPatternPoints = 50;
// Largest pattern file read: far above the longest synchrotron scan.
constexpr long long kMaxPatternFileBytes = 256LL << 20;

// Reads a measured pattern in any format we know; on failure returns false with *error
// naming the file, the line (where there is one) and the reason.
//
// The reader is chosen by the content first and the extension second: a
// BANK line after the title (and '#' comments) is a GSAS raw file (STD, ESD
// and ALT records, or FXYE/FXY columns; the first bank is read); columns of
// two or three numbers are plain x-y(-sigma) text; anything else goes to
// xylib (Bruker RAW and UXD, Philips UDF and RD, Rigaku DAT, pdCIF, DBWS,
// RIET7, CPI, VAMAS, XRDML, ...; the first block is read). Without an
// uncertainty in the file, sigma is sqrt(counts) with counts below 1 taken
// as 1. Every pattern is checked (CheckMeasuredPattern) before it is
// returned; *pattern is left empty on failure.
[[nodiscard]] bool ReadMeasuredPattern(const std::string &path, MeasuredPattern *pattern, std::string *error);
// The same from the bytes of a file held in memory; name stands for the
// file in messages and lends its extension to the choice of reader.
[[nodiscard]] bool ReadMeasuredPatternBytes(const std::string &bytes, const std::string &name,
                                            MeasuredPattern *pattern, std::string *error);
// What every pattern must be before a fit can use it: at least
// kMinPatternPoints points, every value finite, 2theta strictly increasing
// inside (0, 180) degrees, every sigma above 0. lines[i] is the line of the
// file point i was read from (0 or missing: none, the point is named by its
// number). False with *error "name:line: reason" or "name: point n: reason".
[[nodiscard]] bool CheckMeasuredPattern(const MeasuredPattern &pattern, const std::string &name,
                                        const std::vector<int> &lines, std::string *error);

#endif
