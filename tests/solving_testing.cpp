#include "solving_testing.h"

#include "stages.h"

#include <cmath>

#include "testing.h"

SyntheticJob::SyntheticJob(const char *formula, int z, int sg, double a, double b, double c,
                           const std::string &epc, const std::vector<double> &values,
                           int maxIndex) {
  InitializeJob(&job);
  job.config.formular = formula;
  job.config.formularZ = z;
  job.config.sgNumber = sg;
  job.config.cellA = a;
  job.config.cellB = b;
  job.config.cellC = c;
  if (!SetupJob(&job) || !GenerateJobModels(&job, nullptr)) return;
  truth = Find(epc);
  if (!truth) return;
  for (size_t i = 0; i < values.size() && i < truth->parameterList.size(); ++i)
    *truth->parameterList[i] = values[i];
  const double lambda = 1.540598;
  for (int h = 0; h <= maxIndex; ++h)
    for (int k = 0; k <= maxIndex; ++k)
      for (int l = 0; l <= maxIndex; ++l) {
        if (h + k + l == 0) continue;
        HKLItem item;
        item.h = h;
        item.k = k;
        item.l = l;
        item.multiplicity = 1;
        item.d = 1 / std::sqrt(h * h / (a * a) + k * k / (b * b) + l * l / (c * c));
        double s = lambda / (2 * item.d);
        if (s >= 1) continue;
        item.twoTheta = 2 * std::asin(s) * 180 / M_PI;
        item.fwhm = 0.1;
        job.hklList.items.push_back(item);
      }
  SetASFTable(&job.hklList, &job.compound);
  SetLPFactor(&job.hklList, &job.radiation);
  UpdateCrystalByModel(&job.crystal, truth, nullptr, 1);
  CalculateIntensity(&job.hklList, &job.crystal, 0);
  for (HKLItem &item : job.hklList.items) {
    item.iObs = item.iCalc;
    item.iObsScaled = item.iCalc;
  }
  GroupHKLList(&job.hklList, 1.0);
  for (size_t i = 0; i < values.size() && i < truth->parameterList.size(); ++i)
    *truth->parameterList[i] = 0;
}

SyntheticJob::~SyntheticJob() { FreeJob(&job); }

CrystalModel *SyntheticJob::Find(const std::string &epc) {
  for (CrystalModel &m : job.models.models)
    if (EPCStr(&m) == epc) return &m;
  return nullptr;
}
