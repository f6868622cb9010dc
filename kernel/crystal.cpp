// SPDX-License-Identifier: BSD-3-Clause
#include "crystal.h"
#include "file.h"

#include <cmath>
#include <cstdio>

void InitializeAtoms(Atoms *atoms) { atoms->clear(); }
void FreeAtoms(Atoms *atoms) { Atoms().swap(*atoms); }

void InitializeCrystal(Crystal *crystal) {
  InitializeSpaceGroup(&crystal->spaceGroup);
  InitializeAtoms(&crystal->atoms);
  InitializeAtoms(&crystal->cellAtoms);
}

void FreeCrystal(Crystal *crystal) {
  FreeSpaceGroup(&crystal->spaceGroup);
  FreeAtoms(&crystal->atoms);
  FreeAtoms(&crystal->cellAtoms);
}

void TransMatrixIdentity(TransMatrix *m) {
  m->m.fill(0);
  (*m)(0, 0) = (*m)(1, 1) = (*m)(2, 2) = 1;
}

int TransMatrixFToC(TransMatrix *m, double a, double b, double c, double alpha, double beta,
                    double gamma) {
  const double rad = M_PI / 180.0;
  const double ca = std::cos(alpha * rad), cb = std::cos(beta * rad), cg = std::cos(gamma * rad);
  const double sg = std::sin(gamma * rad);
  const double v = a * b * c * std::sqrt(1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg);
  // A cell that spans no volume, or a square root of a negative term, has no
  // Cartesian frame; NaN would otherwise flow into every distance.
  if (v == 0 || sg == 0 || !std::isfinite(v)) {
    TransMatrixIdentity(m);
    return 0;
  }
  m->m.fill(0);
  (*m)(0, 0) = a;
  (*m)(0, 1) = b * cg;
  (*m)(0, 2) = c * cb;
  (*m)(1, 1) = b * sg;
  (*m)(1, 2) = c * (ca - cb * cg) / sg;
  (*m)(2, 2) = v / (a * b * sg);
  return 1;
}

void TransMatrixMultiply(const TransMatrix *m, double x, double y, double z, double *outX,
                         double *outY, double *outZ) {
  *outX = (*m)(0, 0) * x + (*m)(0, 1) * y + (*m)(0, 2) * z;
  *outY = (*m)(1, 0) * x + (*m)(1, 1) * y + (*m)(1, 2) * z;
  *outZ = (*m)(2, 0) * x + (*m)(2, 1) * y + (*m)(2, 2) * z;
}

bool CellAnglesAdmitACell(double alpha, double beta, double gamma) {
  const double r = M_PI / 180;
  if (!ConfigAdmits("CELL_ALPHA", alpha) || !ConfigAdmits("CELL_BETA", beta) ||
      !ConfigAdmits("CELL_GAMMA", gamma))
    return false;
  const double ca = std::cos(alpha * r), cb = std::cos(beta * r), cg = std::cos(gamma * r);
  // The squared volume of the cell of unit edges; cells thinner than this
  // are no cells a powder pattern comes from.
  return 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg > 1e-6;
}

bool CellFaceSpacings(const TransMatrix &m, double spacing[3]) {
  double e[3][3];
  for (int a = 0; a < 3; ++a)
    for (int r = 0; r < 3; ++r) e[a][r] = m(r, a);
  auto cross = [](const double *u, const double *v, double *w) {
    w[0] = u[1] * v[2] - u[2] * v[1];
    w[1] = u[2] * v[0] - u[0] * v[2];
    w[2] = u[0] * v[1] - u[1] * v[0];
  };
  double w[3];
  cross(e[1], e[2], w);
  const double volume = std::fabs(e[0][0] * w[0] + e[0][1] * w[1] + e[0][2] * w[2]);
  for (int a = 0; a < 3; ++a) {
    cross(e[(a + 1) % 3], e[(a + 2) % 3], w);
    const double area = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    if (!(area > 0) || !(volume > 0)) return false;
    spacing[a] = volume / area;
  }
  return true;
}

std::string CellProblem(double a, double b, double c, double alpha, double beta, double gamma) {
  char text[256];
  const double edges[3] = {a, b, c};
  const char *names[3] = {"CELL_A", "CELL_B", "CELL_C"};
  for (int i = 0; i < 3; ++i)
    if (!ConfigAdmits(names[i], edges[i])) {
      std::snprintf(text, sizeof text, "%s %g: a cell edge must be from %g to %g angstrom",
                    names[i], edges[i], kMinCellEdge, kMaxCellEdge);
      return text;
    }
  if (!CellAnglesAdmitACell(alpha, beta, gamma)) {
    std::snprintf(text, sizeof text,
                  "CELL_ALPHA, CELL_BETA, CELL_GAMMA %g %g %g: these angles admit no cell", alpha,
                  beta, gamma);
    return text;
  }
  TransMatrix m;
  double spacing[3];
  if (!TransMatrixFToC(&m, a, b, c, alpha, beta, gamma) || !CellFaceSpacings(m, spacing)) {
    std::snprintf(text, sizeof text, "cell %g %g %g %g %g %g: spans no volume", a, b, c, alpha,
                  beta, gamma);
    return text;
  }
  for (int i = 0; i < 3; ++i)
    if (spacing[i] < kMinCellSpacing) {
      std::snprintf(text, sizeof text,
                    "cell %g %g %g %g %g %g: two of its faces lie %.3g angstrom apart; no "
                    "crystal has a cell thinner than %g angstrom (a reduced cell is never so "
                    "thin)",
                    a, b, c, alpha, beta, gamma, spacing[i], kMinCellSpacing);
      return text;
    }
  return "";
}
