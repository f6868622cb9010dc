// SPDX-License-Identifier: BSD-3-Clause
// The job's configuration record and its control file (".epc").
#ifndef PULVINA_FILE_H
#define PULVINA_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Versions written into control files.
constexpr int kKernelMajor = 2;
constexpr int kKernelMinor = 0;
constexpr int kKernelRelease = 0;

constexpr size_t kTextLength = 255;    // longest title, formula, peak-file name
constexpr size_t kSymbolLength = 7;    // longest element symbol
constexpr int kMaxOxidations = 63;     // entries of the 64-slot oxidation table

struct Oxidation {
  std::string symbol;  // at most 7 characters
  int32_t oxidation = 0;
};

struct Constraint {
  std::string name;  // "*", an element symbol or "(A+B)"; at most 255 characters
  int32_t index = 0;
  char wyckoffLetter = 0;
  int32_t minimum = 0;
  int32_t maximum = 0;
  // Line of the control file it was read from (0: not read from a file), so
  // that the set-up, which alone can judge index and letter, can name it.
  int32_t line = 0;
};
// New entries go to the front.
using Constraints = std::vector<Constraint>;

enum FixedFlags { FIX_X = 1, FIX_Y = 2, FIX_Z = 4, FIX_B = 8, FIX_OCCUPANCY = 16 };

struct FixedCoordinate {
  std::string symbol;  // at most 7 characters
  int32_t oxidation = 0;
  int32_t multiplicity = 0;
  char wyckoffLetter = 0;
  double x = 0, y = 0, z = 0, B = 0, occupancy = 0;
  int32_t flags = 0;
};
// New entries go to the front.
using FixedCoordinates = std::vector<FixedCoordinate>;

// What a job is set to; the member initialisers are the defaults of a new
// job, which InitializeConfig brings back.
struct Config {
  // The control file this configuration was last read from ("" when none);
  // not stored in the file. Set-up messages name it.
  std::string controlFile;
  std::string title = "Untitled";
  int32_t radiation = 0;
  int32_t doublets = 0;
  double lambdaXray1 = 1.540598;
  double lambdaXray2 = 1.54426;
  double i2i1 = 0.5;
  double lambdaNeutron = 1.0;
  double lambdaElectron = 1.0;
  double energyElectron = 0.1503911;
  double polarization = 0.5;
  int32_t monochromator = 0;
  double monoD = 1.0;
  double monoAngle = 50.379129;
  int32_t geometry = 1;
  double startAngle = 0.0;
  double endAngle = 180.0;
  double scanStep = 0.02;
  int32_t asymSearch = 0;
  int32_t sgNumber = 1;
  int32_t sgSetting = 1;
  std::string formular;
  int32_t formularZ = 1;
  std::vector<Oxidation> oxidation;  // at most kMaxOxidations entries
  double cellA = 10.0, cellB = 10.0, cellC = 10.0;
  double cellAlpha = 90.0, cellBeta = 90.0, cellGamma = 90.0;
  Constraints constraints;
  // 1 keeps every combination; 0 keeps one per class of combinations that
  // the space group's Euclidean normalizer makes equivalent.
  int32_t allCombinations = 0;
  FixedCoordinates fixedCoordinates;
  std::string peakFile;
  int32_t peakFileFormat = 0;
  double peakNWidth = 1.0;
  int32_t autoStCircles = 0;
  int32_t statisticCircles = 1000;
  int32_t filterType = 2;
  double fomThreshold = 100.0;
  double avgThreshold = 1.0;
  double sdThreshold = 0.01;
  double bestThreshold = 0.1;
  int32_t optimizationMethod = 0;
  int32_t criterion = 0;
  int32_t autoGridSearch = 1;
  int32_t autoDimension = 3;
  double searchResolution = 0.1;
  int32_t tradiSaCycles = 1;
  double tradiSaStartT = 10.0;
  double tradiSaEndT = 0.01;
  double tradiSaRate = 0.9;
  int32_t tradiSaMoves = 1000;
  int32_t adaptSaCycles = 1;
  int32_t adaptSaStrategy = 0;
  double adaptSaStartT = 10.0;
  double adaptSaEndT = 0.01;
  int32_t adaptSaMoves = 1000;
  int32_t refine = 1;
  int32_t refineN = 10;
  double refineThreshold = 0.3;
  int32_t refineOptimizationMethod = 0;
  int32_t refineCriterion = 0;
  double refineSearchResolution = 0.01;
  int32_t refineAutoGridSearch = 1;
  int32_t refineAutoDimension = 3;
  int32_t refineTradiSaCycles = 1;
  double refineTradiSaStartT = 10.0;
  double refineTradiSaEndT = 0.01;
  double refineTradiSaRate = 0.9;
  int32_t refineTradiSaMoves = 2000;
  int32_t refineAdaptSaCycles = 1;
  int32_t refineAdaptSaStrategy = 0;
  double refineAdaptSaStartT = 10.0;
  double refineAdaptSaEndT = 0.01;
  int32_t refineAdaptSaMoves = 2000;
  // The search effort: moves growing with the free count, independent
  // restarts of each model's search, racing of the optimisation's models,
  // and the settings of parallel tempering; refinement has its own but no
  // race (few models).
  int32_t autoEffort = 1;
  int32_t restarts = 1;
  int32_t racing = 1;
  // Restarts of parallel tempering for the models of most free coordinates,
  // searched before the race of the others (0: they race like the rest).
  int32_t freestFirstRestarts = 0;
  int32_t temperingReplicas = 8;
  double temperingHotT = 1.0;
  double temperingColdT = 0.001;
  int32_t temperingMoves = 20000;
  int32_t refineAutoEffort = 1;
  int32_t refineRestarts = 1;
  int32_t refineTemperingReplicas = 8;
  double refineTemperingHotT = 0.5;
  double refineTemperingColdT = 0.0001;
  int32_t refineTemperingMoves = 40000;
  // Overall displacement factor of the calculated intensities (angstrom^2),
  // and 1 to estimate it from the observed intensities instead.
  double overallB = 0.0;
  int32_t autoOverallB = 0;
  // 1: the refinement stage refines the overall B with the coordinates,
  // from OVERALL_B or its estimate; an estimate is refined whatever this says.
  int32_t refineOverallB = 0;
  // Preferred orientation: the reciprocal-lattice direction h k l of the
  // plate normal or needle axis (0 0 0: none), the March-Dollase r (1: none)
  // and 1 when the searches refine r.
  int32_t prefOrientH = 0, prefOrientK = 0, prefOrientL = 0;
  double prefOrientR = 1.0;
  int32_t refinePrefOrient = 0;
  // 1: models whose atoms cannot keep the bond minima are removed after
  // generation (PruneJobModels).
  int32_t bondPruning = 1;
  // 1: the searches of the optimisation and the refinement minimise
  // R + bondPenaltyWeight x the bond penalty (BondPenalty). Both front ends
  // read these, so one job and seed solve alike in both.
  int32_t bondPenalty = 1;
  double bondPenaltyWeight = 1.0;
  // The weight of the bond-valence term within the penalty (BondPenalty);
  // 0: the penalty is the anti-bump term alone.
  double bondValenceWeight = 0.0;
};

struct Radiation {
  int32_t type = 0;
  int32_t doublets = 0;
  double lambda = 0;
  double lambda2 = 0;
  double ratio = 0;
  double polarization = 0;
  int32_t monochromator = 0;
  double monoD = 0;
  double monoAngle = 0;
};

void InitializeConfig(Config *config);
void FreeConfig(Config *config);
void InitializeConstraints(Constraints *list);
void FreeConstraints(Constraints *list);
void InitializeFixedCoordinates(FixedCoordinates *list);
void FreeFixedCoordinates(FixedCoordinates *list);

// How a key's value is read and written.
enum ConfigValueType {
  CONFIG_INTEGER = 0,  // a whole number, "%d"
  CONFIG_LONG = 1,     // the same, written "%ld"
  CONFIG_REAL = 2,     // a decimal number without exponent, "%f"
  CONFIG_TEXT = 3,     // as its ConfigTextForm says
  CONFIG_LIST = 4      // one entry a line, as often as there are entries
};

enum ConfigTextForm {
  TEXT_QUOTED,    // blanks and quotes dropped on reading; written in double quotes
  TEXT_BARE,      // the same, written without quotes
  TEXT_FILE_NAME  // blanks kept and quotes around it taken off; written in double quotes
};

// The values a number may take, a bound itself excluded when open; expected
// says which in the words of the messages ("out of range: expected ...").
struct ConfigRange {
  double low, high;
  bool lowOpen, highOpen;
  const char *expected;  // nullptr: the key holds no number to bound
  // False too for a value that is no finite number.
  bool Admits(double value) const;
};

struct ConfigList;  // how the entries of a list key are read and written

// One key of the control file. The table configKeywords holds every key
// once, in the order the writer puts them; the reader, the writer and
// CheckConfigValue all work from it. The defaults are Config's member
// initialisers.
struct ConfigKeyword {
  const char *name;  // as files have it, typos included
  ConfigValueType type;
  // The member the value fills: one of these, as the type says.
  int32_t Config::*integer;
  double Config::*real;
  std::string Config::*text;
  const ConfigList *list;
  ConfigTextForm textForm;
  // For numbers; for OXIDATION that of an entry's oxidation state.
  ConfigRange range;
  // The "; SECTION" and "# GROUP" headings of the written file it goes
  // under (group nullptr: none); the writer puts a heading where it changes.
  const char *section;
  const char *group;
  bool blankAfter;   // an extra blank line after the key's line
  bool onlyWhenSet;  // written only when not its default, so older jobs keep their files
};

constexpr int kConfigKeywordCount = 101;
extern const ConfigKeyword configKeywords[kConfigKeywordCount];
extern const char configStamp[];

// The row of a keyword; nullptr for none.
const ConfigKeyword *FindConfigKeyword(const char *keyword);
// Whether a key takes this number: a whole one for an integer key, within
// the key's range. The one check of a key's bounds for every caller that
// takes such a value from elsewhere than a control file.
[[nodiscard]] bool ConfigAdmits(const char *keyword, double value);

// Results of ReadConfigFile.
enum ConfigReadResult {
  CONFIG_CANNOT_OPEN = 0,
  CONFIG_WRONG_FORMAT = 1,
  CONFIG_WRONG_VERSION = 2,
  CONFIG_READ = 3
};

// Reads a control file. Only a regular file is read; every value is checked
// where it is read, and a bad one is reported as "FILE:LINE: KEY: 'VALUE'
// ..." with what was expected.
[[nodiscard]] int ReadConfigFile(Config *config, const char *fileName);
// The same from an open stream; fileName names it in messages.
[[nodiscard]] int ReadConfigStream(Config *config, std::FILE *stream, const char *fileName);
[[nodiscard]] int UpdateConfigFile(const char *fileName, const Config *config);
// The whole control-file text of a configuration, as UpdateConfigFile writes it.
void WriteConfig(std::FILE *stream, const Config *config);
[[nodiscard]] int SetConfigValue(Config *config, int keywordRow, const char *value, const char *fileName,
                   int lineNumber);
// Checks the text of one key's value as the reader checks it, without
// storing anything: a number's format and range (*value, when given, gets
// the number), or whether a text fits the key's line. False with what is
// wrong in *why, in the words of the reader's messages ("out of range:
// expected ..."), for a front end that takes values typed by a user.
[[nodiscard]] bool CheckConfigValue(const char *keyword, const char *text, double *value, std::string *why);
// The longest text a text key's line can hold (the reader refuses longer
// lines); 0 for a key that holds no text.
size_t ConfigTextCapacity(const char *keyword);

[[nodiscard]] int IsCommentLine(const char *line);
[[nodiscard]] int IsInteger(const char *text);
[[nodiscard]] int IsFloat(const char *text);
// key and value must each hold 256 characters.
void ParseKeyValue(const char *line, char *key, char *value);
// text must hold 256 characters.
int ExtractStringValue(char *text, const char *value);

#endif
