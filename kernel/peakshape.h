// SPDX-License-Identifier: BSD-3-Clause
// The shape of one powder peak and the background under a pattern: a
// Thompson-Cox-Hastings pseudo-Voigt of unit area with Caglioti widths,
// Berar-Baldinozzi low-angle asymmetry, and a Chebyshev background with a
// term in 1/2theta. All angles in degrees of 2theta.
#ifndef PULVINA_PEAKSHAPE_H
#define PULVINA_PEAKSHAPE_H

#include <cmath>
#include <vector>

struct PeakShape {
  // Gaussian FWHM^2 = U tan^2 + V tan + W; Lorentzian FWHM = X tan + Y / cos.
  double U = 0, V = 0, W = 0.01, X = 0, Y = 0;
  // Asymmetry: 1 + (P1 Fa + P2 Fb) / tan(theta) + (P3 Fa + P4 Fb) / tan(2theta).
  double P[4] = {0, 0, 0, 0};
};

// The profile at one Bragg angle: everything its points need but the
// distance from the centre.
struct PeakAt {
  double fwhm = 0;                       // total FWHM, degrees
  double eta = 0;                        // Lorentzian fraction
  double gaussNorm = 0, gaussK = 0;      // (1 - eta) G = gaussNorm exp(-gaussK dx^2)
  double lorentzNorm = 0, lorentzK = 0;  // eta L = lorentzNorm / (1 + lorentzK dx^2)
  double asymA = 0, asymB = 0;           // factor 1 + asymA Fa(z) + asymB Fb(z), z = dx / fwhm
  double inverseFwhm = 0;
};

// The Gaussian and Lorentzian widths never fall below this (degrees): a
// refinement that drives U, V, W below zero somewhere still gets a peak.
constexpr double kMinPeakWidth = 1e-5;

PeakAt ShapeAt(const PeakShape &shape, double twoTheta);

// The profile at dx = 2theta - centre, unit area over 2theta in degrees.
inline double PeakValue(const PeakAt &p, double dx) {
  double v =
      p.gaussNorm * std::exp(-p.gaussK * dx * dx) + p.lorentzNorm / (1 + p.lorentzK * dx * dx);
  if (p.asymA != 0 || p.asymB != 0) {
    const double z = dx * p.inverseFwhm;
    const double fa = 2 * z * std::exp(-z * z);
    const double fb = 2 * (2 * z * z - 3) * fa;
    v *= 1 + p.asymA * fa + p.asymB * fb;
  }
  return v;
}

// Background: Chebyshev polynomial of the first kind in u = 2 (2theta -
// start) / (end - start) - 1 with the coefficients given, plus inverse /
// 2theta.
struct Background {
  std::vector<double> chebyshev;
  double inverse = 0;
  double start = 0, end = 180;
};
// The terms of the background at one angle: the Chebyshev polynomials
// T0 .. Tn-1 and 1/2theta, n + 1 values.
void BackgroundTerms(const Background &background, double twoTheta, double *terms);
double BackgroundAt(const Background &background, double twoTheta);

#endif
