// SPDX-License-Identifier: BSD-3-Clause
// A solved model checked on the whole measured profile: the model's
// calculated intensities put on the peaks of a Le Bail extraction, with the
// profile (shape, widths, zero, background, cell) kept as the extraction
// left it and only a scale and a change of the overall B refined. The Le
// Bail fit is the best any structure can do on that profile, so the
// structure's Rwp next to it says how much of the pattern the model
// explains; a wrong model leaves peaks in the difference.
#ifndef PULVINA_PROFILECHECK_H
#define PULVINA_PROFILECHECK_H

#include <cstdio>
#include <string>

#include "job.h"
#include "lebail.h"
#include "profile.h"

struct ProfileCheck {
  // The extraction's points with the structure's curve: calculated holds
  // the model's pattern, Rp, Rwp and chi2 are the model's, and every
  // reflection's intensity is the model's area on the profile (0 for one
  // the model's list lacks).
  LeBailResult fit;
  double leBailRp = 0, leBailRwp = 0;
  double Rp = 0, Rwp = 0, Rexp = 0;
  double scale = 0;     // calculated intensity to counts
  double overallB = 0;  // the list's overall B plus the refined change (angstrom^2)
  int matched = 0;      // reflections of the extraction the model's list has
};

// Puts the intensities of list (a model's calculated list, HKLItem::intensity
// with multiplicity, LP and the list's overall B) on the profile of the
// extraction, matched by indices (else by spacing). window is the peaks'
// reach in FWHM, 0 for the job's (JobPeakWindow). False with the reason in
// *error when the extraction holds no points, no reflection of the list is
// among its reflections, or the least squares fail.
[[nodiscard]] bool CheckModelOnProfile(const Config &config, const LeBailResult &extraction,
                                       const HKLList &list, double window, ProfileCheck *check,
                                       std::string *error);

// A solved model of the job on the profile: its intensities as the CIF's
// and HKL files have them (its own overall B and texture when a search
// refined them), then CheckModelOnProfile. The front ends' one road.
[[nodiscard]] bool CheckJobModelOnProfile(const Job &job, const CrystalModel *model,
                                          const LeBailResult &extraction, ProfileCheck *check,
                                          std::string *error);

// The figures of a check as CIF items (R factors of the whole profile).
void WriteProfileCheckCIF(std::FILE *stream, const ProfileCheck &check);

#endif
