// SPDX-License-Identifier: BSD-3-Clause
// Le Bail extraction: from a measured pattern and the job's cell, space
// group and radiation to the integrated intensity of every reflection, the
// refined cell and the figures of the fit. The profile is peakshape.h's;
// the least squares are GSL's Levenberg-Marquardt, with the intensities
// partitioned from the observed counts between the cycles.
//
// The fit starts from the job's cell alone: the background from the low
// counts, the peak width from the strongest peak, and then, refined in
// stages, background; zero and cell; widths; shape; asymmetry; everything.
#ifndef PULVINA_LEBAIL_H
#define PULVINA_LEBAIL_H

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "job.h"
#include "pattern.h"
#include "peakshape.h"
#include "reflections.h"

// The lines of a pattern: the first wavelength and, for a doublet, the
// second with its intensity relative to the first.
struct PatternLines {
  double lambda1 = 1.5406;
  double lambda2 = 0;
  double ratio = 0;  // 0: one line
};
// The lines of the job's radiation (DOUBLETS, LAMBDA_XRAY1/2, I2_I1,
// LAMBDA_NEUTRON, LAMBDA_ELECTRON).
PatternLines JobPatternLines(const Config &config);
// How far a peak reaches, in FWHM: fewer for the broad Lorentz-poor peaks
// of neutrons, more for the narrow tails of synchrotron lines.
double JobPeakWindow(const Config &config);

// Everything of the calculated pattern but the intensities.
struct PatternModel {
  double cell[6] = {10, 10, 10, 90, 90, 90};  // a, b, c (angstrom), alpha, beta, gamma
  double zero = 0;                            // degrees added to every 2theta
  double displacement = 0;                    // degrees of 2theta times cos(theta): specimen height
  PeakShape shape;
  Background background;
};

// The centre of a line of a reflection of spacing d; false when the line
// has no Bragg angle.
bool PeakCentre(const PatternModel &model, double lambda, double d, double *twoTheta);

// The profile of both lines of one spacing, scaled to the first line's
// area 1, over the points *lo .. *lo + values->size() - 1 of the n points x;
// empty when no line reaches them.
void SpacingProfile(const PatternModel &model, const PatternLines &lines, double window, double d,
                    const double *x, size_t n, size_t *lo, std::vector<double> *values);

// One peak of a calculated pattern: spacing and area of its first line.
struct PatternPeak {
  double d = 0;
  double area = 0;
};
// The pattern at the points x: background plus every peak, each cut at
// window FWHM from its centre.
void CalculatePattern(const PatternModel &model, const PatternLines &lines, double window,
                      const std::vector<PatternPeak> &peaks, const std::vector<double> &x,
                      std::vector<double> *y);

struct LeBailResult;

struct LeBailSettings {
  double window = 0;                // FWHM; 0: JobPeakWindow
  int backgroundTerms = 0;          // Chebyshev terms; 0: 10, or 12 for finely sampled patterns
  bool refineDisplacement = false;  // moves the cell with it: off unless asked
  int finalCycles = 30;             // partition cycles after the last least squares
  // The fit as it stands, after a progress report but at most once every
  // snapshotSeconds: for a front end that draws it while it runs. Called on
  // the fitting thread; it reads nothing back, so the fit goes as without it.
  std::function<void(const LeBailResult &)> snapshot;
  double snapshotSeconds = 0.25;
};

// One reflection of the extraction.
struct ExtractedReflection {
  Reflection reflection;  // d and 2theta of the refined cell (first line, without zero)
  double fwhm = 0;        // total FWHM at its angle
  double intensity = 0;   // area of its first line; equal shares within a group
  int group = 0;          // reflections of one spacing, which the fit cannot tell apart
  bool inRange = false;   // 2theta within the fitted range
};

struct LeBailResult {
  PatternModel model;
  std::vector<ExtractedReflection> reflections;  // sorted by 2theta, margins included
  // The fitted points.
  std::vector<double> x, observed, calculated, background, sigma;
  double Rp = 0, Rwp = 0, Rexp = 0, chi2 = 0;
  int parameters = 0;  // profile, cell, zero, background and intensities
  int cycles = 0;
  bool stopped = false;
  double seconds = 0;
};

// (cycle, Rwp) after every least-squares iteration and partition cycle.
using LeBailProgress = std::function<void(int cycle, double Rwp)>;

// Fits the pattern's points within the job's START_ANGLE..END_ANGLE with the
// job's crystal (cell and space group set up) and radiation. False with the
// reason in *error for a pattern that does not reach into the range, a cell
// without reflections in it, or a fit that fails. A stop request ends it
// within one iteration: true then, with result->stopped and the state so far.
[[nodiscard]] bool ExtractIntensities(const Job &job, const MeasuredPattern &pattern,
                                      const LeBailSettings &settings,
                                      const LeBailProgress &progress, const std::atomic<bool> *stop,
                                      LeBailResult *result, std::string *error);

// The peak file of an extraction in the internal layout (format 0): the
// reflections in range, intensities of the first line with the strongest
// 100, four comment lines first. pattern names the data in a comment.
[[nodiscard]] bool WriteExtractedPeakFile(const std::string &path, const Job &job,
                                          const LeBailResult &result, const std::string &pattern,
                                          std::string *error);

// Whether a control file gives a cell (a CELL_A line at least).
[[nodiscard]] bool ControlFileHasCell(const std::string &path, std::string *error);
// Writes the cell into the control file: the values of its CELL_ lines
// change, every other line stays as it was. The file is replaced only once
// written whole.
[[nodiscard]] bool WriteControlFileCell(const std::string &path, const double cell[6],
                                        std::string *error);

#endif
