// SPDX-License-Identifier: BSD-3-Clause
// Virtual trackball: turns a pointer drag into a rotation quaternion, and the
// small vector helpers it needs. Quaternions are (x, y, z, w).
#ifndef PULVINA_TRACKBALL_H
#define PULVINA_TRACKBALL_H

// Radius of the virtual ball, in the window's normalised [-1, 1] coordinates.
constexpr double kTrackballSize = 0.8;

void vset(double v[3], double x, double y, double z);
void vsub(const double src1[3], const double src2[3], double dst[3]);  // dst = src1 - src2
void vcopy(const double from[3], double to[3]);
void vcross(const double v1[3], const double v2[3], double cross[3]);
double vlength(const double v[3]);
void vscale(double v[3], double factor);
// Scales to unit length; a zero vector stays zero.
void vnormal(double v[3]);
double vdot(const double v1[3], const double v2[3]);
void vadd(const double src1[3], const double src2[3], double dst[3]);

// The rotation for a drag from (p1x, p1y) to (p2x, p2y), both in [-1, 1] with
// y up. Equal points give the identity.
void trackball(double q[4], double p1x, double p1y, double p2x, double p2y);
// Normalises axis in place; phi in radians.
void axis_to_quat(double axis[3], double phi, double q[4]);
// Height of (x, y) on the ball of radius r, or on the hyperbolic sheet that
// continues it smoothly beyond r / sqrt(2).
double tb_project_to_sphere(double r, double x, double y);
// dest = q2 * q1: the rotation q1 followed by q2, as a unit quaternion.
// dest may alias q1 or q2.
void add_quats(const double q1[4], const double q2[4], double dest[4]);
void normalize_quat(double q[4]);
// m[row][column]; row-major as written, so handing it to OpenGL (column-major)
// applies the inverse rotation, which the reversed cross product in trackball
// compensates.
void build_rotmatrix(double m[4][4], const double q[4]);

#endif
