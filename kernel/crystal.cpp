#include "crystal.h"

#include <cmath>

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
