// SPDX-License-Identifier: BSD-3-Clause
// Peak files (the indexed reflections observed) and the HKL list file.
#ifndef PULVINA_DIFFRACTOMETER_H
#define PULVINA_DIFFRACTOMETER_H

#include <cstdio>

#include "profile.h"
#include "spacegroup.h"

// Layouts of "PEAK_FILE_FORMAT".
enum PeakFileFormat { PEAK_FILE_INTERNAL = 0, PEAK_FILE_FULLPROF = 1, PEAK_FILE_PCW = 2 };

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
[[nodiscard]] int ReadHKLList(HKLList *list, const char *path, int format, double *startAngle, double *endAngle,
                double width, int autoRange);
// The same from an open stream; path names it in messages.
[[nodiscard]] int ReadHKLListStream(HKLList *list, std::FILE *stream, const char *path, int format,
                      double *startAngle, double *endAngle, double width, int autoRange);
// True when the space group extinguishes the reflection h k l (an operator
// of the group keeps it and shifts its phase).
[[nodiscard]] bool ReflectionForbidden(const SpaceGroup &sg, int h, int k, int l);
// Returns 1, or 0 when the file cannot be created or written; the file is
// replaced only once it is complete.
[[nodiscard]] int WriteHKLListFile(const char *path, const HKLList *list);
// The text of an HKL list file, into an open stream.
void WriteHKLList(std::FILE *stream, const HKLList *list);

#endif
