// SPDX-License-Identifier: BSD-3-Clause
// The output files of a job: the CIF of a model's crystal and the model
// file listing every model.
#ifndef PULVINA_WRITERS_H
#define PULVINA_WRITERS_H

#include <cstdio>
#include <string>

#include "job.h"

// A triplet of a 3x4 matrix in the usual notation ("-x+y,x,z+1/6"), with the
// constant reduced into [0, 1).
std::string MatrixToTriplet(const double matrix[3][4]);
// Returns 1 when written, 0 when the file could not be written (reported).
// With a model, the overall B and March-Dollase r it carries replace the
// job's.
[[nodiscard]] int WriteCIFFile(const char *path, const Crystal *crystal, const Job *job,
                               const CrystalModel *model = nullptr);
[[nodiscard]] int WriteModelFile(const char *path, Job *job);
// The texts of those files, into an open stream.
void WriteCIF(std::FILE *stream, const Crystal *crystal, const Job *job,
              const CrystalModel *model = nullptr);
void WriteModel(std::FILE *stream, Job *job);
// The formula as the CIF dictionary writes it: element symbols in Hill's
// order with their counts per formula unit, 1 left out ("Ba O4 S").
std::string FormulaSum(const Compound &compound);

#endif
