// SPDX-License-Identifier: BSD-3-Clause
// The command-line options the programs share (--threads, --seed, --data,
// --overall-b): their ranges and the words of their refusals live here
// alone, so that the desktop program, the batch solver and the pattern
// calculator take and refuse the same values alike. Each check reads the
// text of one value and returns the value, or false with the whole reason
// in *why ("--threads needs a whole number from 1 to 256, not '0'"), which
// the program prints after its own name before it exits with status 2.
#ifndef PULVINA_OPTIONS_H
#define PULVINA_OPTIONS_H

#include <cstdint>
#include <string>

// Worker threads a run may ask for; the stages never start more.
constexpr int kMaxThreads = 256;

// --threads N: 1 to kMaxThreads. Leaving the option out means every online
// core; there is no number for that, so 0 is refused.
[[nodiscard]] bool CheckThreadsOption(const char *text, int *threads, std::string *why);
// --seed N: any unsigned 64-bit number, written in decimal digits.
[[nodiscard]] bool CheckSeedOption(const char *text, uint64_t *seed, std::string *why);
// --data DIR: a folder name; an empty one would quietly fall back to the
// folders searched without the option. Whether the files are there is found
// out where they are read.
[[nodiscard]] bool CheckDataOption(const char *text, std::string *folder, std::string *why);
// --pattern FILE: the name of a measured pattern; an empty name is refused
// here, a file that is no pattern where it is read.
[[nodiscard]] bool CheckPatternOption(const char *text, std::string *path, std::string *why);

// --overall-b B|auto: B as OVERALL_B of the control file takes it (its range
// is the control file's), or auto, the estimate from the observed
// intensities, for a program that has them (takesAuto).
struct OverallBOption {
  bool automatic = false;
  double value = 0;
};
[[nodiscard]] bool CheckOverallBOption(const char *text, bool takesAuto, OverallBOption *b, std::string *why);

// The words of the two mistakes every option parser meets.
std::string MissingValueReason(const std::string &option);
std::string UnknownOptionReason(const std::string &option);

// A whole number in decimal digits, nothing else ("", "-1", "+1", " 1",
// "1e3" and numbers past maximum are refused, never clamped), for the
// options of one program that count something.
[[nodiscard]] bool ParseWholeNumber(const char *text, uint64_t maximum, uint64_t *value);
// A finite decimal number, the whole text (an exponent is allowed; blanks,
// a '+' and hexadecimal are not), read the same in every locale.
[[nodiscard]] bool ParseDecimalNumber(const char *text, double *value);

#endif
