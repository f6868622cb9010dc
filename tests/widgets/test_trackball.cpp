// Trackball arithmetic: drag rotations, quaternion composition and
// renormalisation, at their edges.
#include <gtest/gtest.h>

#include <cmath>

#include "trackball.h"

namespace {

// Applies the rotation matrix to a vector (rows as written).
void Rotate(const double q[4], const double v[3], double out[3]) {
  double m[4][4];
  build_rotmatrix(m, q);
  for (int r = 0; r < 3; ++r) out[r] = m[r][0] * v[0] + m[r][1] * v[1] + m[r][2] * v[2];
}

TEST(Trackball, PointsLiftOntoBallThenHyperbolicSheetWithoutAStep) {
  // Sphere and sheet meet at d = r / sqrt(2); beyond, z = (r^2 / 2) / d.
  const double edge = 0.8 / std::sqrt(2.0);
  EXPECT_NEAR(tb_project_to_sphere(0.8, edge - 1e-12, 0), tb_project_to_sphere(0.8, edge, 0), 1e-6);
  EXPECT_NEAR(tb_project_to_sphere(0.8, 0, 2), 0.16, 1e-12);
}

// The angle of a drag is checked where the 3D view is dragged.
TEST(Trackball, DegenerateDragsAndAxesGiveNoNaN) {
  double q[4];
  trackball(q, 0.3, -0.2, 0.3, -0.2);  // no move: no turn
  EXPECT_EQ(q[3], 1);
  // Far beyond the ball the angle is capped at 180 degrees.
  trackball(q, -50, 0, 50, 0);
  for (double c : q) EXPECT_TRUE(std::isfinite(c));
  double zero[3] = {0, 0, 0};
  axis_to_quat(zero, 1.0, q);  // a zero axis stays zero
  EXPECT_EQ(q[0], 0);
  EXPECT_TRUE(std::isfinite(q[3]));
}

TEST(Trackball, AddQuatsAppliesTheFirstRotationFirst) {
  double ax[3] = {1, 0, 0}, ay[3] = {0, 1, 0}, qx[4], qy[4], q[4];
  axis_to_quat(ax, M_PI / 2, qx);
  axis_to_quat(ay, M_PI / 2, qy);
  add_quats(qx, qy, q);
  // x about x stays x; then 90 degrees about y takes x to -z.
  const double x[3] = {1, 0, 0};
  double out[3];
  Rotate(q, x, out);
  EXPECT_NEAR(out[0], 0, 1e-12);
  EXPECT_NEAR(out[1], 0, 1e-12);
  EXPECT_NEAR(out[2], -1, 1e-12);
  // The result may be written over an argument.
  add_quats(qx, qy, qy);
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(qy[i], q[i]);
}

TEST(Trackball, RenormalisesToUnitLengthEveryNinetyEighthCall) {
  const double identity[4] = {0, 0, 0, 1}, doubled[4] = {0, 0, 0, 2};
  double q[4];
  int calls = 0;
  bool renormalised = false;
  for (; calls < 2 * (kTrackballRenormCount + 1) && !renormalised; ++calls) {
    add_quats(identity, doubled, q);
    renormalised = q[3] != 2.0;
  }
  ASSERT_TRUE(renormalised);
  EXPECT_LE(calls, kTrackballRenormCount + 1);
  EXPECT_EQ(trackball_renorm_counter(), 0);
  EXPECT_DOUBLE_EQ(q[3], 1.0);  // unit length, not 2 / 4
  double r[4] = {1, 1, 1, 1};
  normalize_quat(r);
  for (double c : r) EXPECT_DOUBLE_EQ(c, 0.5);
}

}  // namespace
