// The control file: the layout written, checked byte for byte against files
// of an independent writer, round trips, and the result codes and messages on
// faulty files.
#include <gtest/gtest.h>

#include <string>
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

TEST_F(ConfigTest, ReadWriteReadKeepsEveryField) {
  config.title = "Round trip";  // the blank is lost on reading, by design
  config.radiation = 2;
  config.lambdaXray2 = 1.25;
  config.monoAngle = -12.5;
  config.startAngle = 3.5;
  config.formular = "(Fe0.5Mn0.5)2O3";
  config.oxidation = {{"Fe", 3}, {"O", -2}};
  config.constraints.insert(config.constraints.begin(), Constraint{"O", 2, 'e', 0, 2});
  config.constraints.insert(config.constraints.begin(), Constraint{"(Fe+Mn)", 1, 'c', 1, 1});
  config.fixedCoordinates.push_back(
      FixedCoordinate{"Fe", 3, 4, 'c', 0.25, 0.5, 0.125, 1.0, 0.5, FIX_X | FIX_Z});
  config.statisticCircles = 123456789;
  config.refineThreshold = 0.25;
  std::string first = dir.file("first.epc");
  ASSERT_EQ(UpdateConfigFile(first.c_str(), &config), 1);
  Config back;
  InitializeConfig(&back);
  ASSERT_EQ(ReadConfigFile(&back, first.c_str()), CONFIG_READ);
  EXPECT_EQ(back.title, "Roundtrip");
  EXPECT_EQ(back.radiation, 2);
  EXPECT_EQ(back.lambdaXray2, 1.25);
  EXPECT_EQ(back.monoAngle, -12.5);
  EXPECT_EQ(back.formular, "(Fe0.5Mn0.5)2O3");
  ASSERT_EQ(back.oxidation.size(), 2u);
  EXPECT_EQ(back.oxidation[1].symbol, "O");
  EXPECT_EQ(back.oxidation[1].oxidation, -2);
  ASSERT_EQ(back.fixedCoordinates.size(), 1u);
  EXPECT_EQ(back.fixedCoordinates[0].z, 0.125);
  EXPECT_EQ(back.fixedCoordinates[0].flags, FIX_X | FIX_Z);
  EXPECT_EQ(back.statisticCircles, 123456789);
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
  std::string thirdText = ReadWholeFile(third);
  EXPECT_NE(firstText.find("TITLE\t\"Round trip\""), std::string::npos);
  EXPECT_NE(firstText.find("CONSTRAINT\t(Fe+Mn) 1 c 1 1\nCONSTRAINT\tO 2 e 0 2\n"),
            std::string::npos);
  EXPECT_EQ(ReadWholeFile(second).find("CONSTRAINT\tO 2 e 0 2\nCONSTRAINT\t(Fe+Mn) 1 c 1 1\n") !=
                std::string::npos,
            true);
  // Apart from the blank the title lost, the third file is the first again.
  firstText.replace(firstText.find("Round trip"), 10, "Roundtrip");
  EXPECT_EQ(thirdText, firstText);
}

TEST_F(ConfigTest, OpenFailuresAndStamp) {
  CapturedMessages messages;
  EXPECT_EQ(ReadConfigFile(&config, dir.file("missing.epc").c_str()), CONFIG_CANNOT_OPEN);
  EXPECT_EQ(messages.text(), "cant not open file \"" + dir.file("missing.epc") + "\"\n");
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
}

TEST_F(ConfigTest, NumbersAreCheckedStrictly) {
  CapturedMessages messages;
  const std::string file = dir.file("job.epc");
  EXPECT_EQ(Read(std::string(kHeader) + "TITLE\tok\nRADIATION\t1 ; neutron\nDOUBLETS\t1\n"),
            CONFIG_WRONG_FORMAT);
  EXPECT_EQ(messages.text(),
            "reading file \"" + file + "\", value of RADIATION in a wrong format, at line 5\n");
  EXPECT_EQ(messages.all()[0].first, MESSAGE_ERROR);
  EXPECT_EQ(config.title, "ok");     // read before the fault
  EXPECT_EQ(config.doublets, 0);     // after it: untouched
  EXPECT_EQ(Read(std::string(kHeader) + "RADIATION\t1 \t \t\r\n"), CONFIG_READ);
  EXPECT_EQ(config.radiation, 1);

  struct Case { const char *line; int result; };
  const Case cases[] = {
      {"CELL_A\t1.5e0\n", CONFIG_WRONG_FORMAT}, {"CELL_A\t+1.5\n", CONFIG_WRONG_FORMAT},
      {"CELL_A\t1.2.3\n", CONFIG_WRONG_FORMAT}, {"CELL_A\tnan\n", CONFIG_WRONG_FORMAT},
      {"CELL_A\t\n", CONFIG_WRONG_FORMAT},      {"SG_NUMBER\t12x\n", CONFIG_WRONG_FORMAT},
      {"SG_NUMBER\t1.0\n", CONFIG_WRONG_FORMAT},
      {"SG_NUMBER\t99999999999\n", CONFIG_WRONG_FORMAT},
  };
  for (const Case &c : cases)
    EXPECT_EQ(Read(std::string(kHeader) + c.line), c.result) << c.line;

  EXPECT_EQ(Read(std::string(kHeader) + "CELL_A\t.5\nCELL_B\t-.5\nCELL_C\t5.\nSG_NUMBER\t-\n"),
            CONFIG_READ);
  EXPECT_EQ(config.cellA, 0.5);
  EXPECT_EQ(config.cellB, -0.5);
  EXPECT_EQ(config.cellC, 5.0);
  EXPECT_EQ(config.sgNumber, 0);
  EXPECT_EQ(Read(std::string(kHeader) + "SG_NUMBER\t-2147483648\n"), CONFIG_READ);
  EXPECT_EQ(config.sgNumber, -2147483647 - 1);
}

TEST_F(ConfigTest, TextsLoseBlanksAndQuotes) {
  CapturedMessages messages;
  ASSERT_EQ(Read(std::string(kHeader) + "TITLE\t\"My phase\"\nPEAK_FILE\t'my peaks.hkl'\n"
                                        "FORMULAR\tFe2 O3\ntitle\tignored\nUNKNOWN\t1\n"),
            CONFIG_READ);
  EXPECT_EQ(config.title, "Myphase");
  EXPECT_EQ(config.peakFile, "mypeaks.hkl");
  EXPECT_EQ(config.formular, "Fe2O3");
  EXPECT_EQ(messages.size(), 0u);
  ASSERT_EQ(Read(std::string(kHeader) + "\n\nTITLE\t\"\"\n"), CONFIG_READ);
  EXPECT_EQ(config.title, "");
  EXPECT_EQ(messages.text(), "reading file \"" + dir.file("job.epc") +
                                 "\", value of \"TITLE\" is null\n, at line 6\n");
  EXPECT_EQ(messages.all()[0].first, MESSAGE_WARNING);
}

TEST_F(ConfigTest, LongLinesAreReadInPieces) {
  // A value longer than the 255-character buffer continues on the next
  // "line"; a long title is cut, never overrun.
  std::string title(300, 'T');
  ASSERT_EQ(Read(std::string(kHeader) + "TITLE\t" + title + "\n"), CONFIG_READ);
  EXPECT_EQ(config.title.size(), 255u - 6u);
  std::string symbol(40, 'A');
  CapturedMessages messages;
  EXPECT_EQ(Read(std::string(kHeader) + "OXIDATION\t" + symbol + " 2\n"), CONFIG_WRONG_FORMAT);
  EXPECT_EQ(Read(std::string(kHeader) + "FIXED_COORDINATE\t" + symbol +
                 " 0 4 a 0 0 0 1 1 0\n"),
            CONFIG_WRONG_FORMAT);
  // A list entry cut off by the buffer is incomplete: a wrong format, not a
  // half entry.
  EXPECT_EQ(Read(std::string(kHeader) + "CONSTRAINT\t" + std::string(250, 'C') + " 1 a 0 1\n"),
            CONFIG_WRONG_FORMAT);
  EXPECT_EQ(config.constraints.size(), 0u);
  ASSERT_EQ(Read(std::string(kHeader) + "CONSTRAINT\t" + std::string(200, 'C') + " 1 a 0 1\n"),
            CONFIG_READ);
  ASSERT_EQ(config.constraints.size(), 1u);
  EXPECT_EQ(config.constraints[0].name.size(), 200u);
}

TEST_F(ConfigTest, ListEntries) {
  std::string text = kHeader;
  for (int i = 0; i < 70; ++i) text += "OXIDATION\tE" + std::to_string(i) + " " + std::to_string(i) + "\n";
  ASSERT_EQ(Read(text), CONFIG_READ);
  ASSERT_EQ(config.oxidation.size(), 63u);
  EXPECT_EQ(config.oxidation[62].symbol, "E62");

  InitializeConfig(&config);
  CapturedMessages messages;
  EXPECT_EQ(Read(std::string(kHeader) + "CONSTRAINT\tA 1 a 0 1\nCONSTRAINT\tB 2 b 1 1\n"
                                        "CONSTRAINT\tC 3 c 1\n"),
            CONFIG_WRONG_FORMAT);
  ASSERT_EQ(config.constraints.size(), 2u);  // the faulty one is not added
  EXPECT_EQ(config.constraints[0].name, "B");
  EXPECT_EQ(config.constraints[1].name, "A");
  EXPECT_EQ(messages.text(), "reading file \"" + dir.file("job.epc") +
                                 "\", value of CONSTRAINT in a wrong format, at line 6\n");
  EXPECT_EQ(Read(std::string(kHeader) + "OXIDATION\tFe\n"), CONFIG_WRONG_FORMAT);
  EXPECT_EQ(Read(std::string(kHeader) + "FIXED_COORDINATE\tFe 3 4 c nan 0 0 1 1 1\n"),
            CONFIG_WRONG_FORMAT);
  EXPECT_EQ(Read(std::string(kHeader) + "OXIDATION\tFe 3 trailing text\n"), CONFIG_READ);
}

TEST_F(ConfigTest, UnwritableTargetFailsCleanly) {
  CapturedMessages messages;
  std::string target = dir.file("no/such/folder/job.epc");
  EXPECT_EQ(UpdateConfigFile(target.c_str(), &config), 0);
  EXPECT_EQ(messages.text(), "updating file \"" + target + "\", can not open file!\n");
}

TEST_F(ConfigTest, OverallDisplacementKeysAreReadAndWrittenWhenSet) {
  // A file without them reads as before.
  ASSERT_EQ(Read(std::string(kHeader) + "PEAK_N_WIDTH\t1.5\n"), CONFIG_READ);
  EXPECT_EQ(config.overallB, 0.0);
  EXPECT_EQ(config.autoOverallB, 0);
  ASSERT_EQ(Read(std::string(kHeader) + "OVERALL_B\t1.85\nAUTO_OVERALL_B\t1\n"), CONFIG_READ);
  EXPECT_EQ(config.overallB, 1.85);
  EXPECT_EQ(config.autoOverallB, 1);
  // Written at the end of the peak-file section, and read back.
  const std::string path = dir.file("b.epc");
  ASSERT_EQ(UpdateConfigFile(path.c_str(), &config), 1);
  const std::string text = ReadWholeFile(path);
  EXPECT_NE(text.find("PEAK_N_WIDTH\t1.500000\nOVERALL_B\t1.850000\nAUTO_OVERALL_B\t1\n\n; "
                      "Statistic filter"),
            std::string::npos)
      << text;
  Config back;
  InitializeConfig(&back);
  ASSERT_EQ(ReadConfigFile(&back, path.c_str()), CONFIG_READ);
  EXPECT_EQ(back.overallB, 1.85);
  EXPECT_EQ(back.autoOverallB, 1);
  // At their defaults they are not written: such a job's file keeps the
  // layout it always had.
  back.overallB = 0;
  back.autoOverallB = 0;
  ASSERT_EQ(UpdateConfigFile(path.c_str(), &back), 1);
  EXPECT_EQ(ReadWholeFile(path).find("OVERALL_B"), std::string::npos);
}

TEST(OverallBSetup, ValuesOutOfRangeStopTheSetUp) {
  UseSourceData();
  for (const auto &bad : std::vector<std::pair<double, int>>{{-0.5, 0}, {100.5, 0}, {1.0, 2}}) {
    Job job;
    InitializeJob(&job);
    job.config.formular = "Na1Cl1";
    job.config.formularZ = 4;
    job.config.sgNumber = 225;
    job.config.overallB = bad.first;
    job.config.autoOverallB = bad.second;
    CapturedMessages messages;
    EXPECT_FALSE(SetupJob(&job));
    EXPECT_NE(messages.text().find(bad.second == 2 ? "AUTO_OVERALL_B 2" : "OVERALL_B"),
              std::string::npos)
        << messages.text();
    FreeJob(&job);
  }
}

TEST(OverallBSetup, TheJobsListTakesItsBOrTheEstimate) {
  UseSourceData();
  Job job;
  InitializeJob(&job);
  job.config.formular = "Na1Cl1";
  job.config.formularZ = 4;
  job.config.sgNumber = 225;
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
  EXPECT_NE(messages.text().find("too few for a Wilson plot"), std::string::npos)
      << messages.text();
  FreeJob(&job);
}

}  // namespace
