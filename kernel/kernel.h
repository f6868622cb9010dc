// The job: everything of one solving job, and its set-up from the
// configuration.
#ifndef PULVINA_KERNEL_H
#define PULVINA_KERNEL_H

#include "crystal.h"
#include "element.h"
#include "file.h"
#include "spacegroup.h"
#include "utils.h"

struct Job {
  Config config;
  Radiation radiation;
  Compound compound;
  Crystal crystal;
};

void InitializeJob(Job *job);
void FreeJob(Job *job);

int SetOxidations(Compound *compound, const std::vector<Oxidation> &oxidation);
void SetRadiation(const Config *config, Radiation *radiation);

#endif
