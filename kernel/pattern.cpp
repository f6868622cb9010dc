// SPDX-License-Identifier: BSD-3-Clause
#include "pattern.h"

#include <locale.h>
#include <xylib/xylib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string_view>
#include <system_error>

#include "utils.h"

namespace {

using Lines = std::vector<std::string_view>;

// What a reader made of a file: the pattern and the line each point came
// from (0 where the file has no lines).
struct Reading {
  MeasuredPattern pattern;
  std::vector<int> lines;
  void Add(double x, double y, double sigma, int line) {
    pattern.x.push_back(x);
    pattern.y.push_back(y);
    pattern.sigma.push_back(sigma);
    lines.push_back(line);
  }
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Lines without their ends (LF, CR LF or a lone CR at the end).
Lines SplitLines(const std::string &bytes) {
  Lines lines;
  std::string_view rest(bytes);
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return lines;
}

std::vector<std::string_view> Tokens(std::string_view s) {
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    const size_t start = i;
    while (i < s.size() && !IsBlank(s[i])) ++i;
    if (i > start) tokens.push_back(s.substr(start, i - start));
  }
  return tokens;
}

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char &c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

enum class Number { kOk, kNone, kNotFinite };

// A whole token as a decimal number, without the locale (files are written
// with a decimal point everywhere); a leading + is allowed.
Number ParseReal(std::string_view token, double *value) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  if (token.empty() || token.front() == '+') return Number::kNone;
  const char *end = token.data() + token.size();
  const std::from_chars_result r = std::from_chars(token.data(), end, *value);
  if (r.ec == std::errc::result_out_of_range) return Number::kNotFinite;
  if (r.ec != std::errc() || r.ptr != end) return Number::kNone;
  return std::isfinite(*value) ? Number::kOk : Number::kNotFinite;
}

bool ParseInt(std::string_view token, long long *value) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  const char *end = token.data() + token.size();
  const std::from_chars_result r = std::from_chars(token.data(), end, *value);
  return !token.empty() && r.ec == std::errc() && r.ptr == end;
}

std::string At(const std::string &name, int line) {
  return name + ":" + std::to_string(line) + ": ";
}

std::string Quoted(std::string_view s) {
  // Long or binary tokens are cut and masked, so that a message stays a line.
  std::string q;
  for (char c : s.substr(0, 40))
    q += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  if (s.size() > 40) q += "...";
  return "'" + q + "'";
}

std::string NumberProblem(Number n, std::string_view token, const char *what) {
  return std::string(what) + " " + Quoted(token) +
         (n == Number::kNotFinite ? " is not a finite number" : " is not a number");
}

// A control character other than the blanks: the bytes are no text.
bool HasBinary(std::string_view line) {
  return std::any_of(line.begin(), line.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x20 && !IsBlank(c)) || u == 0x7f;
  });
}

double CountSigma(double counts, double counters = 1) {
  return std::sqrt(std::max(counts, 1.0) / counters);
}

// ------------------------------------------------------------ GSAS raw

bool IsBankLine(std::string_view line) {
  line = Trim(line);
  return line.size() > 4 && line.substr(0, 4) == "BANK" && IsBlank(line[4]);
}

// The BANK line of a GSAS file: after the title line, '#' comments and
// blank lines may come before it, and nothing else.
bool FindBankLine(const Lines &lines, size_t *index) {
  for (size_t i = 0; i < lines.size() && i < 100000; ++i) {
    if (IsBankLine(lines[i])) {
      *index = i;
      return true;
    }
    const std::string_view t = Trim(lines[i]);
    if (i == 0 || t.empty() || t.front() == '#') continue;
    return false;
  }
  return false;
}

// A Fortran F field of fixed width: blank is missing; without a decimal
// point the last `decimals` digits are the fraction.
Number ParseFortranReal(std::string_view field, int decimals, double *value) {
  const std::string_view t = Trim(field);
  if (t.empty()) return Number::kNone;
  const Number n = ParseReal(t, value);
  if (n == Number::kOk && decimals > 0 && t.find_first_of(".eEdD") == std::string_view::npos)
    *value /= std::pow(10.0, decimals);
  return n;
}

std::string_view Field(std::string_view line, size_t start, size_t width) {
  if (start >= line.size()) return {};
  return line.substr(start, width);
}

bool ReadGsas(const Lines &lines, size_t bankIndex, const std::string &name, Reading *out,
              std::string *error) {
  const int bankLine = static_cast<int>(bankIndex) + 1;
  const std::vector<std::string_view> t = Tokens(lines[bankIndex]);
  auto fail = [&](int line, const std::string &why) {
    *error = At(name, line) + why;
    return false;
  };
  long long nchan = 0;
  if (t.size() < 5 || !ParseInt(t[2], &nchan))
    return fail(bankLine, "a BANK line needs BANK n nchan nrec bintyp ...: " + Quoted(lines[bankIndex]));
  const std::string bintyp = Upper(t[4]);
  std::string type = "STD";
  if (t.size() > 5 && std::isalpha(static_cast<unsigned char>(t.back().front())))
    type = Upper(t.back());
  if (bintyp != "CONST" && bintyp != "CONS")
    return fail(bankLine, "bin type " + bintyp +
                              ": only constant-step 2theta scans (CONST) are read; this is "
                              "time-of-flight or another binning");
  if (type != "STD" && type != "ESD" && type != "ALT" && type != "FXYE" && type != "FXY")
    return fail(bankLine, "record type " + type + ": STD, ESD, ALT, FXYE and FXY are read");
  // Every point takes at least a byte of the file; a larger count is a slip
  // that must not size the arrays.
  long long available = 0;
  for (size_t i = bankIndex + 1; i < lines.size(); ++i)
    available += static_cast<long long>(lines[i].size()) + 1;
  if (nchan < 1 || nchan > available)
    return fail(bankLine, "nchan " + std::string(t[2]) + ": expected from 1 to the " +
                              std::to_string(available) + " bytes that follow");
  double start = 0, step = 0;
  const bool explicitX = type == "ALT" || type == "FXYE" || type == "FXY";
  if (!explicitX) {
    if (t.size() < 7 || ParseReal(t[5], &start) != Number::kOk ||
        ParseReal(t[6], &step) != Number::kOk)
      return fail(bankLine, "a CONST bank needs its first angle and step (centidegrees) after "
                            "the bin type");
    if (!(step > 0))
      return fail(bankLine, "step " + std::string(t[6]) +
                                " centidegrees: expected a step above 0");
  }
  out->pattern.format = type == "FXYE" || type == "FXY" ? type : "GSAS raw (" + type + ")";
  const size_t n = static_cast<size_t>(nchan);
  out->pattern.x.reserve(n);
  out->pattern.y.reserve(n);
  out->pattern.sigma.reserve(n);
  out->lines.reserve(n);
  size_t i = bankIndex + 1;
  for (; i < lines.size() && out->pattern.x.size() < n; ++i) {
    const int number = static_cast<int>(i) + 1;
    const std::string_view line = lines[i];
    if (HasBinary(line)) return fail(number, "binary data (a control character): not a GSAS file");
    if (IsBankLine(line)) break;
    const size_t done = out->pattern.x.size();
    const size_t left = n - done;
    if (type == "FXYE" || type == "FXY") {
      const std::string_view trimmed = Trim(line);
      if (trimmed.empty() || trimmed.front() == '#') continue;
      const std::vector<std::string_view> v = Tokens(trimmed);
      const size_t want = type == "FXYE" ? 3 : 2;
      if (v.size() != want)
        return fail(number, std::to_string(v.size()) + " columns: " + type + " has " +
                                std::to_string(want) + " (2theta in centidegrees, intensity" +
                                (want == 3 ? ", sigma)" : ")"));
      double value[3] = {0, 0, 0};
      static const char *const kWhat[] = {"2theta", "intensity", "sigma"};
      for (size_t c = 0; c < want; ++c) {
        const Number r = ParseReal(v[c], &value[c]);
        if (r != Number::kOk) return fail(number, NumberProblem(r, v[c], kWhat[c]));
      }
      out->Add(value[0] / 100.0, value[1], want == 3 ? value[2] : CountSigma(value[1]), number);
      continue;
    }
    // Fixed columns: a blank record is no record of zeros but a hole.
    if (Trim(line).empty()) return fail(number, "a blank record: expected the data of the bank");
    if (type == "STD") {
      // 10 fields of 8 characters: a counter count in 2 (blank means 1),
      // the counts in 6.
      for (size_t f = 0; f < 10 && f < left; ++f) {
        const std::string_view counters = Trim(Field(line, 8 * f, 2));
        const std::string_view countText = Field(line, 8 * f + 2, 6);
        double counts = 0;
        const Number r = ParseFortranReal(countText, 0, &counts);
        const std::string where = "point " + std::to_string(done + f + 1) + " (columns " +
                                  std::to_string(8 * f + 1) + "-" + std::to_string(8 * f + 8) +
                                  "): ";
        if (r == Number::kNone && Trim(countText).empty())
          return fail(number, where + "no counts: expected " + std::to_string(left - f) +
                                  " more points of the bank");
        if (r != Number::kOk)
          return fail(number, where + NumberProblem(r, Trim(countText), "counts"));
        long long nc = 0;
        if (!counters.empty() && !ParseInt(counters, &nc))
          return fail(number, where + "counters " + Quoted(counters) + " is not a whole number");
        if (nc < 0) return fail(number, where + "counters " + Quoted(counters) + " is negative");
        out->Add((start + step * static_cast<double>(done + f)) / 100.0, counts,
                 CountSigma(counts, nc == 0 ? 1.0 : static_cast<double>(nc)), number);
      }
    } else if (type == "ESD") {
      // 5 pairs of fields of 8 characters: intensity and its sigma.
      for (size_t f = 0; f < 5 && f < left; ++f) {
        double value[2];
        for (size_t c = 0; c < 2; ++c) {
          const std::string_view text = Field(line, 16 * f + 8 * c, 8);
          const Number r = ParseFortranReal(text, 0, &value[c]);
          const std::string where = "point " + std::to_string(done + f + 1) + " (columns " +
                                    std::to_string(16 * f + 8 * c + 1) + "-" +
                                    std::to_string(16 * f + 8 * c + 8) + "): ";
          if (r == Number::kNone && Trim(text).empty())
            return fail(number, where + (c == 0 ? "no intensity" : "no sigma") +
                                    ": expected " + std::to_string(left - f) +
                                    " more points of the bank");
          if (r != Number::kOk)
            return fail(number,
                        where + NumberProblem(r, Trim(text), c == 0 ? "intensity" : "sigma"));
        }
        out->Add((start + step * static_cast<double>(done + f)) / 100.0, value[0], value[1],
                 number);
      }
    } else {
      // ALT: 4 points of 20 characters, 2theta (centidegrees) F8.0,
      // intensity F7.4 and sigma F5.4.
      static const size_t kStart[] = {0, 8, 15}, kWidth[] = {8, 7, 5};
      static const int kDecimals[] = {0, 4, 4};
      static const char *const kWhat[] = {"2theta", "intensity", "sigma"};
      for (size_t f = 0; f < 4 && f < left; ++f) {
        double value[3];
        for (size_t c = 0; c < 3; ++c) {
          const std::string_view text = Field(line, 20 * f + kStart[c], kWidth[c]);
          const Number r = ParseFortranReal(text, kDecimals[c], &value[c]);
          const std::string where = "point " + std::to_string(done + f + 1) + ": ";
          if (r == Number::kNone && Trim(text).empty())
            return fail(number, where + "no " + kWhat[c] + ": expected " +
                                    std::to_string(left - f) + " more points of the bank");
          if (r != Number::kOk)
            return fail(number, where + NumberProblem(r, Trim(text), kWhat[c]));
        }
        out->Add(value[0] / 100.0, value[1], value[2], number);
      }
    }
  }
  if (out->pattern.x.size() < n) {
    *error = At(name, bankLine) + "the BANK line promises " + std::to_string(n) +
             " points, the bank holds " + std::to_string(out->pattern.x.size());
    return false;
  }
  // Free columns say where they end; more points than promised means the
  // count or the data are wrong.
  if (type == "FXYE" || type == "FXY")
    for (; i < lines.size() && !IsBankLine(lines[i]); ++i) {
      const std::string_view trimmed = Trim(lines[i]);
      if (!trimmed.empty() && trimmed.front() != '#')
        return fail(static_cast<int>(i) + 1, "more points than the " + std::to_string(n) +
                                                 " the BANK line (line " +
                                                 std::to_string(bankLine) + ") promises");
    }
  return true;
}

// ------------------------------------------------------------ plain text

// Columns 2theta, intensity and, when there, sigma; '#', '!' and ';' start
// comments, and lines of text before the first number are a header. Every
// data line has the columns of the first.
bool ReadPlainText(const Lines &lines, const std::string &name, Reading *out, std::string *error) {
  size_t columns = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const int number = static_cast<int>(i) + 1;
    if (HasBinary(lines[i])) {
      *error = At(name, number) + "binary data (a control character): not a text pattern";
      return false;
    }
    const std::string_view t = Trim(lines[i]);
    if (t.empty() || t.front() == '#' || t.front() == '!' || t.front() == ';') continue;
    const std::vector<std::string_view> v = Tokens(t);
    const char first = v[0].front();
    const bool numeric = std::isdigit(static_cast<unsigned char>(first)) || first == '-' ||
                         first == '+' || first == '.';
    if (columns == 0 && !numeric) continue;
    if (columns == 0) {
      if (v.size() < 2 || v.size() > 3) {
        *error = At(name, number) + std::to_string(v.size()) +
                 " columns: expected 2theta, intensity and optionally sigma";
        return false;
      }
      columns = v.size();
      out->pattern.format = columns == 3 ? "xye" : "xy";
    } else if (v.size() != columns) {
      *error = At(name, number) + std::to_string(v.size()) + " columns where the data have " +
               std::to_string(columns);
      return false;
    }
    double value[3] = {0, 0, 0};
    static const char *const kWhat[] = {"2theta", "intensity", "sigma"};
    for (size_t c = 0; c < columns; ++c) {
      const Number r = ParseReal(v[c], &value[c]);
      if (r != Number::kOk) {
        *error = At(name, number) + NumberProblem(r, v[c], kWhat[c]);
        return false;
      }
    }
    out->Add(value[0], value[1], columns == 3 ? value[2] : CountSigma(value[1]), number);
  }
  return true;
}

// ------------------------------------------------------------ xylib

// xylib parses numbers with the C library, which follows the locale a
// toolkit may have set (a decimal comma); the reading thread alone is put
// on the C locale for the call.
class CNumericLocale {
 public:
  CNumericLocale() : c_(newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr))) {
    if (c_) old_ = uselocale(c_);
  }
  ~CNumericLocale() {
    if (!c_) return;
    uselocale(old_);
    freelocale(c_);
  }
  CNumericLocale(const CNumericLocale &) = delete;
  CNumericLocale &operator=(const CNumericLocale &) = delete;

 private:
  locale_t c_;
  locale_t old_ = LC_GLOBAL_LOCALE;
};

bool IsSigmaColumn(const std::string &columnName) {
  const std::string u = Upper(columnName);
  for (const char *key : {"SIGMA", "ESD", "_SU", "ERROR", "UNCERT"})
    if (u.find(key) != std::string::npos) return true;
  return false;
}

// 0: read; 1: xylib takes the bytes for plain text; 2: failed (*error).
int ReadWithXylib(const std::string &bytes, const std::string &name, Reading *out,
                  std::string *error) {
  CNumericLocale c;
  try {
    std::istringstream in(bytes);
    std::string details;
    const xylib::FormatInfo *fi = xylib::guess_filetype(name, in, &details);
    if (!fi || std::string(fi->name) == "text") return 1;
    std::unique_ptr<xylib::DataSet> data(xylib::load_string(bytes, fi->name));
    const std::string format = fi->name;
    if (!data || data->get_block_count() < 1) {
      *error = name + ": read as " + format + ": no data";
      return 2;
    }
    const xylib::Block *block = data->get_block(0);
    const int points = block->get_point_count();
    if (block->get_column_count() < 2 || points < 0) {
      *error = name + ": read as " + format + ": no columns of x and y";
      return 2;
    }
    int sigmaColumn = 0;
    for (int k = 3; k <= block->get_column_count() && !sigmaColumn; ++k)
      if (IsSigmaColumn(block->get_column(k).get_name())) sigmaColumn = k;
    const xylib::Column &x = block->get_column(1), &y = block->get_column(2);
    out->pattern.format = format;
    out->pattern.x.reserve(static_cast<size_t>(points));
    for (int i = 0; i < points; ++i) {
      const double yi = y.get_value(i);
      out->Add(x.get_value(i), yi,
               sigmaColumn ? block->get_column(sigmaColumn).get_value(i) : CountSigma(yi), 0);
    }
    return 0;
  } catch (const std::exception &e) {
    *error = name + ": " + std::string(Trim(e.what()));
  } catch (...) {
    *error = name + ": not a pattern format xylib reads";
  }
  return 2;
}

// Extensions of layouts that only xylib reads; their files go there first.
bool IsXylibExtension(const std::string &ext) {
  static const char *const kExtensions[] = {"uxd", "raw", "udf", "rd",  "sd",   "cpi", "cif",
                                            "vms", "xrdml", "dbw", "rit", "neu", "spc", "spe",
                                            "mca", "cnf", "xdd", "chi", "xsyg", "csv", "tsv",
                                            "tab"};
  return std::find(std::begin(kExtensions), std::end(kExtensions), ext) != std::end(kExtensions);
}

std::string Extension(const std::string &name) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = name.substr(dot + 1);
  for (char &ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return ext;
}

bool Choose(const std::string &bytes, const std::string &name, Reading *out, std::string *error) {
  if (Trim(bytes).empty()) {
    *error = name + ": no data: the file is empty";
    return false;
  }
  const Lines lines = SplitLines(bytes);
  size_t bank = 0;
  if (FindBankLine(lines, &bank)) return ReadGsas(lines, bank, name, out, error);
  const std::string ext = Extension(name);
  if (!IsXylibExtension(ext)) {
    std::string textError;
    if (ReadPlainText(lines, name, out, &textError) && !out->pattern.x.empty()) return true;
    if (textError.empty()) textError = name + ": no data: no line of 2theta and intensity";
    *out = Reading();
    // A file of a text extension keeps the reason of its line: xylib would
    // read what it can of it without a word. Others may still be a layout
    // xylib knows.
    static const char *const kText[] = {"xy", "xye", "txt", "asc", "qxy"};
    if (std::find(std::begin(kText), std::end(kText), ext) != std::end(kText)) {
      *error = textError;
      return false;
    }
    const int r = ReadWithXylib(bytes, name, out, error);
    if (r == 0) return true;
    if (r == 1) {
      *out = Reading();
      *error = textError;
    }
    return false;
  }
  const int r = ReadWithXylib(bytes, name, out, error);
  if (r != 1) return r == 0;
  *out = Reading();
  if (ReadPlainText(lines, name, out, error) && !out->pattern.x.empty()) return true;
  if (error->empty()) *error = name + ": no data: no line of 2theta and intensity";
  return false;
}

}  // namespace

bool CheckMeasuredPattern(const MeasuredPattern &p, const std::string &name,
                          const std::vector<int> &lines, std::string *error) {
  const size_t n = p.x.size();
  if (p.y.size() != n || p.sigma.size() != n) {
    *error = name + ": the columns of the pattern differ in length";
    return false;
  }
  if (n == 0) {
    *error = name + ": no data: no points of 2theta and intensity";
    return false;
  }
  if (n < kMinPatternPoints) {
    *error = name + ": only " + std::to_string(n) + " points: a pattern needs at least " +
             std::to_string(kMinPatternPoints);
    return false;
  }
  auto where = [&](size_t i) {
    if (i < lines.size() && lines[i] > 0) return At(name, lines[i]);
    return name + ": point " + std::to_string(i + 1) + ": ";
  };
  char text[160];
  for (size_t i = 0; i < n; ++i) {
    const double x = p.x[i], y = p.y[i], s = p.sigma[i];
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(s)) {
      std::snprintf(text, sizeof text, "%s %g is not a finite number",
                    !std::isfinite(x) ? "2theta" : !std::isfinite(y) ? "intensity" : "sigma",
                    !std::isfinite(x) ? x : !std::isfinite(y) ? y : s);
    } else if (!(x > 0 && x < 180)) {
      std::snprintf(text, sizeof text, "2theta %g degrees: outside 0 to 180 degrees", x);
    } else if (i > 0 && x == p.x[i - 1]) {
      std::snprintf(text, sizeof text, "2theta %g repeats the point before", x);
    } else if (i > 0 && x < p.x[i - 1]) {
      std::snprintf(text, sizeof text,
                    "2theta %g after %g: 2theta must increase from point to point", x,
                    p.x[i - 1]);
    } else if (s < 0) {
      std::snprintf(text, sizeof text, "sigma %g is negative", s);
    } else if (s == 0) {
      std::snprintf(text, sizeof text,
                    "sigma 0: every point needs an uncertainty above 0 to be weighed");
    } else {
      continue;
    }
    *error = where(i) + text;
    return false;
  }
  return true;
}

bool ReadMeasuredPatternBytes(const std::string &bytes, const std::string &name,
                              MeasuredPattern *pattern, std::string *error) {
  *pattern = MeasuredPattern();
  error->clear();
  Reading reading;
  bool ok = false;
  try {
    ok = Choose(bytes, name, &reading, error) &&
         CheckMeasuredPattern(reading.pattern, name, reading.lines, error);
  } catch (const std::bad_alloc &) {
    *error = name + ": not enough memory to read the pattern";
    ok = false;
  }
  if (ok) *pattern = std::move(reading.pattern);
  return ok;
}

bool ReadMeasuredPattern(const std::string &path, MeasuredPattern *pattern, std::string *error) {
  *pattern = MeasuredPattern();
  std::string why;
  FilePtr file = OpenInputFile(path, kMaxPatternFileBytes, &why);
  if (!file) {
    *error = path + ": cannot open the file (" + why + ")";
    return false;
  }
  std::string bytes;
  char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (static_cast<long long>(bytes.size() + got) > kMaxPatternFileBytes) {
      *error = path + ": more than " + std::to_string(kMaxPatternFileBytes) +
               " bytes: not a pattern file";
      return false;
    }
    bytes.append(buffer, got);
  }
  if (std::ferror(file.get())) {
    *error = path + ": the file could not be read to its end";
    return false;
  }
  return ReadMeasuredPatternBytes(bytes, path, pattern, error);
}
