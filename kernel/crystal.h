// SPDX-License-Identifier: BSD-3-Clause
// The crystal record: space group, cell and atoms; cell transforms.
#ifndef PULVINA_CRYSTAL_H
#define PULVINA_CRYSTAL_H

#include <array>
#include <string>
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
[[nodiscard]] int TransMatrixFToC(TransMatrix *m, double a, double b, double c, double alpha, double beta,
                    double gamma);
// Cell edges beyond these are typing slips. No crystal repeats itself within
// half an angstrom (an atom would overlap its own images), nor has a cell
// whose faces lie closer: below that, the lattice images within a bond's
// reach multiply, and the bond checks would run for hours. Above the largest
// edge nothing could be solved, and derived quantities would overflow.
constexpr double kMinCellEdge = 0.5;
constexpr double kMinCellSpacing = 0.5;
constexpr double kMaxCellEdge = 1000.0;
// The distances between the cell's opposite faces (those spanned by b and c,
// by c and a, by a and b) of the Cartesian frame m; false for a flat cell.
// Two points whose fractional difference along an axis is u lie at least
// |u| such spacings apart.
[[nodiscard]] bool CellFaceSpacings(const TransMatrix &m, double spacing[3]);
// True when three angles (degrees) are those of a real cell: each between
// 0 and 180, and the cell they span not flat.
[[nodiscard]] bool CellAnglesAdmitACell(double alpha, double beta, double gamma);
// What is wrong with a cell, "" when nothing is.
std::string CellProblem(double a, double b, double c, double alpha, double beta, double gamma);
void TransMatrixMultiply(const TransMatrix *m, double x, double y, double z, double *outX,
                         double *outY, double *outZ);

#endif
