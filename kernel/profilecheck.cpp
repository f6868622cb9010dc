// SPDX-License-Identifier: BSD-3-Clause
#include "profilecheck.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit_nlinear.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "evaluation.h"
#include "intensity.h"

namespace {

// One reflection's peak on the points: the profile of area 1, its model
// intensity and its fall-off with the overall B, exp(-B / (2 d^2)) = exp(-B t).
struct Peak {
  size_t lo = 0;
  std::vector<double> values;
  double intensity = 0;
  double t = 0;
};

struct Problem {
  const std::vector<double> *y, *background, *sigma;
  std::vector<Peak> peaks;
  double scale0 = 1;  // the scale parameter is relative to this start

  // The peaks' sum at change dB, and its derivative by dB.
  void Sum(double dB, std::vector<double> *sum, std::vector<double> *slope) const {
    sum->assign(y->size(), 0.0);
    if (slope) slope->assign(y->size(), 0.0);
    for (const Peak &p : peaks) {
      const double a = p.intensity * std::exp(-dB * p.t);
      for (size_t j = 0; j < p.values.size(); ++j) {
        (*sum)[p.lo + j] += a * p.values[j];
        if (slope) (*slope)[p.lo + j] -= p.t * a * p.values[j];
      }
    }
  }
  static int Residuals(const gsl_vector *v, void *self, gsl_vector *f) {
    const Problem &pr = *static_cast<const Problem *>(self);
    const double s = gsl_vector_get(v, 0) * pr.scale0, dB = gsl_vector_get(v, 1);
    std::vector<double> sum;
    pr.Sum(dB, &sum, nullptr);
    for (size_t i = 0; i < sum.size(); ++i)
      gsl_vector_set(f, i, ((*pr.y)[i] - (*pr.background)[i] - s * sum[i]) / (*pr.sigma)[i]);
    return GSL_SUCCESS;
  }
  static int Jacobian(const gsl_vector *v, void *self, gsl_matrix *J) {
    const Problem &pr = *static_cast<const Problem *>(self);
    const double s = gsl_vector_get(v, 0) * pr.scale0, dB = gsl_vector_get(v, 1);
    std::vector<double> sum, slope;
    pr.Sum(dB, &sum, &slope);
    for (size_t i = 0; i < sum.size(); ++i) {
      gsl_matrix_set(J, i, 0, -pr.scale0 * sum[i] / (*pr.sigma)[i]);
      gsl_matrix_set(J, i, 1, -s * slope[i] / (*pr.sigma)[i]);
    }
    return GSL_SUCCESS;
  }
};

}  // namespace

bool CheckModelOnProfile(const Config &config, const LeBailResult &extraction, const HKLList &list,
                         double window, ProfileCheck *check, std::string *error) {
  static std::once_flag quiet;
  std::call_once(quiet, [] { gsl_set_error_handler_off(); });
  *check = ProfileCheck();
  const size_t n = extraction.x.size();
  if (n < 3 || extraction.observed.size() != n || extraction.background.size() != n ||
      extraction.sigma.size() != n) {
    *error = "the extraction holds no points";
    return false;
  }
  if (window <= 0) window = JobPeakWindow(config);
  const PatternLines lines = JobPatternLines(config);
  // The peak file the list was read from names the extraction's own indices;
  // the spacing catches a list whose indices are another equivalent.
  std::map<std::tuple<int, int, int>, size_t> byIndices;
  for (size_t i = 0; i < list.items.size(); ++i)
    byIndices.emplace(std::make_tuple(list.items[i].h, list.items[i].k, list.items[i].l), i);
  std::vector<bool> used(list.items.size(), false);
  Problem pr;
  pr.y = &extraction.observed;
  pr.background = &extraction.background;
  pr.sigma = &extraction.sigma;
  check->fit = extraction;
  for (ExtractedReflection &e : check->fit.reflections) {
    const Reflection &r = e.reflection;
    e.intensity = 0;
    size_t item = list.items.size();
    const auto at = byIndices.find(std::make_tuple(r.h, r.k, r.l));
    if (at != byIndices.end() && !used[at->second]) {
      item = at->second;
    } else {
      double best = 1e-4 * r.d;
      for (size_t i = 0; i < list.items.size(); ++i)
        if (!used[i] && std::fabs(list.items[i].d - r.d) < best) {
          best = std::fabs(list.items[i].d - r.d);
          item = i;
        }
    }
    if (item == list.items.size()) continue;
    used[item] = true;
    Peak p;
    p.intensity = list.items[item].intensity;
    p.t = 1 / (2 * r.d * r.d);
    SpacingProfile(extraction.model, lines, window, r.d, extraction.x.data(), n, &p.lo, &p.values);
    e.intensity = p.intensity;  // rescaled below
    ++check->matched;
    if (!p.values.empty() && p.intensity > 0) pr.peaks.push_back(std::move(p));
  }
  if (pr.peaks.empty()) {
    *error = "no reflection of the model lies on the extracted profile";
    return false;
  }
  // The start: the scale that fits best at the list's own B, in closed form.
  std::vector<double> sum;
  pr.Sum(0, &sum, nullptr);
  double num = 0, den = 0;
  for (size_t i = 0; i < n; ++i) {
    const double w = 1 / (extraction.sigma[i] * extraction.sigma[i]);
    num += w * sum[i] * (extraction.observed[i] - extraction.background[i]);
    den += w * sum[i] * sum[i];
  }
  if (!(den > 0) || !(num > 0)) {
    *error = "the model's peaks do not match the observed counts";
    return false;
  }
  pr.scale0 = num / den;

  gsl_multifit_nlinear_fdf fdf;
  fdf.f = Problem::Residuals;
  fdf.df = Problem::Jacobian;
  fdf.fvv = nullptr;
  fdf.n = n;
  fdf.p = 2;
  fdf.params = &pr;
  gsl_multifit_nlinear_parameters parameters = gsl_multifit_nlinear_default_parameters();
  parameters.trs = gsl_multifit_nlinear_trs_lm;
  struct WorkspaceFree {
    void operator()(gsl_multifit_nlinear_workspace *w) const { gsl_multifit_nlinear_free(w); }
  };
  struct VectorFree {
    void operator()(gsl_vector *v) const { gsl_vector_free(v); }
  };
  std::unique_ptr<gsl_multifit_nlinear_workspace, WorkspaceFree> work(
      gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &parameters, n, 2));
  std::unique_ptr<gsl_vector, VectorFree> start(gsl_vector_alloc(2));
  if (!work || !start) {
    *error = "out of memory for the profile's least squares";
    return false;
  }
  gsl_vector_set(start.get(), 0, 1.0);
  gsl_vector_set(start.get(), 1, 0.0);
  int info = 0;
  if (gsl_multifit_nlinear_init(start.get(), &fdf, work.get()) != GSL_SUCCESS ||
      gsl_multifit_nlinear_driver(50, 1e-8, 1e-10, 0, nullptr, nullptr, &info, work.get()) ==
          GSL_EBADFUNC) {
    *error = "the profile's least squares failed";
    return false;
  }
  const gsl_vector *p = gsl_multifit_nlinear_position(work.get());
  double scale = gsl_vector_get(p, 0) * pr.scale0, dB = gsl_vector_get(p, 1);
  // An overall B below 0 or beyond the list's range means nothing physical:
  // keep it at the edge and fit the scale alone there.
  const double lowest = -list.overallB, highest = kMaxOverallB - list.overallB;
  if (!std::isfinite(scale) || !std::isfinite(dB) || dB < lowest || dB > highest) {
    dB = std::isfinite(dB) ? std::clamp(dB, lowest, highest) : 0;
    pr.Sum(dB, &sum, nullptr);
    num = den = 0;
    for (size_t i = 0; i < n; ++i) {
      const double w = 1 / (extraction.sigma[i] * extraction.sigma[i]);
      num += w * sum[i] * (extraction.observed[i] - extraction.background[i]);
      den += w * sum[i] * sum[i];
    }
    scale = den > 0 ? num / den : 0;
  }
  check->scale = scale;
  check->overallB = list.overallB + dB;
  pr.Sum(dB, &sum, nullptr);
  LeBailResult &fit = check->fit;
  double absolute = 0, total = 0, wr = 0, wy = 0;
  for (size_t i = 0; i < n; ++i) {
    fit.calculated[i] = extraction.background[i] + scale * sum[i];
    const double r = extraction.observed[i] - fit.calculated[i];
    const double w = 1 / (extraction.sigma[i] * extraction.sigma[i]);
    absolute += std::fabs(r);
    total += extraction.observed[i];
    wr += w * r * r;
    wy += w * extraction.observed[i] * extraction.observed[i];
  }
  for (ExtractedReflection &e : fit.reflections)
    e.intensity *= scale * std::exp(-dB / (2 * e.reflection.d * e.reflection.d));
  // The profile's parameters were fitted to the same points; the freedom is
  // the extraction's, less its intensities, plus scale and B.
  int groups = 0;
  for (const ExtractedReflection &e : fit.reflections) groups = std::max(groups, e.group + 1);
  fit.parameters = std::max(2, extraction.parameters - groups + 2);
  const double freedom = std::max(1.0, static_cast<double>(n) - fit.parameters);
  fit.Rp = total != 0 ? absolute / std::fabs(total) : 0;
  fit.Rwp = wy > 0 ? std::sqrt(wr / wy) : 0;
  fit.Rexp = wy > 0 ? std::sqrt(freedom / wy) : 0;
  fit.chi2 = wr / freedom;
  check->Rp = fit.Rp;
  check->Rwp = fit.Rwp;
  check->Rexp = fit.Rexp;
  check->leBailRp = extraction.Rp;
  check->leBailRwp = extraction.Rwp;
  return true;
}

bool CheckJobModelOnProfile(const Job &job, const CrystalModel *model,
                            const LeBailResult &extraction, ProfileCheck *check,
                            std::string *error) {
  Crystal crystal = job.crystal;
  UpdateCrystalByModel(&crystal, model, nullptr, 1);
  HKLList list = job.hklList;
  ApplyModelPattern(model, &list);
  CalculateIntensity(&list, &crystal, job.config.radiation);
  return CheckModelOnProfile(job.config, extraction, list, 0, check, error);
}

void WriteProfileCheckCIF(std::FILE *stream, const ProfileCheck &check) {
  std::fprintf(stream,
               "\n# The model's intensities on the Le Bail profile of the measured pattern\n"
               "# (profile, background and cell fixed; scale and overall B refined);\n"
               "# the Le Bail fit itself: Rp %.4f, Rwp %.4f\n"
               "_pd_proc_ls_prof_R_factor        %.4f\n"
               "_pd_proc_ls_prof_wR_factor       %.4f\n"
               "_pd_proc_ls_prof_wR_expected     %.4f\n"
               "_refine_ls_goodness_of_fit_all   %.3f\n"
               "_pd_proc_number_of_points        %zu\n",
               check.leBailRp, check.leBailRwp, check.Rp, check.Rwp, check.Rexp,
               std::sqrt(check.fit.chi2), check.fit.x.size());
}
