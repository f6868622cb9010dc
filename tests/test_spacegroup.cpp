// SPDX-License-Identifier: BSD-3-Clause
// Crystal geometry: the cell transform against another library; every group
// and setting of the database loads and every Wyckoff position lists exactly
// its orbit (with gemmi's operators of every setting, this checks how the
// triplets are parsed); and the random generator the searches draw from.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "kernel.h"
#include "testing.h"

namespace {

const bool kQuiet = ShowMessagesOfFailedTestsOnly();

TEST(Cell, TriclinicAgreesWithAnIndependentLibrary) {
  // cctbx uctbx.unit_cell((5.1, 6.2, 7.3, 81, 95.5, 103.25))
  //   .orthogonalization_matrix(), which puts a along x and b in the xy plane too.
  const double expected[9] = {5.100000000000, -1.421042423719, -0.699673993398,
                              0.0,            6.034951402455,  1.008451776075,
                              0.0,            0.0,             7.196074021180};
  TransMatrix m;
  ASSERT_EQ(TransMatrixFToC(&m, 5.1, 6.2, 7.3, 81, 95.5, 103.25), 1);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(m(i / 3, i % 3), expected[i], 1e-9) << i;
  // Fractional (0,0,1) is the c edge: its length is c.
  double x, y, z;
  TransMatrixMultiply(&m, 0, 0, 1, &x, &y, &z);
  EXPECT_NEAR(std::sqrt(x * x + y * y + z * z), 7.3, 1e-12);
}

TEST(Random, SequenceIsFixedBySeedAndRangeHolds) {
  // Expected values from an independent implementation of the same
  // generator in arbitrary-precision arithmetic.
  Srand(-1);
  for (double expected : {0.2853808990946861, 0.2533581892659171, 0.09346853100919404})
    EXPECT_DOUBLE_EQ(Rand(), expected);
  Srand(-12345);
  double last = 0;
  for (int i = 0; i < 1000; ++i) last = Rand();
  EXPECT_DOUBLE_EQ(last, 0.5753443743587806);
  // Zero and the most negative seed restart too.
  Srand(0);
  const double zero = Rand();
  Srand(-2147483647 - 1);
  Srand(-1);
  EXPECT_EQ(Rand(), zero);
  double lo = 1, hi = 0;
  for (int i = 0; i < 2000000; ++i) {
    double r = Rand();
    lo = std::min(lo, r);
    hi = std::max(hi, r);
  }
  // The range is (0, 1) and is covered to its ends.
  EXPECT_TRUE(lo > 0 && lo < 1e-5 && hi > 1 - 1e-5 && hi <= 0.99999988) << lo << " " << hi;
}

struct Point {
  double v[3];
};

Point Apply(const Coordinate &c, const Point &p) {
  Point out;
  CoordMatrixMultiply(c.matrix, p.v[0], p.v[1], p.v[2], &out.v[0], &out.v[1], &out.v[2]);
  return out;
}

// The images of the point in the set, up to whole cells.
size_t Count(const std::vector<Point> &set, const Point &p) {
  size_t n = 0;
  for (const Point &q : set)
    n += SameModOne(p.v[0], q.v[0], 1e-6) && SameModOne(p.v[1], q.v[1], 1e-6) &&
         SameModOne(p.v[2], q.v[2], 1e-6);
  return n;
}

TEST(SpaceGroup, EveryPositionListsExactlyItsOrbit) {
  SpaceGroup sg;
  int settings = 0, positions = 0;
  for (int number = 1; number <= 230; ++number)
    for (int setting = 1; setting <= 3; ++setting) {
      SCOPED_TRACE(std::to_string(number) + ":" + std::to_string(setting));
      CapturedMessages messages;
      FreeSpaceGroup(&sg);
      if (!SetSpaceGroup(&sg, number, setting)) continue;
      EXPECT_EQ(messages.size(), 0u) << messages.text();
      EXPECT_LT(setting, 3);
      ++settings;
      ASSERT_EQ(static_cast<size_t>(sg.positionCount), sg.positions.size());
      EXPECT_FALSE(sg.shortSymbol.empty() || sg.crystalSystem.empty());
      const bool primitive = sg.shortSymbol[0] == 'P' ||
                             (sg.shortSymbol[0] == 'R' && sg.description == "rhombohedral axes");
      EXPECT_EQ(sg.translations.empty(), primitive);
      // The asymmetric unit is a box inside the cell.
      for (int i = 0; i < 6; i += 2)
        EXPECT_TRUE(-1 <= sg.asymmetricUnit[i] && sg.asymmetricUnit[i] < sg.asymmetricUnit[i + 1] &&
                    sg.asymmetricUnit[i + 1] <= 1);
      // The general position comes first. Each position's images of a
      // generic point are distinct, as many as its multiplicity, and every
      // operator of the group maps them among themselves.
      const Position &general = sg.positions.front();
      for (const Position &position : sg.positions) {
        ++positions;
        SCOPED_TRACE(std::to_string(position.multiplicity) + position.wyckoffLetter);
        ASSERT_EQ(position.fullCoordinates.size(), static_cast<size_t>(position.multiplicity));
        std::vector<Point> orbit;
        for (const Coordinate &c : position.fullCoordinates)
          orbit.push_back(Apply(c, {{0.1234, 0.3456, 0.5678}}));
        for (const Point &p : orbit) {
          ASSERT_EQ(Count(orbit, p), 1u);
          for (const Coordinate &op : general.fullCoordinates)
            ASSERT_EQ(Count(orbit, Apply(op, p)), 1u) << op.text;
        }
      }
    }
  // Every group, the monoclinic ones with two cell choices, and 31 with two
  // origins or axes.
  EXPECT_EQ(settings, 230 + 13 + 31);
  RecordProperty("positions", positions);
}

// The Wyckoff letters of a setting that its normalizer operations turn into
// one another, as classes ("ab cd e"): each class sorted, the classes by
// their first letter. Worked out here by following the permutations from
// every letter, apart from the enumeration's closure of them.
std::string LetterClasses(const SpaceGroup &sg) {
  const size_t P = sg.positions.size();
  std::vector<std::string> classes;
  std::vector<bool> done(P, false);
  for (size_t start = 0; start < P; ++start) {
    if (done[start]) continue;
    std::vector<size_t> members{start};
    done[start] = true;
    for (size_t i = 0; i < members.size(); ++i)
      for (const NormalizerOperation &op : sg.normalizer) {
        const size_t q = static_cast<size_t>(op.permutation[members[i]]);
        EXPECT_EQ(sg.positions[q].multiplicity, sg.positions[members[i]].multiplicity);
        if (!done[q]) {
          done[q] = true;
          members.push_back(q);
        }
      }
    std::string letters;
    for (size_t m : members) letters += sg.positions[m].wyckoffLetter;
    std::sort(letters.begin(), letters.end());
    classes.push_back(letters);
  }
  std::sort(classes.begin(), classes.end());
  std::string text;
  for (const std::string &c : classes) text += (text.empty() ? "" : " ") + c;
  return text;
}

TEST(SpaceGroup, NormalizerExchangesTheKnownLettersAndMissingGroupsOrDatabasesAreReported) {
  const struct {
    int number, setting;
    const char *classes;
  } cases[] = {
      {88, 2, "ab cd e f"},               // I4_1/a origin 2: 4a-4b, 8c-8d
      {14, 1, "abcd e"},                  // P2_1/c: the four centres of symmetry
      {14, 2, "abcd e"},                  // ... with c unique
      {15, 1, "ab cd e f"},               // C2/c: 4a-4b, 4c-4d
      {62, 1, "ab c d"},                  // Pnma: 4a-4b
      {221, 1, "ab cd ef g h ij kl m n"},  // Pm-3m: 1a-1b, 3c-3d, ...
      {225, 1, "ab c d e f g hi j k l"},   // Fm-3m: 4a-4b, 8c alone
      {186, 1, "a b c d"},                // P6_3mc: only shifts along c
      {227, 2, "ab cd e f g h i"},         // Fd-3m origin 2: 8a-8b, 16c-16d
      {2, 1, "abcdefgh i"},               // P-1: the eight centres of symmetry
      {1, 1, "a"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.number) + ":" + std::to_string(c.setting));
    SpaceGroup sg;
    CapturedMessages messages;
    ASSERT_EQ(SetSpaceGroup(&sg, c.number, c.setting), 1);
    EXPECT_EQ(messages.size(), 0u) << messages.text();
    EXPECT_EQ(LetterClasses(sg), c.classes);
  }
  // An operation that is no permutation keeping the multiplicities is
  // reported and left out; the group loads with the others.
  TempDir dir;
  const std::string positions =
      "<Positions Coordinates=\"\"><Position Multiplicity=\"2\" WyckoffLetter=\"c\" "
      "Coordinates=\"(x,y,z)(-x,-y,-z)\"/><Position Multiplicity=\"1\" WyckoffLetter=\"b\" "
      "Coordinates=\"(0,0,1/2)\"/><Position Multiplicity=\"1\" WyckoffLetter=\"a\" "
      "Coordinates=\"(0,0,0)\"/></Positions>";
  dir.write("sgt.xml",
            "<SpaceGroups><SG SGNumber=\"2\"><CellChoice Setting=\"1\">" + positions +
                "<Normalizer><Operation Coordinates=\"x,y,z+1/2\" Letters=\"cab\"/>"
                "<Operation Coordinates=\"bad\" Letters=\"bca\"/>"
                "<Operation Coordinates=\"short\" Letters=\"ca\"/>"
                "<Operation Coordinates=\"twice\" Letters=\"caa\"/>"
                "<Operation Coordinates=\"unknown\" Letters=\"cad\"/>"
                "</Normalizer></CellChoice></SG></SpaceGroups>");
  SpaceGroup sg;
  CapturedMessages messages;
  ASSERT_EQ(SetSpaceGroup(&sg, 2, 1, DataLocation{dir.path(), {}}), 1);
  ASSERT_EQ(sg.normalizer.size(), 1u);
  EXPECT_EQ(sg.normalizer[0].coordinates, "x,y,z+1/2");
  EXPECT_EQ(sg.normalizer[0].permutation, (std::vector<int32_t>{0, 2, 1}));
  for (const char *bad : {"bad", "short", "twice", "unknown"})
    EXPECT_TRUE(Holds(messages.text(), std::string("normalizer operation ") + bad +
                                           " of space group no. 2 (setting 1) does not permute"));
  // A missing group, setting or database.
  SpaceGroup missing;
  messages.clear();
  EXPECT_EQ(SetSpaceGroup(&missing, 231, 1) + SetSpaceGroup(&missing, 225, 2), 0);
  EXPECT_EQ(missing.number, 0);
  EXPECT_EQ(messages.text(),
            "reading space group information, can not find space group no. 231\n"
            "reading space group information, can not find setting 2 for space group no. 225\n");
  TempDir none;
  const DataLocation data{none.path(), {}};
  messages.clear();
  EXPECT_EQ(SetSpaceGroup(&missing, 1, 1, data), 0);
  none.write("sgt.xml", "this is not xml");
  EXPECT_EQ(SetSpaceGroup(&missing, 1, 1, data), 0);
  // Missing, the folder searched is named; broken, the file itself.
  EXPECT_EQ(messages.text(),
            "reading space group information, can not open file " + none.file("sgt.xml") +
                " (No such file or directory)\n"
                "  data folders searched: " + none.path() + "\n"
                "reading space group information, bad space group file sgt.xml\n"
                "  data file: " + none.file("sgt.xml") + "\n");
  // A FIFO would keep the XML reader waiting for ever.
  std::remove(none.file("sgt.xml").c_str());
  ASSERT_EQ(mkfifo(none.file("sgt.xml").c_str(), 0600), 0);
  messages.clear();
  EXPECT_EQ(SetSpaceGroup(&missing, 1, 1, data), 0);
  EXPECT_EQ(messages.text(), "reading space group information, can not open file " +
                                 none.file("sgt.xml") + " (is a FIFO, not a regular file)\n"
                                 "  data file: " + none.file("sgt.xml") + "\n");
}

}  // namespace
