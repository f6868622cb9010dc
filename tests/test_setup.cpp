// Job set-up: what only the whole job can judge (cell, ionic radii,
// scattering data, constraints against formula and space group), and the
// warnings of reading its peak file.
#include <gtest/gtest.h>

#include <string>

#include "kernel.h"
#include "testing.h"

namespace {

struct SetupTest : ::testing::Test {
  Job job;
  TempDir dir;
  void SetUp() override {
    InitializeJob(&job);
    job.config.formular = "Na1Cl1";
    job.config.formularZ = 4;
    job.config.sgNumber = 225;
    job.config.cellA = job.config.cellB = job.config.cellC = 5.64;
  }
  void TearDown() override {
    FreeJob(&job);
  }
  // Reads a control file of these lines after the stamp.
  void ReadLines(const std::string &lines) {
    InitializeJob(&job);
    const std::string path =
        dir.write("job.epc", "QUENDRALITE 2.0.0\nFORMULAR\tTi1O2\nFORMULAR_Z\t2\nSG_NUMBER\t136\n"
                             "CELL_A\t4.59\nCELL_B\t4.59\nCELL_C\t2.96\n" + lines);
    ASSERT_EQ(ReadConfigFile(&job.config, path.c_str()), CONFIG_READ);
  }
};

TEST_F(SetupTest, CellsThatAreNoCells) {
  // Each once set up without a word, and later wrote a CIF with the value.
  struct Case {
    double a, b, c, alpha, beta, gamma;
    const char *message;
  };
  const Case cases[] = {
      {-5.64, 5.64, 5.64, 90, 90, 90,
       "setting up the job, CELL_A -5.64: a cell edge must be above 0 and at most 1000 "
       "angstrom\n"},
      {5.64, 5.64, 1e240, 90, 90, 90,
       "setting up the job, CELL_C 1e+240: a cell edge must be above 0 and at most 1000 "
       "angstrom\n"},
      {5.64, 5.64, 5.64, 90, 0, 90,
       "setting up the job, CELL_ALPHA, CELL_BETA, CELL_GAMMA 90 0 90: these angles admit no "
       "cell\n"},
  };
  for (const Case &c : cases) {
    job.config.cellA = c.a;
    job.config.cellB = c.b;
    job.config.cellC = c.c;
    job.config.cellAlpha = c.alpha;
    job.config.cellBeta = c.beta;
    job.config.cellGamma = c.gamma;
    CapturedMessages messages;
    EXPECT_FALSE(SetupJob(&job)) << c.message;
    EXPECT_EQ(messages.text(), c.message);
  }
  job.config.cellA = job.config.cellB = job.config.cellC = 1000;
  job.config.cellAlpha = job.config.cellBeta = job.config.cellGamma = 90;
  EXPECT_TRUE(SetupJob(&job));
}

TEST_F(SetupTest, OxidationStatesNeedTheirRadii) {
  // The covalent radius stood in for any ion the table lacks, so bond
  // lengths were judged with a radius of the wrong kind.
  job.config.oxidation = {{"Na", 5}, {"Cl", -1}};
  CapturedMessages messages;
  EXPECT_FALSE(SetupJob(&job));
  EXPECT_EQ(messages.text(),
            "setting up the job, OXIDATION Na 5: no ionic radius is known for Na+5 (states with a "
            "radius: +1; 0 takes the covalent radius)\n");
  job.config.oxidation = {{"Na", 1}, {"Cl", 0}, {"Fe", 3}};
  messages.clear();
  EXPECT_TRUE(SetupJob(&job));
  // An entry for an element the formula lacks changes nothing and says so.
  EXPECT_EQ(messages.text(),
            "setting up the job, OXIDATION Fe 3: Fe is not in the formula Na1Cl1\n");
  EXPECT_EQ(messages.all()[0].first, MESSAGE_WARNING);
  EXPECT_DOUBLE_EQ(job.compound.entries[0].ionRadius, 970);
  // Hydroxides name their hydrogen +1, which no radius table has: it is
  // taken by its covalent radius.
  job.config.formular = "Mg1O2H2";
  job.config.oxidation = {{"Mg", 2}, {"O", -2}, {"H", 1}};
  messages.clear();
  EXPECT_TRUE(SetupJob(&job)) << messages.text();
  EXPECT_DOUBLE_EQ(job.compound.entries[2].ionRadius, GetIonRadius(1, 0));
}

TEST_F(SetupTest, MissingScatteringDataFailsTheSetUp) {
  // Without them every model scored R = 1 and the run ended with status 0.
  for (const char *missing : {"asft.dat", "nslt.dat"}) {
    TempDir data;
    const std::string source = PULVINA_SOURCE_DIR "/data/";
    for (const char *name : {"sgt.xml", "asft.dat", "nslt.dat"})
      if (std::string(name) != missing)
        data.write(name, ReadWholeFile(source + name));
    job.settings.data = {data.path(), {}};
    CapturedMessages messages;
    EXPECT_FALSE(SetupJob(&job)) << missing;
    EXPECT_NE(messages.text().find("can not open file \"" + data.file(missing) +
                                   "\" (No such file or directory)\n"),
              std::string::npos);
    EXPECT_NE(messages.text().find("setting up the job, the scattering data in " + data.path() +
                                   " cannot be read\n"),
              std::string::npos);
  }
}

TEST_F(SetupTest, TooManyElementKindsIsAnErrorNotAnExit) {
  std::string formula;
  for (int i = 0; i < 65; ++i) formula += std::string(ElementTable[i]) + "1";
  job.config.formular = formula;
  job.config.formularZ = 1;
  CapturedMessages messages;
  EXPECT_FALSE(SetupJob(&job));
  EXPECT_NE(messages.text().find("has more than 64 kinds of elements"), std::string::npos);
}

TEST_F(SetupTest, ConstraintsAreJudgedAgainstFormulaAndSpaceGroup) {
  const std::string file = dir.file("job.epc");
  struct Case {
    const char *line;
    const char *message;  // after "FILE:LINE: CONSTRAINT: 'VALUE': "
  };
  const Case cases[] = {
      {"CONSTRAINT\tO 3 f 0 2", "entry index 3 is beyond the formula Ti1O2, which has 2 entries"},
      {"CONSTRAINT\tO 1 f 0 2", "entry 1 of the formula Ti1O2 is Ti, not O"},
      {"CONSTRAINT\tO 2 z 0 2", "space group no. 136 (setting 1) has no Wyckoff position z"},
  };
  for (const Case &c : cases) {
    ReadLines(std::string("\n") + c.line + "\n");
    CapturedMessages messages;
    EXPECT_FALSE(SetupJob(&job)) << c.line;
    const std::string line = c.line;
    EXPECT_EQ(messages.text(), file + ":9: CONSTRAINT: '" + line.substr(line.find('\t') + 1) +
                                   "': " + c.message + "\n");
  }
  // Without a file to name, the set-up says what it knows.
  job.config.controlFile.clear();
  CapturedMessages messages;
  EXPECT_FALSE(SetupJob(&job));
  EXPECT_EQ(messages.text(), "setting up the job, CONSTRAINT 'O 2 z 0 2': space group no. 136 "
                             "(setting 1) has no Wyckoff position z\n");
  ReadLines("CONSTRAINT\tO 2 f 1 1\nCONSTRAINT\t* 0 a 0 1\n");
  EXPECT_TRUE(SetupJob(&job));
}

TEST_F(SetupTest, TheCompositionIsAppliedAgainInPlace) {
  // The desktop program changes oxidation states of a job whose models
  // point into the compound: the elements must stay where they are.
  job.config.formular = "Fe2O3";
  job.config.formularZ = 6;
  job.config.oxidation = {{"Fe", 2}, {"O", -2}};
  ASSERT_TRUE(SetupJobCompound(&job));
  const Element *iron = &job.compound.entries[0];
  const double radius = iron->ionRadius;
  job.config.oxidation[0].oxidation = 3;
  ASSERT_TRUE(ApplyJobComposition(&job));
  EXPECT_EQ(&job.compound.entries[0], iron);
  EXPECT_EQ(iron->oxidation, 3);
  EXPECT_LT(iron->ionRadius, radius);  // Fe3+ is smaller than Fe2+
  EXPECT_EQ(iron->cellCount, 12);
  // A state without a radius fails, and the parsed formula stays listed.
  job.config.oxidation[0].oxidation = 7;
  CapturedMessages messages;
  EXPECT_FALSE(ApplyJobComposition(&job));
  EXPECT_NE(messages.text().find("no ionic radius is known for Fe+7"), std::string::npos);
  EXPECT_EQ(job.compound.entries.size(), 2u);
  job.config.formular = "Fe2Q3";
  EXPECT_FALSE(SetupJobCompound(&job));
  EXPECT_TRUE(job.compound.entries.empty());
}

TEST_F(SetupTest, APeakFileNameIsAbsoluteOnlyFromTheRoot) {
  // A backslash is a character of a name on this system, not a separator.
  job.config.peakFile = "data\\nacl.hkl";
  EXPECT_EQ(JobPeakFilePath(job.config, "/jobs"), "/jobs/data\\nacl.hkl");
  job.config.peakFile = "/data/nacl.hkl";
  EXPECT_EQ(JobPeakFilePath(job.config, "/jobs"), "/data/nacl.hkl");
  EXPECT_FALSE(IsAbsolutePath(""));
}

TEST_F(SetupTest, ForbiddenReflectionsAreNamed) {
  ASSERT_TRUE(SetupJob(&job));
  // Fm-3m: h, k, l all even or all odd; 1 0 0 and 2 1 0 are forbidden.
  std::string peaks = "; NaCl\n1 1 1 8 3.2563 27.37 0.1 10\n1 0 0 6 5.64 15.70 0.1 5\n"
                      "2 0 0 6 2.82 31.70 0.1 100\n2 1 0 24 2.5223 35.56 0.1 3\n";
  job.config.peakFile = "nacl.hkl";
  job.config.startAngle = 5;
  job.config.endAngle = 100;
  dir.write("nacl.hkl", peaks);
  CapturedMessages messages;
  EXPECT_EQ(ReadJobPeakFile(&job, dir.path()), 4);
  const std::string path = dir.file("nacl.hkl");
  EXPECT_EQ(messages.text(),
            "reading hkl file \"" + path + "\", reflection 1 0 0 at 15.700000 degrees 2theta is "
            "forbidden in space group Fm-3m (no. 225, setting 1)\n"
            "reading hkl file \"" + path + "\", reflection 2 1 0 at 35.560000 degrees 2theta is "
            "forbidden in space group Fm-3m (no. 225, setting 1)\n");
  EXPECT_EQ(messages.all()[0].first, MESSAGE_WARNING);
  // Glide and screw conditions count too: P42/mnm forbids h 0 0 with h odd
  // and 0 k l with k + l odd; 1 1 0 is allowed.
  SpaceGroup rutile;
  ASSERT_EQ(SetSpaceGroup(&rutile, 136, 1), 1);
  EXPECT_TRUE(ReflectionForbidden(rutile, 1, 0, 0));
  EXPECT_TRUE(ReflectionForbidden(rutile, 0, 1, 2));
  EXPECT_FALSE(ReflectionForbidden(rutile, 2, 0, 0));
  EXPECT_FALSE(ReflectionForbidden(rutile, 1, 1, 0));
  EXPECT_FALSE(ReflectionForbidden(rutile, 0, 1, 1));
}

}  // namespace
