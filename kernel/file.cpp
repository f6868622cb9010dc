#include "file.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>

#include "utils.h"

const char configStamp[] = "QUENDRALITE";

void InitializeConstraints(Constraints *list) { list->clear(); }
void FreeConstraints(Constraints *list) { Constraints().swap(*list); }
void InitializeFixedCoordinates(FixedCoordinates *list) { list->clear(); }
void FreeFixedCoordinates(FixedCoordinates *list) { FixedCoordinates().swap(*list); }

void InitializeConfig(Config *c) {
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

int SetConfigValue(Config *config, int row, const char *value, const char *fileName,
                   int lineNumber) {
  if (row < 0 || row >= kConfigKeywordCount) return 0;
  const ConfigKeyword &kw = configKeywords[row];
  const KeywordBinding &b = kBindings[row];
  switch (kw.type) {
    case CONFIG_INTEGER:
    case CONFIG_LONG: {
      int32_t v = 0;
      if (!IsInteger(value) || !ToInt32(value, &v)) {
        WrongFormatMsg(fileName, kw.name, lineNumber);
        return 0;
      }
      config->*b.integer = v;
      return 1;
    }
    case CONFIG_REAL: {
      if (!IsFloat(value)) {
        WrongFormatMsg(fileName, kw.name, lineNumber);
        return 0;
      }
      config->*b.real = std::strtod(value, nullptr);
      return 1;
    }
    case CONFIG_TEXT: {
      char text[kTextLength + 1];
      if (ExtractStringValue(text, value) == 0)
        Message(MESSAGE_WARNING, "reading file \"%s\", value of \"%s\" is null\n, at line %d\n",
                fileName, kw.name, lineNumber);
      config->*b.text = text;
      return 1;
    }
    default: break;
  }
  if (row == ROW_OXIDATION) {
    // The 64th slot stays empty for good: a further entry is checked and
    // dropped.
    char symbol[kSymbolLength + 1] = "";
    int oxidation = 0;
    if (std::sscanf(value, "%7s %d", symbol, &oxidation) < 2) {
      WrongFormatMsg(fileName, kw.name, lineNumber);
      return 0;
    }
    if (config->oxidation.size() < static_cast<size_t>(kMaxOxidations))
      config->oxidation.push_back(Oxidation{symbol, oxidation});
    return 1;
  }
  if (row == ROW_CONSTRAINT) {
    char name[kTextLength + 1] = "";
    Constraint c;
    if (std::sscanf(value, "%255s %d %c %d %d", name, &c.index, &c.wyckoffLetter, &c.minimum,
                    &c.maximum) < 5) {
      WrongFormatMsg(fileName, kw.name, lineNumber);
      return 0;
    }
    c.name = name;
    config->constraints.insert(config->constraints.begin(), c);
    return 1;
  }
  if (row == ROW_FIXED) {
    char symbol[kSymbolLength + 1] = "";
    FixedCoordinate f;
    if (std::sscanf(value, "%7s %d %d %c %lf %lf %lf %lf %lf %d", symbol, &f.oxidation,
                    &f.multiplicity, &f.wyckoffLetter, &f.x, &f.y, &f.z, &f.B, &f.occupancy,
                    &f.flags) < 10 ||
        !std::isfinite(f.x) || !std::isfinite(f.y) || !std::isfinite(f.z) ||
        !std::isfinite(f.B) || !std::isfinite(f.occupancy)) {
      WrongFormatMsg(fileName, kw.name, lineNumber);
      return 0;
    }
    f.symbol = symbol;
    config->fixedCoordinates.insert(config->fixedCoordinates.begin(), f);
    return 1;
  }
  return 1;
}

int ReadConfigFile(Config *config, const char *fileName) {
  FilePtr file = OpenFile(fileName, "r");
  if (!file) {
    Message(MESSAGE_ERROR, "cant not open file \"%s\"\n", fileName);
    return CONFIG_CANNOT_OPEN;
  }
  char line[kTextLength + 1];
  char key[kTextLength + 1];
  char value[kTextLength + 1];
  int lineNumber = 0;
  bool stamped = false;
  while (std::fgets(line, sizeof line, file.get())) {
    ++lineNumber;
    if (IsCommentLine(line)) continue;
    ParseKeyValue(line, key, value);
    if (!stamped) {
      if (std::strcmp(key, configStamp) != 0) return CONFIG_WRONG_FORMAT;
      int major = 0, minor = 0, release = 0;
      std::sscanf(value, "%d.%d.%d", &major, &minor, &release);
      // Files of an older kernel read on; a newer major version may mean
      // keys this reader would misunderstand.
      if (major > kKernelMajor) return CONFIG_WRONG_VERSION;
      stamped = true;
      continue;
    }
    for (int row = 0; row < kConfigKeywordCount; ++row) {
      if (std::strcmp(key, configKeywords[row].name) != 0) continue;
      if (!SetConfigValue(config, row, value, fileName, lineNumber)) return CONFIG_WRONG_FORMAT;
      break;
    }
  }
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
    Message(MESSAGE_ERROR, "updating file \"%s\", can not open file!\n", fileName);
    return 0;
  }
  WriteConfig(file.get(), config);
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "updating file \"%s\", can not write file!\n", fileName);
    return 0;
  }
  return 1;
}
