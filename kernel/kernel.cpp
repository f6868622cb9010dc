#include "kernel.h"

void InitializeJob(Job *job) {
  InitializeConfig(&job->config);
  InitializeCompound(&job->compound);
  InitializeCrystal(&job->crystal);
}

void FreeJob(Job *job) {
  FreeConfig(&job->config);
  FreeCompound(&job->compound);
  FreeCrystal(&job->crystal);
}

int SetOxidations(Compound *compound, const std::vector<Oxidation> &oxidation) {
  int walked = 0;
  for (const Oxidation &o : oxidation) {
    if (o.symbol.empty() || walked >= 64) break;
    ++walked;
    for (Element &e : compound->entries) {
      if (e.atomicNumber > 0 && e.symbol == o.symbol) e.oxidation = o.oxidation;
      for (Element &m : e.members)
        if (m.symbol == o.symbol) m.oxidation = o.oxidation;
    }
  }
  return walked;
}

void SetRadiation(const Config *config, Radiation *r) {
  switch (config->radiation) {
    case 0:
      r->type = 0;
      r->lambda = config->lambdaXray1;
      r->doublets = config->doublets;
      if (r->doublets != 0) {
        r->lambda2 = config->lambdaXray2;
        r->ratio = config->i2i1;
      }
      r->polarization = config->polarization;
      r->monochromator = config->monochromator;
      r->monoAngle = config->monoAngle;
      r->monoD = config->monoD;
      break;
    case 1:
      r->type = 1;
      r->lambda = config->lambdaNeutron;
      break;
    case 2:
      r->type = 2;
      r->lambda = config->lambdaElectron;
      r->lambda2 = config->energyElectron;
      break;
    default:
      break;
  }
}
