#include "file.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <algorithm>
#include <vector>

#include "crystal.h"
#include "element.h"
#include "profile.h"
#include "utils.h"

const char configStamp[] = "QUENDRALITE";

void InitializeConstraints(Constraints *list) { list->clear(); }
void FreeConstraints(Constraints *list) { Constraints().swap(*list); }
void InitializeFixedCoordinates(FixedCoordinates *list) { list->clear(); }
void FreeFixedCoordinates(FixedCoordinates *list) { FixedCoordinates().swap(*list); }

void InitializeConfig(Config *c) {
  c->controlFile.clear();
  c->title = "Untitled";
  c->radiation = 0;
  c->doublets = 0;
  c->lambdaXray1 = 1.540598;
  c->lambdaXray2 = 1.54426;
  c->i2i1 = 0.5;
  c->lambdaNeutron = 1.0;
  c->lambdaElectron = 1.0;
  c->energyElectron = 0.1503911;
  c->polarization = 0.5;
  c->monochromator = 0;
  c->monoD = 1.0;
  c->monoAngle = 50.379129;
  c->geometry = 1;
  c->startAngle = 0.0;
  c->endAngle = 180.0;
  c->scanStep = 0.02;
  c->asymSearch = 0;
  c->sgNumber = 1;
  c->sgSetting = 1;
  c->formular.clear();
  c->formularZ = 1;
  c->oxidation.clear();
  c->cellA = c->cellB = c->cellC = 10.0;
  c->cellAlpha = c->cellBeta = c->cellGamma = 90.0;
  InitializeConstraints(&c->constraints);
  InitializeFixedCoordinates(&c->fixedCoordinates);
  c->peakFile.clear();
  c->peakFileFormat = 0;
  c->peakNWidth = 1.0;
  c->autoStCircles = 0;
  c->statisticCircles = 1000;
  c->filterType = 2;
  c->fomThreshold = 100.0;
  c->avgThreshold = 1.0;
  c->sdThreshold = 0.01;
  c->bestThreshold = 0.1;
  c->optimizationMethod = 0;
  c->criterion = 0;
  c->autoGridSearch = 1;
  c->autoDimension = 3;
  c->searchResolution = 0.1;
  c->tradiSaCycles = 1;
  c->tradiSaStartT = 10.0;
  c->tradiSaEndT = 0.01;
  c->tradiSaRate = 0.9;
  c->tradiSaMoves = 1000;
  c->adaptSaCycles = 1;
  c->adaptSaStrategy = 0;
  c->adaptSaStartT = 10.0;
  c->adaptSaEndT = 0.01;
  c->adaptSaMoves = 1000;
  c->refine = 1;
  c->refineN = 10;
  c->refineThreshold = 0.3;
  c->refineOptimizationMethod = 0;
  c->refineCriterion = 0;
  c->refineSearchResolution = 0.01;
  c->refineAutoGridSearch = 1;
  c->refineAutoDimension = 3;
  c->refineTradiSaCycles = 1;
  c->refineTradiSaStartT = 10.0;
  c->refineTradiSaEndT = 0.01;
  c->refineTradiSaRate = 0.9;
  c->refineTradiSaMoves = 2000;
  c->refineAdaptSaCycles = 1;
  c->refineAdaptSaStrategy = 0;
  c->refineAdaptSaStartT = 10.0;
  c->refineAdaptSaEndT = 0.01;
  c->refineAdaptSaMoves = 2000;
  c->overallB = 0.0;
  c->autoOverallB = 0;
}

void FreeConfig(Config *c) {
  c->oxidation.clear();
  FreeConstraints(&c->constraints);
  FreeFixedCoordinates(&c->fixedCoordinates);
}

namespace {

// One row of the keyword table with where its value lives and the headings
// the writer puts in front of it.
struct KeywordBinding {
  int32_t Config::*integer = nullptr;
  double Config::*real = nullptr;
  std::string Config::*text = nullptr;
  const char *headings = nullptr;  // written before the key line
  bool blankAfter = false;          // an extra blank line after the key line
  // Written only when not 0: keys beyond the original layout, so that a job
  // that does not use them keeps its file byte for byte.
  bool onlyWhenSet = false;
};

const KeywordBinding kBindings[kConfigKeywordCount] = {
    {nullptr, nullptr, &Config::title, "\n; Title\n\n"},
    {&Config::radiation, nullptr, nullptr, "\n; Radiation\n\n\n# X-Ray\n\n", true},
    {&Config::doublets},
    {nullptr, &Config::lambdaXray1},
    {nullptr, &Config::lambdaXray2},
    {nullptr, &Config::i2i1},
    {nullptr, &Config::polarization},
    {&Config::monochromator},
    {nullptr, &Config::monoD},
    {nullptr, &Config::monoAngle},
    {nullptr, &Config::lambdaNeutron, nullptr, "\n# Neutron\n\n"},
    {nullptr, &Config::lambdaElectron, nullptr, "\n# Electron\n\n"},
    {nullptr, &Config::energyElectron},
    {&Config::geometry, nullptr, nullptr, "\n; Experiment\n\n\n# Geometry\n\n"},
    {nullptr, &Config::startAngle, nullptr, "\n# Setup\n\n"},
    {nullptr, &Config::endAngle},
    {nullptr, &Config::scanStep},
    {&Config::asymSearch},
    {&Config::sgNumber, nullptr, nullptr, "\n; Crystal\n\n\n# Spacegroup\n\n"},
    {&Config::sgSetting},
    {nullptr, nullptr, &Config::formular, "\n# Formular\n\n"},
    {&Config::formularZ},
    {},  // OXIDATION
    {nullptr, &Config::cellA, nullptr, "\n# Cell\n\n"},
    {nullptr, &Config::cellB},
    {nullptr, &Config::cellC},
    {nullptr, &Config::cellAlpha},
    {nullptr, &Config::cellBeta},
    {nullptr, &Config::cellGamma},
    {nullptr, nullptr, nullptr, "\n; Combination\n\n"},         // CONSTRAINT
    {nullptr, nullptr, nullptr, "\n; Fixed Coordinates\n\n"},   // FIXED_COORDINATE
    {nullptr, nullptr, &Config::peakFile, "\n; Peak File\n\n"},
    {&Config::peakFileFormat},
    {nullptr, &Config::peakNWidth},
    {nullptr, &Config::overallB, nullptr, nullptr, false, true},
    {&Config::autoOverallB, nullptr, nullptr, nullptr, false, true},
    {&Config::statisticCircles, nullptr, nullptr, "\n; Statistic filter\n\n"},
    {&Config::autoStCircles},
    {&Config::filterType},
    {nullptr, &Config::fomThreshold},
    {nullptr, &Config::avgThreshold},
    {nullptr, &Config::sdThreshold},
    {nullptr, &Config::bestThreshold},
    {&Config::optimizationMethod, nullptr, nullptr, "\n; Global Optimization\n\n"},
    {&Config::criterion},
    {&Config::autoGridSearch},
    {&Config::autoDimension},
    {nullptr, &Config::searchResolution},
    {&Config::tradiSaCycles, nullptr, nullptr, "\n# Simulated Annealing(tradiational)\n\n"},
    {nullptr, &Config::tradiSaStartT},
    {nullptr, &Config::tradiSaEndT},
    {nullptr, &Config::tradiSaRate},
    {&Config::tradiSaMoves},
    {&Config::adaptSaCycles, nullptr, nullptr, "\n# Simulated Annealing(adaptive)\n\n"},
    {&Config::adaptSaStrategy},
    {nullptr, &Config::adaptSaStartT},
    {nullptr, &Config::adaptSaEndT},
    {&Config::adaptSaMoves},
    {&Config::refine, nullptr, nullptr, "\n; Refine\n\n"},
    {&Config::refineN},
    {nullptr, &Config::refineThreshold},
    {&Config::refineOptimizationMethod, nullptr, nullptr, "\n# Refine Optimization Setup\n\n"},
    {&Config::refineCriterion},
    {nullptr, &Config::refineSearchResolution},
    {&Config::refineAutoGridSearch},
    {&Config::refineAutoDimension},
    {&Config::refineTradiSaCycles, nullptr, nullptr,
     "\n# Refine Simulate Annealing(tradiational)\n\n"},
    {nullptr, &Config::refineTradiSaStartT},
    {nullptr, &Config::refineTradiSaEndT},
    {nullptr, &Config::refineTradiSaRate},
    {&Config::refineTradiSaMoves},
    {&Config::refineAdaptSaCycles, nullptr, nullptr, "\n# Refine Simulate Annealing(adaptive)\n\n"},
    {&Config::refineAdaptSaStrategy},
    {nullptr, &Config::refineAdaptSaStartT},
    {nullptr, &Config::refineAdaptSaEndT},
    {&Config::refineAdaptSaMoves},
};

enum ListRow { ROW_OXIDATION = 22, ROW_CONSTRAINT = 29, ROW_FIXED = 30 };

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A 32-bit value or a wrong format: the control file never held anything
// wider, and wrapping a typing slip into a negative count helps no one.
bool ToInt32(const char *text, int32_t *out) {
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text) {
    // A lone minus sign passes the integer test and stands for 0.
    *out = 0;
    return true;
  }
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

const ConfigKeyword configKeywords[kConfigKeywordCount] = {
    {"TITLE", CONFIG_TEXT},
    {"RADIATION", CONFIG_INTEGER},
    {"DOUBLETS", CONFIG_INTEGER},
    {"LAMBDA_XRAY1", CONFIG_REAL},
    {"LAMBDA_XRAY2", CONFIG_REAL},
    {"I2_I1", CONFIG_REAL},
    {"POLARIZATION", CONFIG_REAL},
    {"MONOCHROMATOR", CONFIG_INTEGER},
    {"MONO_D", CONFIG_REAL},
    {"MONO_ANGLE", CONFIG_REAL},
    {"LAMBDA_NEUTRON", CONFIG_REAL},
    {"LAMBDA_ELECTRON", CONFIG_REAL},
    {"ENERGY_ELECTRON", CONFIG_REAL},
    {"GEOMETRY", CONFIG_INTEGER},
    {"START_ANGLE", CONFIG_REAL},
    {"END_ANGLE", CONFIG_REAL},
    {"SCAN_STEP", CONFIG_REAL},
    {"ASYM_SEARCH", CONFIG_INTEGER},
    {"SG_NUMBER", CONFIG_INTEGER},
    {"SG_SETTING", CONFIG_INTEGER},
    {"FORMULAR", CONFIG_TEXT},
    {"FORMULAR_Z", CONFIG_INTEGER},
    {"OXIDATION", CONFIG_LIST},
    {"CELL_A", CONFIG_REAL},
    {"CELL_B", CONFIG_REAL},
    {"CELL_C", CONFIG_REAL},
    {"CELL_ALPHA", CONFIG_REAL},
    {"CELL_BETA", CONFIG_REAL},
    {"CELL_GAMMA", CONFIG_REAL},
    {"CONSTRAINT", CONFIG_LIST},
    {"FIXED_COORDINATE", CONFIG_LIST},
    {"PEAK_FILE", CONFIG_TEXT},
    {"PEAK_FILE_FORMAT", CONFIG_INTEGER},
    {"PEAK_N_WIDTH", CONFIG_REAL},
    {"OVERALL_B", CONFIG_REAL},
    {"AUTO_OVERALL_B", CONFIG_INTEGER},
    {"STATISTIC_CIRCLES", CONFIG_LONG},
    {"AUTO_ST_CIRCLES", CONFIG_INTEGER},
    {"FILTER_TYPE", CONFIG_INTEGER},
    {"FOM_THRESHOLD", CONFIG_REAL},
    {"AVG_THRESHOLD", CONFIG_REAL},
    {"SD_THRESHOLD", CONFIG_REAL},
    {"BEST_THRESHOLD", CONFIG_REAL},
    {"OPTIMIZATION_METHOD", CONFIG_INTEGER},
    {"CRITERION", CONFIG_INTEGER},
    {"AUTO_GRID_SEARCH", CONFIG_INTEGER},
    {"AUTO_DIMENSION", CONFIG_INTEGER},
    {"SEARCH_RESOLUTION", CONFIG_REAL},
    {"TRADI_SA_CYCLES", CONFIG_INTEGER},
    {"TRADI_SA_START_T", CONFIG_REAL},
    {"TRADI_SA_END_T", CONFIG_REAL},
    {"TRADI_SA_RATE", CONFIG_REAL},
    {"TRADI_SA_MOVES", CONFIG_LONG},
    {"ADAPT_SA_CYCLES", CONFIG_INTEGER},
    {"ADAPT_SA_STRATEGY", CONFIG_INTEGER},
    {"ADAPT_SA_START_T", CONFIG_REAL},
    {"ADAPT_SA_END_T", CONFIG_REAL},
    {"ADAPT_SA_MOVES", CONFIG_LONG},
    {"REFINE", CONFIG_INTEGER},
    {"REFINE_N", CONFIG_INTEGER},
    {"REFINE_THRESHOLD", CONFIG_REAL},
    {"REFINE_OPTIMIZATION_METHOD", CONFIG_INTEGER},
    {"REFINE_CRITERION", CONFIG_INTEGER},
    {"REFINE_SEARCH_RESOLUTION", CONFIG_REAL},
    {"REFINE_AUTO_GRID_SEARCH", CONFIG_INTEGER},
    {"REFINE_AUTO_DIMENSION", CONFIG_INTEGER},
    {"REFINE_TRADI_SA_CYCLES", CONFIG_INTEGER},
    {"REFINE_TRADI_SA_START_T", CONFIG_REAL},
    {"REFINE_TRADI_SA_END_T", CONFIG_REAL},
    {"REFINE_TRADI_SA_RATE", CONFIG_REAL},
    {"REFINE_TRADI_SA_MOVES", CONFIG_LONG},
    {"REFINE_ADAPT_SA_CYCLES", CONFIG_INTEGER},
    {"REFINE_ADAPT_SA_STRATEGY", CONFIG_INTEGER},
    {"REFINE_ADAPT_SA_START_T", CONFIG_REAL},
    {"REFINE_ADAPT_SA_END_T", CONFIG_REAL},
    {"REFINE_ADAPT_SA_MOVES", CONFIG_LONG},
};

int IsCommentLine(const char *line) {
  const char *p = line;
  while (*p && IsBlank(*p)) ++p;
  return *p == '\0' || *p == ';' || *p == '#';
}

int IsInteger(const char *text) {
  const char *p = text;
  if (!(std::isdigit(static_cast<unsigned char>(*p)) || *p == '-')) return 0;
  ++p;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  while (*p) {
    if (!IsBlank(*p)) return 0;
    ++p;
  }
  return 1;
}

int IsFloat(const char *text) {
  const char *p = text;
  int points = 0;
  if (!(std::isdigit(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.')) return 0;
  if (*p == '.') ++points;
  ++p;
  while (std::isdigit(static_cast<unsigned char>(*p)) || *p == '.') {
    if (*p == '.' && ++points > 1) return 0;
    ++p;
  }
  while (*p) {
    if (!IsBlank(*p)) return 0;
    ++p;
  }
  return 1;
}

void ParseKeyValue(const char *line, char *key, char *value) {
  const char *p = line;
  while (*p && IsBlank(*p)) ++p;
  size_t k = 0;
  while (*p && !IsBlank(*p) && *p != ';' && *p != '#') {
    if (k < kTextLength) key[k++] = *p;
    ++p;
  }
  key[k] = '\0';
  while (*p && IsBlank(*p)) ++p;
  CopyText(value, kTextLength + 1, p);
}

int ExtractStringValue(char *text, const char *value) {
  int n = 0;
  for (size_t i = 0; i < kTextLength && value[i]; ++i) {
    char c = value[i];
    if (IsBlank(c) || c == '"' || c == '\'') continue;
    text[n++] = c;
  }
  text[n] = '\0';
  return n;
}

void WrongFormatMsg(const char *fileName, const char *keyword, int lineNumber) {
  Message(MESSAGE_ERROR, "reading file \"%s\", value of %s in a wrong format, at line %d\n",
          fileName, keyword, lineNumber);
}

namespace {

// The value as the user typed it, for messages: without the blanks and
// line end around it.
std::string Shown(const char *value) {
  const char *b = value;
  while (*b && IsBlank(*b)) ++b;
  const char *e = b + std::strlen(b);
  while (e > b && IsBlank(e[-1])) --e;
  return std::string(b, e);
}

void ValueError(const char *fileName, int lineNumber, const char *keyword, const char *value,
                const std::string &what) {
  Message(MESSAGE_ERROR, "%s:%d: %s: '%s' %s\n", fileName, lineNumber, keyword,
          Shown(value).c_str(), what.c_str());
}

// What a value may be, for the keys whose meaning bounds them. Keys that
// nothing reads (GEOMETRY, SCAN_STEP, CRITERION) and the filter thresholds
// keep whatever they hold.
struct ValueRange {
  const char *keyword;
  double low, high;
  bool lowOpen, highOpen;  // the bound itself is excluded
  const char *expected;
};

constexpr double kNoLimit = 1e300;
constexpr double kMaxCount32 = 2147483647.0;

const ValueRange kRanges[] = {
    {"RADIATION", 0, 2, false, false, "0 (X-ray), 1 (neutron) or 2 (electron)"},
    {"DOUBLETS", 0, 1, false, false, "0 (one line) or 1 (a second line)"},
    {"LAMBDA_XRAY1", 0, kNoLimit, true, false, "a wavelength above 0 angstrom"},
    {"LAMBDA_XRAY2", 0, kNoLimit, true, false, "a wavelength above 0 angstrom"},
    {"I2_I1", 0, kNoLimit, false, false, "an intensity ratio of at least 0"},
    {"POLARIZATION", 0, 1, false, false, "a polarisation factor from 0 to 1"},
    {"MONOCHROMATOR", 0, 2, false, false, "0 (none), 1 or 2"},
    {"MONO_D", 0, kNoLimit, true, false, "a d-spacing above 0 angstrom"},
    {"MONO_ANGLE", 0, 90, false, false,
     "the monochromator's Bragg angle theta from 0 to 90 degrees"},
    {"LAMBDA_NEUTRON", 0, kNoLimit, true, false, "a wavelength above 0 angstrom"},
    {"LAMBDA_ELECTRON", 0, kNoLimit, true, false, "a wavelength above 0 angstrom"},
    {"ENERGY_ELECTRON", 0, kNoLimit, true, false, "an energy above 0"},
    {"START_ANGLE", 0, 180, false, false, "an angle 2theta from 0 to 180 degrees"},
    {"END_ANGLE", 0, 180, false, false, "an angle 2theta from 0 to 180 degrees"},
    {"ASYM_SEARCH", 0, 1, false, false, "0 (whole cell) or 1 (asymmetric unit)"},
    {"SG_NUMBER", 1, 230, false, false, "a space-group number from 1 to 230"},
    {"SG_SETTING", 1, kMaxCount32, false, false, "a setting number of at least 1"},
    {"FORMULAR_Z", 1, 1000000, false, false, "a number of formula units from 1 to 1000000"},
    {"CELL_A", 0, kMaxCellEdge, true, false, "a cell edge above 0 and at most 1000 angstrom"},
    {"CELL_B", 0, kMaxCellEdge, true, false, "a cell edge above 0 and at most 1000 angstrom"},
    {"CELL_C", 0, kMaxCellEdge, true, false, "a cell edge above 0 and at most 1000 angstrom"},
    {"CELL_ALPHA", 0, 180, true, true, "a cell angle between 0 and 180 degrees"},
    {"CELL_BETA", 0, 180, true, true, "a cell angle between 0 and 180 degrees"},
    {"CELL_GAMMA", 0, 180, true, true, "a cell angle between 0 and 180 degrees"},
    {"PEAK_FILE_FORMAT", 0, 2, false, false, "0 (internal), 1 (FullProf) or 2 (PCW)"},
    {"PEAK_N_WIDTH", 0, kNoLimit, false, false, "a width factor of at least 0"},
    {"OVERALL_B", 0, kMaxOverallB, false, false,
     "an overall displacement factor from 0 to 100 A^2"},
    {"AUTO_OVERALL_B", 0, 1, false, false, "0 (as given) or 1 (estimated from the data)"},
    {"STATISTIC_CIRCLES", 1, kMaxCount32, false, false, "a number of trials of at least 1"},
    {"AUTO_ST_CIRCLES", 0, 1, false, false, "0 (as given) or 1 (automatic)"},
    {"FILTER_TYPE", 0, 2, false, false,
     "0 (figure of merit), 1 (thresholds) or 2 (keep all)"},
    {"OPTIMIZATION_METHOD", 0, 2, false, false,
     "0 (grid search), 1 (traditional annealing) or 2 (adaptive annealing)"},
    {"AUTO_GRID_SEARCH", 0, 1, false, false, "0 (off) or 1 (on)"},
    {"AUTO_DIMENSION", 0, kMaxCount32, false, false, "a number of parameters of at least 0"},
    {"SEARCH_RESOLUTION", 0, kNoLimit, true, false, "a grid step above 0 angstrom"},
    {"TRADI_SA_CYCLES", 1, kMaxCount32, false, false, "a number of cycles of at least 1"},
    {"TRADI_SA_START_T", 0, kNoLimit, true, false, "a temperature above 0"},
    {"TRADI_SA_END_T", 0, kNoLimit, true, false, "a temperature above 0"},
    {"TRADI_SA_RATE", 0, 1, true, true, "a cooling rate between 0 and 1"},
    {"TRADI_SA_MOVES", 1, kMaxCount32, false, false, "a number of moves of at least 1"},
    {"ADAPT_SA_CYCLES", 1, kMaxCount32, false, false, "a number of cycles of at least 1"},
    {"ADAPT_SA_STRATEGY", 0, 1, false, false, "0 (custom) or 1 (automatic)"},
    {"ADAPT_SA_START_T", 0, kNoLimit, true, false, "a temperature above 0"},
    {"ADAPT_SA_END_T", 0, kNoLimit, true, false, "a temperature above 0"},
    {"ADAPT_SA_MOVES", 1, kMaxCount32, false, false, "a number of moves of at least 1"},
    {"REFINE", 0, 2, false, false,
     "0 (all), 1 (the best REFINE_N) or 2 (those within REFINE_THRESHOLD)"},
    {"REFINE_N", 0, kMaxCount32, false, false, "a number of models of at least 0"},
    {"REFINE_OPTIMIZATION_METHOD", 0, 2, false, false,
     "0 (grid search), 1 (traditional annealing) or 2 (adaptive annealing)"},
    {"REFINE_SEARCH_RESOLUTION", 0, kNoLimit, true, false, "a grid step above 0 angstrom"},
    {"REFINE_AUTO_GRID_SEARCH", 0, 1, false, false, "0 (off) or 1 (on)"},
    {"REFINE_AUTO_DIMENSION", 0, kMaxCount32, false, false,
     "a number of parameters of at least 0"},
    {"REFINE_TRADI_SA_CYCLES", 1, kMaxCount32, false, false, "a number of cycles of at least 1"},
    {"REFINE_TRADI_SA_START_T", 0, kNoLimit, true, false, "a temperature above 0"},
    {"REFINE_TRADI_SA_END_T", 0, kNoLimit, true, false, "a temperature above 0"},
    {"REFINE_TRADI_SA_RATE", 0, 1, true, true, "a cooling rate between 0 and 1"},
    {"REFINE_TRADI_SA_MOVES", 1, kMaxCount32, false, false, "a number of moves of at least 1"},
    {"REFINE_ADAPT_SA_CYCLES", 1, kMaxCount32, false, false, "a number of cycles of at least 1"},
    {"REFINE_ADAPT_SA_STRATEGY", 0, 1, false, false, "0 (custom) or 1 (automatic)"},
    {"REFINE_ADAPT_SA_START_T", 0, kNoLimit, true, false, "a temperature above 0"},
    {"REFINE_ADAPT_SA_END_T", 0, kNoLimit, true, false, "a temperature above 0"},
    {"REFINE_ADAPT_SA_MOVES", 1, kMaxCount32, false, false, "a number of moves of at least 1"},
};

const ValueRange *RangeOf(const char *keyword) {
  for (const ValueRange &r : kRanges)
    if (std::strcmp(r.keyword, keyword) == 0) return &r;
  return nullptr;
}

bool InRange(const ValueRange &r, double v) {
  if (!std::isfinite(v)) return false;
  if (r.lowOpen ? !(v > r.low) : !(v >= r.low)) return false;
  if (r.highOpen ? !(v < r.high) : !(v <= r.high)) return false;
  return true;
}

// The white-space separated fields of a list entry; what follows the last
// field a keyword reads is ignored.
std::vector<std::string> Fields(const char *value) {
  std::vector<std::string> fields;
  const char *p = value;
  for (;;) {
    while (*p && IsBlank(*p)) ++p;
    if (!*p) break;
    const char *start = p;
    while (*p && !IsBlank(*p)) ++p;
    fields.emplace_back(start, p);
  }
  return fields;
}

bool FieldInt(const std::string &text, int32_t *out) {
  return !text.empty() && text != "-" && IsInteger(text.c_str()) && ToInt32(text.c_str(), out);
}

// A decimal number as the scan format "%lf" takes it, but the whole field
// and finite.
bool FieldReal(const std::string &text, double *out) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end || errno == ERANGE || !std::isfinite(v)) return false;
  // strtod also reads hexadecimal numbers and words; the file never holds
  // those.
  for (char c : text)
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
          c == 'e' || c == 'E'))
      return false;
  *out = v;
  return true;
}

bool WyckoffLetter(const std::string &text, char *out) {
  if (text.size() != 1 || !((text[0] >= 'a' && text[0] <= 'z') || text[0] == '@')) return false;
  *out = text[0];
  return true;
}

constexpr int kMaxOxidationState = 8;

bool OxidationState(const std::string &text, int32_t *out) {
  return FieldInt(text, out) && *out >= -kMaxOxidationState && *out <= kMaxOxidationState;
}

// A file name keeps its blanks; quotes around it are taken off. A name with
// a double quote could not be written back, so it is refused.
bool ExtractFileName(std::string *name, const char *value) {
  std::string text = Shown(value);
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front())
    text = text.substr(1, text.size() - 2);
  if (text.find('"') != std::string::npos) return false;
  *name = text.substr(0, kTextLength);
  return true;
}

int SetListValue(Config *config, int row, const char *value, const char *fileName,
                 int lineNumber) {
  const char *key = configKeywords[row].name;
  const std::vector<std::string> f = Fields(value);
  if (row == ROW_OXIDATION) {
    int32_t oxidation = 0;
    if (f.size() < 2 || !OxidationState(f[1], &oxidation)) {
      ValueError(fileName, lineNumber, key, value,
                 "in a wrong format: expected an element symbol and an oxidation state from -8 "
                 "to 8, such as Fe 3");
      return 0;
    }
    if (ElementNumber(f[0].c_str()) < 1 || f[0].size() > kSymbolLength) {
      ValueError(fileName, lineNumber, key, value,
                 "names no element: '" + f[0] + "' is no element symbol (symbols are "
                 "case-sensitive, such as Fe or O)");
      return 0;
    }
    // The table keeps 63 entries; dropping the rest would change the job
    // without a word.
    if (config->oxidation.size() >= static_cast<size_t>(kMaxOxidations)) {
      ValueError(fileName, lineNumber, key, value,
                 "is one more than the 63 oxidation states a job can hold");
      return 0;
    }
    config->oxidation.push_back(Oxidation{f[0], oxidation});
    return 1;
  }
  if (row == ROW_CONSTRAINT) {
    Constraint c;
    if (f.size() < 5 || f[0].size() > kTextLength || !FieldInt(f[1], &c.index) ||
        !WyckoffLetter(f[2], &c.wyckoffLetter) || !FieldInt(f[3], &c.minimum) ||
        !FieldInt(f[4], &c.maximum)) {
      ValueError(fileName, lineNumber, key, value,
                 "in a wrong format: expected ENTRY INDEX LETTER MINIMUM MAXIMUM, such as O 2 e "
                 "0 2");
      return 0;
    }
    if (c.index < 0) {
      ValueError(fileName, lineNumber, key, value,
                 "has a negative entry index: expected 0 (all atoms) or the number of a formula "
                 "entry from 1");
      return 0;
    }
    if (c.minimum < 0 || c.maximum < 0 || c.minimum > c.maximum) {
      ValueError(fileName, lineNumber, key, value,
                 "has bounds no count can meet: expected 0 <= MINIMUM <= MAXIMUM");
      return 0;
    }
    c.name = f[0];
    c.line = lineNumber;
    for (const Constraint &o : config->constraints)
      if (o.name == c.name && o.index == c.index && o.wyckoffLetter == c.wyckoffLetter) {
        // The list puts new entries in front and its last entry wins, so
        // the constraint read first is the one that applies.
        Message(MESSAGE_WARNING,
                "%s:%d: %s: '%s' repeats the constraint on entry %d (%s) and position %c of "
                "line %d, which applies; this line has no effect\n",
                fileName, lineNumber, key, Shown(value).c_str(), c.index, c.name.c_str(),
                c.wyckoffLetter, o.line);
        break;
      }
    config->constraints.insert(config->constraints.begin(), c);
    return 1;
  }
  if (row == ROW_FIXED) {
    FixedCoordinate x;
    if (f.size() < 10 || !FieldInt(f[1], &x.oxidation) || !FieldInt(f[2], &x.multiplicity) ||
        !WyckoffLetter(f[3], &x.wyckoffLetter) || !FieldReal(f[4], &x.x) ||
        !FieldReal(f[5], &x.y) || !FieldReal(f[6], &x.z) || !FieldReal(f[7], &x.B) ||
        !FieldReal(f[8], &x.occupancy) || !FieldInt(f[9], &x.flags)) {
      ValueError(fileName, lineNumber, key, value,
                 "in a wrong format: expected SYMBOL OXIDATION MULTIPLICITY LETTER X Y Z B "
                 "OCCUPANCY FLAGS, such as Fe 3 4 c 0.25 0.25 0.25 1 1 7");
      return 0;
    }
    std::string what;
    if (ElementNumber(f[0].c_str()) < 1 || f[0].size() > kSymbolLength)
      what = "names no element: '" + f[0] + "' is no element symbol";
    else if (x.oxidation < -kMaxOxidationState || x.oxidation > kMaxOxidationState)
      what = "has an oxidation state outside -8 to 8";
    else if (x.multiplicity < 1)
      what = "has a multiplicity below 1";
    else if (x.B < 0)
      what = "has a negative B";
    else if (x.occupancy < 0 || x.occupancy > 1)
      what = "has an occupancy outside 0 to 1";
    else if (x.flags < 0 || x.flags > 31)
      what = "has flags outside 0 to 31 (1 x, 2 y, 4 z, 8 B, 16 occupancy)";
    if (!what.empty()) {
      ValueError(fileName, lineNumber, key, value, what);
      return 0;
    }
    x.symbol = f[0];
    config->fixedCoordinates.insert(config->fixedCoordinates.begin(), x);
    return 1;
  }
  return 1;
}

int RowOf(const char *keyword) {
  for (int row = 0; row < kConfigKeywordCount; ++row)
    if (std::strcmp(configKeywords[row].name, keyword) == 0) return row;
  return -1;
}

// The format and range of a number of an integer or real key, in the words
// the reader's messages use.
bool CheckNumber(int row, const char *value, double *out, std::string *why) {
  const ConfigKeyword &kw = configKeywords[row];
  const ValueRange *range = RangeOf(kw.name);
  if (kw.type == CONFIG_INTEGER || kw.type == CONFIG_LONG) {
    int32_t v = 0;
    if (!IsInteger(value) || !ToInt32(value, &v)) {
      *why = "in a wrong format: expected a whole number";
      return false;
    }
    if (range && !InRange(*range, v)) {
      *why = std::string("out of range: expected ") + range->expected;
      return false;
    }
    *out = v;
    return true;
  }
  if (!IsFloat(value)) {
    *why = "in a wrong format: expected a decimal number such as 1.5 (no exponent)";
    return false;
  }
  const double v = std::strtod(value, nullptr);
  if (!std::isfinite(v) || (range && !InRange(*range, v))) {
    *why = std::string("out of range: expected ") + (range ? range->expected : "a finite number");
    return false;
  }
  *out = v;
  return true;
}

}  // namespace

size_t ConfigTextCapacity(const char *keyword) {
  const int row = RowOf(keyword);
  if (row < 0 || configKeywords[row].type != CONFIG_TEXT) return 0;
  // The writer puts the key, a tab and the text, quoted but for the
  // formula, on one line; the reader refuses longer lines.
  const size_t quotes = kBindings[row].text == &Config::formular ? 0 : 2;
  return kTextLength - std::strlen(keyword) - 1 - quotes;
}

bool CheckConfigValue(const char *keyword, const char *text, double *value, std::string *why) {
  const int row = RowOf(keyword);
  if (row < 0) {
    *why = "is no key of the control file";
    return false;
  }
  // The reader sees a value from its first non-blank character on.
  const char *v = text;
  while (*v && IsBlank(*v)) ++v;
  switch (configKeywords[row].type) {
    case CONFIG_INTEGER:
    case CONFIG_LONG:
    case CONFIG_REAL: {
      double number = 0;
      if (!CheckNumber(row, v, &number, why)) return false;
      if (value) *value = number;
      return true;
    }
    case CONFIG_TEXT: {
      const size_t capacity = ConfigTextCapacity(keyword);
      if (std::strlen(text) > capacity) {
        *why = "too long: the control file holds at most " + std::to_string(capacity) +
               " characters of it";
        return false;
      }
      if (kBindings[row].text == &Config::peakFile && std::strchr(text, '"')) {
        *why = "in a wrong format: a file name cannot hold a double quote";
        return false;
      }
      return true;
    }
    default:
      *why = "is a list, not one value";
      return false;
  }
}

int SetConfigValue(Config *config, int row, const char *value, const char *fileName,
                   int lineNumber) {
  if (row < 0 || row >= kConfigKeywordCount) return 0;
  const ConfigKeyword &kw = configKeywords[row];
  const KeywordBinding &b = kBindings[row];
  switch (kw.type) {
    case CONFIG_INTEGER:
    case CONFIG_LONG:
    case CONFIG_REAL: {
      double v = 0;
      std::string why;
      if (!CheckNumber(row, value, &v, &why)) {
        ValueError(fileName, lineNumber, kw.name, value, why);
        return 0;
      }
      if (kw.type == CONFIG_REAL)
        config->*b.real = v;
      else
        config->*b.integer = static_cast<int32_t>(v);
      return 1;
    }
    case CONFIG_TEXT: {
      std::string text;
      if (b.text == &Config::peakFile) {
        if (!ExtractFileName(&text, value)) {
          ValueError(fileName, lineNumber, kw.name, value,
                     "in a wrong format: expected a file name, in double quotes when it has "
                     "blanks, without a double quote inside");
          return 0;
        }
      } else {
        char cleaned[kTextLength + 1];
        ExtractStringValue(cleaned, value);
        text = cleaned;
      }
      if (text.empty())
        Message(MESSAGE_WARNING, "reading file \"%s\", value of \"%s\" is null\n, at line %d\n",
                fileName, kw.name, lineNumber);
      config->*b.text = text;
      return 1;
    }
    default: break;
  }
  return SetListValue(config, row, value, fileName, lineNumber);
}

namespace {

// Checks of values that only make sense together; run once the whole file
// is read, naming the line of the later of the keys involved.
bool CheckPairs(const Config &c, const int *lineOf, const char *fileName) {
  auto row = [](const char *name) {
    for (int i = 0; i < kConfigKeywordCount; ++i)
      if (std::strcmp(configKeywords[i].name, name) == 0) return i;
    return -1;
  };
  auto line = [&](const char *a, const char *b) {
    return std::max(lineOf[row(a)], lineOf[row(b)]);
  };
  struct Pair {
    const char *startKey, *endKey;
    double start, end;
  };
  const Pair temperatures[] = {
      {"TRADI_SA_START_T", "TRADI_SA_END_T", c.tradiSaStartT, c.tradiSaEndT},
      {"ADAPT_SA_START_T", "ADAPT_SA_END_T", c.adaptSaStartT, c.adaptSaEndT},
      {"REFINE_TRADI_SA_START_T", "REFINE_TRADI_SA_END_T", c.refineTradiSaStartT,
       c.refineTradiSaEndT},
      {"REFINE_ADAPT_SA_START_T", "REFINE_ADAPT_SA_END_T", c.refineAdaptSaStartT,
       c.refineAdaptSaEndT},
  };
  for (const Pair &p : temperatures) {
    const int n = line(p.startKey, p.endKey);
    if (n > 0 && !(p.end < p.start)) {
      Message(MESSAGE_ERROR,
              "%s:%d: %s: '%f' is not below %s '%f': annealing cools from the start "
              "temperature down to the end temperature\n",
              fileName, n, p.endKey, p.end, p.startKey, p.start);
      return false;
    }
  }
  {
    const int n = line("START_ANGLE", "END_ANGLE");
    if (n > 0 && c.startAngle > c.endAngle) {
      Message(MESSAGE_ERROR, "%s:%d: END_ANGLE: '%f' is below START_ANGLE '%f'\n", fileName, n,
              c.endAngle, c.startAngle);
      return false;
    }
  }
  const int n = std::max(line("CELL_ALPHA", "CELL_BETA"), lineOf[row("CELL_GAMMA")]);
  if (n > 0 && !CellAnglesAdmitACell(c.cellAlpha, c.cellBeta, c.cellGamma)) {
    Message(MESSAGE_ERROR,
            "%s:%d: CELL_ALPHA, CELL_BETA, CELL_GAMMA: '%f %f %f' admit no cell: each angle "
            "must be below the sum of the other two, and the three below 360 degrees\n",
            fileName, n, c.cellAlpha, c.cellBeta, c.cellGamma);
    return false;
  }
  return true;
}

}  // namespace

int ReadConfigFile(Config *config, const char *fileName) {
  std::string why;
  FilePtr file = OpenInputFile(fileName, kMaxControlFileBytes, &why);
  if (!file) {
    Message(MESSAGE_ERROR, "cant not open file \"%s\": %s\n", fileName, why.c_str());
    return CONFIG_CANNOT_OPEN;
  }
  return ReadConfigStream(config, file.get(), fileName);
}

int ReadConfigStream(Config *config, std::FILE *stream, const char *fileName) {
  char key[kTextLength + 1];
  char value[kTextLength + 1];
  int lineOf[kConfigKeywordCount] = {};
  bool stamped = false;
  LineReader lines(stream, kTextLength, kMaxControlFileBytes);
  while (lines.Next()) {
    const int lineNumber = lines.number();
    if (lines.binary()) {
      Message(MESSAGE_ERROR, "%s:%d: binary data (a NUL or control character): not a control "
                             "file\n",
              fileName, lineNumber);
      return CONFIG_WRONG_FORMAT;
    }
    // A longer line used to go on as a line of its own, so that the tail of
    // a title could set a key.
    if (lines.tooLong()) {
      Message(MESSAGE_ERROR, "%s:%d: a line of %zu characters: a line holds at most %zu\n",
              fileName, lineNumber, lines.length(), kTextLength);
      return CONFIG_WRONG_FORMAT;
    }
    std::string text = lines.text();
    // Editors on some systems start a file with a byte-order mark.
    if (lineNumber == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    if (IsCommentLine(text.c_str())) continue;
    ParseKeyValue(text.c_str(), key, value);
    if (!stamped) {
      if (std::strcmp(key, configStamp) != 0) {
        Message(MESSAGE_ERROR,
                "%s:%d: %s: the first key must be the stamp %s %d.%d.%d: not a control file\n",
                fileName, lineNumber, key, configStamp, kKernelMajor, kKernelMinor,
                kKernelRelease);
        return CONFIG_WRONG_FORMAT;
      }
      int major = 0, minor = 0, release = 0;
      std::sscanf(value, "%d.%d.%d", &major, &minor, &release);
      // Files of an older kernel read on; a newer major version may mean
      // keys this reader would misunderstand.
      if (major > kKernelMajor) {
        Message(MESSAGE_ERROR, "%s:%d: %s: '%s' is a newer version than %d.%d.%d\n", fileName,
                lineNumber, configStamp, Shown(value).c_str(), kKernelMajor, kKernelMinor,
                kKernelRelease);
        return CONFIG_WRONG_VERSION;
      }
      stamped = true;
      config->controlFile = fileName;
      continue;
    }
    for (int row = 0; row < kConfigKeywordCount; ++row) {
      if (std::strcmp(key, configKeywords[row].name) != 0) continue;
      if (!SetConfigValue(config, row, value, fileName, lineNumber)) return CONFIG_WRONG_FORMAT;
      lineOf[row] = lineNumber;
      break;
    }
  }
  if (lines.exceeded()) {
    Message(MESSAGE_ERROR, "%s: more than %lld bytes: not a control file\n", fileName,
            kMaxControlFileBytes);
    return CONFIG_WRONG_FORMAT;
  }
  if (lines.failed()) {
    Message(MESSAGE_ERROR, "%s:%d: the file could not be read to its end\n", fileName,
            lines.number() + 1);
    return CONFIG_WRONG_FORMAT;
  }
  if (!CheckPairs(*config, lineOf, fileName)) return CONFIG_WRONG_FORMAT;
  return CONFIG_READ;
}

namespace {

void WriteKey(std::FILE *f, const Config *config, int row) {
  const ConfigKeyword &kw = configKeywords[row];
  const KeywordBinding &b = kBindings[row];
  if (b.onlyWhenSet && (b.integer ? config->*b.integer == 0 : config->*b.real == 0)) return;
  if (b.headings) std::fputs(b.headings, f);
  switch (kw.type) {
    case CONFIG_INTEGER:
      std::fprintf(f, "%s\t%d\n", kw.name, config->*b.integer);
      break;
    case CONFIG_LONG:
      std::fprintf(f, "%s\t%ld\n", kw.name, static_cast<long>(config->*b.integer));
      break;
    case CONFIG_REAL:
      std::fprintf(f, "%s\t%f\n", kw.name, config->*b.real);
      break;
    case CONFIG_TEXT:
      if (b.text == &Config::formular)
        std::fprintf(f, "%s\t%s\n", kw.name, (config->*b.text).c_str());
      else
        std::fprintf(f, "%s\t\"%s\"\n", kw.name, (config->*b.text).c_str());
      break;
    default:
      if (row == ROW_OXIDATION) {
        for (const Oxidation &o : config->oxidation)
          std::fprintf(f, "OXIDATION\t%s %d\n", o.symbol.c_str(), o.oxidation);
      } else if (row == ROW_CONSTRAINT) {
        for (const Constraint &c : config->constraints)
          std::fprintf(f, "CONSTRAINT\t%s %d %c %d %d\n", c.name.c_str(), c.index,
                       c.wyckoffLetter, c.minimum, c.maximum);
      } else if (row == ROW_FIXED) {
        for (const FixedCoordinate &c : config->fixedCoordinates)
          std::fprintf(f, "FIXED_COORDINATE\t%s %d %d %c %f %f %f %f %f %d\n", c.symbol.c_str(),
                       c.oxidation, c.multiplicity, c.wyckoffLetter, c.x, c.y, c.z, c.B,
                       c.occupancy, c.flags);
      }
      break;
  }
  if (b.blankAfter) std::fputs("\n", f);
}

}  // namespace

void WriteConfig(std::FILE *f, const Config *config) {
  std::fprintf(f, "; Input file for Pulvina (kernel version %d.%d.%d)\n\n", kKernelMajor,
               kKernelMinor, kKernelRelease);
  std::fprintf(f, "%s %d.%d.%d\n", configStamp, kKernelMajor, kKernelMinor, kKernelRelease);
  for (int row = 0; row < kConfigKeywordCount; ++row) WriteKey(f, config, row);
}

int UpdateConfigFile(const char *fileName, const Config *config) {
  AtomicFile file(fileName);
  if (!file.get()) {
    Message(MESSAGE_ERROR, "updating file \"%s\", can not open file! (%s)\n", fileName,
            file.error().c_str());
    return 0;
  }
  WriteConfig(file.get(), config);
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "updating file \"%s\", can not write file! (%s)\n", fileName,
            file.error().c_str());
    return 0;
  }
  return 1;
}
