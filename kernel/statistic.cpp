// SPDX-License-Identifier: BSD-3-Clause
#include "statistic.h"

#include <algorithm>

uint32_t StatisticTestAutoTrails(const CrystalModel *model) {
  const int n = model->freeCount;
  if (n == 1) return 100;
  if (n == 2) return 2500;
  if (n == 3) return 8000;
  if (n <= 2) return 10000u >> (2 - n);  // n = 0: 2500; never reached by a test
  // 10000 << 18 is the last doubling that fits 32 bits; beyond it random
  // sampling of more than twenty parameters learns nothing more per trial.
  if (n - 2 > 18) return 10000u << 18;
  return 10000u << (n - 2);
}

void RunStatisticTest(Search *search, uint32_t trials, int autoTrials,
                      StatisticProgressFunction progress, void *progressArg) {
  CrystalModel *model = search->model;
  const size_t n = model->parameterList.size();
  ModelEvaluator evaluate(model, search->crystal, search->list, search->selector, search->factor,
                          search->factorArg ? search->factorArg : search->list);
  if (n == 0) {
    model->Rmin = evaluate.FactorOfCrystal();
    model->Ravg = model->Rmin;
    model->Rsd = 0.0;
    SetModelStatisticFOM(model);
    return;
  }
  SearchRandom &random = search->random ? *search->random : ThreadSearchRandom();
  std::vector<double> lower(n), upper(n), best(n);
  for (size_t i = 0; i < n; ++i) {
    SearchRange(model, i, search->crystal, search->asym, &lower[i], &upper[i]);
    best[i] = *model->parameterList[i];
  }
  const uint32_t T = autoTrials ? StatisticTestAutoTrails(model) : trials;
  StatisticProgress record;
  record.model = model;
  record.total = T;
  record.done = 0;
  random.Reseed();
  double R = 100.0, sum = 0, squares = 0;
  uint32_t ran = 0;
  int stop = 0;
  for (uint32_t t = 0; t < T && !stop; ++t) {
    for (size_t i = 0; i < n; ++i)
      *model->parameterList[i] = lower[i] + (upper[i] - lower[i]) * random.Rand();
    R = evaluate();
    if (R < model->Rmin) {
      model->Rmin = R;
      CopyParameterValues(model, &best);
    }
    record.done = t + 1;
    ran = t + 1;
    sum += R;
    squares += R * R;
    stop = progress ? progress(&record, progressArg) : 0;
  }
  evaluate.Sync();
  RestoreParameterValues(model, best);
  model->selected = 1;
  if (ran == 0) {
    model->Ravg = R;
    model->Rsd = 0.0;
  } else {
    model->Ravg = sum / ran;
    model->Rsd = squares / ran - model->Ravg * model->Ravg;
  }
  SetModelStatisticFOM(model);
}

std::vector<CrystalModel *> ModelsStatisticFilter(CrystalModelList *models,
                                                  const FilterSettings &settings, int flags,
                                                  uint32_t *count) {
  std::vector<CrystalModel *> kept;
  *count = 0;
  if (settings.filterType < 0 || settings.filterType > 2) return kept;
  for (CrystalModel &m : models->models) {
    switch (settings.filterType) {
      case 0:
        m.selected = m.FOM > settings.fomThreshold ? 1 : 0;
        break;
      case 1:
        m.selected = (m.Rmin >= settings.bestThreshold && m.Rsd < settings.sdThreshold &&
                      m.Ravg > settings.avgThreshold)
                         ? 0
                         : 1;
        break;
      default:
        m.selected = 1;
        break;
    }
    if ((flags & FILTER_VALID_ONLY) && !(m.validity & VALIDITY_BOND_LENGTHS)) m.selected = 0;
    if (m.selected) kept.push_back(&m);
  }
  *count = static_cast<uint32_t>(kept.size());
  kept.shrink_to_fit();
  return kept;
}

std::vector<CrystalModel *> CrystalModelsOf(const std::vector<CrystalModel *> &sorted, int mode,
                                            uint32_t count, double threshold,
                                            SelectionLevel *level) {
  size_t kept = 0;
  if (mode == 0) {
    kept = sorted.size();
  } else if (mode == 1) {
    kept = std::min<size_t>(count, sorted.size());
  } else if (mode == 2) {
    while (kept < sorted.size() && sorted[kept]->Rmin <= threshold) ++kept;
  }
  std::vector<CrystalModel *> chosen(sorted.begin(), sorted.begin() + static_cast<long>(kept));
  if (level) level->models = chosen;
  return chosen;
}
