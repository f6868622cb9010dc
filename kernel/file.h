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

struct Config {
  // The control file this configuration was last read from ("" when none);
  // not stored in the file. Set-up messages name it.
  std::string controlFile;
  std::string title;
  int32_t radiation;
  int32_t doublets;
  double lambdaXray1;
  double lambdaXray2;
  double i2i1;
  double lambdaNeutron;
  double lambdaElectron;
  double energyElectron;
  double polarization;
  int32_t monochromator;
  double monoD;
  double monoAngle;
  int32_t geometry;
  double startAngle;
  double endAngle;
  double scanStep;
  int32_t asymSearch;
  int32_t sgNumber;
  int32_t sgSetting;
  std::string formular;
  int32_t formularZ;
  std::vector<Oxidation> oxidation;  // at most kMaxOxidations entries
  double cellA, cellB, cellC;
  double cellAlpha, cellBeta, cellGamma;
  Constraints constraints;
  FixedCoordinates fixedCoordinates;
  std::string peakFile;
  int32_t peakFileFormat;
  double peakNWidth;
  int32_t autoStCircles;
  int32_t statisticCircles;
  int32_t filterType;
  double fomThreshold;
  double avgThreshold;
  double sdThreshold;
  double bestThreshold;
  int32_t optimizationMethod;
  int32_t criterion;
  int32_t autoGridSearch;
  int32_t autoDimension;
  double searchResolution;
  int32_t tradiSaCycles;
  double tradiSaStartT;
  double tradiSaEndT;
  double tradiSaRate;
  int32_t tradiSaMoves;
  int32_t adaptSaCycles;
  int32_t adaptSaStrategy;
  double adaptSaStartT;
  double adaptSaEndT;
  int32_t adaptSaMoves;
  int32_t refine;
  int32_t refineN;
  double refineThreshold;
  int32_t refineOptimizationMethod;
  int32_t refineCriterion;
  double refineSearchResolution;
  int32_t refineAutoGridSearch;
  int32_t refineAutoDimension;
  int32_t refineTradiSaCycles;
  double refineTradiSaStartT;
  double refineTradiSaEndT;
  double refineTradiSaRate;
  int32_t refineTradiSaMoves;
  int32_t refineAdaptSaCycles;
  int32_t refineAdaptSaStrategy;
  double refineAdaptSaStartT;
  double refineAdaptSaEndT;
  int32_t refineAdaptSaMoves;
  // Overall displacement factor of the calculated intensities (angstrom^2),
  // and 1 to estimate it from the observed intensities instead.
  double overallB;
  int32_t autoOverallB;
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

// Control file. Value types of the keyword table.
enum ConfigValueType {
  CONFIG_INTEGER = 0,
  CONFIG_LONG = 1,
  CONFIG_REAL = 2,
  CONFIG_TEXT = 3,
  CONFIG_LIST = 4
};

struct ConfigKeyword {
  char name[32];
  int32_t type;
};

constexpr int kConfigKeywordCount = 76;
extern const ConfigKeyword configKeywords[kConfigKeywordCount];
extern const char configStamp[];

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
int ReadConfigFile(Config *config, const char *fileName);
// The same from an open stream; fileName names it in messages.
int ReadConfigStream(Config *config, std::FILE *stream, const char *fileName);
int UpdateConfigFile(const char *fileName, const Config *config);
// The whole control-file text of a configuration, as UpdateConfigFile writes it.
void WriteConfig(std::FILE *stream, const Config *config);
int SetConfigValue(Config *config, int keywordRow, const char *value, const char *fileName,
                   int lineNumber);
// Checks the text of one key's value as the reader checks it, without
// storing anything: a number's format and range (*value, when given, gets
// the number), or whether a text fits the key's line. False with what is
// wrong in *why, in the words of the reader's messages ("out of range:
// expected ..."), for a front end that takes values typed by a user.
bool CheckConfigValue(const char *keyword, const char *text, double *value, std::string *why);
// The longest text a text key's line can hold (the reader refuses longer
// lines); 0 for a key that holds no text.
size_t ConfigTextCapacity(const char *keyword);

int IsCommentLine(const char *line);
int IsInteger(const char *text);
int IsFloat(const char *text);
// key and value must each hold 256 characters.
void ParseKeyValue(const char *line, char *key, char *value);
// text must hold 256 characters.
int ExtractStringValue(char *text, const char *value);
void WrongFormatMsg(const char *fileName, const char *keyword, int lineNumber);

#endif
