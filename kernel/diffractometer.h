// Peak files (the indexed reflections observed) and the HKL list file.
#ifndef PULVINA_DIFFRACTOMETER_H
#define PULVINA_DIFFRACTOMETER_H

#include "profile.h"

// Layouts of "PEAK_FILE_FORMAT".
enum PeakFileFormat { PEAK_FILE_INTERNAL = 0, PEAK_FILE_FULLPROF = 1, PEAK_FILE_PCW = 2 };

// Appends the reflections of a peak file that lie in the 2theta range (all of
// them with autoRange), scales their observed intensities to 100, narrows
// the range to the data (with autoRange sets it to the data's) and groups
// the list. Returns the number kept. 0 on failure, when the list is freed and
// both angles are 0; 0 also when no reflection lies in the range, which
// leaves list and range as they were.
int ReadHKLList(HKLList *list, const char *path, int format, double *startAngle, double *endAngle,
                double width, int autoRange);
// Returns 1, or 0 when the file cannot be created or written; the file is
// replaced only once it is complete.
int WriteHKLListFile(const char *path, const HKLList *list);

#endif
