// SPDX-License-Identifier: BSD-3-Clause
// Virtual trackball: turns a pointer drag into a rotation quaternion.
#include "trackball.h"

#include <algorithm>
#include <cmath>

void vset(double v[3], double x, double y, double z) {
  v[0] = x;
  v[1] = y;
  v[2] = z;
}

void vsub(const double src1[3], const double src2[3], double dst[3]) {
  for (int i = 0; i < 3; ++i) dst[i] = src1[i] - src2[i];
}

void vcopy(const double from[3], double to[3]) {
  for (int i = 0; i < 3; ++i) to[i] = from[i];
}

void vcross(const double v1[3], const double v2[3], double cross[3]) {
  // Through a temporary, so that cross may alias v1 or v2.
  double t[3] = {v1[1] * v2[2] - v1[2] * v2[1], v1[2] * v2[0] - v1[0] * v2[2],
                 v1[0] * v2[1] - v1[1] * v2[0]};
  vcopy(t, cross);
}

double vlength(const double v[3]) { return std::sqrt(vdot(v, v)); }

void vscale(double v[3], double factor) {
  for (int i = 0; i < 3; ++i) v[i] *= factor;
}

void vnormal(double v[3]) {
  double length = vlength(v);
  // A zero axis would turn into NaN and poison the orientation for good.
  if (length > 0.0) vscale(v, 1.0 / length);
}

double vdot(const double v1[3], const double v2[3]) {
  return v1[0] * v2[0] + v1[1] * v2[1] + v1[2] * v2[2];
}

void vadd(const double src1[3], const double src2[3], double dst[3]) {
  for (int i = 0; i < 3; ++i) dst[i] = src1[i] + src2[i];
}

double tb_project_to_sphere(double r, double x, double y) {
  double d = std::sqrt(x * x + y * y);
  if (d < r * 0.70710678118654752440) return std::sqrt(r * r - d * d);
  double t = r / 1.41421356237309504880;
  return t * t / d;
}

void trackball(double q[4], double p1x, double p1y, double p2x, double p2y) {
  if (p1x == p2x && p1y == p2y) {
    q[0] = q[1] = q[2] = 0.0;
    q[3] = 1.0;
    return;
  }
  double p1[3], p2[3], axis[3], d[3];
  vset(p1, p1x, p1y, tb_project_to_sphere(kTrackballSize, p1x, p1y));
  vset(p2, p2x, p2y, tb_project_to_sphere(kTrackballSize, p2x, p2y));
  vcross(p2, p1, axis);
  if (vlength(axis) == 0.0) {
    // Two distinct pointer positions that lift to parallel vectors: no axis
    // to turn about.
    q[0] = q[1] = q[2] = 0.0;
    q[3] = 1.0;
    return;
  }
  vsub(p1, p2, d);
  double t = std::clamp(vlength(d) / (2.0 * kTrackballSize), -1.0, 1.0);
  axis_to_quat(axis, 2.0 * std::asin(t), q);
}

void axis_to_quat(double axis[3], double phi, double q[4]) {
  vnormal(axis);
  vcopy(axis, q);
  vscale(q, std::sin(phi / 2.0));
  q[3] = std::cos(phi / 2.0);
}

void add_quats(const double q1[4], const double q2[4], double dest[4]) {
  double t1[3], t2[3], t3[3], tf[4];
  vcopy(q1, t1);
  vscale(t1, q2[3]);
  vcopy(q2, t2);
  vscale(t2, q1[3]);
  vcross(q2, q1, t3);
  vadd(t1, t2, tf);
  vadd(t3, tf, tf);
  tf[3] = q1[3] * q2[3] - vdot(q1, q2);
  // Renormalised every time: a view turned by thousands of drags would
  // otherwise gather rounding errors into a shearing "rotation". A square
  // root per pointer motion costs nothing beside the redraw it causes, and
  // needs no count kept between calls.
  normalize_quat(tf);
  for (int i = 0; i < 4; ++i) dest[i] = tf[i];
}

void normalize_quat(double q[4]) {
  // Divided by the length itself, not by its square: only then is the result
  // a unit quaternion and build_rotmatrix a pure rotation.
  double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (length == 0.0) return;
  for (int i = 0; i < 4; ++i) q[i] /= length;
}

void build_rotmatrix(double m[4][4], const double q[4]) {
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  m[0][0] = 1.0 - 2.0 * (y * y + z * z);
  m[0][1] = 2.0 * (x * y - z * w);
  m[0][2] = 2.0 * (z * x + y * w);
  m[0][3] = 0.0;
  m[1][0] = 2.0 * (x * y + z * w);
  m[1][1] = 1.0 - 2.0 * (z * z + x * x);
  m[1][2] = 2.0 * (y * z - x * w);
  m[1][3] = 0.0;
  m[2][0] = 2.0 * (z * x - y * w);
  m[2][1] = 2.0 * (y * z + x * w);
  m[2][2] = 1.0 - 2.0 * (y * y + x * x);
  m[2][3] = 0.0;
  m[3][0] = m[3][1] = m[3][2] = 0.0;
  m[3][3] = 1.0;
}
