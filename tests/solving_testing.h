// SPDX-License-Identifier: BSD-3-Clause
// Jobs shared by the solving tests: a small one with synthetic observations,
// and the forsterite example with short searches.
#ifndef PULVINA_SOLVING_TESTING_H
#define PULVINA_SOLVING_TESTING_H

#include <cstdint>
#include <string>
#include <vector>

#include "kernel.h"

// A job of a formula, Z, space group and cell with its models, whose
// reflection list holds every reflection of the orthogonal cell up to
// maxIndex, observed as the model of the EPC text at the values gives them.
struct SyntheticJob {
  Job job;
  CrystalModel *truth = nullptr;
  SyntheticJob(const char *formula, int z, int sg, double a, double b, double c,
               const std::string &epc, const std::vector<double> &values, int maxIndex = 5,
               int setting = 1);
  ~SyntheticJob();
  SyntheticJob(const SyntheticJob &) = delete;
  SyntheticJob &operator=(const SyntheticJob &) = delete;
  CrystalModel *Find(const std::string &epc);
};

// The forsterite example: 57 models of 8 to 14 free coordinates.
extern const std::string kForsterite;  // its folder

// Its control file with short searches, so that a whole run takes about a
// second; extraTrials make another job of the same title.
std::string LightForsteriteControl(int extraTrials = 0);

// The example read, set up with the short searches, its models generated
// and its peaks read, for the stages to run on.
struct ForsteriteJob {
  Job job;
  bool ok = false;
  explicit ForsteriteJob(int threads, uint64_t seed = 11);
  ~ForsteriteJob();
  ForsteriteJob(const ForsteriteJob &) = delete;
  ForsteriteJob &operator=(const ForsteriteJob &) = delete;
};

// Every file a batch run wrote into folder for the title stem: summary.tsv
// without its seconds, each model's files, the model report and picture;
// "" without a summary.
std::string RunOutputs(const std::string &folder, const std::string &stem);

// The model numbers summary.tsv lists, best first.
std::vector<std::string> SummaryModels(const std::string &summary);

#endif
