// SPDX-License-Identifier: BSD-3-Clause
#include "job.h"

#include "bonds.h"

void InitializeModelSelection(ModelSelection *selection) {
  selection->depth = 0;
  selection->levels.clear();
}

void FreeModelSelection(ModelSelection *selection) {
  std::vector<SelectionLevel>().swap(selection->levels);
  selection->depth = 0;
}

void InitializeJob(Job *job) {
  InitializeConfig(&job->config);
  InitializeCompound(&job->compound);
  InitializeCrystal(&job->crystal);
  InitializeCombPositions(&job->combPositions);
  InitializeCombination(&job->combination);
  InitializeCrystalModel(&job->models);
  InitializeModelInfo(&job->modelInfo);
  job->filteredCount = 0;
  job->filtered.clear();
  InitializeModelSelection(&job->selection);
  InitializeHKLList(&job->hklList);
  InitializeBondLengths(&job->bondLengths);
}

void FreeJob(Job *job) {
  FreeConfig(&job->config);
  FreeCompound(&job->compound);
  FreeCrystal(&job->crystal);
  FreeCombPositions(&job->combPositions);
  FreeCombination(&job->combination);
  FreeCrystalModel(&job->models);
  FreeModelInfo(&job->modelInfo);
  job->filteredCount = 0;
  std::vector<CrystalModel *>().swap(job->filtered);
  FreeModelSelection(&job->selection);
  FreeHKLList(&job->hklList);
  FreeBondLengths(&job->bondLengths);
}

const DataLocation &JobData(const Job *job) {
  return job->settings.data.directory.empty() ? DefaultDataLocation() : job->settings.data;
}
