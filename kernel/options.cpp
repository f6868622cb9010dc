// SPDX-License-Identifier: BSD-3-Clause
#include "options.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "file.h"

namespace {

std::string Quoted(const char *text) { return std::string("'") + (text ? text : "") + "'"; }

}  // namespace

bool ParseWholeNumber(const char *text, uint64_t maximum, uint64_t *value) {
  if (!text || *text < '0' || *text > '9') return false;
  const char *last = text + std::strlen(text);
  uint64_t v = 0;
  const std::from_chars_result r = std::from_chars(text, last, v, 10);
  if (r.ec != std::errc() || r.ptr != last || v > maximum) return false;
  *value = v;
  return true;
}

bool ParseDecimalNumber(const char *text, double *value) {
  if (!text || !*text) return false;
  const char *last = text + std::strlen(text);
  double v = 0;
  const std::from_chars_result r = std::from_chars(text, last, v);
  if (r.ec != std::errc() || r.ptr != last || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool CheckThreadsOption(const char *text, int *threads, std::string *why) {
  uint64_t n = 0;
  if (!ParseWholeNumber(text, kMaxThreads, &n) || n < 1) {
    *why = "--threads needs a whole number from 1 to " + std::to_string(kMaxThreads) + ", not " +
           Quoted(text);
    return false;
  }
  *threads = static_cast<int>(n);
  return true;
}

bool CheckSeedOption(const char *text, uint64_t *seed, std::string *why) {
  if (!ParseWholeNumber(text, UINT64_MAX, seed)) {
    *why = "--seed needs a whole number from 0 to " + std::to_string(UINT64_MAX) + ", not " +
           Quoted(text);
    return false;
  }
  return true;
}

bool CheckDataOption(const char *text, std::string *folder, std::string *why) {
  if (!text || !*text) {
    *why = "--data needs a folder name, not " + Quoted(text);
    return false;
  }
  *folder = text;
  return true;
}

bool CheckPatternOption(const char *text, std::string *path, std::string *why) {
  if (!text || !*text) {
    *why = "--pattern needs the file of a measured pattern, not " + Quoted(text);
    return false;
  }
  *path = text;
  return true;
}

bool CheckOverallBOption(const char *text, bool takesAuto, OverallBOption *b, std::string *why) {
  const std::string needs =
      std::string("--overall-b needs ") + (takesAuto ? "'auto' or " : "") + "a value of OVERALL_B";
  if (text && std::strcmp(text, "auto") == 0) {
    if (!takesAuto) {
      *why = needs + ", not 'auto' (no observed intensities here to estimate it from)";
      return false;
    }
    b->automatic = true;
    b->value = 0;
    return true;
  }
  // The control file's key owns the range: an option cannot set what the
  // file could not hold.
  double v = 0;
  std::string reason;
  if (!text || !CheckConfigValue("OVERALL_B", text, &v, &reason)) {
    *why = needs + ", not " + Quoted(text) + " (" + reason + ")";
    return false;
  }
  b->automatic = false;
  b->value = v;
  return true;
}

std::string MissingValueReason(const std::string &option) {
  return "option " + option + " needs a value";
}

std::string UnknownOptionReason(const std::string &option) {
  return "unknown option '" + option + "' (try --help)";
}
