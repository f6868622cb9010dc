// SPDX-License-Identifier: BSD-3-Clause
// The reflections a cell and a space group allow in a range of 2theta: what
// a pattern is calculated from and what an extraction partitions into.
#ifndef PULVINA_REFLECTIONS_H
#define PULVINA_REFLECTIONS_H

#include <string>
#include <vector>

#include "crystal.h"

struct Reflection {
  int h, k, l, multiplicity;
  double d, twoTheta;
};

// Reflections the pattern of one run may hold; a cell and range beyond
// this would take hours and gigabytes to list.
constexpr double kMaxReflections = 2e7;

// Reciprocal metric of the cell (1/d^2 = h^T g h), for d-spacings of any
// cell; false when the cell spans no volume.
bool ReciprocalMetric(const Crystal &c, double g[3][3]);

// Every reflection of the range that the space group does not extinguish,
// one per set of equivalents under the Laue class (Friedel mates included),
// sorted by 2theta. False with the reason when the cell has no volume or
// the range would hold too many reflections.
bool Reflections(const Crystal &crystal, double lambda, double start, double end,
                 std::vector<Reflection> *out, std::string *error);

#endif
