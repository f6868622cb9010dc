// A small job with synthetic observations, shared by the solving tests.
#ifndef PULVINA_SOLVING_TESTING_H
#define PULVINA_SOLVING_TESTING_H

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
               const std::string &epc, const std::vector<double> &values, int maxIndex = 5);
  ~SyntheticJob();
  SyntheticJob(const SyntheticJob &) = delete;
  SyntheticJob &operator=(const SyntheticJob &) = delete;
  CrystalModel *Find(const std::string &epc);
};

#endif
