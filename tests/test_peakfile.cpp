// SPDX-License-Identifier: BSD-3-Clause
// Peak files in the three layouts, their faults, and the HKL list file.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "diffractometer.h"
#include "testing.h"

namespace {

struct PeakFileTest : ::testing::Test {
  TempDir dir;
  HKLList list;
  double start = 20, end = 60;
  CapturedMessages messages;

  // Reads text as a peak file with the range start from 20 to 60 degrees.
  int Read(const std::string &text, int format = PEAK_FILE_INTERNAL, int autoRange = 0,
           double width = 1.0) {
    FreeHKLList(&list);
    start = 20;
    end = 60;
    return ReadHKLList(&list, dir.write("peaks.hkl", text).c_str(), format, &start, &end, width,
                       autoRange);
  }
  // The start of a message about a line: FILE:LINE: .
  std::string At(int line) const {
    return dir.file("peaks.hkl") + ":" + std::to_string(line) + ": ";
  }
};

TEST_F(PeakFileTest, RangeScaleGroupsAndTheListFile) {
  ASSERT_EQ(Read("1 1 1 8 3.1355 28.44 0.1 100.0\n", PEAK_FILE_INTERNAL, 1), 1);
  const HKLItem &it = list.items[0];
  EXPECT_EQ(std::make_tuple(it.h, it.k, it.l, it.multiplicity, it.d, it.fwhm, it.iObsScaled),
            std::make_tuple(1, 1, 1, 8, 3.1355, 0.1, 100.0));
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(28.44, 28.44));
  // A range given keeps, or narrows to the reflections, but never widens;
  // they are scaled to the strongest kept, not to the 500 left out.
  ASSERT_EQ(Read("; wide\n1 0 0 6 8.8 10 0.1 500\n1 1 0 12 4.4 30 0.1 50\n"
                 "1 1 1 8 3.1 45 0.1 25\n2 0 0 6 2.2 80 0.1 90\n"),
            2);
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(20.0, 60.0));
  EXPECT_EQ(list.items[0].iObsScaled, 100);
  EXPECT_EQ(list.items[1].iObsScaled, 50);
  ASSERT_EQ(Read("1 1 0 12 4.4 25 0.1 50\n1 1 1 8 3.1 50 0.1 25\n"), 2);
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(25.0, 50.0));
  // The largest intensity allowed scales without overflowing.
  ASSERT_EQ(Read("1 1 0 12 4.4 30 0.1 1e30\n1 1 1 8 3.1 40 0.1 5e29\n2 0 0 6 2.2 50 0.1 0\n"), 3);
  EXPECT_EQ(list.items[1].iObsScaled, 50);
  EXPECT_EQ(list.items[2].iObsScaled, 0);
  // Reflections are grouped with the width given.
  const std::string text = "1 0 0 6 4 30.00 0.1 100\n1 1 0 6 4 30.15 0.1 50\n";
  Read(text, PEAK_FILE_INTERNAL, 0, 1.0);
  EXPECT_EQ(list.items[1].group, 1);
  Read(text, PEAK_FILE_INTERNAL, 0, 2.0);
  EXPECT_EQ(list.items[1].group, 0);
  EXPECT_EQ(messages.size(), 0u);
  // The list file's layout.
  ASSERT_EQ(Read("1 1 1 8 3.1355 28.44 0.1 100\n-2 0 1 6 2.7 33.5 0.12 40\n"), 2);
  list.items[0].iCalc = 87.5;
  const std::string path = dir.write("out.hkl", "old contents that are longer than the new ones\n");
  ASSERT_EQ(WriteHKLListFile(path.c_str(), &list), 1);
  EXPECT_EQ(ReadWholeFile(path),
            ";h, k, l, d, 2theta, mult, fwhm, Iobs, Icalc, group\n"
            "1 1 1 3.135500 28.440000 8 0.100000 100.000000 87.500000 0\n"
            "-2 0 1 2.700000 33.500000 6 0.120000 40.000000 0.000000 1\n");
}

TEST_F(PeakFileTest, BadLinesStopTheReadingAndKeepNothing) {
  struct Case {
    std::string line;
    const char *message;  // the start of it, after FILE:LINE:
  };
  const Case bad[] = {
      {"1 1 1 8 3.1 3O.5 0.1 100", "2theta: '3O.5' in a wrong format: expected a finite decimal"},
      {"1 1 1 8 3.1 30.5 0.1", "Iobs: missing: expected the columns h k l mult d 2theta fwhm Iobs"},
      {"1 1 1 8 3.1 nan 0.1 100", "2theta: 'nan' in a wrong format"},
      {"1 1 99999999999 8 3.1 30.5 0.1 100", "l: '99999999999' in a wrong format: expected a whole"},
      {"1.5 1 1 8 3.1 30.5 0.1 100", "h: '1.5' in a wrong format"},
      // Values no reflection can have; each once went on to a nonsense
      // result with exit status 0.
      {"1 1 1 0 3.1 30.5 0.1 100", "mult: '0' out of range: expected a multiplicity of at least 1"},
      {"1 1 1 8 0 30.5 0.1 100", "d: '0' out of range: expected a spacing above 0 angstrom"},
      {"1 1 1 8 3.1 0 0.1 100", "2theta: '0' out of range: expected an angle between 0 and 180"},
      {"1 1 1 8 3.1 180 0.1 100", "2theta: '180' out of range"},
      {"1 1 1 8 3.1 30.5 -0.1 100", "fwhm: '-0.1' out of range: expected a width of at least 0"},
      {"1 1 1 8 3.1 30.5 0.1 -100", "Iobs: '-100' out of range: expected an intensity from 0 to"},
      {"1 1 1 8 3.1 30.5 0.1 1e308", "Iobs: '1e+308' out of range"},
      {"0 0 0 1 3.1 30.5 0.1 100", "h k l: '0 0 0' is no reflection"},
      // Binary data, and lines too long.
      {std::string("1 1 1 8 3.1\0 30 0.1 100", 23),
       "binary data (a NUL or control character): not a peak file"},
      {"1 1 1 8 3.1 30 0.1 100" + std::string(234, ' '),
       "a line of 256 characters: a line holds at most 255"},
  };
  for (const Case &c : bad) {
    messages.clear();
    EXPECT_EQ(Read(std::string("1 0 0 6 4 22 0.1 10\n; comment\n\n") + c.line + "\n"), 0) << c.line;
    EXPECT_EQ(messages.text().rfind(At(4) + c.message, 0), 0u) << messages.text();
    EXPECT_EQ(LengthOfHKLList(&list), 0);
    EXPECT_EQ(std::make_pair(start, end), std::make_pair(0.0, 0.0));
  }
  // Reflections outside the range are checked too, and the skipped
  // companion lines of the FullProf layout; a short companion line is a
  // fault as well.
  messages.clear();
  EXPECT_EQ(Read("1 0 0 6 4 22 0.1 10\n1 1 1 0 3.1 70 0.1 100\n"), 0);
  EXPECT_EQ(Read("a\nb\nc\n1 1 0 0 6 4 22 0.1 10\n2 1 0 0 6 4 22.1 -0.1 5\n", PEAK_FILE_FULLPROF),
            0);
  EXPECT_EQ(Read("a\nb\nc\n2 1 1 1 8 3.1\n", PEAK_FILE_FULLPROF), 0);
  EXPECT_EQ(messages.text(),
            At(2) + "mult: '0' out of range: expected a multiplicity of at least 1\n" + At(5) +
                "fwhm: '-0.1' out of range: expected a width of at least 0 degrees\n" + At(4) +
                "2theta: missing: expected the columns n h k l mult d 2theta fwhm Iobs\n");
  // A comment without an end is no peak file.
  messages.clear();
  EXPECT_EQ(Read("1 1 1 8 3.1 30 0.1 100\n;" + std::string(70000, 'x')), 0);
  EXPECT_EQ(messages.text(), At(2) + "a line of more than 65536 characters: not a peak file\n");
  // All zero in the range once gave a factor of -1 or NaN to every model,
  // and success.
  messages.clear();
  EXPECT_EQ(Read("1 0 0 6 8.8 10 0.1 500\n1 1 0 12 4.4 30 0.1 0\n1 1 1 8 3.1 40 0.1 0\n"), 0);
  EXPECT_EQ(messages.text(), "Reading hkl file \"" + dir.file("peaks.hkl") +
                                 "\", every observed intensity in the range is 0: nothing to "
                                 "fit\n");
  EXPECT_EQ(LengthOfHKLList(&list), 0);
}

TEST_F(PeakFileTest, LineEndsSignsAndFilesWithNothingToReadOrNoRegularFile) {
  ASSERT_EQ(Read("1 1 1 8 3.1 30 0.1 100\r\n+2 0 -0 6 2.7 33 .1 +4e1\r\n\r\n"), 2);
  EXPECT_EQ(std::make_tuple(list.items[1].h, list.items[1].fwhm, list.items[1].iObs),
            std::make_tuple(2, 0.1, 40.0));
  ASSERT_EQ(Read("1 1 1 8 3.1 30 0.1 100"), 1);  // no final line end
  ASSERT_EQ(Read(";" + std::string(400, 'x') + "\n1 1 1 8 3.1 30 0.1 100\n"), 1);
  std::string padded = "1 1 1 8 3.1 30 0.1 100";
  ASSERT_EQ(Read(padded + std::string(255 - padded.size(), ' ') + "\r\n"), 1);
  // Nothing to narrow the range to: it stays.
  for (auto [nothing, automatic] :
       {std::pair{"", 0}, {"; only\n;comments\n\n", 1}, {"1 1 1 8 3.1 70 0.1 100\n", 0}}) {
    EXPECT_EQ(Read(nothing, PEAK_FILE_INTERNAL, automatic), 0);
    EXPECT_EQ(std::make_pair(start, end), std::make_pair(20.0, 60.0));
  }
  EXPECT_EQ(messages.size(), 0u);
  EXPECT_EQ(Read("1 1 1 8 3.1 30 0.1 100\n", 3), 0);
  EXPECT_TRUE(Holds(messages.text(), "unknown peak file format 3"));
  // Only regular files are read.
  for (const auto &r : UnreadablePaths(dir, "hkl")) {
    messages.clear();
    EXPECT_EQ(ReadHKLList(&list, r.first.c_str(), PEAK_FILE_INTERNAL, &start, &end, 1.0, 1), 0);
    EXPECT_EQ(messages.text(), "reading hkl file, cannot open file " + r.first + " (" + r.second +
                                   ")\n");
    EXPECT_EQ(std::make_pair(start, end), std::make_pair(0.0, 0.0));
  }
}

// The FullProf and PCW layouts of a case, with their headers and the
// FullProf companion lines, give the same list as the internal file.
TEST_F(PeakFileTest, ReferenceLayoutsAgree) {
  for (const char *name : {"mgoh2_brucite", "tio2_rutile"}) {
    const std::string base = TestDataPath(std::string(name) + "/" + name);
    HKLList internal;
    double s0 = 5, e0 = 100;
    ASSERT_EQ(
        ReadHKLList(&internal, (base + "_noisy.hkl").c_str(), PEAK_FILE_INTERNAL, &s0, &e0, 1.0, 0),
        25);
    for (auto [file, format] : {std::pair{"_noisy_fullprof.hkl", PEAK_FILE_FULLPROF},
                                {"_noisy_pcw.hkl", PEAK_FILE_PCW}}) {
      SCOPED_TRACE(std::string(name) + file);
      HKLList read;
      double s = 5, e = 100;
      ASSERT_EQ(ReadHKLList(&read, (base + file).c_str(), format, &s, &e, 1.0, 0), 25);
      EXPECT_EQ(std::make_pair(s, e), std::make_pair(s0, e0));
      for (size_t i = 0; i < internal.items.size(); ++i) {
        const HKLItem &a = internal.items[i], &b = read.items[i];
        EXPECT_EQ(std::make_tuple(a.h, a.k, a.l, a.multiplicity, a.group, a.d, a.twoTheta, a.fwhm,
                                  a.iObs),
                  std::make_tuple(b.h, b.k, b.l, b.multiplicity, b.group, b.d, b.twoTheta, b.fwhm,
                                  b.iObs));
      }
    }
  }
  EXPECT_EQ(messages.size(), 0u);
}

}  // namespace
