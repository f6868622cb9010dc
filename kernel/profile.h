// SPDX-License-Identifier: BSD-3-Clause
// The reflection list: per-reflection scattering and Lorentz-polarisation
// factors, groups of overlapping reflections, the overall displacement
// factor and its estimate from a Wilson plot. The intensities calculated
// into the list are intensity.h's.
#ifndef PULVINA_PROFILE_H
#define PULVINA_PROFILE_H

#include <cstdint>
#include <vector>

#include "element.h"

// The radiation record of a job (file.h).
struct Radiation;

// Element kinds a scattering-factor table can hold.
constexpr int kMaxASFKinds = 64;

struct HKLItem {
  int32_t h = 0, k = 0, l = 0;
  int32_t multiplicity = 0;
  double twoTheta = 0;  // degrees
  double d = 0;         // angstrom
  double fSquared = 0;
  double fReal = 0, fImag = 0;
  double fwhm = 0;       // degrees 2theta
  double intensity = 0;  // multiplicity x lp x debyeWaller x texture x fSquared
  double iCalc = 0;      // intensity scaled to 100 for the strongest reflection
  double iObsScaled = 0;
  double iObs = 0;
  // f0 of every element of the compound at this reflection, by element index.
  std::vector<double> asf;
  int32_t asfCount = 0;
  double lp = 1.0;
  // exp(-2 B s^2), s = 1/(2d), of the list's overall displacement factor B;
  // exactly 1.0 while B is 0, so that intensities are then those of atoms at
  // rest to the last bit.
  double debyeWaller = 1.0;
  // March-Dollase factor of the list's preferred orientation; exactly 1.0
  // without one, for the same reason.
  double texture = 1.0;
  // The angles of the reflection's symmetry equivalents to the preferred-
  // orientation direction: pairs of cos^2 and the share of the equivalents
  // at that angle. Empty without a direction.
  std::vector<double> orientation;
  int32_t group = -1;
};

// Reflections in peak-file order.
struct HKLList {
  std::vector<HKLItem> items;
  // The overall displacement factor (angstrom^2) the items' debyeWaller
  // factors stand for.
  double overallB = 0;
  // The March-Dollase r the items' texture factors stand for.
  double marchR = 1.0;
};

void InitializeHKLList(HKLList *list);
void FreeHKLList(HKLList *list);
int LengthOfHKLList(const HKLList *list);
// The destination becomes a deep copy of the source. Returns 1, or 0 when
// memory ran out (the destination then holds the items copied so far).
[[nodiscard]] int CloneHKLList(const HKLList *source, HKLList *destination);
void GroupHKLList(HKLList *list, double width);
// Returns 1, or 0 (reported) when the compound has more than kMaxASFKinds
// element kinds or memory ran out.
[[nodiscard]] int SetASFTable(HKLList *list, const Compound *compound);
double LPFactor(const Radiation *radiation, double twoTheta);
void SetLPFactor(HKLList *list, const Radiation *radiation);
// Largest overall displacement factor accepted (angstrom^2): far beyond any
// crystal, small enough that exp(-2 B s^2) stays a number.
constexpr double kMaxOverallB = 100.0;
// Largest March-Dollase r accepted, and largest index of a preferred-
// orientation direction.
constexpr double kMaxMarchR = 10.0;
constexpr int kMaxDirectionIndex = 100;
// Gives every item the factor exp(-2 B s^2) of one overall displacement
// factor B; B = 0 gives exactly 1. Returns 0, list untouched, for a B that is
// negative, above kMaxOverallB or not a number.
[[nodiscard]] int SetOverallB(HKLList *list, double B);

// The March-Dollase correction of one equivalent at angle alpha to the
// preferred-orientation direction: (r^2 cos^2 + sin^2 / r)^(-3/2).
double MarchDollase(double r, double cos2);
// Gives every item the average of MarchDollase over its orientation table;
// r = 1 or an empty table gives exactly 1. Returns 0, list untouched, for
// an r that is not above 0 and at most kMaxMarchR.
[[nodiscard]] int SetPreferredOrientation(HKLList *list, double r);

// The overall displacement factor from a Wilson plot of the observed
// intensities against the cell contents. Reflections of one group of
// overlapping reflections count as one observation; shells hold equal
// numbers of observations.
struct WilsonPlot {
  double B = 0;        // angstrom^2, -slope / 2
  double lnScale = 0;  // intercept of the fit
  int reflections = 0;  // observations used
  int shells = 0;
  std::vector<double> s2;       // mean s^2 of each shell
  // ln <I / (m LP sum f^2)> of each shell, the mean over its reciprocal-
  // lattice points (sum I / sum m LP sum f^2).
  std::vector<double> lnRatio;
};
constexpr int kWilsonMinReflections = 10;
constexpr int kWilsonMinShells = 3;
// Observations below this sin(theta)/lambda (1/angstrom) are left out of the
// fit when at least kWilsonMinReflections lie above it.
constexpr double kWilsonMinS = 0.15;
// Fills the plot and returns 1; returns 0 with the reason reported when the
// fit means nothing (too few reflections or shells, no fall-off with angle).
// radiationType as for CalculateIntensity: the scattering lengths for
// neutrons (1), the scattering factors otherwise.
[[nodiscard]] int WilsonOverallB(const HKLList *list, const Compound *compound, int radiationType,
                   WilsonPlot *plot);

#endif
