// Trackball arithmetic: lifting points onto the ball, drag rotations,
// quaternion composition and renormalisation.
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
  EXPECT_DOUBLE_EQ(tb_project_to_sphere(0.8, 0, 0), 0.8);
  // At d = r / sqrt(2) sphere and sheet meet at height r / sqrt(2).
  const double edge = 0.8 / std::sqrt(2.0);
  EXPECT_NEAR(tb_project_to_sphere(0.8, edge - 1e-12, 0), edge, 1e-6);
  EXPECT_NEAR(tb_project_to_sphere(0.8, edge, 0), edge, 1e-12);
  // On the sheet z = (r^2 / 2) / d: at d = 2, 0.32 / 2.
  EXPECT_NEAR(tb_project_to_sphere(0.8, 0, 2), 0.16, 1e-12);
}

TEST(Trackball, DragTurnsByTheAngleBetweenTheLiftedPoints) {
  double q[4];
  trackball(q, 0.3, -0.2, 0.3, -0.2);
  EXPECT_EQ(q[0], 0);
  EXPECT_EQ(q[1], 0);
  EXPECT_EQ(q[2], 0);
  EXPECT_EQ(q[3], 1);
  // From the centre (0, 0, 0.8) to x = 0.4: z = sqrt(0.64 - 0.16), so
  // cos(angle) = 0.6928 / 0.8 = cos 30 degrees; the axis p2 x p1 is -y.
  trackball(q, 0, 0, 0.4, 0);
  const double s15 = std::sin(15 * M_PI / 180), c15 = std::cos(15 * M_PI / 180);
  EXPECT_NEAR(q[0], 0, 1e-12);
  EXPECT_NEAR(q[1], -s15, 1e-12);
  EXPECT_NEAR(q[2], 0, 1e-12);
  EXPECT_NEAR(q[3], c15, 1e-12);
  // Far beyond the ball the angle is capped at 180 degrees, never NaN.
  trackball(q, -50, 0, 50, 0);
  for (double c : {q[0], q[1], q[2], q[3]}) EXPECT_TRUE(std::isfinite(c));
}

TEST(Trackball, AxisToQuatNormalisesTheAxis) {
  double axis[3] = {0, 0, 2}, q[4];
  axis_to_quat(axis, M_PI, q);
  EXPECT_DOUBLE_EQ(axis[2], 1);
  EXPECT_NEAR(q[0], 0, 1e-15);
  EXPECT_NEAR(q[2], 1, 1e-15);
  EXPECT_NEAR(q[3], 0, 1e-15);
  double zero[3] = {0, 0, 0};
  axis_to_quat(zero, 1.0, q);  // a zero axis stays zero instead of NaN
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

TEST(Trackball, RotationMatrixIsOrthonormal) {
  double axis[3] = {1, 2, 3}, q[4], m[4][4];
  axis_to_quat(axis, 1.1, q);
  build_rotmatrix(m, q);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double dot = m[i][0] * m[j][0] + m[i][1] * m[j][1] + m[i][2] * m[j][2];
      EXPECT_NEAR(dot, i == j ? 1 : 0, 1e-12);
    }
  EXPECT_EQ(m[3][3], 1);
  // 90 degrees about z takes x to y.
  double z[3] = {0, 0, 1};
  axis_to_quat(z, M_PI / 2, q);
  build_rotmatrix(m, q);
  EXPECT_NEAR(m[1][0], 1, 1e-12);
  EXPECT_NEAR(m[0][1], -1, 1e-12);
}

}  // namespace
