// SPDX-License-Identifier: BSD-3-Clause
#include "coordinate.h"

#include <cctype>
#include <cstring>

#include "utils.h"

namespace {

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

double WrongCoordinate(const char *expression) {
  Message(MESSAGE_ERROR, "parsing space group coordinates, wrong coordinate format '%s'\n",
          expression);
  return -1;
}

}  // namespace

double CoeffiecientOfVar(const char *expression, char variable) {
  const size_t n = std::strlen(expression);
  if (variable == 'x' || variable == 'y' || variable == 'z') {
    const char *hit = std::strchr(expression, variable);
    if (!hit) return 0;
    size_t i = static_cast<size_t>(hit - expression);
    if (i == 0 || expression[i - 1] == '+') return 1;
    if (expression[i - 1] == '-') return -1;
    if (IsDigit(expression[i - 1])) {
      double d = expression[i - 1] - '0';
      if (i == 1 || expression[i - 2] == '+') return d;
      if (expression[i - 2] == '-') return -d;
    }
    return WrongCoordinate(expression);
  }
  // The constant is a fraction n/m at the first "/". Numerator and
  // denominator are whole runs of digits: tables of the hexagonal screw axes
  // need twelfths such as 11/12.
  const char *slash = std::strchr(expression, '/');
  if (!slash) return 0;
  size_t s = static_cast<size_t>(slash - expression);
  if (s == 0 || !IsDigit(expression[s - 1]) || s + 1 >= n || !IsDigit(expression[s + 1]))
    return WrongCoordinate(expression);
  size_t start = s;
  while (start > 0 && IsDigit(expression[start - 1])) --start;
  double numerator = 0, denominator = 0;
  for (size_t i = start; i < s; ++i) numerator = numerator * 10 + (expression[i] - '0');
  for (size_t i = s + 1; i < n && IsDigit(expression[i]); ++i)
    denominator = denominator * 10 + (expression[i] - '0');
  if (denominator == 0) return WrongCoordinate(expression);
  if (start == 0 || expression[start - 1] == '+') return numerator / denominator;
  if (expression[start - 1] == '-') return -numerator / denominator;
  return WrongCoordinate(expression);
}

void ExpressionToVector(const char *expression, double row[4]) {
  row[0] = CoeffiecientOfVar(expression, 'x');
  row[1] = CoeffiecientOfVar(expression, 'y');
  row[2] = CoeffiecientOfVar(expression, 'z');
  row[3] = CoeffiecientOfVar(expression, 'c');
}

int CoordinateToMatrix(const char *triplet, double matrix[3][4]) {
  const char *first = std::strchr(triplet, ',');
  const char *second = first ? std::strchr(first + 1, ',') : nullptr;
  if (!second) {
    Message(MESSAGE_ERROR, "parsing space group coordinates, wrong coordinate format '%s'\n",
            triplet);
    return 0;
  }
  const char *third = std::strchr(second + 1, ',');
  std::string e0(triplet, first);
  std::string e1(first + 1, second);
  std::string e2 = third ? std::string(second + 1, third) : std::string(second + 1);
  ExpressionToVector(e0.c_str(), matrix[0]);
  ExpressionToVector(e1.c_str(), matrix[1]);
  ExpressionToVector(e2.c_str(), matrix[2]);
  return 1;
}

int SetCoordinates(const char *text, Coordinates *coordinates) {
  std::string clean = RemoveSpace(std::string(text));
  int count = 0;
  size_t p = 0;
  while ((p = clean.find('(', p)) != std::string::npos) {
    size_t close = clean.find(')', p + 1);
    if (close == std::string::npos) {
      Message(MESSAGE_ERROR, "set Wyckoff position coordinates,wrong format for '%s'\n", text);
      return -1;
    }
    std::string inside = clean.substr(p + 1, close - p - 1);
    Coordinate c;
    c.text = inside.substr(0, kCoordinateTextLength);
    if (!CoordinateToMatrix(inside.c_str(), c.matrix)) return -1;
    coordinates->push_back(std::move(c));
    ++count;
    p = close + 1;
  }
  return count;
}

void CoordMatrixAdd(double out[3][4], const double a[3][4], const double b[3][4]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) out[i][j] = a[i][j] + b[i][j];
}

void CoordMatrixMultiply(const double m[3][4], double x, double y, double z, double *outX,
                         double *outY, double *outZ) {
  *outX = m[0][0] * x + m[0][1] * y + m[0][2] * z + m[0][3];
  *outY = m[1][0] * x + m[1][1] * y + m[1][2] * z + m[1][3];
  *outZ = m[2][0] * x + m[2][1] * y + m[2][2] * z + m[2][3];
}

int MergeCoordinates(Coordinates *full, const Coordinates &coordinates,
                     const Coordinates &translations) {
  int count = 0;
  for (const Coordinate &c : coordinates) {
    if (translations.empty()) {
      full->push_back(c);
      ++count;
      continue;
    }
    for (const Coordinate &t : translations) {
      Coordinate merged;
      merged.text = ("(" + c.text + ") + (" + t.text + ")").substr(0, kCoordinateTextLength);
      CoordMatrixAdd(merged.matrix, c.matrix, t.matrix);
      full->push_back(std::move(merged));
      ++count;
    }
  }
  return count;
}

void FreeCoordinates(Coordinates *coordinates) { Coordinates().swap(*coordinates); }
