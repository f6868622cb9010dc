// SPDX-License-Identifier: BSD-3-Clause
// Measured patterns: the published raw files against their columns, the
// choice of reader, and the files that must be refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pattern.h"
#include "testing.h"

namespace {

// Each value of a column file with the half unit of its last printed digit.
struct Printed {
  std::vector<double> value[3], tolerance[3];
};

Printed ReadPrinted(const std::string &path) {
  Printed p;
  std::istringstream in(ReadWholeFile(path));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string token;
    for (int c = 0; c < 3 && fields >> token; ++c) {
      const size_t dot = token.find('.');
      const int decimals = dot == std::string::npos ? 0 : static_cast<int>(token.size() - dot - 1);
      p.value[c].push_back(std::stod(token));
      p.tolerance[c].push_back(0.5 * std::pow(10.0, -decimals) * (1 + 1e-9));
    }
  }
  return p;
}

TEST(MeasuredPattern, PublishedRawFilesReadToTheirColumns) {
  const std::pair<const char *, const char *> files[] = {
      {"garnet_yfeal_neutron_d1a/garnet.raw", "GSAS raw (STD)"},
      {"beta_si3n4_xray_cu/B_SI3N4.XRA", "GSAS raw (STD)"},
      {"lab6_synchrotron_11bm/11bmb_3844.fxye", "FXYE"},
      {"jadarite_synchrotron_11bm/11bmb_6231.fxye", "FXYE"},
  };
  for (const auto &[file, format] : files) {
    SCOPED_TRACE(file);
    const std::string raw = TestDataPath(std::string("patterns/") + file);
    const std::string columns = raw.substr(0, raw.rfind('/')) + "/pattern.xye";
    MeasuredPattern a, b;
    std::string error;
    ASSERT_TRUE(ReadMeasuredPattern(raw, &a, &error)) << error;
    ASSERT_TRUE(ReadMeasuredPattern(columns, &b, &error)) << error;
    EXPECT_EQ(a.format, format);
    EXPECT_EQ(b.format, "xye");
    const Printed printed = ReadPrinted(columns);
    ASSERT_EQ(a.x.size(), printed.value[0].size());
    ASSERT_EQ(b.x.size(), a.x.size());
    const std::vector<double> *read[3] = {&a.x, &a.y, &a.sigma};
    const std::vector<double> *again[3] = {&b.x, &b.y, &b.sigma};
    for (int c = 0; c < 3; ++c) {
      size_t wrong = 0, first = 0;
      for (size_t i = 0; i < a.x.size(); ++i)
        if (std::fabs((*read[c])[i] - printed.value[c][i]) > printed.tolerance[c][i] ||
            (*again[c])[i] != printed.value[c][i])
          if (wrong++ == 0) first = i;
      EXPECT_EQ(wrong, 0u) << "column " << c + 1 << ", first at point " << first + 1 << ": "
                           << (*read[c])[first] << " against " << printed.value[c][first];
    }
  }
}

// A scan of n points from 10 degrees in steps of 0.02 (in centidegrees
// from 1000 for GSAS files), counts 100 + i, sigma 2.5 where the format has it.
std::string Lines(int n, const char *format, double x0 = 10, double step = 0.02) {
  std::string text;
  char s[64];
  for (int i = 0; i < n; ++i) {
#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // the formats below, each with x, y, sigma
    std::snprintf(s, sizeof s, format, x0 + step * i, 100.0 + i, 2.5);
    text += s;
  }
  return text;
}
std::string Lines(int n, const std::function<std::string(int)> &line) {
  std::string text;
  for (int i = 0; i < n; ++i) text += line(i);
  return text;
}
const char kXy[] = "%.2f %.0f\n", kXye[] = "%.2f %.0f %.1f\n";
std::string Fxye(int n) { return Lines(n, "  %9.1f %9.3f %8.3f\n", 1000, 2); }
std::string Fxy(int n) { return Lines(n, "%.1f %.0f\n", 1000, 2); }

// STD records: 10 fields of 8 characters, with a counters field every
// other record.
std::string StdRecords(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) {
    char f[16];
    if ((i / 10) % 2)
      std::snprintf(f, sizeof f, "%2d%6d", 2, 100 + i);
    else
      std::snprintf(f, sizeof f, "%8d", 100 + i);
    text += f;
    if (i % 10 == 9 || i == n - 1) text += "\r\n";
  }
  return text;
}
std::string EsdRecords(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) {
    char f[24];
    std::snprintf(f, sizeof f, "%8.1f%8.2f", 100.0 + i, 3.25);
    text += f;
    if (i % 5 == 4 || i == n - 1) text += "\n";
  }
  return text;
}
// ALT: 2theta F8.0, intensity F7.4 and sigma F5.4, written without decimal
// points where the implied ones apply.
std::string AltRecords(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) {
    char f[32];
    std::snprintf(f, sizeof f, "%8.1f%7d%5d", 1000.0 + 2 * i, 1000000 + 10000 * i, 25000);
    text += f;
    if (i % 4 == 3 || i == n - 1) text += "\n";
  }
  return text;
}

struct PatternFiles : ::testing::Test {
  TempDir dir;
  MeasuredPattern p;
  std::string error;
  bool Read(const std::string &name, const std::string &text) {
    return ReadMeasuredPattern(dir.write(name, text), &p, &error);
  }
};

// The reader follows the content first: a BANK line makes a GSAS file of
// any name, columns make text, the rest goes to xylib.
TEST_F(PatternFiles, FormatsAreSniffedAndRead) {
  const std::string uxd = "; hand-made\n_FILEVERSION=1\n_DRIVE='COUPLED'\n_STEPSIZE=0.02\n"
                          "_STEPMODE='C'\n_START=10.00\n_COUNTS\n" + Lines(60, [](int i) {
                            return std::to_string(100 + i) + (i % 8 == 7 ? "\n" : " ");
                          }) + "\n";
  const std::string cif = "data_scan\n_pd_meas_2theta_range_min 10.0\n_pd_meas_2theta_range_max "
                          "11.18\n_pd_meas_2theta_range_inc 0.02\nloop_\n_pd_meas_counts_total\n" +
                          Lines(60, [](int i) { return std::to_string(100 + i) + "\n"; });
  struct Case {
    const char *name;
    std::string text;
    const char *format;
    double sigma0;  // sigma of the first point
  };
  const Case cases[] = {
      {"scan.xy", "# 2theta counts\n" + Lines(60, kXy), "xy", 10},
      {"scan.dat", "a title line\n" + Lines(60, kXye), "xye", 2.5},
      {"scan", "title\nBANK 1 60 6 CONST 1000 2 0 0 STD\n" + StdRecords(60), "GSAS raw (STD)", 10},
      {"scan.gsa", "title\nBANK 1 60 12 CONST 1000.0 2.0 0 0 ESD\n" + EsdRecords(60),
       "GSAS raw (ESD)", 3.25},
      {"scan.gss", "title\nBANK 1 60 15 CONST 1000 2 0 0 ALT\n" + AltRecords(60),
       "GSAS raw (ALT)", 2.5},
      {"scan.txt", "title\n# a comment\nBANK 1 60 60 CONS 1000.0 2.0 0 0 FXYE\n" + Fxye(60),
       "FXYE", 2.5},
      {"scan.fxy", "title\nBANK 1 60 60 CONS 1000 2 0 0 FXY\n" + Fxy(60), "FXY", 10},
      {"scan.uxd", uxd, "uxd", 10},
      {"scan.cif", cif, "pdcif", 10},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Read(c.name, c.text)) << error;
    EXPECT_EQ(p.format, c.format);
    ASSERT_EQ(p.x.size(), 60u);
    EXPECT_NEAR(p.x[0], 10, 1e-12);
    EXPECT_NEAR(p.x[59], 11.18, 1e-9);
    EXPECT_NEAR(p.y[1], 101, 1e-9);
    EXPECT_NEAR(p.sigma[0], c.sigma0, 1e-9);
  }
  // Without an uncertainty in the file sigma is sqrt(counts), counts below
  // 1 taken as 1; the STD counters field divides.
  ASSERT_TRUE(Read("low.xy", "10 0.25\n" + Lines(59, [](int i) {
                     return std::to_string(11 + i) + " -3\n";
                   })));
  EXPECT_EQ(p.sigma[0], 1);
  EXPECT_EQ(p.sigma[1], 1);
  ASSERT_TRUE(Read("scan", "title\nBANK 1 60 6 CONST 1000 2 0 0 STD\n" + StdRecords(60)));
  EXPECT_NEAR(p.sigma[10], std::sqrt(110.0 / 2), 1e-12);
}

TEST_F(PatternFiles, BrokenFilesAreRefusedWithFileLineAndReason) {
  const std::string bank = "title\nBANK 1 60 6 CONST 1000 2 0 0 STD\n";
  const std::string xy = Lines(55, kXy);
  auto replaceLine = [](std::string text, int line, const std::string &with) {
    size_t start = 0;
    for (int i = 1; i < line; ++i) start = text.find('\n', start) + 1;
    return text.replace(start, text.find('\n', start) - start, with);
  };
  struct Case {
    const char *name;
    std::string text;
    const char *message;  // after the file's path
  };
  const Case bad[] = {
      {"empty.xy", "", ": no data: the file is empty"},
      {"blank.xy", " \n\n", ": no data: the file is empty"},
      {"comments.xy", "# nothing\n; here\n", ": no data: no line of 2theta and intensity"},
      {"short.xy", Lines(49, kXy), ": only 49 points: a pattern needs at least 50"},
      {"repeat.xy", replaceLine(xy, 7, "10.10 5"), ":7: 2theta 10.1 repeats the point before"},
      {"back.xy", replaceLine(xy, 7, "10.09 5"),
       ":7: 2theta 10.09 after 10.1: 2theta must increase from point to point"},
      {"nan.xy", replaceLine(xy, 3, "10.04 nan"), ":3: intensity 'nan' is not a finite number"},
      {"inf.xye", replaceLine(Lines(55, kXye), 3, "10.04 5 inf"),
       ":3: sigma 'inf' is not a finite number"},
      {"huge.xy", replaceLine(xy, 3, "10.04 1e999"), ":3: intensity '1e999' is not a finite number"},
      {"letter.xy", replaceLine(xy, 3, "10.04 4O"), ":3: intensity '4O' is not a number"},
      {"comma.xy", replaceLine(xy, 3, "10,04 40"), ":3: 2theta '10,04' is not a number"},
      {"zero.xy", replaceLine(xy, 1, "0 40"), ":1: 2theta 0 degrees: outside 0 to 180 degrees"},
      {"wide.xy", xy + "180.5 3\n", ":56: 2theta 180.5 degrees: outside 0 to 180 degrees"},
      {"negative.xye", replaceLine(Lines(55, kXye), 9, "10.16 5 -1"), ":9: sigma -1 is negative"},
      {"nosigma.xye", replaceLine(Lines(55, kXye), 9, "10.16 5 0"),
       ":9: sigma 0: every point needs an uncertainty above 0 to be weighed"},
      {"columns.xye", replaceLine(Lines(55, kXye), 9, "10.16 5"),
       ":9: 2 columns where the data have 3"},
      {"one.xy", "10\n11\n", ":1: 1 columns: expected 2theta, intensity and optionally sigma"},
      {"nul.xy", std::string("10 1\n11\0 2\n", 11), ":2: binary data (a control character): "
                                                    "not a text pattern"},
      {"step0.raw", "title\nBANK 1 60 6 CONST 1000 0 0 0 STD\n" + StdRecords(60),
       ":2: step 0 centidegrees: expected a step above 0"},
      {"stepneg.raw", "title\nBANK 1 60 6 CONST 1000 -2 0 0 STD\n" + StdRecords(60),
       ":2: step -2 centidegrees: expected a step above 0"},
      {"few.raw", "title\nBANK 1 70 7 CONST 1000 2 0 0 STD\n" + StdRecords(60),
       ":2: the BANK line promises 70 points, the bank holds 60"},
      {"nchan.raw", "title\nBANK 1 99999999 7 CONST 1000 2 0 0 STD\n" + StdRecords(60),
       ":2: nchan 99999999: expected from 1 to the"},
      {"tof.raw", "title\nBANK 1 60 6 RALF 1000 2 0 0 STD\n" + StdRecords(60),
       ":2: bin type RALF: only constant-step 2theta scans (CONST) are read"},
      {"type.raw", "title\nBANK 1 60 6 CONST 1000 2 0 0 XYZ\n" + StdRecords(60),
       ":2: record type XYZ: STD, ESD, ALT, FXYE and FXY are read"},
      {"bankline.raw", "title\nBANK 1\n", ":2: a BANK line needs BANK n nchan nrec bintyp"},
      {"letters.raw", bank + replaceLine(StdRecords(60), 2, "     abc"),
       ":4: point 11 (columns 1-8): counts 'abc' is not a number"},
      {"counters.raw", bank + replaceLine(StdRecords(60), 2, "-1   110"),
       ":4: point 11 (columns 1-8): counters '-1' is negative"},
      {"hole.raw", bank + replaceLine(StdRecords(60), 2, ""),
       ":4: a blank record: expected the data of the bank"},
      {"cut.raw", bank + replaceLine(StdRecords(60), 2, "     110"),
       ":4: point 12 (columns 9-16): no counts: expected 49 more points of the bank"},
      {"esd.gsa", "title\nBANK 1 60 12 CONST 1000 2 0 0 ESD\n" +
                      replaceLine(EsdRecords(60), 1, "   100.0"),
       ":3: point 1 (columns 9-16): no sigma: expected 60 more points of the bank"},
      {"more.fxye", "title\nBANK 1 59 59 CONS 1000 2 0 0 FXYE\n" + Fxye(60),
       ":62: more points than the 59 the BANK line (line 2) promises"},
      {"far.fxye", "title\nBANK 1 60 60 CONS 1000 2 0 0 FXYE\n" +
                       replaceLine(Fxye(60), 60, "18100 5 1"),
       ":62: 2theta 181 degrees: outside 0 to 180 degrees"},
      {"fxy.fxye", "title\nBANK 1 60 60 CONS 1000 2 0 0 FXYE\n" + Fxy(60),
       ":3: 2 columns: FXYE has 3 (2theta in centidegrees, intensity, sigma)"},
      {"noise.uxd", "\x01\x02 not a scan\n", ":"},
  };
  for (const Case &c : bad) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Read(c.name, c.text));
    EXPECT_EQ(error.rfind(dir.file(c.name) + c.message, 0), 0u) << error;
    EXPECT_TRUE(p.x.empty() && p.y.empty() && p.sigma.empty() && p.format.empty());
  }
  // Files no reader can take, not only broken ones.
  EXPECT_FALSE(ReadMeasuredPattern(dir.path(), &p, &error));
  EXPECT_EQ(error, dir.path() + ": cannot open the file (is a folder)");
}

// Whatever the bytes, the readers end with a pattern or a reason: every
// cut of valid files and random changes to them.
TEST(MeasuredPattern, NoInputCrashesOrHangs) {
  const std::string files[][2] = {
      {"cut.raw", "title\nBANK 1 60 6 CONST 1000 2 0 0 STD\n" + StdRecords(60)},
      {"cut.gsa", "title\nBANK 1 60 12 CONST 1000 2 0 0 ESD\n" + EsdRecords(60)},
      {"cut.gss", "title\nBANK 1 60 15 CONST 1000 2 0 0 ALT\n" + AltRecords(60)},
      {"cut.fxye", "title\nBANK 1 60 60 CONS 1000 2 0 0 FXYE\n" + Fxye(60)},
      {"cut.xye", Lines(60, kXye)},
      {"cut.uxd", "_STEPSIZE=0.02\n_START=10.00\n_COUNTS\n" + std::string(60 * 4, '7')},
  };
  std::mt19937 random(12345);
  MeasuredPattern p;
  std::string error;
  for (const auto &[name, text] : files) {
    for (size_t cut = 0; cut <= text.size(); cut += 7) {
      const bool ok = ReadMeasuredPatternBytes(text.substr(0, cut), name, &p, &error);
      EXPECT_TRUE(ok || (!error.empty() && error.rfind(name, 0) == 0)) << name << " cut " << cut;
    }
    for (int trial = 0; trial < 200; ++trial) {
      std::string changed = text;
      for (int k = 0; k < 3; ++k)
        changed[random() % changed.size()] = static_cast<char>(random() % 256);
      const bool ok = ReadMeasuredPatternBytes(changed, name, &p, &error);
      EXPECT_TRUE(ok || !error.empty()) << name;
      if (ok) {
        EXPECT_EQ(p.x.size(), p.sigma.size());
      }
    }
  }
}

}  // namespace
