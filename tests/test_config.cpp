// SPDX-License-Identifier: BSD-3-Clause
// The control file: the layout written, checked byte for byte against files
// of an independent writer, round trips, and the result codes and messages on
// faulty files.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kernel.h"
#include "testing.h"

namespace {

const char kHeader[] = "; Input file\n\nQUENDRALITE 2.0.0\n";

struct ConfigTest : ::testing::Test {
  Config config;
  TempDir dir;
  void SetUp() override { InitializeConfig(&config); }
  int Read(const std::string &body, const std::string &name = "job.epc") {
    return ReadConfigFile(&config, dir.write(name, body).c_str());
  }
};

TEST_F(ConfigTest, ReferenceControlFilesRoundTripByteForByte) {
  // The reference files were written by an independent writer of the same
  // layout; what we read and write again must be identical.
  for (const char *name : {"nacl/nacl.epc", "tio2_rutile/tio2_rutile_pcw.epc",
                           "mgoh2_brucite/mgoh2_brucite.epc", "cscl/cscl.epc"}) {
    const std::string source = TestDataPath(name);
    Config c;
    InitializeConfig(&c);
    ASSERT_EQ(ReadConfigFile(&c, source.c_str()), CONFIG_READ) << name;
    std::string out = dir.file("copy.epc");
    ASSERT_EQ(UpdateConfigFile(out.c_str(), &c), 1);
    const std::string original = ReadWholeFile(source);
    ASSERT_FALSE(original.empty()) << source;
    EXPECT_EQ(ReadWholeFile(out), original) << name;
  }
}

TEST_F(ConfigTest, ReadWriteReadKeepsEveryFieldAndAnUnwritableTargetFails) {
  config.title = "Round trip";  // the blank is lost on reading, by design
  config.radiation = 2;
  config.lambdaXray2 = 1.25;
  config.monoAngle = 12.5;
  config.formular = "(Fe0.5Mn0.5)2O3";
  config.oxidation = {{"Fe", 3}, {"O", -2}};
  config.constraints.insert(config.constraints.begin(), Constraint{"O", 2, 'e', 0, 2});
  config.constraints.insert(config.constraints.begin(), Constraint{"(Fe+Mn)", 1, 'c', 1, 1});
  config.fixedCoordinates.push_back(
      FixedCoordinate{"Fe", 3, 4, 'c', 0.25, 0.5, 0.125, 1.0, 0.5, FIX_X | FIX_Z});
  config.statisticCircles = 123456789;
  config.overallB = 1.85;
  config.autoOverallB = 1;
  std::string first = dir.file("first.epc");
  ASSERT_EQ(UpdateConfigFile(first.c_str(), &config), 1);
  Config back;
  InitializeConfig(&back);
  ASSERT_EQ(ReadConfigFile(&back, first.c_str()), CONFIG_READ);
  EXPECT_EQ(back.title, "Roundtrip");
  EXPECT_EQ(std::make_tuple(back.radiation, back.lambdaXray2, back.monoAngle, back.formular,
                            back.statisticCircles, back.overallB, back.autoOverallB),
            std::make_tuple(2, 1.25, 12.5, std::string("(Fe0.5Mn0.5)2O3"), 123456789, 1.85, 1));
  ASSERT_EQ(back.oxidation.size(), 2u);
  EXPECT_EQ(back.oxidation[1].symbol, "O");
  EXPECT_EQ(back.oxidation[1].oxidation, -2);
  ASSERT_EQ(back.fixedCoordinates.size(), 1u);
  EXPECT_EQ(back.fixedCoordinates[0].z, 0.125);
  EXPECT_EQ(back.fixedCoordinates[0].flags, FIX_X | FIX_Z);
  // Reading puts each list entry in front, so a cycle reverses the order.
  ASSERT_EQ(back.constraints.size(), 2u);
  EXPECT_EQ(back.constraints[0].name, "O");
  EXPECT_EQ(back.constraints[1].name, "(Fe+Mn)");
  EXPECT_EQ(back.constraints[1].wyckoffLetter, 'c');
  // A second cycle restores the order and is otherwise a fixed point.
  std::string second = dir.file("second.epc"), third = dir.file("third.epc");
  ASSERT_EQ(UpdateConfigFile(second.c_str(), &back), 1);
  Config again;
  InitializeConfig(&again);
  ASSERT_EQ(ReadConfigFile(&again, second.c_str()), CONFIG_READ);
  ASSERT_EQ(UpdateConfigFile(third.c_str(), &again), 1);
  std::string firstText = ReadWholeFile(first);
  // Apart from the blank the title lost, the third file is the first again.
  firstText.replace(firstText.find("Round trip"), 10, "Roundtrip");
  EXPECT_EQ(ReadWholeFile(third), firstText);
  // The overall B keys are written at the end of the peak-file section, and
  // only when set: a job's file without them keeps the layout it always had.
  EXPECT_TRUE(Holds(firstText, "\nOVERALL_B\t1.850000\nAUTO_OVERALL_B\t1\n\n; Statistic filter"));
  again.overallB = 0;
  again.autoOverallB = 0;
  ASSERT_EQ(UpdateConfigFile(third.c_str(), &again), 1);
  EXPECT_EQ(ReadWholeFile(third).find("OVERALL_B"), std::string::npos);
  // So are the texture keys, each only when it differs from its default (r's
  // is 1).
  again.prefOrientL = 1;
  again.prefOrientR = 0.8;
  ASSERT_EQ(UpdateConfigFile(third.c_str(), &again), 1);
  EXPECT_TRUE(Holds(ReadWholeFile(third), "\nPREF_ORIENT_L\t1\nPREF_ORIENT_R\t0.800000\n\n;"));
  again.prefOrientR = 1.0;
  ASSERT_EQ(UpdateConfigFile(third.c_str(), &again), 1);
  EXPECT_EQ(ReadWholeFile(third).find("PREF_ORIENT_R"), std::string::npos);
  // A target that cannot be written is a failure, with its reason.
  CapturedMessages messages;
  const std::string target = dir.file("no/such/folder/job.epc");
  EXPECT_EQ(UpdateConfigFile(target.c_str(), &config), 0);
  EXPECT_EQ(messages.text(),
            "updating file \"" + target + "\", can not open file! (No such file or directory)\n");
}

TEST_F(ConfigTest, TheStampItsVersionAndWhatIsNoControlFile) {
  EXPECT_EQ(Read("; comment\nTITLE\t\"x\"\nQUENDRALITE 2.0.0\n"), CONFIG_WRONG_FORMAT);
  EXPECT_EQ(config.title, "Untitled");
  EXPECT_EQ(Read("; only comments\n\n   \t\n# more\n"), CONFIG_READ);
  EXPECT_EQ(Read(""), CONFIG_READ);
  EXPECT_EQ(config.title, "Untitled");
  EXPECT_EQ(Read("QUENDRALITE 3.0.0\nTITLE\tx\n"), CONFIG_WRONG_VERSION);
  EXPECT_EQ(config.title, "Untitled");
  EXPECT_EQ(Read("QUENDRALITE 1.9.9\nTITLE\told\n"), CONFIG_READ);
  EXPECT_EQ(config.title, "old");
  EXPECT_EQ(Read("QUENDRALITE\nTITLE\tnoversion\n"), CONFIG_READ);
  EXPECT_EQ(config.title, "noversion");
  // What is no control file says so.
  CapturedMessages messages;
  EXPECT_EQ(Read(std::string("TITLE\tx\nQUENDRALITE 2.0.0\n")), CONFIG_WRONG_FORMAT);
  EXPECT_EQ(messages.text(), dir.file("job.epc") +
                                 ":1: TITLE: the first key must be the stamp QUENDRALITE 2.0.0: "
                                 "not a control file\n");
  messages.clear();
  EXPECT_EQ(Read(std::string(kHeader) + "TITLE\tx\n" + std::string("\x7f" "ELF\x02\x01", 6) +
                 std::string(3, '\0') + "\n"),
            CONFIG_WRONG_FORMAT);
  EXPECT_EQ(messages.text(), dir.file("job.epc") +
                                 ":5: binary data (a NUL or control character): not a control "
                                 "file\n");
  // A byte-order mark is no key.
  EXPECT_EQ(Read("\xEF\xBB\xBFQUENDRALITE 2.0.0\nTITLE\tbom\n"), CONFIG_READ);
  EXPECT_EQ(config.title, "bom");

  // Neither a missing file, a folder, a device nor a FIFO is read.
  for (const auto &r : UnreadablePaths(dir, "epc")) {
    messages.clear();
    EXPECT_EQ(ReadConfigFile(&config, r.first.c_str()), CONFIG_CANNOT_OPEN) << r.first;
    EXPECT_EQ(messages.text(), "cannot open file \"" + r.first + "\": " + r.second + "\n");
  }
  // Nor one larger than any control file.
  {
    std::ofstream big(dir.file("big.epc"), std::ios::binary);
    big.seekp((4 << 20) + 1);
    big.put('\n');
  }
  messages.clear();
  EXPECT_EQ(ReadConfigFile(&config, dir.file("big.epc").c_str()), CONFIG_CANNOT_OPEN);
  EXPECT_NE(messages.text().find("is larger than 4 MB"), std::string::npos);
  // A stream of NULs without a line end, as a device gives one, ends at
  // the first line.
  std::string zeros(1 << 20, '\0');
  FilePtr zero(fmemopen(zeros.data(), zeros.size(), "r"));
  ASSERT_TRUE(zero);
  messages.clear();
  EXPECT_EQ(ReadConfigStream(&config, zero.get(), "zero"), CONFIG_WRONG_FORMAT);
  EXPECT_LE(std::ftell(zero.get()), 1 << 17);
  EXPECT_EQ(messages.text(), "zero:1: binary data (a NUL or control character): not a control "
                             "file\n");
}

TEST_F(ConfigTest, AValueIsJudgedAlikeByTheReaderAFrontEndAndOtherCallersAndWithItsPartners) {
  // One case per kind of format and of bound. A front end checks what a
  // user types with the reader's own words (why), and other callers check
  // a number against the same bounds (ConfigAdmits).
  const char *kWhole = "in a wrong format: expected a whole number";
  const char *kDecimal = "in a wrong format: expected a decimal number such as 1.5 (no exponent)";
  struct Case {
    const char *key;
    std::string text;
    double read;      // the number read when why is empty
    std::string why;  // what the reader says after "KEY: 'VALUE' "
  };
  const Case cases[] = {
      {"CELL_A", " 4.5", 4.5, ""},  // the blanks after the key are no part of the value
      {"CELL_A", ".5", 0.5, ""},  // and the smallest edge
      {"CELL_A", "0.4999", 0, "out of range: expected a cell edge from 0.5 to 1000 angstrom"},
      {"FOM_THRESHOLD", "-.5", -0.5, ""},
      {"RADIATION", "1 \t \t\r", 1, ""},
      {"AUTO_DIMENSION", "-", 0, ""},  // a lone minus sign has always stood for 0
      {"GEOMETRY", "-2147483648", -2147483648.0, ""},
      {"CELL_A", "1000", 1000, ""},  // closed bounds are values
      {"PEAK_N_WIDTH", "0", 0, ""},
      {"SG_NUMBER", "230", 230, ""},
      {"CELL_A", "1.5e0", 0, kDecimal},
      {"CELL_A", "+1.5", 0, kDecimal},
      {"CELL_A", "1.2.3", 0, kDecimal},
      {"CELL_A", "nan", 0, kDecimal},
      {"CELL_A", "", 0, kDecimal},
      {"RADIATION", "1 ; neutron", 0, kWhole},
      {"SG_NUMBER", "1.0", 0, kWhole},
      {"SG_NUMBER", "99999999999", 0, kWhole},
      {"RADIATION", "5", 0, "out of range: expected 0 (X-ray), 1 (neutron) or 2 (electron)"},
      {"OVERALL_B", "100.5", 0,
       "out of range: expected an overall displacement factor from 0 to 100 A^2"},
      {"PREF_ORIENT_R", "10", 10, ""},
      {"PREF_ORIENT_R", "0", 0, "out of range: expected a March-Dollase r above 0, at most 10"},
      {"PREF_ORIENT_L", "-101", 0, "out of range: expected an index from -100 to 100"},
      {"REFINE_PREF_ORIENT", "2", 0, "out of range: expected 0 (r kept) or 1 (r refined)"},
      {"STATISTIC_CIRCLES", "-1", 0, "out of range: expected a number of trials of at least 1"},
      {"SEARCH_RESOLUTION", "0", 0, "out of range: expected a grid step above 0 angstrom"},
      {"FREEST_FIRST_RESTARTS", "0", 0, ""},  // off
      {"FREEST_FIRST_RESTARTS", "10001", 0,
       "out of range: expected a number of restarts from 0 (off) to 10000"},
      {"CELL_GAMMA", "180", 0, "out of range: expected a cell angle between 0 and 180 degrees"},
      // A number as long as a line allows.
      {"CELL_A", "1" + std::string(240, '0'), 0,
       "out of range: expected a cell edge from 0.5 to 1000 angstrom"},
  };
  for (const Case &c : cases) {
    const std::string line = std::string(c.key) + "\t" + c.text;
    double value = -1;
    std::string why;
    EXPECT_EQ(CheckConfigValue(c.key, c.text.c_str(), &value, &why), c.why.empty()) << line;
    EXPECT_EQ(why, c.why) << line;
    InitializeConfig(&config);
    CapturedMessages messages;
    ASSERT_EQ(Read(std::string(kHeader) + "TITLE\tx\n" + line + "\nDOUBLETS\t1\n"),
              c.why.empty() ? CONFIG_READ : CONFIG_WRONG_FORMAT)
        << line;
    // What comes before a fault is read, what follows it is not.
    EXPECT_EQ(std::make_pair(config.title, config.doublets),
              std::make_pair(std::string("x"), c.why.empty() ? 1 : 0));
    if (c.why.empty()) {
      EXPECT_EQ(value, c.read) << line;
      EXPECT_TRUE(ConfigAdmits(c.key, value)) << line;
      const ConfigKeyword *k = FindConfigKeyword(c.key);
      EXPECT_EQ(k->type == CONFIG_REAL ? config.*k->real : config.*k->integer, c.read) << line;
      continue;
    }
    EXPECT_EQ(messages.text(), dir.file("job.epc") + ":5: " + c.key + ": '" + c.text + "' " +
                                   c.why + "\n");
    EXPECT_EQ(messages.all()[0].first, MESSAGE_ERROR);
    if (c.why.rfind("out of range", 0) == 0) {
      EXPECT_FALSE(ConfigAdmits(c.key, std::stod(c.text))) << line;
    }
  }
  // A key's number for other callers is a whole one where the key's is,
  // and there is none where the key holds no number.
  EXPECT_FALSE(ConfigAdmits("FORMULAR_Z", 2.5));
  EXPECT_TRUE(ConfigAdmits("OXIDATION", -8));
  EXPECT_FALSE(ConfigAdmits("OXIDATION", 9));
  EXPECT_FALSE(ConfigAdmits("CONSTRAINT", 1));
  EXPECT_FALSE(ConfigAdmits("TITLE", 1));
  EXPECT_FALSE(ConfigAdmits("NO_SUCH_KEY", 1));
  double value = 0;
  std::string why;
  EXPECT_FALSE(CheckConfigValue("NO_SUCH_KEY", "1", &value, &why));
  EXPECT_FALSE(CheckConfigValue("OXIDATION", "Fe 3", &value, &why));
  // Values that only make sense together.
  struct Together {
    const char *lines;
    int line;
    const char *message;
  };
  const Together together[] = {
      {"TRADI_SA_START_T\t1\nTRADI_SA_END_T\t2\n", 5,
       "TRADI_SA_END_T: '2.000000' is not below TRADI_SA_START_T '1.000000'"},
      // Equal is not below; the order of the two lines does not matter.
      {"ADAPT_SA_END_T\t10\n", 4,
       "ADAPT_SA_END_T: '10.000000' is not below ADAPT_SA_START_T '10.000000'"},
      {"REFINE_TRADI_SA_END_T\t0.5\nREFINE_TRADI_SA_START_T\t0.25\n", 5,
       "REFINE_TRADI_SA_END_T: '0.500000' is not below REFINE_TRADI_SA_START_T '0.250000'"},
      {"START_ANGLE\t50\nEND_ANGLE\t40\n", 5,
       "END_ANGLE: '40.000000' is below START_ANGLE '50.000000'"},
      {"CELL_ALPHA\t10\nCELL_BETA\t10\nCELL_GAMMA\t170\n", 6,
       "CELL_ALPHA, CELL_BETA, CELL_GAMMA: '10.000000 10.000000 170.000000' admit no cell"},
      {"CELL_ALPHA\t120\nCELL_BETA\t120\nCELL_GAMMA\t120\n", 6,
       "CELL_ALPHA, CELL_BETA, CELL_GAMMA: '120.000000 120.000000 120.000000' admit no cell"},
  };
  for (const Together &c : together) {
    InitializeConfig(&config);
    CapturedMessages messages;
    EXPECT_EQ(Read(std::string(kHeader) + c.lines), CONFIG_WRONG_FORMAT) << c.lines;
    EXPECT_EQ(messages.text().rfind(dir.file("job.epc") + ":" + std::to_string(c.line) + ": " +
                                        c.message,
                                    0),
              0u)
        << messages.text();
  }
  // Cells that exist, with the angles a hexagonal or a steep monoclinic
  // cell has.
  EXPECT_EQ(Read(std::string(kHeader) + "CELL_GAMMA\t120\nCELL_BETA\t100\n"), CONFIG_READ);
  EXPECT_EQ(Read(std::string(kHeader) + "TRADI_SA_START_T\t2\nTRADI_SA_END_T\t1\n"),
            CONFIG_READ);
}

TEST_F(ConfigTest, TextsLoseBlanksAndQuotesButFileNamesKeepThem) {
  CapturedMessages messages;
  ASSERT_EQ(Read(std::string(kHeader) + "TITLE\t\"My phase\"\nPEAK_FILE\t'my peaks.hkl'\n"
                                        "FORMULAR\tFe2 O3\ntitle\tignored\nUNKNOWN\t1\n"),
            CONFIG_READ);
  EXPECT_EQ(config.title, "Myphase");
  EXPECT_EQ(config.peakFile, "my peaks.hkl");
  EXPECT_EQ(config.formular, "Fe2O3");
  EXPECT_EQ(messages.size(), 0u);
  ASSERT_EQ(Read(std::string(kHeader) + "PEAK_FILE\t  data/two  blanks.hkl \t\n"), CONFIG_READ);
  EXPECT_EQ(config.peakFile, "data/two  blanks.hkl");
  // What is written reads back the same.
  const std::string copy = dir.file("copy.epc");
  ASSERT_EQ(UpdateConfigFile(copy.c_str(), &config), 1);
  EXPECT_NE(ReadWholeFile(copy).find("PEAK_FILE\t\"data/two  blanks.hkl\"\n"), std::string::npos);
  Config back;
  InitializeConfig(&back);
  ASSERT_EQ(ReadConfigFile(&back, copy.c_str()), CONFIG_READ);
  EXPECT_EQ(back.peakFile, "data/two  blanks.hkl");
  // A quote inside the name could not be written back.
  EXPECT_EQ(Read(std::string(kHeader) + "PEAK_FILE\t\"a.hkl\" ; mine\n"), CONFIG_WRONG_FORMAT);
  ASSERT_EQ(Read(std::string(kHeader) + "\n\nTITLE\t\"\"\n"), CONFIG_READ);
  EXPECT_EQ(config.title, "");
  EXPECT_TRUE(Holds(messages.text(), "reading file \"" + dir.file("job.epc") +
                                         "\", value of \"TITLE\" is null\n, at line 6\n"));
  EXPECT_EQ(messages.all().back().first, MESSAGE_WARNING);
}

TEST_F(ConfigTest, LongLinesAreRefusedNamingTheirLineAndTextsThatFitAreReadBack) {
  // A line used to be read in pieces of 255 characters, and the tail of a
  // long title or comment was read as a key of its own.
  CapturedMessages messages;
  const std::string tail = "SG_NUMBER\t229";
  const std::string title = "TITLE\t" + std::string(255 - 6, 'T') + tail + "\n";
  EXPECT_EQ(Read(std::string(kHeader) + "FORMULAR\tNa1Cl1\n" + title), CONFIG_WRONG_FORMAT);
  EXPECT_EQ(messages.text(), dir.file("job.epc") + ":5: a line of 268 characters: a line holds "
                                                   "at most 255\n");
  EXPECT_EQ(config.sgNumber, 1);
  messages.clear();
  EXPECT_EQ(Read(std::string(kHeader) + "; " + std::string(260, 'c') + tail + "\n"),
            CONFIG_WRONG_FORMAT);
  EXPECT_EQ(config.sgNumber, 1);
  // 255 characters fit, with either line end.
  const std::string fits = "TITLE\t" + std::string(255 - 6, 'T');
  ASSERT_EQ(Read(std::string(kHeader) + fits + "\r\n"), CONFIG_READ);
  EXPECT_EQ(config.title.size(), 249u);
  ASSERT_EQ(Read(std::string(kHeader) + fits), CONFIG_READ);
  EXPECT_EQ(config.title.size(), 249u);
  // Symbols longer than a symbol can be are no element.
  EXPECT_EQ(Read(std::string(kHeader) + "OXIDATION\t" + std::string(40, 'A') + " 2\n"),
            CONFIG_WRONG_FORMAT);
  EXPECT_EQ(Read(std::string(kHeader) + "FIXED_COORDINATE\t" + std::string(40, 'A') +
                 " 0 4 a 0 0 0 1 1 0\n"),
            CONFIG_WRONG_FORMAT);
  ASSERT_EQ(Read(std::string(kHeader) + "CONSTRAINT\t" + std::string(200, 'C') + " 1 a 0 1\n"),
            CONFIG_READ);
  ASSERT_EQ(config.constraints.size(), 1u);
  EXPECT_EQ(config.constraints[0].name.size(), 200u);
  // A title or name one character longer than its capacity would make a
  // file the reader refuses: a text that fits is read back.
  std::string why;
  for (const char *key : {"TITLE", "FORMULAR", "PEAK_FILE"}) {
    const size_t capacity = ConfigTextCapacity(key);
    ASSERT_GT(capacity, 200u) << key;
    const std::string full(capacity, 'N');
    EXPECT_TRUE(CheckConfigValue(key, full.c_str(), nullptr, &why)) << key;
    EXPECT_FALSE(CheckConfigValue(key, (full + "N").c_str(), nullptr, &why)) << key;
    EXPECT_NE(why.find("too long"), std::string::npos);
    Config c;
    InitializeConfig(&c);
    (std::string(key) == "TITLE" ? c.title : std::string(key) == "FORMULAR" ? c.formular
                                                                              : c.peakFile) = full;
    ASSERT_EQ(UpdateConfigFile(dir.file("long.epc").c_str(), &c), 1);
    Config back;
    InitializeConfig(&back);
    CapturedMessages quiet;
    EXPECT_EQ(ReadConfigFile(&back, dir.file("long.epc").c_str()), CONFIG_READ) << key;
  }
  EXPECT_FALSE(CheckConfigValue("PEAK_FILE", "a\"b.hkl", nullptr, &why));
  EXPECT_EQ(ConfigTextCapacity("CELL_A"), 0u);
}

TEST_F(ConfigTest, ListEntriesBadOnesAndRepeatedConstraints) {
  std::string text = kHeader;
  for (int i = 0; i < 63; ++i) text += std::string("OXIDATION\t") + ElementTable[i] + " 1\n";
  ASSERT_EQ(Read(text), CONFIG_READ);
  ASSERT_EQ(config.oxidation.size(), 63u);
  EXPECT_EQ(config.oxidation[62].symbol, ElementTable[62]);
  // A 64th entry was once dropped without a word.
  InitializeConfig(&config);
  CapturedMessages messages;
  EXPECT_EQ(Read(text + "OXIDATION\tFe 3\n"), CONFIG_WRONG_FORMAT);
  EXPECT_EQ(messages.text(), dir.file("job.epc") + ":67: OXIDATION: 'Fe 3' is one more than the 63 "
                                                   "oxidation states a job can hold\n");

  InitializeConfig(&config);
  messages.clear();
  EXPECT_EQ(Read(std::string(kHeader) + "CONSTRAINT\tA 1 a 0 1\nCONSTRAINT\tB 2 b 1 1\n"
                                        "CONSTRAINT\tC 3 c 1\n"),
            CONFIG_WRONG_FORMAT);
  ASSERT_EQ(config.constraints.size(), 2u);  // the faulty one is not added
  EXPECT_EQ(config.constraints[0].name, "B");
  EXPECT_EQ(config.constraints[0].line, 5);
  EXPECT_EQ(config.constraints[1].name, "A");
  EXPECT_EQ(messages.text(), dir.file("job.epc") +
                                 ":6: CONSTRAINT: 'C 3 c 1' in a wrong format: expected ENTRY "
                                 "INDEX LETTER MINIMUM MAXIMUM, such as O 2 e 0 2\n");
  EXPECT_EQ(Read(std::string(kHeader) + "OXIDATION\tFe 3 trailing text\n"), CONFIG_READ);
  // Entries no job can hold.
  struct Case {
    const char *line;
    const char *message;  // after "KEY: 'VALUE' "
  };
  const Case cases[] = {
      {"OXIDATION\tQq 1", "names no element: 'Qq' is no element symbol (symbols are "
                          "case-sensitive, such as Fe or O)"},
      {"OXIDATION\tFe", "in a wrong format: expected an element symbol and an oxidation state "
                        "from -8 to 8, such as Fe 3"},
      {"OXIDATION\tFe 9", "in a wrong format: expected an element symbol and an oxidation "
                          "state from -8 to 8, such as Fe 3"},
      {"CONSTRAINT\tO 2 e -1 2", "has bounds no count can meet: expected 0 <= MINIMUM <= "
                                 "MAXIMUM"},
      {"CONSTRAINT\tO 2 e 3 2", "has bounds no count can meet: expected 0 <= MINIMUM <= MAXIMUM"},
      {"CONSTRAINT\tO -2 e 0 2", "has a negative entry index: expected 0 (all atoms) or the "
                                 "number of a formula entry from 1"},
      {"CONSTRAINT\tO - e 0 2", "in a wrong format: expected ENTRY INDEX LETTER MINIMUM MAXIMUM, "
                              "such as O 2 e 0 2"},
      {"FIXED_COORDINATE\tFe 3 4 c nan 0 0 1 1 1",
       "in a wrong format: expected SYMBOL OXIDATION MULTIPLICITY LETTER X Y Z B OCCUPANCY FLAGS, "
       "such as Fe 3 4 c 0.25 0.25 0.25 1 1 7"},
      {"FIXED_COORDINATE\tFe 3 0 c 0 0 0 1 1 1", "has a multiplicity below 1"},
      {"FIXED_COORDINATE\tFe 3 4 c 0 0 0 -1 1 1", "has a negative B"},
      {"FIXED_COORDINATE\tFe 3 4 c 0 0 0 1 1.5 1", "has an occupancy outside 0 to 1"},
      {"FIXED_COORDINATE\tFe 3 4 c 0 0 0 1 1 32",
       "has flags outside 0 to 31 (1 x, 2 y, 4 z, 8 B, 16 occupancy)"},
  };
  for (const Case &c : cases) {
    InitializeConfig(&config);
    messages.clear();
    const std::string line = c.line;
    const std::string key = line.substr(0, line.find('\t'));
    const std::string value = line.substr(line.find('\t') + 1);
    EXPECT_EQ(Read(std::string(kHeader) + c.line + "\n"), CONFIG_WRONG_FORMAT) << c.line;
    EXPECT_EQ(messages.text(),
              dir.file("job.epc") + ":4: " + key + ": '" + value + "' " + c.message + "\n");
    EXPECT_TRUE(config.oxidation.empty() && config.constraints.empty() &&
                config.fixedCoordinates.empty());
  }
  // Exponents are numbers in these entries, as the scan format reads them.
  ASSERT_EQ(Read(std::string(kHeader) + "FIXED_COORDINATE\tFe 3 4 c 2.5e-1 0 0 1 1 1\n"),
            CONFIG_READ);
  EXPECT_EQ(config.fixedCoordinates[0].x, 0.25);
  // A repeated constraint is warned of, and the first applies.
  InitializeConfig(&config);
  messages.clear();
  ASSERT_EQ(Read(std::string(kHeader) + "CONSTRAINT\tO 2 e 0 2\nCONSTRAINT\tO 1 e 0 1\n"
                                        "CONSTRAINT\tO 2 e 1 1\n"),
            CONFIG_READ);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.all()[0].first, MESSAGE_WARNING);
  EXPECT_EQ(messages.text(), dir.file("job.epc") +
                                 ":6: CONSTRAINT: 'O 2 e 1 1' repeats the constraint on entry 2 "
                                 "(O) and position e of line 4, which applies; this line has no "
                                 "effect\n");
  // And it does: the enumeration's bounds come from line 4.
  Compound compound;
  ASSERT_EQ(ParseFormular("Ti1O2", &compound), 1);
  SpaceGroup sg;
  ASSERT_EQ(SetSpaceGroup(&sg, 136, 1), 1);
  CombPositions cp;
  SetCombPositions(sg.positions, &cp);
  InitializeRestraints(&cp, &compound);
  SetConstraints(&compound, &cp, config.constraints);
  bool found = false;
  for (const CombPosition &node : cp.nodes)
    if (node.position->wyckoffLetter == 'e') {
      EXPECT_EQ(node.lowerBySlot[2], 0);
      EXPECT_EQ(node.upperBySlot[2], 2);
      found = true;
    }
  EXPECT_TRUE(found);
}

// Rock salt's job, without reflections.
void NaClJob(Job *job) {
  InitializeJob(job);
  job->config.formular = "Na1Cl1";
  job->config.formularZ = 4;
  job->config.sgNumber = 225;
}

// Values out of range stop the set-up; else the list takes the job's B or
// the estimate.
TEST(OverallBSetup, TheJobsListTakesItsBOrTheEstimateAndNothingOutOfRange) {
  for (const auto &bad : std::vector<std::pair<double, int>>{{-0.5, 0}, {100.5, 0}, {1.0, 2}}) {
    Job job;
    NaClJob(&job);
    job.config.overallB = bad.first;
    job.config.autoOverallB = bad.second;
    CapturedMessages messages;
    EXPECT_FALSE(SetupJob(&job));
    EXPECT_TRUE(Holds(messages.text(), bad.second == 2 ? "AUTO_OVERALL_B 2" : "OVERALL_B"));
    FreeJob(&job);
  }
  Job job;
  NaClJob(&job);
  ASSERT_TRUE(SetupJob(&job));
  for (int h = 1; h <= 5; ++h) {
    HKLItem it;
    it.h = h;
    it.d = 5.64 / h;
    it.multiplicity = 6;
    it.iObs = 100.0 / h;
    job.hklList.items.push_back(it);
  }
  job.config.overallB = 1.5;
  ASSERT_TRUE(SetJobOverallB(&job));
  EXPECT_EQ(job.hklList.overallB, 1.5);
  EXPECT_LT(job.hklList.items[4].debyeWaller, job.hklList.items[0].debyeWaller);
  // Five reflections make no Wilson plot: the estimate is refused and B is
  // 0, in the list and in the configuration that will be saved.
  job.config.autoOverallB = 1;
  CapturedMessages messages;
  ASSERT_TRUE(SetJobOverallB(&job));
  EXPECT_EQ(job.hklList.overallB, 0);
  EXPECT_EQ(job.config.overallB, 0);
  EXPECT_EQ(job.hklList.items[4].debyeWaller, 1.0);
  EXPECT_TRUE(Holds(messages.text(), "too few for a Wilson plot"));
  FreeJob(&job);
}

}  // namespace
