// SPDX-License-Identifier: BSD-3-Clause
// Coordinate triplets such as "-x,y+1/2,-z" as 3x4 affine matrices.
#ifndef PULVINA_COORDINATE_H
#define PULVINA_COORDINATE_H

#include <string>
#include <vector>

constexpr size_t kCoordinateTextLength = 31;

struct Coordinate {
  std::string text;        // as written, blanks removed; at most 31 characters
  double matrix[3][4] = {};  // row i: coefficients of x, y, z and the constant
};
using Coordinates = std::vector<Coordinate>;

[[nodiscard]] int SetCoordinates(const char *text, Coordinates *coordinates);
[[nodiscard]] int CoordinateToMatrix(const char *triplet, double matrix[3][4]);
void ExpressionToVector(const char *expression, double row[4]);
// variable is 'x', 'y' or 'z'; any other character asks for the constant.
double CoeffiecientOfVar(const char *expression, char variable);
int MergeCoordinates(Coordinates *fullCoordinates, const Coordinates &coordinates,
                     const Coordinates &translations);
void CoordMatrixAdd(double out[3][4], const double a[3][4], const double b[3][4]);
void CoordMatrixMultiply(const double matrix[3][4], double x, double y, double z, double *outX,
                         double *outY, double *outZ);
void FreeCoordinates(Coordinates *coordinates);

#endif
