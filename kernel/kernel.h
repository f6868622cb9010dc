// The job: everything of one solving job, and its set-up from the
// configuration.
#ifndef PULVINA_KERNEL_H
#define PULVINA_KERNEL_H

#include "combination.h"
#include "crystal.h"
#include "element.h"
#include "file.h"
#include "model.h"
#include "spacegroup.h"
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
};

void InitializeModelSelection(ModelSelection *selection);
void FreeModelSelection(ModelSelection *selection);

void InitializeJob(Job *job);
void FreeJob(Job *job);

int SetOxidations(Compound *compound, const std::vector<Oxidation> &oxidation);
void SetRadiation(const Config *config, Radiation *radiation);
int UpdateConstraintList(Constraints *constraints, const char *name, int index, char wyckoffLetter,
                         int minimum, int maximum);
// The name a constraint must carry for restraint slot k (0 = all atoms).
std::string ConstraintEntryName(const Compound *compound, int slot);
int SetConstraints(const Compound *compound, CombPositions *cp, const Constraints &constraints);
int SetFixedCoordinates(CrystalModel *model, const FixedCoordinates &fixedCoordinates);
int ResetFixedCoordinates(CrystalModel *model, const FixedCoordinates &fixedCoordinates);

#endif
