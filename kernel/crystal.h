// The crystal record: space group, cell and atoms; cell transforms.
#ifndef PULVINA_CRYSTAL_H
#define PULVINA_CRYSTAL_H

#include <array>
#include <vector>

#include "element.h"
#include "spacegroup.h"

struct Atom {
  const Element *element = nullptr;    // not owned
  const Position *position = nullptr;  // not owned
  double x = 0, y = 0, z = 0;
  double B = 1.0;
  double occupancy = 1.0;
};
using Atoms = std::vector<Atom>;

struct Crystal {
  SpaceGroup spaceGroup;
  double a = 10, b = 10, c = 10;
  double alpha = 90, beta = 90, gamma = 90;
  Atoms atoms;      // one per atom of the crystal model
  Atoms cellAtoms;  // every atom of the unit cell
};

// 3x3, row-major (element r*3+c), applied to column vectors; room for twelve
// doubles, cleared whole.
struct TransMatrix {
  std::array<double, 12> m{};
  double &operator()(int r, int c) { return m[static_cast<size_t>(r * 3 + c)]; }
  double operator()(int r, int c) const { return m[static_cast<size_t>(r * 3 + c)]; }
};

void InitializeAtoms(Atoms *atoms);
void FreeAtoms(Atoms *atoms);
void InitializeCrystal(Crystal *crystal);
void FreeCrystal(Crystal *crystal);
void TransMatrixIdentity(TransMatrix *m);
int TransMatrixFToC(TransMatrix *m, double a, double b, double c, double alpha, double beta,
                    double gamma);
void TransMatrixMultiply(const TransMatrix *m, double x, double y, double z, double *outX,
                         double *outY, double *outZ);

#endif
