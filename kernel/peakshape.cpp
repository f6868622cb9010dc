// SPDX-License-Identifier: BSD-3-Clause
#include "peakshape.h"

#include <algorithm>

PeakAt ShapeAt(const PeakShape &s, double twoTheta) {
  const double theta = twoTheta * M_PI / 360;
  const double t = std::tan(theta);
  const double hg = std::sqrt(std::max(s.U * t * t + s.V * t + s.W, kMinPeakWidth * kMinPeakWidth));
  const double hl = std::max(s.X * t + s.Y / std::cos(theta), 0.0);
  // Thompson, Cox and Hastings: the total width and mixing that make the
  // pseudo-Voigt follow the Voigt of these two widths.
  const double g2 = hg * hg, l2 = hl * hl;
  const double h5 = g2 * g2 * hg + 2.69269 * g2 * g2 * hl + 2.42843 * g2 * hg * l2 +
                    4.47163 * g2 * l2 * hl + 0.07842 * hg * l2 * l2 + l2 * l2 * hl;
  const double h = std::pow(h5, 0.2);
  const double q = hl / h;
  const double eta = std::clamp(1.36603 * q - 0.47719 * q * q + 0.11116 * q * q * q, 0.0, 1.0);
  PeakAt p;
  p.fwhm = h;
  p.eta = eta;
  p.inverseFwhm = 1 / h;
  p.gaussK = 4 * M_LN2 / (h * h);
  p.gaussNorm = (1 - eta) * 2 / h * std::sqrt(M_LN2 / M_PI);
  p.lorentzK = 4 / (h * h);
  p.lorentzNorm = eta * 2 / (M_PI * h);
  // The factor changes the area only to second order; 1/tan(2theta) changes
  // sign at 90 degrees, so the same P3, P4 skew low and high angles
  // oppositely, as axial divergence does.
  const double t2 = std::tan(2 * theta);
  p.asymA = s.P[0] / t + (std::fabs(t2) > 1e-9 ? s.P[2] / t2 : 0);
  p.asymB = s.P[1] / t + (std::fabs(t2) > 1e-9 ? s.P[3] / t2 : 0);
  return p;
}

void BackgroundTerms(const Background &b, double twoTheta, double *terms) {
  const size_t n = b.chebyshev.size();
  const double span = b.end > b.start ? b.end - b.start : 1;
  const double u = 2 * (twoTheta - b.start) / span - 1;
  if (n > 0) terms[0] = 1;
  if (n > 1) terms[1] = u;
  for (size_t k = 2; k < n; ++k) terms[k] = 2 * u * terms[k - 1] - terms[k - 2];
  terms[n] = twoTheta > 0 ? 1 / twoTheta : 0;
}

double BackgroundAt(const Background &b, double twoTheta) {
  std::vector<double> terms(b.chebyshev.size() + 1);
  BackgroundTerms(b, twoTheta, terms.data());
  double v = b.inverse * terms.back();
  for (size_t k = 0; k < b.chebyshev.size(); ++k) v += b.chebyshev[k] * terms[k];
  return v;
}
