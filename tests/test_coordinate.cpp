// Triplet parsing into affine matrices, and merging with centring.
#include <gtest/gtest.h>

#include "kernel.h"
#include "testing.h"

namespace {

TEST(Triplet, ParsesTheDatabaseDialect) {
  using Rows = std::vector<std::vector<double>>;
  const std::pair<const char *, Rows> cases[] = {
      {"-x,y+1/2,-z", {{-1, 0, 0, 0}, {0, 1, 0, 0.5}, {0, 0, -1, 0}}},
      {"x-y,x,z+1/6", {{1, -1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 1.0 / 6}}},
      {"1/4-x,-2y+3/4,x-z", {{-1, 0, 0, 0.25}, {0, -2, 0, 0.75}, {1, 0, -1, 0}}},
      // A whole number is no constant; a fourth component is ignored.
      {"x+1,y,z,t", {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}},
      {"0,1/2,-1/2", {{0, 0, 0, 0}, {0, 0, 0, 0.5}, {0, 0, 0, -0.5}}},
      // Twelfths, as in the 6b positions of the hexagonal screw groups.
      {"-x,-2x,z+11/12", {{-1, 0, 0, 0}, {-2, 0, 0, 0}, {0, 0, 1, 11.0 / 12}}},
      {"x,y,-7/12+z", {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, -7.0 / 12}}},
  };
  for (const auto &[triplet, rows] : cases) {
    double m[3][4];
    CapturedMessages messages;
    ASSERT_EQ(CoordinateToMatrix(triplet, m), 1) << triplet;
    EXPECT_EQ(messages.size(), 0u) << triplet << ": " << messages.text();
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 4; ++j) EXPECT_DOUBLE_EQ(m[i][j], rows[i][j]) << triplet << " " << i << j;
  }
}

TEST(Triplet, WrongFormats) {
  double m[3][4];
  CapturedMessages messages;
  EXPECT_EQ(CoordinateToMatrix("x,y", m), 0);
  EXPECT_EQ(messages.text(), "parsing space group coordinateswrong coordinate format 'x,y'\n");
  for (auto [expression, variable] : {std::pair{"/2", 'c'}, {"x+1/", 'c'}, {"x1/2", 'c'},
                                      {"1/0", 'c'}, {"*x", 'x'}, {"12x", 'x'}, {"1/2x", 'x'},
                                      {"a/2", 'c'}}) {
    messages.clear();
    EXPECT_EQ(CoeffiecientOfVar(expression, variable), -1) << expression;
    EXPECT_EQ(messages.text(), std::string("parsing space group coordinates, wrong coordinate "
                                           "format '") + expression + "'\n");
  }
  // The matrix is still made, with -1 where the fault was.
  ASSERT_EQ(CoordinateToMatrix("*x,y,z", m), 1);
  EXPECT_EQ(m[0][0], -1);
  EXPECT_EQ(m[1][1], 1);
}

TEST(Triplet, ListsAndCentring) {
  Coordinates coordinates, translations, full;
  ASSERT_EQ(SetCoordinates("(x, y, z)(-x,-y,z)", &coordinates), 2);
  ASSERT_EQ(SetCoordinates("(0,0,0)(1/2,1/2,0)", &translations), 2);
  ASSERT_EQ(MergeCoordinates(&full, coordinates, translations), 4);
  EXPECT_EQ(full[1].text, "(x,y,z) + (1/2,1/2,0)");
  EXPECT_EQ(full[2].text, "(-x,-y,z) + (0,0,0)");
  double x, y, z;
  CoordMatrixMultiply(full[3].matrix, 0.1, 0.2, 0.3, &x, &y, &z);
  EXPECT_EQ(std::vector<double>({x, y, z}), std::vector<double>({0.4, 0.3, 0.3}));
  Coordinates none, copy;
  ASSERT_EQ(MergeCoordinates(&copy, coordinates, none), 2);
  EXPECT_EQ(copy[1].text, "-x,-y,z");
  // Long texts are cut to the field, the matrix still comes from all of it.
  Coordinates longOne;
  ASSERT_EQ(SetCoordinates("(x-y+1/12,  -x+y+11/12 , -x+y+z+11/12)", &longOne), 1);
  EXPECT_EQ(longOne[0].text.size(), 31u);
  EXPECT_DOUBLE_EQ(longOne[0].matrix[2][3], 11.0 / 12);
  // A list cut short keeps what came before; text outside brackets is none.
  CapturedMessages messages;
  Coordinates c;
  EXPECT_EQ(SetCoordinates("(x,y,z)(-x,-y", &c), -1);
  EXPECT_EQ(messages.text(), "set Wyckoff position coordinates,wrong format for '(x,y,z)(-x,-y'\n");
  EXPECT_EQ(c.size(), 1u);
  c.clear();
  EXPECT_EQ(SetCoordinates("(x,y,z)(x)", &c), -1);
  EXPECT_EQ(c.size(), 1u);
  for (const char *nothing : {"text outside brackets", ""}) EXPECT_EQ(SetCoordinates(nothing, &c), 0);
}

}  // namespace
