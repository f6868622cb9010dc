// SPDX-License-Identifier: BSD-3-Clause
// Peak files (the indexed reflections observed) and the HKL list file.
#ifndef PULVINA_DIFFRACTOMETER_H
#define PULVINA_DIFFRACTOMETER_H

#include <cstdio>
#include <string>

#include "profile.h"
#include "spacegroup.h"

// Layouts of "PEAK_FILE_FORMAT".
enum PeakFileFormat { PEAK_FILE_INTERNAL = 0, PEAK_FILE_FULLPROF = 1, PEAK_FILE_PCW = 2 };

// What a job knows that its reflections must agree with. A reflection is
// refused when the space group extinguishes it, when an index lies beyond
// kMaxReflectionIndex, when its multiplicity is not the number of its
// equivalents in the Laue class, or when its d or 2theta disagrees with the
// cell and wavelength: by more than kPositionToleranceD of d AND by more
// than kPosition2ThetaTolerance + kPositionFwhmTolerance x FWHM in 2theta
// (either margin alone is enough, so that a zero shift at low angle and a
// refined cell at high angle both pass). The three layouts all carry d and
// 2theta, so both are checked. The FullProf layout's second-wavelength
// lines are not checked: they are not read.
struct ReflectionRules {
  // Null or without positions: absences and multiplicities go unchecked.
  const SpaceGroup *spaceGroup = nullptr;
  // The cell (angstrom, degrees); no position is checked without one.
  bool hasCell = false;
  double a = 0, b = 0, c = 0, alpha = 0, beta = 0, gamma = 0;
  // The wavelength 2theta belongs to (the first of a doublet); 0: 2theta
  // is compared through d only.
  double lambda = 0;
};
constexpr int kMaxReflectionIndex = 500;
constexpr double kPositionToleranceD = 0.002;
constexpr double kPosition2ThetaTolerance = 0.05;
constexpr double kPositionFwhmTolerance = 0.2;

// Appends the reflections of a peak file that lie in the 2theta range (all of
// them with autoRange), scales their observed intensities to 100, narrows
// the range to the data (with autoRange sets it to the data's) and groups
// the list. Returns the number kept. 0 on failure, when the list is freed and
// both angles are 0; 0 also when no reflection lies in the range, which
// leaves list and range as they were.
// Only a regular file is read; a value no reflection can have (a
// multiplicity below 1, a spacing of 0, an angle outside 0 to 180, a
// negative width or intensity) stops the reading naming file, line and
// column, and so does a range in which every observed intensity is 0.
// With rules, every reflection read (kept or not) must also keep them.
[[nodiscard]] int ReadHKLList(HKLList *list, const char *path, int format, double *startAngle, double *endAngle,
                double width, int autoRange, const ReflectionRules *rules = nullptr);
// The same from an open stream; path names it in messages.
[[nodiscard]] int ReadHKLListStream(HKLList *list, std::FILE *stream, const char *path, int format,
                      double *startAngle, double *endAngle, double width, int autoRange,
                      const ReflectionRules *rules = nullptr);
// What is wrong with a reflection under the rules, "" when nothing is;
// *column names the column at fault.
std::string ReflectionRuleProblem(const ReflectionRules &rules, const HKLItem &item,
                                  const char **column);
// The number of reflections equivalent to h k l in the Laue class of the
// space group (its rotations and the inversion); 1 without operations.
[[nodiscard]] int LaueMultiplicity(const SpaceGroup &sg, int h, int k, int l);
// True when the space group extinguishes the reflection h k l (an operator
// of the group keeps it and shifts its phase).
[[nodiscard]] bool ReflectionForbidden(const SpaceGroup &sg, int h, int k, int l);
// Returns 1, or 0 when the file cannot be created or written; the file is
// replaced only once it is complete.
[[nodiscard]] int WriteHKLListFile(const char *path, const HKLList *list);
// The text of an HKL list file, into an open stream.
void WriteHKLList(std::FILE *stream, const HKLList *list);

#endif
