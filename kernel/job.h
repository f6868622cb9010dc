// SPDX-License-Identifier: BSD-3-Clause
// The job: everything of one solving job, from the configuration read to
// the models made, tested and solved.
#ifndef PULVINA_JOB_H
#define PULVINA_JOB_H

#include <cstdint>
#include <cstdio>
#include <vector>

#include "combination.h"
#include "crystal.h"
#include "element.h"
#include "file.h"
#include "model.h"
#include "profile.h"
#include "utils.h"

// The refinement choice: levels of model arrays, newest on top. The arrays
// are owned here, the models by the job's model list.
struct SelectionLevel {
  std::vector<CrystalModel *> models;
};
struct ModelSelection {
  int32_t depth = 0;
  std::vector<SelectionLevel> levels;  // newest last
};

// Bond lengths may fall this many percent below their minimum, unless a
// front end is told otherwise: the batch solver's and the desktop program's
// default alike.
constexpr double kDefaultBondTolerance = 10.0;

// What a run needs beyond the control file: set by the front end (options of
// the batch solver, preferences of the desktop program). InitializeJob and
// FreeJob leave them alone, as they do the radiation record.
struct JobSettings {
  // Where sgt.xml, asft.dat and nslt.dat are read; an empty folder: the
  // usual places (DefaultDataLocation).
  DataLocation data;
  // Where the adaptive annealing narrates moves, acceptance ratios and
  // temperatures; null: nowhere.
  std::FILE *annealingLog = stdout;
  // Nodes one enumeration of Wyckoff combinations may visit.
  double enumerationBudget = kDefaultCombinationBudget;
  // Bytes the models of one generation may take; 0: three quarters of the
  // memory free when generation starts.
  double modelMemory = 0;
  // Seed of the run's random streams (every model and stage derives its own
  // from it).
  uint64_t seed = 0;
  // Worker threads of the stages; 0: every online core.
  int threads = 1;
  // Bond lengths may fall this many percent below their minimum.
  double bondTolerance = kDefaultBondTolerance;
};

struct Job {
  Config config;
  Radiation radiation;
  Compound compound;
  Crystal crystal;
  CombPositions combPositions;
  Combination combination;
  CrystalModelList models;
  ModelInfo modelInfo;
  uint32_t filteredCount = 0;
  std::vector<CrystalModel *> filtered;
  ModelSelection selection;
  HKLList hklList;
  BondLengths bondLengths;
  JobSettings settings;
};

void InitializeModelSelection(ModelSelection *selection);
void FreeModelSelection(ModelSelection *selection);

void InitializeJob(Job *job);
void FreeJob(Job *job);

// The data files of a job: its own folder, or the default.
const DataLocation &JobData(const Job *job);

#endif
