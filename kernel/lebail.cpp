// SPDX-License-Identifier: BSD-3-Clause
#include "lebail.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit_nlinear.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>

#include "utils.h"

PatternLines JobPatternLines(const Config &config) {
  PatternLines lines;
  if (config.radiation == 1) {
    lines.lambda1 = config.lambdaNeutron;
  } else if (config.radiation == 2) {
    lines.lambda1 = config.lambdaElectron;
  } else {
    lines.lambda1 = config.lambdaXray1;
    if (config.doublets && config.i2i1 > 0) {
      lines.lambda2 = config.lambdaXray2;
      lines.ratio = config.i2i1;
    }
  }
  return lines;
}

double JobPeakWindow(const Config &config) {
  if (config.radiation == 1) return 15;
  if (config.radiation == 0 && !config.doublets) return 25;
  return 20;
}

bool PeakCentre(const PatternModel &model, double lambda, double d, double *twoTheta) {
  const double s = lambda / (2 * d);
  if (!(s > 0 && s < 1)) return false;
  const double theta = std::asin(s);
  *twoTheta = 2 * theta * 180 / M_PI + model.zero + model.displacement * std::cos(theta);
  return true;
}

void SpacingProfile(const PatternModel &model, const PatternLines &lines, double window, double d,
                    const double *x, size_t n, size_t *lo, std::vector<double> *values) {
  values->clear();
  *lo = 0;
  double centre[2];
  PeakAt at[2];
  size_t from[2] = {0, 0}, to[2] = {0, 0};
  const double lambda[2] = {lines.lambda1, lines.lambda2};
  const int count = lines.ratio > 0 ? 2 : 1;
  size_t first = n, last = 0;
  for (int k = 0; k < count; ++k) {
    if (!PeakCentre(model, lambda[k], d, &centre[k])) continue;
    at[k] = ShapeAt(model.shape, centre[k]);
    const double reach = window * at[k].fwhm;
    from[k] = static_cast<size_t>(std::lower_bound(x, x + n, centre[k] - reach) - x);
    to[k] = static_cast<size_t>(std::upper_bound(x, x + n, centre[k] + reach) - x);
    if (from[k] < to[k]) {
      first = std::min(first, from[k]);
      last = std::max(last, to[k]);
    }
  }
  if (first >= last) return;
  *lo = first;
  values->assign(last - first, 0.0);
  for (int k = 0; k < count; ++k) {
    const double share = k == 0 ? 1 : lines.ratio;
    for (size_t i = from[k]; i < to[k]; ++i)
      (*values)[i - first] += share * PeakValue(at[k], x[i] - centre[k]);
  }
}

namespace {

// Spacing of h k l from a reciprocal metric.
double Spacing(const double g[3][3], int h, int k, int l) {
  const double q = h * h * g[0][0] + k * k * g[1][1] + l * l * g[2][2] + 2 * h * k * g[0][1] +
                   2 * h * l * g[0][2] + 2 * k * l * g[1][2];
  return q > 0 ? 1 / std::sqrt(q) : 0;
}

bool CellMetric(const double cell[6], double g[3][3]) {
  Crystal c;
  c.a = cell[0];
  c.b = cell[1];
  c.c = cell[2];
  c.alpha = cell[3];
  c.beta = cell[4];
  c.gamma = cell[5];
  return ReciprocalMetric(c, g);
}

}  // namespace

void CalculatePattern(const PatternModel &model, const PatternLines &lines, double window,
                      const std::vector<PatternPeak> &peaks, const std::vector<double> &x,
                      std::vector<double> *y) {
  y->assign(x.size(), 0.0);
  for (size_t i = 0; i < x.size(); ++i) (*y)[i] = BackgroundAt(model.background, x[i]);
  std::vector<double> values;
  for (const PatternPeak &p : peaks) {
    size_t lo = 0;
    SpacingProfile(model, lines, window, p.d, x.data(), x.size(), &lo, &values);
    for (size_t j = 0; j < values.size(); ++j) (*y)[lo + j] += p.area * values[j];
  }
}

namespace {

// The refined quantities, in one vector: the cell, zero and displacement,
// the shape, then the background's Chebyshev terms and its 1/2theta term.
enum Parameter {
  PARAM_A = 0,
  PARAM_B,
  PARAM_C,
  PARAM_ALPHA,
  PARAM_BETA,
  PARAM_GAMMA,
  PARAM_ZERO,
  PARAM_DISPLACEMENT,
  PARAM_U,
  PARAM_V,
  PARAM_W,
  PARAM_X,
  PARAM_Y,
  PARAM_P1,
  PARAM_P2,
  PARAM_P3,
  PARAM_P4,
  PARAM_BACKGROUND
};

// The metric a crystal family allows the cell: what is refined, and what
// follows from it.
enum CellFamily {
  FAMILY_TRICLINIC,
  FAMILY_MONOCLINIC_A,
  FAMILY_MONOCLINIC_B,
  FAMILY_MONOCLINIC_C,
  FAMILY_ORTHORHOMBIC,
  FAMILY_TETRAGONAL,
  FAMILY_HEXAGONAL,
  FAMILY_RHOMBOHEDRAL,
  FAMILY_CUBIC
};

CellFamily FamilyOf(const Crystal &crystal) {
  const int n = crystal.spaceGroup.number;
  auto right = [](double angle) { return std::fabs(angle - 90) < 1e-6; };
  if (n >= 195) return FAMILY_CUBIC;
  if (n >= 168) return FAMILY_HEXAGONAL;
  if (n >= 143)
    return !right(crystal.alpha) && std::fabs(crystal.alpha - crystal.beta) < 1e-6 &&
                   std::fabs(crystal.alpha - crystal.gamma) < 1e-6
               ? FAMILY_RHOMBOHEDRAL
               : FAMILY_HEXAGONAL;
  if (n >= 75) return FAMILY_TETRAGONAL;
  if (n >= 16) return FAMILY_ORTHORHOMBIC;
  if (n >= 3) {
    if (!right(crystal.alpha)) return FAMILY_MONOCLINIC_A;
    if (!right(crystal.gamma)) return FAMILY_MONOCLINIC_C;
    if (!right(crystal.beta)) return FAMILY_MONOCLINIC_B;
    // A right-angled start: the setting's symbol names the unique axis
    // ("P 1 1 21/n" is c), b when it has none.
    const std::string &s = crystal.spaceGroup.settingSymbol;
    std::vector<std::string> parts;
    size_t at = 0;
    while (at < s.size()) {
      size_t end = s.find(' ', at);
      if (end == std::string::npos) end = s.size();
      if (end > at) parts.push_back(s.substr(at, end - at));
      at = end + 1;
    }
    if (parts.size() >= 4) {
      if (parts[1] != "1") return FAMILY_MONOCLINIC_A;
      if (parts[3] != "1") return FAMILY_MONOCLINIC_C;
    }
    return FAMILY_MONOCLINIC_B;
  }
  return FAMILY_TRICLINIC;
}

std::vector<int> CellParameters(CellFamily family) {
  switch (family) {
    case FAMILY_CUBIC: return {PARAM_A};
    case FAMILY_TETRAGONAL:
    case FAMILY_HEXAGONAL: return {PARAM_A, PARAM_C};
    case FAMILY_RHOMBOHEDRAL: return {PARAM_A, PARAM_ALPHA};
    case FAMILY_ORTHORHOMBIC: return {PARAM_A, PARAM_B, PARAM_C};
    case FAMILY_MONOCLINIC_A: return {PARAM_A, PARAM_B, PARAM_C, PARAM_ALPHA};
    case FAMILY_MONOCLINIC_B: return {PARAM_A, PARAM_B, PARAM_C, PARAM_BETA};
    case FAMILY_MONOCLINIC_C: return {PARAM_A, PARAM_B, PARAM_C, PARAM_GAMMA};
    case FAMILY_TRICLINIC: break;
  }
  return {PARAM_A, PARAM_B, PARAM_C, PARAM_ALPHA, PARAM_BETA, PARAM_GAMMA};
}

void TieCell(CellFamily family, double *p) {
  switch (family) {
    case FAMILY_CUBIC: p[PARAM_B] = p[PARAM_C] = p[PARAM_A]; break;
    case FAMILY_TETRAGONAL:
    case FAMILY_HEXAGONAL: p[PARAM_B] = p[PARAM_A]; break;
    case FAMILY_RHOMBOHEDRAL:
      p[PARAM_B] = p[PARAM_C] = p[PARAM_A];
      p[PARAM_BETA] = p[PARAM_GAMMA] = p[PARAM_ALPHA];
      break;
    default: break;
  }
}

// Small dense least squares by the normal equations, enough for a
// background of a dozen terms: solves (A^T A) c = A^T b, A row-major m x k.
bool SolveLeastSquares(const std::vector<double> &A, const std::vector<double> &b, size_t k,
                       std::vector<double> *c) {
  const size_t m = b.size();
  std::vector<double> N(k * (k + 1), 0.0);
  for (size_t r = 0; r < m; ++r)
    for (size_t i = 0; i < k; ++i) {
      for (size_t j = 0; j < k; ++j) N[i * (k + 1) + j] += A[r * k + i] * A[r * k + j];
      N[i * (k + 1) + k] += A[r * k + i] * b[r];
    }
  for (size_t col = 0; col < k; ++col) {
    size_t pivot = col;
    for (size_t r = col + 1; r < k; ++r)
      if (std::fabs(N[r * (k + 1) + col]) > std::fabs(N[pivot * (k + 1) + col])) pivot = r;
    if (!(std::fabs(N[pivot * (k + 1) + col]) > 0)) return false;
    for (size_t j = 0; j <= k; ++j) std::swap(N[col * (k + 1) + j], N[pivot * (k + 1) + j]);
    for (size_t r = 0; r < k; ++r) {
      if (r == col) continue;
      const double f = N[r * (k + 1) + col] / N[col * (k + 1) + col];
      for (size_t j = col; j <= k; ++j) N[r * (k + 1) + j] -= f * N[col * (k + 1) + j];
    }
  }
  c->resize(k);
  for (size_t i = 0; i < k; ++i) (*c)[i] = N[i * (k + 1) + k] / N[i * (k + 1) + i];
  return true;
}

class Fit {
 public:
  // The data, the reflections and the starting model.
  bool Prepare(const Job &job, const MeasuredPattern &pattern, const LeBailSettings &settings,
               std::string *error);
  // The whole schedule; false only when the least squares failed.
  bool Run(const LeBailProgress &progress, const std::atomic<bool> *stop, std::string *error);
  void Result(LeBailResult *result) const;

 private:
  struct Group {
    std::vector<size_t> members;  // into reflections_
  };

  PatternModel ModelOf(const double *p) const;
  // Peaks only, with the intensities as they are.
  void Peaks(const double *p, std::vector<double> *y) const;
  void BackgroundValues(const double *p, std::vector<double> *b) const;
  void Partition(int cycles, bool floor, const LeBailProgress &progress,
                 const std::atomic<bool> *stop);
  bool LeastSquares(const std::vector<int> &active, int iterations, const LeBailProgress &progress,
                    const std::atomic<bool> *stop, std::string *error);
  double WeightedR(const double *p) const;
  bool Stopped(const std::atomic<bool> *stop) const { return stop && stop->load(); }
  // Hands the fit as it stands to the snapshot callback when its time has come.
  void Snapshot();

  static int Residuals(const gsl_vector *v, void *self, gsl_vector *f);
  static int Jacobian(const gsl_vector *v, void *self, gsl_matrix *J);
  void Expand(const gsl_vector *v, std::vector<double> *p) const;

  PatternLines lines_;
  double window_ = 20;
  bool neutron_ = false, displacement_ = false;
  int finalCycles_ = 30;
  CellFamily family_ = FAMILY_TRICLINIC;
  std::vector<double> x_, y_, sigma_, root_;  // root_ = 1 / sigma
  size_t terms_ = 0;                          // background terms with the 1/2theta one
  std::vector<double> basis_;                 // points x terms_
  std::vector<Reflection> reflections_;
  std::vector<Group> groups_;
  std::vector<double> intensity_;  // per group
  std::vector<double> p_;          // every parameter
  std::vector<int> active_;        // of the least squares running
  Background backgroundShape_;     // range and term count
  int cycles_ = 0;
  bool stopped_ = false;
  std::function<void(const LeBailResult &)> snapshot_;
  double snapshotSeconds_ = 0;
  std::chrono::steady_clock::time_point lastSnapshot_{};
  mutable std::vector<double> scratch_, trial_;
};

void Fit::Snapshot() {
  if (!snapshot_) return;
  const auto now = std::chrono::steady_clock::now();
  if (lastSnapshot_ != std::chrono::steady_clock::time_point{} &&
      std::chrono::duration<double>(now - lastSnapshot_).count() < snapshotSeconds_)
    return;
  lastSnapshot_ = now;
  LeBailResult state;
  Result(&state);
  snapshot_(state);
}

PatternModel Fit::ModelOf(const double *p) const {
  PatternModel m;
  for (int i = 0; i < 6; ++i) m.cell[i] = p[i];
  m.zero = p[PARAM_ZERO];
  m.displacement = p[PARAM_DISPLACEMENT];
  m.shape.U = p[PARAM_U];
  m.shape.V = p[PARAM_V];
  m.shape.W = p[PARAM_W];
  m.shape.X = p[PARAM_X];
  m.shape.Y = p[PARAM_Y];
  for (int i = 0; i < 4; ++i) m.shape.P[i] = p[PARAM_P1 + i];
  m.background = backgroundShape_;
  m.background.chebyshev.assign(p + PARAM_BACKGROUND, p + PARAM_BACKGROUND + terms_ - 1);
  m.background.inverse = p[PARAM_BACKGROUND + terms_ - 1];
  return m;
}

void Fit::Peaks(const double *p, std::vector<double> *y) const {
  y->assign(x_.size(), 0.0);
  const PatternModel m = ModelOf(p);
  double g[3][3];
  if (!CellMetric(m.cell, g)) return;
  std::vector<double> &values = scratch_;
  for (size_t k = 0; k < groups_.size(); ++k) {
    if (intensity_[k] == 0) continue;
    const Reflection &r = reflections_[groups_[k].members.front()];
    size_t lo = 0;
    SpacingProfile(m, lines_, window_, Spacing(g, r.h, r.k, r.l), x_.data(), x_.size(), &lo,
                   &values);
    const double I = intensity_[k];
    for (size_t j = 0; j < values.size(); ++j) (*y)[lo + j] += I * values[j];
  }
}

void Fit::BackgroundValues(const double *p, std::vector<double> *b) const {
  b->assign(x_.size(), 0.0);
  for (size_t i = 0; i < x_.size(); ++i) {
    const double *row = &basis_[i * terms_];
    double v = 0;
    for (size_t j = 0; j < terms_; ++j) v += row[j] * p[PARAM_BACKGROUND + j];
    (*b)[i] = v;
  }
}

double Fit::WeightedR(const double *p) const {
  std::vector<double> peaks, back;
  Peaks(p, &peaks);
  BackgroundValues(p, &back);
  double num = 0, den = 0;
  for (size_t i = 0; i < x_.size(); ++i) {
    const double w = root_[i] * root_[i];
    const double r = y_[i] - back[i] - peaks[i];
    num += w * r * r;
    den += w * y_[i] * y_[i];
  }
  return den > 0 ? std::sqrt(num / den) : 0;
}

bool Fit::Prepare(const Job &job, const MeasuredPattern &pattern, const LeBailSettings &settings,
                  std::string *error) {
  const Config &config = job.config;
  lines_ = JobPatternLines(config);
  neutron_ = config.radiation == 1;
  displacement_ = settings.refineDisplacement;
  finalCycles_ = settings.finalCycles;
  snapshot_ = settings.snapshot;
  snapshotSeconds_ = settings.snapshotSeconds;
  window_ = settings.window > 0 ? settings.window : JobPeakWindow(config);
  const double start = config.startAngle, end = config.endAngle;
  for (size_t i = 0; i < pattern.x.size(); ++i)
    if (pattern.x[i] >= start && pattern.x[i] <= end) {
      x_.push_back(pattern.x[i]);
      y_.push_back(pattern.y[i]);
      sigma_.push_back(pattern.sigma[i]);
      root_.push_back(1 / pattern.sigma[i]);
    }
  char text[256];
  if (x_.size() < 20) {
    std::snprintf(text, sizeof text,
                  "%zu points of the pattern (%g to %g degrees) lie within the job's range %g to "
                  "%g degrees; the fit needs at least 20",
                  x_.size(), pattern.x.empty() ? 0.0 : pattern.x.front(),
                  pattern.x.empty() ? 0.0 : pattern.x.back(), start, end);
    *error = text;
    return false;
  }
  // Reflections a little outside the range still take their share of the
  // counts at its edges.
  const double margin = 2;
  if (!Reflections(job.crystal, lines_.lambda1, std::max(start - margin, 0.01),
                   std::min(end + margin, 179.9), &reflections_, error))
    return false;
  if (reflections_.empty()) {
    std::snprintf(text, sizeof text, "the cell has no reflection between %g and %g degrees", start,
                  end);
    *error = text;
    return false;
  }
  // Reflections of one spacing (210 and 120 of a hexagonal cell, 330 and 411
  // of a cubic one) stay of one spacing whatever the cell: one intensity.
  for (size_t i = 0; i < reflections_.size(); ++i) {
    bool joined = false;
    for (size_t k = groups_.size(); k-- > 0;) {
      const Reflection &r = reflections_[groups_[k].members.front()];
      if (std::fabs(r.d - reflections_[i].d) > 1e-7 * r.d) {
        if (r.twoTheta < reflections_[i].twoTheta - 1) break;
        continue;
      }
      groups_[k].members.push_back(i);
      joined = true;
      break;
    }
    if (!joined) groups_.push_back({{i}});
  }
  intensity_.assign(groups_.size(), 1.0);

  family_ = FamilyOf(job.crystal);
  const Crystal &c = job.crystal;
  const double cell[6] = {c.a, c.b, c.c, c.alpha, c.beta, c.gamma};
  p_.assign(PARAM_BACKGROUND, 0.0);
  for (int i = 0; i < 6; ++i) p_[static_cast<size_t>(i)] = cell[i];

  // Background: Chebyshev terms over the fitted range, plus 1/2theta.
  const size_t chebyshev = settings.backgroundTerms > 0
                               ? static_cast<size_t>(std::max(settings.backgroundTerms, 1))
                               : (x_.size() > 20000 ? 12 : 10);
  terms_ = chebyshev + 1;
  backgroundShape_.chebyshev.assign(chebyshev, 0.0);
  backgroundShape_.start = x_.front();
  backgroundShape_.end = x_.back();
  basis_.resize(x_.size() * terms_);
  for (size_t i = 0; i < x_.size(); ++i)
    BackgroundTerms(backgroundShape_, x_[i], &basis_[i * terms_]);
  // Its start: the low counts (a fifth of the way up) of 60 slices, which
  // lie between the peaks of all but the densest patterns.
  const size_t slices = std::min<size_t>(60, x_.size() / 4);
  std::vector<double> A, b, row(terms_), part;
  for (size_t s = 0; s < slices; ++s) {
    const size_t from = s * x_.size() / slices, to = (s + 1) * x_.size() / slices;
    part.assign(y_.begin() + static_cast<long>(from), y_.begin() + static_cast<long>(to));
    std::sort(part.begin(), part.end());
    const double low = part[part.size() / 5];
    BackgroundTerms(backgroundShape_, 0.5 * (x_[from] + x_[to - 1]), row.data());
    A.insert(A.end(), row.begin(), row.end());
    b.push_back(low);
  }
  std::vector<double> coefficients;
  // With fewer slices than terms, a level background.
  size_t fitted = std::min(terms_ - 1, std::max<size_t>(slices / 3, 1));
  std::vector<double> Afit;
  for (size_t s = 0; s < slices; ++s)
    Afit.insert(Afit.end(), A.begin() + static_cast<long>(s * terms_),
                A.begin() + static_cast<long>(s * terms_ + fitted));
  if (!SolveLeastSquares(Afit, b, fitted, &coefficients)) coefficients.assign(fitted, 0.0);
  p_.resize(PARAM_BACKGROUND + terms_, 0.0);
  for (size_t j = 0; j < fitted; ++j) p_[PARAM_BACKGROUND + j] = coefficients[j];

  // The peak width from the strongest peak above that background, the same
  // at every angle; the stages then find its angle dependence. The start is
  // nearly Gaussian: from a Lorentzian start the Lorentzian tails and a low
  // background trade counts between the partition and the least squares,
  // and the fit creeps towards the Gaussian shape over many cycles.
  std::vector<double> back;
  BackgroundValues(p_.data(), &back);
  size_t top = 0;
  for (size_t i = 0; i < x_.size(); ++i)
    if (y_[i] - back[i] > y_[top] - back[top]) top = i;
  const double half = 0.5 * (y_[top] - back[top]);
  size_t left = top, right = top;
  while (left > 0 && y_[left] - back[left] > half) --left;
  while (right + 1 < x_.size() && y_[right] - back[right] > half) ++right;
  const double step = (x_.back() - x_.front()) / static_cast<double>(x_.size() - 1);
  const double fwhm = std::max(x_[right] - x_[left] - step, 2 * step);
  const double theta = x_[top] * M_PI / 360;
  p_[PARAM_W] = 0.8 * fwhm * 0.8 * fwhm;
  p_[PARAM_Y] = 0.1 * fwhm * std::cos(theta);
  return true;
}

void Fit::Partition(int cycles, bool floor, const LeBailProgress &progress,
                    const std::atomic<bool> *stop) {
  std::vector<double> back, total(x_.size());
  BackgroundValues(p_.data(), &back);
  const PatternModel m = ModelOf(p_.data());
  double g[3][3];
  if (!CellMetric(m.cell, g)) return;
  // The profiles do not change between the cycles: computed once.
  std::vector<size_t> lo(groups_.size());
  std::vector<std::vector<double>> profile(groups_.size());
  std::vector<double> area(groups_.size());
  for (size_t k = 0; k < groups_.size(); ++k) {
    const Reflection &r = reflections_[groups_[k].members.front()];
    SpacingProfile(m, lines_, window_, Spacing(g, r.h, r.k, r.l), x_.data(), x_.size(), &lo[k],
                   &profile[k]);
    double s = 0;
    for (double v : profile[k]) s += v;
    area[k] = s;
  }
  for (int cycle = 0; cycle < cycles; ++cycle) {
    if (Stopped(stop)) {
      stopped_ = true;
      return;
    }
    std::fill(total.begin(), total.end(), 0.0);
    for (size_t k = 0; k < groups_.size(); ++k)
      for (size_t j = 0; j < profile[k].size(); ++j)
        total[lo[k] + j] += intensity_[k] * profile[k][j];
    double strongest = 0;
    for (size_t k = 0; k < groups_.size(); ++k) {
      if (!(area[k] > 0)) continue;
      double sum = 0;
      for (size_t j = 0; j < profile[k].size(); ++j) {
        const size_t i = lo[k] + j;
        if (total[i] > 1e-300) sum += profile[k][j] * (y_[i] - back[i]) / total[i];
      }
      intensity_[k] = std::max(intensity_[k] * sum / area[k], 0.0);
      strongest = std::max(strongest, intensity_[k]);
    }
    // A reflection set to nothing by a poor start could never come back.
    if (floor)
      for (double &I : intensity_) I = std::max(I, 1e-6 * strongest);
    ++cycles_;
    if (progress) progress(cycles_, WeightedR(p_.data()));
    Snapshot();
  }
}

void Fit::Expand(const gsl_vector *v, std::vector<double> *p) const {
  *p = p_;
  for (size_t j = 0; j < active_.size(); ++j)
    (*p)[static_cast<size_t>(active_[j])] = gsl_vector_get(v, j);
  TieCell(family_, p->data());
}

int Fit::Residuals(const gsl_vector *v, void *self, gsl_vector *f) {
  const Fit &fit = *static_cast<const Fit *>(self);
  std::vector<double> p, peaks, back;
  fit.Expand(v, &p);
  fit.Peaks(p.data(), &peaks);
  fit.BackgroundValues(p.data(), &back);
  for (size_t i = 0; i < fit.x_.size(); ++i)
    gsl_vector_set(f, i, fit.root_[i] * (fit.y_[i] - back[i] - peaks[i]));
  return GSL_SUCCESS;
}

int Fit::Jacobian(const gsl_vector *v, void *self, gsl_matrix *J) {
  const Fit &fit = *static_cast<const Fit *>(self);
  std::vector<double> p, base, moved;
  fit.Expand(v, &p);
  bool haveBase = false;
  for (size_t j = 0; j < fit.active_.size(); ++j) {
    const int which = fit.active_[j];
    if (which >= PARAM_BACKGROUND) {
      // Linear in the background terms.
      const size_t t = static_cast<size_t>(which - PARAM_BACKGROUND);
      for (size_t i = 0; i < fit.x_.size(); ++i)
        gsl_matrix_set(J, i, j, -fit.root_[i] * fit.basis_[i * fit.terms_ + t]);
      continue;
    }
    if (!haveBase) {
      fit.Peaks(p.data(), &base);
      haveBase = true;
    }
    // Forward differences with a step of the parameter's own scale.
    const double value = p[static_cast<size_t>(which)];
    double h;
    if (which <= PARAM_C)
      h = 1e-6 * value;
    else if (which <= PARAM_GAMMA)
      h = 1e-5;
    else if (which <= PARAM_DISPLACEMENT)
      h = 1e-6;
    else if (which <= PARAM_Y)
      h = 1e-5 * std::max(std::fabs(value), 1e-3);
    else
      h = 1e-4;
    std::vector<double> q = p;
    q[static_cast<size_t>(which)] += h;
    TieCell(fit.family_, q.data());
    fit.Peaks(q.data(), &moved);
    for (size_t i = 0; i < fit.x_.size(); ++i)
      gsl_matrix_set(J, i, j, -fit.root_[i] * (moved[i] - base[i]) / h);
  }
  return GSL_SUCCESS;
}

bool Fit::LeastSquares(const std::vector<int> &active, int iterations,
                       const LeBailProgress &progress, const std::atomic<bool> *stop,
                       std::string *error) {
  if (Stopped(stop)) {
    stopped_ = true;
    return true;
  }
  active_ = active;
  const size_t n = x_.size(), k = active.size();
  gsl_multifit_nlinear_fdf fdf;
  fdf.f = Residuals;
  fdf.df = Jacobian;
  fdf.fvv = nullptr;
  fdf.n = n;
  fdf.p = k;
  fdf.params = this;
  gsl_multifit_nlinear_parameters parameters = gsl_multifit_nlinear_default_parameters();
  parameters.trs = gsl_multifit_nlinear_trs_lm;
  parameters.scale = gsl_multifit_nlinear_scale_more;
  struct WorkspaceFree {
    void operator()(gsl_multifit_nlinear_workspace *w) const { gsl_multifit_nlinear_free(w); }
  };
  std::unique_ptr<gsl_multifit_nlinear_workspace, WorkspaceFree> work(
      gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &parameters, n, k));
  struct VectorFree {
    void operator()(gsl_vector *v) const { gsl_vector_free(v); }
  };
  std::unique_ptr<gsl_vector, VectorFree> start(gsl_vector_alloc(k));
  if (!work || !start) {
    *error = "not enough memory for the least squares";
    return false;
  }
  for (size_t j = 0; j < k; ++j) gsl_vector_set(start.get(), j, p_[static_cast<size_t>(active[j])]);
  if (gsl_multifit_nlinear_init(start.get(), &fdf, work.get()) != GSL_SUCCESS) {
    *error = "the least squares could not start";
    return false;
  }
  for (int it = 0; it < iterations; ++it) {
    if (Stopped(stop)) {
      stopped_ = true;
      break;
    }
    const int status = gsl_multifit_nlinear_iterate(work.get());
    if (status != GSL_SUCCESS) break;  // no further progress: at the minimum
    std::vector<double> p;
    Expand(gsl_multifit_nlinear_position(work.get()), &p);
    p_ = p;
    ++cycles_;
    if (progress) {
      const gsl_vector *f = gsl_multifit_nlinear_residual(work.get());
      double num = 0, den = 0;
      for (size_t i = 0; i < n; ++i) {
        num += gsl_vector_get(f, i) * gsl_vector_get(f, i);
        den += root_[i] * root_[i] * y_[i] * y_[i];
      }
      progress(cycles_, den > 0 ? std::sqrt(num / den) : 0);
    }
    Snapshot();
    int info = 0;
    if (gsl_multifit_nlinear_test(1e-7, 1e-8, 0, &info, work.get()) == GSL_SUCCESS) break;
  }
  Expand(gsl_multifit_nlinear_position(work.get()), &p_);
  return true;
}

bool Fit::Run(const LeBailProgress &progress, const std::atomic<bool> *stop, std::string *error) {
  std::vector<int> background, cell = CellParameters(family_), zeroCell, widths, shape, asymmetry,
                               all;
  for (size_t j = 0; j < terms_; ++j) background.push_back(PARAM_BACKGROUND + static_cast<int>(j));
  zeroCell = cell;
  zeroCell.push_back(PARAM_ZERO);
  if (displacement_) zeroCell.push_back(PARAM_DISPLACEMENT);
  widths = zeroCell;
  widths.push_back(PARAM_W);
  widths.push_back(PARAM_Y);
  shape = {PARAM_U, PARAM_V, PARAM_W, PARAM_Y};
  if (!neutron_) shape.push_back(PARAM_X);
  asymmetry = {PARAM_P1, PARAM_P2, PARAM_P3, PARAM_P4};
  all = zeroCell;
  all.insert(all.end(), shape.begin(), shape.end());
  all.insert(all.end(), asymmetry.begin(), asymmetry.end());
  all.insert(all.end(), background.begin(), background.end());
  std::vector<int> zeroCellBackground = zeroCell;
  zeroCellBackground.insert(zeroCellBackground.end(), background.begin(), background.end());
  struct Stage {
    const std::vector<int> *active;
    int iterations;
  };
  const Stage stages[] = {{&background, 10},
                          {&zeroCellBackground, 15},
                          {&zeroCellBackground, 15},
                          {&widths, 15},
                          {&shape, 15},
                          {&asymmetry, 15},
                          {&all, 30},
                          {&all, 30},
                          {&all, 30},
                          {&all, 50}};
  for (const Stage &stage : stages) {
    Partition(8, true, progress, stop);
    if (stopped_) return true;
    if (!LeastSquares(*stage.active, stage.iterations, progress, stop, error)) return false;
    if (stopped_) return true;
  }
  Partition(finalCycles_, false, progress, stop);
  return true;
}

void Fit::Result(LeBailResult *result) const {
  result->model = ModelOf(p_.data());
  result->stopped = stopped_;
  result->cycles = cycles_;
  result->x = x_;
  result->observed = y_;
  result->sigma = sigma_;
  std::vector<double> peaks;
  Peaks(p_.data(), &peaks);
  BackgroundValues(p_.data(), &result->background);
  result->calculated.resize(x_.size());
  double absolute = 0, sum = 0, num = 0, den = 0;
  for (size_t i = 0; i < x_.size(); ++i) {
    result->calculated[i] = result->background[i] + peaks[i];
    const double r = y_[i] - result->calculated[i];
    const double w = root_[i] * root_[i];
    absolute += std::fabs(r);
    sum += y_[i];
    num += w * r * r;
    den += w * y_[i] * y_[i];
  }
  int parameters = static_cast<int>(CellParameters(family_).size()) + 2 + 5 + 4 +
                   static_cast<int>(terms_) + static_cast<int>(groups_.size());
  result->parameters = parameters;
  const double freedom = std::max(1.0, static_cast<double>(x_.size()) - parameters);
  result->Rp = sum != 0 ? absolute / std::fabs(sum) : 0;
  result->Rwp = den > 0 ? std::sqrt(num / den) : 0;
  result->Rexp = den > 0 ? std::sqrt(freedom / den) : 0;
  result->chi2 = num / freedom;
  double g[3][3];
  const bool metric = CellMetric(result->model.cell, g);
  result->reflections.clear();
  for (size_t k = 0; k < groups_.size(); ++k)
    for (size_t member : groups_[k].members) {
      ExtractedReflection e;
      e.reflection = reflections_[member];
      Reflection &r = e.reflection;
      if (metric) r.d = Spacing(g, r.h, r.k, r.l);
      const double s = lines_.lambda1 / (2 * r.d);
      r.twoTheta = s < 1 ? 2 * std::asin(s) * 180 / M_PI : 180;
      double centre = r.twoTheta;
      PeakCentre(result->model, lines_.lambda1, r.d, &centre);
      e.fwhm = ShapeAt(result->model.shape, centre).fwhm;
      e.intensity = intensity_[k] / static_cast<double>(groups_[k].members.size());
      e.group = static_cast<int>(k);
      e.inRange = r.twoTheta >= x_.front() - 1e-9 && r.twoTheta <= x_.back() + 1e-9;
      result->reflections.push_back(e);
    }
  std::stable_sort(result->reflections.begin(), result->reflections.end(),
                   [](const ExtractedReflection &a, const ExtractedReflection &b) {
                     return a.reflection.twoTheta < b.reflection.twoTheta;
                   });
}

}  // namespace

bool ExtractIntensities(const Job &job, const MeasuredPattern &pattern,
                        const LeBailSettings &settings, const LeBailProgress &progress,
                        const std::atomic<bool> *stop, LeBailResult *result, std::string *error) {
  const auto began = std::chrono::steady_clock::now();
  // GSL's default handler ends the process on an error; the kernel reports
  // instead, through the status every call returns. Set once, so that fits
  // on several threads do not race for it.
  static std::once_flag quiet;
  std::call_once(quiet, [] { gsl_set_error_handler_off(); });
  *result = LeBailResult();
  if (pattern.x.empty() || pattern.x.size() != pattern.y.size() ||
      pattern.x.size() != pattern.sigma.size()) {
    *error = "the pattern holds no points";
    return false;
  }
  Fit fit;
  if (!fit.Prepare(job, pattern, settings, error)) return false;
  if (!fit.Run(progress, stop, error)) return false;
  fit.Result(result);
  result->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  return true;
}

bool WriteExtractedPeakFile(const std::string &path, const Job &job, const LeBailResult &result,
                            const std::string &pattern, std::string *error) {
  const PatternLines lines = JobPatternLines(job.config);
  double strongest = 0;
  int count = 0;
  for (const ExtractedReflection &e : result.reflections)
    if (e.inRange) {
      strongest = std::max(strongest, e.intensity);
      ++count;
    }
  AtomicFile file(path);
  std::FILE *f = file.get();
  if (!f) {
    *error = "cannot write " + path + " (" + file.error() + ")";
    return false;
  }
  std::fprintf(f,
               "; %s Le Bail extraction: h k l mult d(A) 2theta(deg) fwhm(deg) Iobs\n"
               "; pattern: %s (%zu points fitted)\n"
               "; Le Bail fit over %.3f-%.3f deg: Rwp %.4f, Rp %.4f, chi2 %.3f, %d reflections "
               "in this file\n"
               "; Iobs = integrated intensity (%s), strongest = 100; 2theta for lambda %f A "
               "without zero shift; fwhm of the fitted profile\n",
               job.config.title.c_str(), pattern.c_str(), result.x.size(), job.config.startAngle,
               job.config.endAngle, result.Rwp, result.Rp, result.chi2, count,
               lines.ratio > 0 ? "K-alpha1 component" : "peak area", lines.lambda1);
  for (const ExtractedReflection &e : result.reflections) {
    if (!e.inRange) continue;
    const Reflection &r = e.reflection;
    // Rounded as written, so that the solver reads the values computed here.
    const double d = std::round(r.d * 1e6) / 1e6;
    const double tt = std::round(2 * std::asin(lines.lambda1 / (2 * d)) * 180 / M_PI * 1e6) / 1e6;
    std::fprintf(f, "%4d %4d %4d %4d %11.6f %11.6f %9.6f %14.6f\n", r.h, r.k, r.l, r.multiplicity,
                 d, tt, e.fwhm, strongest > 0 ? e.intensity * 100 / strongest : 0.0);
  }
  if (!file.commit()) {
    *error = "cannot write " + path + " (" + file.error() + ")";
    return false;
  }
  return true;
}

namespace {

const char *const kCellKeys[6] = {"CELL_A",     "CELL_B",    "CELL_C",
                                  "CELL_ALPHA", "CELL_BETA", "CELL_GAMMA"};

// The keyword a control-file line begins with ("" for none).
std::string LineKey(const std::string &line) {
  size_t at = line.find_first_not_of(" \t");
  if (at == std::string::npos) return "";
  size_t end = line.find_first_of(" \t\r", at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool ReadText(const std::string &path, std::vector<std::string> *lines, std::string *error) {
  std::string why;
  FilePtr file = OpenInputFile(path, kMaxControlFileBytes, &why);
  if (!file) {
    *error = "cannot open " + path + " (" + why + ")";
    return false;
  }
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, got);
  if (std::ferror(file.get())) {
    *error = "cannot read " + path;
    return false;
  }
  // A last line end gives an empty last line, so that joining the lines
  // with line ends gives the text back.
  size_t at = 0;
  for (;;) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      lines->push_back(text.substr(at));
      return true;
    }
    lines->push_back(text.substr(at, end - at));
    at = end + 1;
  }
}

}  // namespace

bool ControlFileHasCell(const std::string &path, std::string *error) {
  std::vector<std::string> lines;
  if (!ReadText(path, &lines, error)) return false;
  for (const std::string &line : lines)
    if (LineKey(line) == "CELL_A") return true;
  *error = path + " gives no cell (CELL_A to CELL_GAMMA): the extraction starts from it";
  return false;
}

bool WriteControlFileCell(const std::string &path, const double cell[6], std::string *error) {
  std::vector<std::string> lines;
  if (!ReadText(path, &lines, error)) return false;
  bool any = false;
  for (std::string &line : lines) {
    const std::string key = LineKey(line);
    for (int i = 0; i < 6; ++i)
      if (key == kCellKeys[i]) {
        const bool cr = !line.empty() && line.back() == '\r';
        char text[64];
        std::snprintf(text, sizeof text, "%s\t%f", kCellKeys[i], cell[i]);
        line = std::string(text) + (cr ? "\r" : "");
        any = true;
      }
  }
  if (!any) {
    *error = path + " gives no cell to replace";
    return false;
  }
  AtomicFile file(path);
  if (!file.get()) {
    *error = "cannot write " + path + " (" + file.error() + ")";
    return false;
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    std::fputs(lines[i].c_str(), file.get());
    if (i + 1 < lines.size()) std::fputc('\n', file.get());
  }
  if (!file.commit()) {
    *error = "cannot write " + path + " (" + file.error() + ")";
    return false;
  }
  return true;
}
