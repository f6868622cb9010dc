// SPDX-License-Identifier: BSD-3-Clause
#include "solving_testing.h"

#include <gtest/gtest.h>

#include "stages.h"

#include <cmath>
#include <regex>
#include <sstream>

#include "testing.h"

SyntheticJob::SyntheticJob(const char *formula, int z, int sg, double a, double b, double c,
                           const std::string &epc, const std::vector<double> &values,
                           int maxIndex, int setting) {
  InitializeJob(&job);
  job.settings.annealingLog = nullptr;
  job.config.formular = formula;
  job.config.formularZ = z;
  job.config.sgNumber = sg;
  job.config.sgSetting = setting;
  job.config.cellA = a;
  job.config.cellB = b;
  job.config.cellC = c;
  // The true model is found by its combination, which need not be the one
  // its class keeps.
  job.config.allCombinations = 1;
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
  if (!SetASFTable(&job.hklList, &job.compound)) ADD_FAILURE() << "no scattering factors";
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

const std::string kForsterite = PULVINA_SOURCE_DIR "/examples/mg2sio4_forsterite";

std::string LightForsteriteControl(int extraTrials) {
  std::string c = ReadWholeFile(kForsterite + "/forsterite.epc");
  c = std::regex_replace(c, std::regex("TRADI_SA_MOVES\t[0-9]+"), "TRADI_SA_MOVES\t25");
  return std::regex_replace(c, std::regex("STATISTIC_CIRCLES\t[0-9]+"),
                            "STATISTIC_CIRCLES\t" + std::to_string(40 + extraTrials));
}

ForsteriteJob::ForsteriteJob(int threads, uint64_t seed) {
  InitializeJob(&job);
  job.settings.threads = threads;
  job.settings.seed = seed;
  job.settings.annealingLog = nullptr;
  CapturedMessages quiet;
  ok = ReadConfigFile(&job.config, (kForsterite + "/forsterite.epc").c_str()) == CONFIG_READ;
  job.config.statisticCircles = 40;
  job.config.tradiSaCycles = job.config.refineTradiSaCycles = 1;
  job.config.tradiSaMoves = job.config.refineTradiSaMoves = 25;
  job.config.refineN = 4;
  ok = ok && SetupJob(&job) && GenerateJobModels(&job, nullptr) &&
       ReadJobPeakFile(&job, kForsterite) > 0;
  if (ok) EvaluateModels(&job, AllModels(&job), nullptr, nullptr);
}

ForsteriteJob::~ForsteriteJob() { FreeJob(&job); }

std::vector<std::string> SummaryModels(const std::string &summary) {
  std::vector<std::string> models;
  std::istringstream rows(summary);
  std::string row;
  std::getline(rows, row);
  while (std::getline(rows, row)) {
    const size_t a = row.find('\t') + 1, b = row.find('\t', a);
    models.push_back(row.substr(a, b - a));
  }
  return models;
}

std::string RunOutputs(const std::string &folder, const std::string &stem) {
  const std::string summary = ReadWholeFile(folder + "/summary.tsv");
  if (summary.empty()) return "";
  std::string all = std::regex_replace(summary, std::regex("\t[0-9.]+\t(solved|stopped|dropped)"), "\t$1");
  for (const std::string &model : SummaryModels(summary))
    for (const char *ext : {".cif", ".hkl", ".svg"})
      all += ReadWholeFile(folder + "/" + stem + "_" + model + ext);
  return all + ReadWholeFile(folder + "/" + stem + ".tsm") +
         ReadWholeFile(folder + "/" + stem + "_models.svg");
}
