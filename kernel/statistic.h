// SPDX-License-Identifier: BSD-3-Clause
// The statistic test of a model (random samples of its parameters), the
// filter over its figures and the refinement choice.
#ifndef PULVINA_STATISTIC_H
#define PULVINA_STATISTIC_H

#include <cstdint>
#include <vector>

#include "job.h"
#include "search.h"

struct StatisticProgress {
  CrystalModel *model = nullptr;
  uint32_t total = 0;
  uint32_t done = 0;
};
// The statistic test stops when this returns non-zero.
using StatisticProgressFunction = int (*)(const StatisticProgress *record, void *argument);

struct FilterSettings {
  int filterType = 2;
  double fomThreshold = 100.0;
  double avgThreshold = 1.0;
  double sdThreshold = 0.01;
  double bestThreshold = 0.1;
};
enum FilterFlags { FILTER_VALID_ONLY = 1 };

// The statistic test on a prepared search: trials random samples (with
// autoTrials, StatisticTestAutoTrails) of the parameters in their search
// ranges; the model keeps the best and gets Ravg, Rsd and its FOM.
void RunStatisticTest(Search *search, uint32_t trials, int autoTrials,
                      StatisticProgressFunction progress, void *progressArg);

// Trials for a model's free count; bounded for large counts, where the
// doubling would pass 32 bits.
uint32_t StatisticTestAutoTrails(const CrystalModel *model);
std::vector<CrystalModel *> ModelsStatisticFilter(CrystalModelList *models,
                                                  const FilterSettings &settings, int flags,
                                                  uint32_t *count);
// The refinement choice from models sorted best first, by mode: 0 all of
// them, 1 the first count, 2 those whose Rmin is at most threshold; any
// other mode none. The level, when given, gets the models chosen.
std::vector<CrystalModel *> CrystalModelsOf(const std::vector<CrystalModel *> &sorted, int mode,
                                            uint32_t count, double threshold,
                                            SelectionLevel *level);

#endif
