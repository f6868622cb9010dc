// SPDX-License-Identifier: BSD-3-Clause
#include "file.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <algorithm>
#include <limits>
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

void InitializeConfig(Config *c) { *c = Config(); }

void FreeConfig(Config *c) {
  c->oxidation.clear();
  FreeConstraints(&c->constraints);
  FreeFixedCoordinates(&c->fixedCoordinates);
}

bool ConfigRange::Admits(double v) const {
  if (!expected || !std::isfinite(v)) return false;
  if (lowOpen ? !(v > low) : !(v >= low)) return false;
  if (highOpen ? !(v < high) : !(v <= high)) return false;
  return true;
}

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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

// The line a list entry was read from, for its messages.
struct EntryLine {
  const char *fileName;
  int number;
  const char *key;
  const char *value;
  void Refuse(const std::string &what) const { ValueError(fileName, number, key, value, what); }
};

enum NumberForm {
  WHOLE,    // a key's whole number, as IsInteger takes it
  DECIMAL,  // a key's real number, as IsFloat takes it: no exponent
  SCANNED   // a list entry's real field, as the scan format "%lf" takes it
};

// The reader's one way from text to number. A lone minus sign (or point)
// passes IsInteger (IsFloat) and has always stood for 0. A whole number
// fits 32 bits: the file never held anything wider, and wrapping a typing
// slip into a negative count helps no one. A decimal number may come out
// infinite, which the key's range then refuses. A scanned field takes a
// sign and an exponent, but is the whole field, finite, and never one of
// the hexadecimal numbers or words strtod also reads.
bool ParseNumber(const char *text, NumberForm form, double *out) {
  if (form == WHOLE && !IsInteger(text)) return false;
  if (form == DECIMAL && !IsFloat(text)) return false;
  if (form == SCANNED)
    for (const char *p = text; *p; ++p)
      if (!(std::isdigit(static_cast<unsigned char>(*p)) || std::strchr(".-+eE", *p)))
        return false;
  errno = 0;
  char *end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text) {
    *out = 0;
    return form != SCANNED;
  }
  if (form == WHOLE && !(v >= INT32_MIN && v <= INT32_MAX)) return false;
  if (form == SCANNED && (*end || errno == ERANGE || !std::isfinite(v))) return false;
  *out = v;
  return true;
}

bool FieldInt(const std::string &text, int32_t *out) {
  double v = 0;
  if (text == "-" || !ParseNumber(text.c_str(), WHOLE, &v)) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

bool FieldReal(const std::string &text, double *out) {
  return ParseNumber(text.c_str(), SCANNED, out);
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

bool WyckoffLetter(const std::string &text, char *out) {
  if (text.size() != 1 || !((text[0] >= 'a' && text[0] <= 'z') || text[0] == '@')) return false;
  *out = text[0];
  return true;
}

bool IsElementSymbol(const std::string &symbol) {
  return ElementNumber(symbol.c_str()) >= 1 && symbol.size() <= kSymbolLength;
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

}  // namespace

namespace {

// Ranges, and the words the messages use for them.
constexpr double kNoLimit = 1e300;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

constexpr ConfigRange Closed(double low, double high, const char *expected) {
  return {low, high, false, false, expected};
}
constexpr ConfigRange AtLeast(double low, const char *expected) {
  return {low, kNoLimit, false, false, expected};
}
constexpr ConfigRange Above(double low, const char *expected) {
  return {low, kNoLimit, true, false, expected};
}
constexpr ConfigRange Between(double low, double high, const char *expected) {
  return {low, high, true, true, expected};
}

// Keys that nothing reads (GEOMETRY, SCAN_STEP, CRITERION) and the filter
// thresholds keep whatever number they hold.
constexpr ConfigRange kAnyInteger = Closed(INT32_MIN, INT32_MAX, "a whole number");
constexpr ConfigRange kAnyReal = Closed(-kInfinity, kInfinity, "a finite number");
constexpr ConfigRange kNoNumber = {0, 0, false, false, nullptr};

constexpr ConfigRange kWavelength = Above(0, "a wavelength above 0 angstrom");
constexpr ConfigRange kTwoTheta = Closed(0, 180, "an angle 2theta from 0 to 180 degrees");
constexpr ConfigRange kOxidationState = Closed(-8, 8, "an oxidation state from -8 to 8");
constexpr ConfigRange kCellEdge =
    Closed(kMinCellEdge, kMaxCellEdge, "a cell edge from 0.5 to 1000 angstrom");
constexpr ConfigRange kCellAngle = Between(0, 180, "a cell angle between 0 and 180 degrees");
constexpr ConfigRange kOnOff = Closed(0, 1, "0 (off) or 1 (on)");
constexpr ConfigRange kMethod = Closed(
    0, 3,
    "0 (grid search), 1 (traditional annealing), 2 (adaptive annealing) or 3 (parallel tempering)");
constexpr ConfigRange kRestarts = Closed(1, 10000, "a number of restarts from 1 to 10000");
constexpr ConfigRange kReplicas = Closed(1, 256, "a number of replicas from 1 to 256");
constexpr ConfigRange kDirectionIndex =
    Closed(-kMaxDirectionIndex, kMaxDirectionIndex, "an index from -100 to 100");
constexpr ConfigRange kDimension = AtLeast(0, "a number of parameters of at least 0");
constexpr ConfigRange kGridStep = Above(0, "a grid step above 0 angstrom");
constexpr ConfigRange kCycles = AtLeast(1, "a number of cycles of at least 1");
constexpr ConfigRange kTemperature = Above(0, "a temperature above 0");
constexpr ConfigRange kRate = Between(0, 1, "a cooling rate between 0 and 1");
constexpr ConfigRange kMoves = AtLeast(1, "a number of moves of at least 1");
constexpr ConfigRange kStrategy = Closed(0, 1, "0 (custom) or 1 (automatic)");

bool ReadOxidation(Config *config, const std::vector<std::string> &f, const EntryLine &at) {
  int32_t oxidation = 0;
  if (f.size() < 2 || !FieldInt(f[1], &oxidation) || !kOxidationState.Admits(oxidation)) {
    at.Refuse(std::string("in a wrong format: expected an element symbol and ") +
              kOxidationState.expected + ", such as Fe 3");
    return false;
  }
  if (!IsElementSymbol(f[0])) {
    at.Refuse("names no element: '" + f[0] +
              "' is no element symbol (symbols are case-sensitive, such as Fe or O)");
    return false;
  }
  // The table keeps 63 entries; dropping the rest would change the job
  // without a word.
  if (config->oxidation.size() >= static_cast<size_t>(kMaxOxidations)) {
    at.Refuse("is one more than the 63 oxidation states a job can hold");
    return false;
  }
  config->oxidation.push_back(Oxidation{f[0], oxidation});
  return true;
}

void WriteOxidations(std::FILE *f, const Config &config) {
  for (const Oxidation &o : config.oxidation)
    std::fprintf(f, "OXIDATION\t%s %d\n", o.symbol.c_str(), o.oxidation);
}

bool ReadConstraint(Config *config, const std::vector<std::string> &f, const EntryLine &at) {
  Constraint c;
  if (f.size() < 5 || f[0].size() > kTextLength || !FieldInt(f[1], &c.index) ||
      !WyckoffLetter(f[2], &c.wyckoffLetter) || !FieldInt(f[3], &c.minimum) ||
      !FieldInt(f[4], &c.maximum)) {
    at.Refuse("in a wrong format: expected ENTRY INDEX LETTER MINIMUM MAXIMUM, such as O 2 e 0 2");
    return false;
  }
  if (c.index < 0) {
    at.Refuse("has a negative entry index: expected 0 (all atoms) or the number of a formula "
              "entry from 1");
    return false;
  }
  if (c.minimum < 0 || c.maximum < 0 || c.minimum > c.maximum) {
    at.Refuse("has bounds no count can meet: expected 0 <= MINIMUM <= MAXIMUM");
    return false;
  }
  c.name = f[0];
  c.line = at.number;
  for (const Constraint &o : config->constraints)
    if (o.name == c.name && o.index == c.index && o.wyckoffLetter == c.wyckoffLetter) {
      // The list puts new entries in front and its last entry wins, so
      // the constraint read first is the one that applies.
      Message(MESSAGE_WARNING,
              "%s:%d: %s: '%s' repeats the constraint on entry %d (%s) and position %c of "
              "line %d, which applies; this line has no effect\n",
              at.fileName, at.number, at.key, Shown(at.value).c_str(), c.index, c.name.c_str(),
              c.wyckoffLetter, o.line);
      break;
    }
  config->constraints.insert(config->constraints.begin(), c);
  return true;
}

void WriteConstraints(std::FILE *f, const Config &config) {
  for (const Constraint &c : config.constraints)
    std::fprintf(f, "CONSTRAINT\t%s %d %c %d %d\n", c.name.c_str(), c.index, c.wyckoffLetter,
                 c.minimum, c.maximum);
}

bool ReadFixedCoordinate(Config *config, const std::vector<std::string> &f,
                         const EntryLine &at) {
  FixedCoordinate x;
  if (f.size() < 10 || !FieldInt(f[1], &x.oxidation) || !FieldInt(f[2], &x.multiplicity) ||
      !WyckoffLetter(f[3], &x.wyckoffLetter) || !FieldReal(f[4], &x.x) ||
      !FieldReal(f[5], &x.y) || !FieldReal(f[6], &x.z) || !FieldReal(f[7], &x.B) ||
      !FieldReal(f[8], &x.occupancy) || !FieldInt(f[9], &x.flags)) {
    at.Refuse("in a wrong format: expected SYMBOL OXIDATION MULTIPLICITY LETTER X Y Z B "
              "OCCUPANCY FLAGS, such as Fe 3 4 c 0.25 0.25 0.25 1 1 7");
    return false;
  }
  std::string what;
  if (!IsElementSymbol(f[0]))
    what = "names no element: '" + f[0] + "' is no element symbol";
  else if (!kOxidationState.Admits(x.oxidation))
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
    at.Refuse(what);
    return false;
  }
  x.symbol = f[0];
  config->fixedCoordinates.insert(config->fixedCoordinates.begin(), x);
  return true;
}

void WriteFixedCoordinates(std::FILE *f, const Config &config) {
  for (const FixedCoordinate &c : config.fixedCoordinates)
    std::fprintf(f, "FIXED_COORDINATE\t%s %d %d %c %f %f %f %f %f %d\n", c.symbol.c_str(),
                 c.oxidation, c.multiplicity, c.wyckoffLetter, c.x, c.y, c.z, c.B, c.occupancy,
                 c.flags);
}

}  // namespace

struct ConfigList {
  // Adds the entry of one line; false when it is refused, with a message.
  bool (*read)(Config *config, const std::vector<std::string> &fields, const EntryLine &at);
  void (*write)(std::FILE *f, const Config &config);
};

namespace {

constexpr ConfigList kOxidations = {ReadOxidation, WriteOxidations};
constexpr ConfigList kConstraints = {ReadConstraint, WriteConstraints};
constexpr ConfigList kFixedCoordinates = {ReadFixedCoordinate, WriteFixedCoordinates};

// The headings a key goes under in the written file.
struct Heading {
  const char *section, *group;
};

constexpr Heading kTitle = {"Title", nullptr};
constexpr Heading kXRay = {"Radiation", "X-Ray"};
constexpr Heading kNeutron = {"Radiation", "Neutron"};
constexpr Heading kElectron = {"Radiation", "Electron"};
constexpr Heading kGeometry = {"Experiment", "Geometry"};
constexpr Heading kSetup = {"Experiment", "Setup"};
constexpr Heading kSpacegroup = {"Crystal", "Spacegroup"};
constexpr Heading kFormular = {"Crystal", "Formular"};
constexpr Heading kCell = {"Crystal", "Cell"};
constexpr Heading kCombination = {"Combination", nullptr};
constexpr Heading kFixed = {"Fixed Coordinates", nullptr};
constexpr Heading kPeakFile = {"Peak File", nullptr};
constexpr Heading kStatistic = {"Statistic filter", nullptr};
constexpr Heading kOptimization = {"Global Optimization", nullptr};
constexpr Heading kTradi = {"Global Optimization", "Simulated Annealing(tradiational)"};
constexpr Heading kAdapt = {"Global Optimization", "Simulated Annealing(adaptive)"};
constexpr Heading kRefine = {"Refine", nullptr};
constexpr Heading kRefineSetup = {"Refine", "Refine Optimization Setup"};
constexpr Heading kRefineTradi = {"Refine", "Refine Simulate Annealing(tradiational)"};
constexpr Heading kRefineAdapt = {"Refine", "Refine Simulate Annealing(adaptive)"};
constexpr Heading kEffort = {"Global Optimization", "Search Effort"};
constexpr Heading kTempering = {"Global Optimization", "Parallel Tempering"};
constexpr Heading kRefineEffort = {"Refine", "Refine Search Effort"};
constexpr Heading kRefineTempering = {"Refine", "Refine Parallel Tempering"};

constexpr ConfigKeyword Key(Heading h, const char *name, ConfigValueType type) {
  return {name,        type,      nullptr, nullptr, nullptr, nullptr, TEXT_QUOTED,
          kNoNumber,   h.section, h.group, false,   false};
}
constexpr ConfigKeyword Integer(Heading h, const char *name, int32_t Config::*member,
                                ConfigRange range = kAnyInteger,
                                ConfigValueType type = CONFIG_INTEGER) {
  ConfigKeyword k = Key(h, name, type);
  k.integer = member;
  k.range = range;
  return k;
}
// Counts written "%ld", as they always were.
constexpr ConfigKeyword Long(Heading h, const char *name, int32_t Config::*member,
                             ConfigRange range) {
  return Integer(h, name, member, range, CONFIG_LONG);
}
constexpr ConfigKeyword Real(Heading h, const char *name, double Config::*member,
                             ConfigRange range = kAnyReal) {
  ConfigKeyword k = Key(h, name, CONFIG_REAL);
  k.real = member;
  k.range = range;
  return k;
}
constexpr ConfigKeyword Text(Heading h, const char *name, std::string Config::*member,
                             ConfigTextForm form) {
  ConfigKeyword k = Key(h, name, CONFIG_TEXT);
  k.text = member;
  k.textForm = form;
  return k;
}
constexpr ConfigKeyword List(Heading h, const char *name, const ConfigList *list,
                             ConfigRange range = kNoNumber) {
  ConfigKeyword k = Key(h, name, CONFIG_LIST);
  k.list = list;
  k.range = range;
  return k;
}
constexpr ConfigKeyword BlankAfter(ConfigKeyword k) {
  k.blankAfter = true;
  return k;
}
// Keys beyond the original layout, written only when they differ from their
// default, so that a job that does not use them keeps its file byte for byte.
constexpr ConfigKeyword OnlyWhenSet(ConfigKeyword k) {
  k.onlyWhenSet = true;
  return k;
}

}  // namespace

constexpr ConfigKeyword configKeywords[kConfigKeywordCount] = {
    Text(kTitle, "TITLE", &Config::title, TEXT_QUOTED),
    BlankAfter(Integer(kXRay, "RADIATION", &Config::radiation,
                       Closed(0, 2, "0 (X-ray), 1 (neutron) or 2 (electron)"))),
    Integer(kXRay, "DOUBLETS", &Config::doublets,
            Closed(0, 1, "0 (one line) or 1 (a second line)")),
    Real(kXRay, "LAMBDA_XRAY1", &Config::lambdaXray1, kWavelength),
    Real(kXRay, "LAMBDA_XRAY2", &Config::lambdaXray2, kWavelength),
    Real(kXRay, "I2_I1", &Config::i2i1, AtLeast(0, "an intensity ratio of at least 0")),
    Real(kXRay, "POLARIZATION", &Config::polarization,
         Closed(0, 1, "a polarisation factor from 0 to 1")),
    Integer(kXRay, "MONOCHROMATOR", &Config::monochromator, Closed(0, 2, "0 (none), 1 or 2")),
    Real(kXRay, "MONO_D", &Config::monoD, Above(0, "a d-spacing above 0 angstrom")),
    Real(kXRay, "MONO_ANGLE", &Config::monoAngle,
         Closed(0, 90, "the monochromator's Bragg angle theta from 0 to 90 degrees")),
    Real(kNeutron, "LAMBDA_NEUTRON", &Config::lambdaNeutron, kWavelength),
    Real(kElectron, "LAMBDA_ELECTRON", &Config::lambdaElectron, kWavelength),
    Real(kElectron, "ENERGY_ELECTRON", &Config::energyElectron, Above(0, "an energy above 0")),
    Integer(kGeometry, "GEOMETRY", &Config::geometry),
    Real(kSetup, "START_ANGLE", &Config::startAngle, kTwoTheta),
    Real(kSetup, "END_ANGLE", &Config::endAngle, kTwoTheta),
    Real(kSetup, "SCAN_STEP", &Config::scanStep),
    Integer(kSetup, "ASYM_SEARCH", &Config::asymSearch,
            Closed(0, 1, "0 (whole cell) or 1 (asymmetric unit)")),
    Integer(kSpacegroup, "SG_NUMBER", &Config::sgNumber,
            Closed(1, 230, "a space-group number from 1 to 230")),
    Integer(kSpacegroup, "SG_SETTING", &Config::sgSetting,
            AtLeast(1, "a setting number of at least 1")),
    Text(kFormular, "FORMULAR", &Config::formular, TEXT_BARE),
    Integer(kFormular, "FORMULAR_Z", &Config::formularZ,
            Closed(1, 1000000, "a number of formula units from 1 to 1000000")),
    List(kFormular, "OXIDATION", &kOxidations, kOxidationState),
    Real(kCell, "CELL_A", &Config::cellA, kCellEdge),
    Real(kCell, "CELL_B", &Config::cellB, kCellEdge),
    Real(kCell, "CELL_C", &Config::cellC, kCellEdge),
    Real(kCell, "CELL_ALPHA", &Config::cellAlpha, kCellAngle),
    Real(kCell, "CELL_BETA", &Config::cellBeta, kCellAngle),
    Real(kCell, "CELL_GAMMA", &Config::cellGamma, kCellAngle),
    List(kCombination, "CONSTRAINT", &kConstraints),
    OnlyWhenSet(Integer(kCombination, "ALL_COMBINATIONS", &Config::allCombinations,
                        Closed(0, 1, "0 (one of each class of equivalent combinations) or 1 "
                                     "(all)"))),
    OnlyWhenSet(Integer(kCombination, "BOND_PRUNING", &Config::bondPruning, kOnOff)),
    List(kFixed, "FIXED_COORDINATE", &kFixedCoordinates),
    Text(kPeakFile, "PEAK_FILE", &Config::peakFile, TEXT_FILE_NAME),
    Integer(kPeakFile, "PEAK_FILE_FORMAT", &Config::peakFileFormat,
            Closed(0, 2, "0 (internal), 1 (FullProf) or 2 (PCW)")),
    Real(kPeakFile, "PEAK_N_WIDTH", &Config::peakNWidth,
         AtLeast(0, "a width factor of at least 0")),
    OnlyWhenSet(Real(kPeakFile, "OVERALL_B", &Config::overallB,
                     Closed(0, kMaxOverallB, "an overall displacement factor from 0 to 100 A^2"))),
    OnlyWhenSet(Integer(kPeakFile, "AUTO_OVERALL_B", &Config::autoOverallB,
                        Closed(0, 1, "0 (as given) or 1 (estimated from the data)"))),
    OnlyWhenSet(Integer(kPeakFile, "REFINE_OVERALL_B", &Config::refineOverallB,
                        Closed(0, 1, "0 (kept) or 1 (refined with the coordinates)"))),
    OnlyWhenSet(Integer(kPeakFile, "PREF_ORIENT_H", &Config::prefOrientH, kDirectionIndex)),
    OnlyWhenSet(Integer(kPeakFile, "PREF_ORIENT_K", &Config::prefOrientK, kDirectionIndex)),
    OnlyWhenSet(Integer(kPeakFile, "PREF_ORIENT_L", &Config::prefOrientL, kDirectionIndex)),
    OnlyWhenSet(Real(kPeakFile, "PREF_ORIENT_R", &Config::prefOrientR,
                     {0, kMaxMarchR, true, false, "a March-Dollase r above 0, at most 10"})),
    OnlyWhenSet(Integer(kPeakFile, "REFINE_PREF_ORIENT", &Config::refinePrefOrient,
                        Closed(0, 1, "0 (r kept) or 1 (r refined)"))),
    Long(kStatistic, "STATISTIC_CIRCLES", &Config::statisticCircles,
         AtLeast(1, "a number of trials of at least 1")),
    Integer(kStatistic, "AUTO_ST_CIRCLES", &Config::autoStCircles,
            Closed(0, 1, "0 (as given) or 1 (automatic)")),
    Integer(kStatistic, "FILTER_TYPE", &Config::filterType,
            Closed(0, 2, "0 (figure of merit), 1 (thresholds) or 2 (keep all)")),
    Real(kStatistic, "FOM_THRESHOLD", &Config::fomThreshold),
    Real(kStatistic, "AVG_THRESHOLD", &Config::avgThreshold),
    Real(kStatistic, "SD_THRESHOLD", &Config::sdThreshold),
    Real(kStatistic, "BEST_THRESHOLD", &Config::bestThreshold),
    Integer(kOptimization, "OPTIMIZATION_METHOD", &Config::optimizationMethod, kMethod),
    Integer(kOptimization, "CRITERION", &Config::criterion),
    Integer(kOptimization, "AUTO_GRID_SEARCH", &Config::autoGridSearch, kOnOff),
    Integer(kOptimization, "AUTO_DIMENSION", &Config::autoDimension, kDimension),
    Real(kOptimization, "SEARCH_RESOLUTION", &Config::searchResolution, kGridStep),
    OnlyWhenSet(Integer(kOptimization, "BOND_PENALTY", &Config::bondPenalty, kOnOff)),
    OnlyWhenSet(Real(kOptimization, "BOND_PENALTY_WEIGHT", &Config::bondPenaltyWeight,
                     AtLeast(0, "a weight of at least 0"))),
    OnlyWhenSet(Real(kOptimization, "BOND_VALENCE_WEIGHT", &Config::bondValenceWeight,
                     AtLeast(0, "a weight of at least 0"))),
    Integer(kTradi, "TRADI_SA_CYCLES", &Config::tradiSaCycles, kCycles),
    Real(kTradi, "TRADI_SA_START_T", &Config::tradiSaStartT, kTemperature),
    Real(kTradi, "TRADI_SA_END_T", &Config::tradiSaEndT, kTemperature),
    Real(kTradi, "TRADI_SA_RATE", &Config::tradiSaRate, kRate),
    Long(kTradi, "TRADI_SA_MOVES", &Config::tradiSaMoves, kMoves),
    Integer(kAdapt, "ADAPT_SA_CYCLES", &Config::adaptSaCycles, kCycles),
    Integer(kAdapt, "ADAPT_SA_STRATEGY", &Config::adaptSaStrategy, kStrategy),
    Real(kAdapt, "ADAPT_SA_START_T", &Config::adaptSaStartT, kTemperature),
    Real(kAdapt, "ADAPT_SA_END_T", &Config::adaptSaEndT, kTemperature),
    Long(kAdapt, "ADAPT_SA_MOVES", &Config::adaptSaMoves, kMoves),
    OnlyWhenSet(Integer(kEffort, "AUTO_EFFORT", &Config::autoEffort, kOnOff)),
    OnlyWhenSet(Integer(kEffort, "RESTARTS", &Config::restarts, kRestarts)),
    OnlyWhenSet(Integer(kEffort, "RACING", &Config::racing, kOnOff)),
    OnlyWhenSet(Integer(kEffort, "FREEST_FIRST_RESTARTS", &Config::freestFirstRestarts,
                        Closed(0, 10000, "a number of restarts from 0 (off) to 10000"))),
    OnlyWhenSet(Integer(kTempering, "TEMPERING_REPLICAS", &Config::temperingReplicas, kReplicas)),
    OnlyWhenSet(Real(kTempering, "TEMPERING_HOT_T", &Config::temperingHotT, kTemperature)),
    OnlyWhenSet(Real(kTempering, "TEMPERING_COLD_T", &Config::temperingColdT, kTemperature)),
    OnlyWhenSet(Long(kTempering, "TEMPERING_MOVES", &Config::temperingMoves, kMoves)),
    Integer(kRefine, "REFINE", &Config::refine,
            Closed(0, 2, "0 (all), 1 (the best REFINE_N) or 2 (those within REFINE_THRESHOLD)")),
    Integer(kRefine, "REFINE_N", &Config::refineN, AtLeast(0, "a number of models of at least 0")),
    Real(kRefine, "REFINE_THRESHOLD", &Config::refineThreshold),
    Integer(kRefineSetup, "REFINE_OPTIMIZATION_METHOD", &Config::refineOptimizationMethod,
            kMethod),
    Integer(kRefineSetup, "REFINE_CRITERION", &Config::refineCriterion),
    Real(kRefineSetup, "REFINE_SEARCH_RESOLUTION", &Config::refineSearchResolution, kGridStep),
    Integer(kRefineSetup, "REFINE_AUTO_GRID_SEARCH", &Config::refineAutoGridSearch, kOnOff),
    Integer(kRefineSetup, "REFINE_AUTO_DIMENSION", &Config::refineAutoDimension, kDimension),
    Integer(kRefineTradi, "REFINE_TRADI_SA_CYCLES", &Config::refineTradiSaCycles, kCycles),
    Real(kRefineTradi, "REFINE_TRADI_SA_START_T", &Config::refineTradiSaStartT, kTemperature),
    Real(kRefineTradi, "REFINE_TRADI_SA_END_T", &Config::refineTradiSaEndT, kTemperature),
    Real(kRefineTradi, "REFINE_TRADI_SA_RATE", &Config::refineTradiSaRate, kRate),
    Long(kRefineTradi, "REFINE_TRADI_SA_MOVES", &Config::refineTradiSaMoves, kMoves),
    Integer(kRefineAdapt, "REFINE_ADAPT_SA_CYCLES", &Config::refineAdaptSaCycles, kCycles),
    Integer(kRefineAdapt, "REFINE_ADAPT_SA_STRATEGY", &Config::refineAdaptSaStrategy, kStrategy),
    Real(kRefineAdapt, "REFINE_ADAPT_SA_START_T", &Config::refineAdaptSaStartT, kTemperature),
    Real(kRefineAdapt, "REFINE_ADAPT_SA_END_T", &Config::refineAdaptSaEndT, kTemperature),
    Long(kRefineAdapt, "REFINE_ADAPT_SA_MOVES", &Config::refineAdaptSaMoves, kMoves),
    OnlyWhenSet(Integer(kRefineEffort, "REFINE_AUTO_EFFORT", &Config::refineAutoEffort, kOnOff)),
    OnlyWhenSet(Integer(kRefineEffort, "REFINE_RESTARTS", &Config::refineRestarts, kRestarts)),
    OnlyWhenSet(Integer(kRefineTempering, "REFINE_TEMPERING_REPLICAS",
                        &Config::refineTemperingReplicas, kReplicas)),
    OnlyWhenSet(
        Real(kRefineTempering, "REFINE_TEMPERING_HOT_T", &Config::refineTemperingHotT, kTemperature)),
    OnlyWhenSet(Real(kRefineTempering, "REFINE_TEMPERING_COLD_T", &Config::refineTemperingColdT,
                     kTemperature)),
    OnlyWhenSet(
        Long(kRefineTempering, "REFINE_TEMPERING_MOVES", &Config::refineTemperingMoves, kMoves)),
};

// A row left out would be a row of nothing.
static_assert(configKeywords[kConfigKeywordCount - 1].name != nullptr);

const ConfigKeyword *FindConfigKeyword(const char *keyword) {
  for (const ConfigKeyword &k : configKeywords)
    if (std::strcmp(k.name, keyword) == 0) return &k;
  return nullptr;
}

bool ConfigAdmits(const char *keyword, double value) {
  const ConfigKeyword *k = FindConfigKeyword(keyword);
  if (!k || (k->type != CONFIG_REAL && value != std::trunc(value))) return false;
  return k->range.Admits(value);
}

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

namespace {

int RowOf(const char *keyword) {
  const ConfigKeyword *k = FindConfigKeyword(keyword);
  return k ? static_cast<int>(k - configKeywords) : -1;
}

// The format and range of a number of an integer or real key, in the words
// the reader's messages use.
bool CheckNumber(const ConfigKeyword &kw, const char *value, double *out, std::string *why) {
  const bool whole = kw.type != CONFIG_REAL;
  double v = 0;
  if (!ParseNumber(value, whole ? WHOLE : DECIMAL, &v)) {
    *why = whole ? "in a wrong format: expected a whole number"
                 : "in a wrong format: expected a decimal number such as 1.5 (no exponent)";
    return false;
  }
  if (!kw.range.Admits(v)) {
    *why = std::string("out of range: expected ") + kw.range.expected;
    return false;
  }
  *out = v;
  return true;
}

}  // namespace

size_t ConfigTextCapacity(const char *keyword) {
  const ConfigKeyword *k = FindConfigKeyword(keyword);
  if (!k || k->type != CONFIG_TEXT) return 0;
  // The writer puts the key, a tab and the text, quoted but for the
  // formula, on one line; the reader refuses longer lines.
  const size_t quotes = k->textForm == TEXT_BARE ? 0 : 2;
  return kTextLength - std::strlen(keyword) - 1 - quotes;
}

bool CheckConfigValue(const char *keyword, const char *text, double *value, std::string *why) {
  const ConfigKeyword *k = FindConfigKeyword(keyword);
  if (!k) {
    *why = "is no key of the control file";
    return false;
  }
  // The reader sees a value from its first non-blank character on.
  const char *v = text;
  while (*v && IsBlank(*v)) ++v;
  switch (k->type) {
    case CONFIG_INTEGER:
    case CONFIG_LONG:
    case CONFIG_REAL: {
      double number = 0;
      if (!CheckNumber(*k, v, &number, why)) return false;
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
      if (k->textForm == TEXT_FILE_NAME && std::strchr(text, '"')) {
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
  switch (kw.type) {
    case CONFIG_INTEGER:
    case CONFIG_LONG:
    case CONFIG_REAL: {
      double v = 0;
      std::string why;
      if (!CheckNumber(kw, value, &v, &why)) {
        ValueError(fileName, lineNumber, kw.name, value, why);
        return 0;
      }
      if (kw.type == CONFIG_REAL)
        config->*kw.real = v;
      else
        config->*kw.integer = static_cast<int32_t>(v);
      return 1;
    }
    case CONFIG_TEXT: {
      std::string text;
      if (kw.textForm == TEXT_FILE_NAME) {
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
      config->*kw.text = text;
      return 1;
    }
    case CONFIG_LIST:
      return kw.list->read(config, Fields(value), EntryLine{fileName, lineNumber, kw.name, value});
  }
  return 0;
}

namespace {

// Checks of values that only make sense together; run once the whole file
// is read, naming the line of the later of the keys involved.
bool CheckPairs(const Config &c, const int *lineOf, const char *fileName) {
  auto line = [&](const char *a, const char *b) {
    return std::max(lineOf[RowOf(a)], lineOf[RowOf(b)]);
  };
  auto real = [&](const char *key) { return c.*FindConfigKeyword(key)->real; };
  const std::pair<const char *, const char *> temperatures[] = {
      {"TRADI_SA_START_T", "TRADI_SA_END_T"},
      {"ADAPT_SA_START_T", "ADAPT_SA_END_T"},
      {"REFINE_TRADI_SA_START_T", "REFINE_TRADI_SA_END_T"},
      {"REFINE_ADAPT_SA_START_T", "REFINE_ADAPT_SA_END_T"},
  };
  for (const auto &[startKey, endKey] : temperatures) {
    const int n = line(startKey, endKey);
    if (n > 0 && !(real(endKey) < real(startKey))) {
      Message(MESSAGE_ERROR,
              "%s:%d: %s: '%f' is not below %s '%f': annealing cools from the start "
              "temperature down to the end temperature\n",
              fileName, n, endKey, real(endKey), startKey, real(startKey));
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
  const int n = std::max(line("CELL_ALPHA", "CELL_BETA"), lineOf[RowOf("CELL_GAMMA")]);
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
    Message(MESSAGE_ERROR, "cannot open file \"%s\": %s\n", fileName, why.c_str());
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
      // Whatever follows the stamp reads as a version, missing numbers as
      // 0: the oldest files have none.
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
    // Keys of no row are ignored, as files of other versions may hold some.
    const int row = RowOf(key);
    if (row < 0) continue;
    if (!SetConfigValue(config, row, value, fileName, lineNumber)) return CONFIG_WRONG_FORMAT;
    lineOf[row] = lineNumber;
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

bool SameHeading(const char *a, const char *b) {
  return a && b ? std::strcmp(a, b) == 0 : a == b;
}

void WriteValue(std::FILE *f, const Config &config, const ConfigKeyword &k) {
  switch (k.type) {
    case CONFIG_INTEGER:
      std::fprintf(f, "%s\t%d\n", k.name, config.*k.integer);
      break;
    case CONFIG_LONG:
      std::fprintf(f, "%s\t%ld\n", k.name, static_cast<long>(config.*k.integer));
      break;
    case CONFIG_REAL:
      std::fprintf(f, "%s\t%f\n", k.name, config.*k.real);
      break;
    case CONFIG_TEXT:
      if (k.textForm == TEXT_BARE)
        std::fprintf(f, "%s\t%s\n", k.name, (config.*k.text).c_str());
      else
        std::fprintf(f, "%s\t\"%s\"\n", k.name, (config.*k.text).c_str());
      break;
    case CONFIG_LIST:
      k.list->write(f, config);
      break;
  }
}

}  // namespace

void WriteConfig(std::FILE *f, const Config *config) {
  std::fprintf(f, "; Input file for Pulvina (kernel version %d.%d.%d)\n\n", kKernelMajor,
               kKernelMinor, kKernelRelease);
  std::fprintf(f, "%s %d.%d.%d\n", configStamp, kKernelMajor, kKernelMinor, kKernelRelease);
  const char *section = nullptr, *group = nullptr;
  const Config defaults;
  for (const ConfigKeyword &k : configKeywords) {
    if (k.onlyWhenSet && (k.integer ? config->*k.integer == defaults.*k.integer
                                    : config->*k.real == defaults.*k.real))
      continue;
    if (!SameHeading(k.section, section)) {
      std::fprintf(f, "\n; %s\n\n", k.section);
      section = k.section;
      group = nullptr;
    }
    if (k.group && !SameHeading(k.group, group)) {
      std::fprintf(f, "\n# %s\n\n", k.group);
      group = k.group;
    }
    WriteValue(f, *config, k);
    if (k.blankAfter) std::fputs("\n", f);
  }
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
