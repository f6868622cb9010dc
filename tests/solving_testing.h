// Jobs shared by the solving tests: a small one with synthetic observations,
// and the forsterite example with short searches.
#ifndef PULVINA_SOLVING_TESTING_H
#define PULVINA_SOLVING_TESTING_H

#include <cstdint>
#include <string>
#include <vector>

#include "kernel.h"

// Builds a job from a formula, Z, space group and cell, generates its
// models, and fills the job's reflection list with every reflection of an
// orthogonal cell up to maxIndex whose observed intensities are those of
// the model with the given EPC text at the given parameter values.
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

// Every file a batch run wrote into folder for the job title stem, in a
// fixed order: summary.tsv without its column of seconds, then the files of
// each model it names, then the model report and the picture of all models.
// "" when there is no summary.
std::string RunOutputs(const std::string &folder, const std::string &stem);

// The model numbers summary.tsv lists, best first.
std::vector<std::string> SummaryModels(const std::string &summary);

#endif
