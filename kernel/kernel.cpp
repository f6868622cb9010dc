#include "kernel.h"

#include <algorithm>

#include <cstring>

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

int UpdateConstraintList(Constraints *constraints, const char *name, int index, char wyckoffLetter,
                         int minimum, int maximum) {
  bool matched = false;
  for (Constraint &c : *constraints)
    if (c.name == name && c.index == index && c.wyckoffLetter == wyckoffLetter) {
      c.minimum = minimum;
      c.maximum = maximum;
      matched = true;
    }
  if (matched) return 1;
  Constraint c;
  c.name = std::string(name).substr(0, kTextLength);
  c.index = index;
  c.wyckoffLetter = wyckoffLetter;
  c.minimum = minimum;
  c.maximum = maximum;
  constraints->insert(constraints->begin(), c);
  return 1;
}

std::string ConstraintEntryName(const Compound *compound, int slot) {
  if (slot == 0) return "*";
  // Entries beyond the 63rd share the last slot; the last of them names it.
  std::string name;
  int k = 0;
  for (const Element &e : compound->entries) {
    ++k;
    if (std::min(k, 63) != slot) continue;
    if (e.atomicNumber == 0) {
      name = "(";
      for (size_t i = 0; i < e.members.size(); ++i) {
        if (i) name += "+";
        name += e.members[i].symbol;
      }
      name += ")";
    } else {
      name = e.symbol;
    }
  }
  return name;
}

int SetConstraints(const Compound *compound, CombPositions *cp, const Constraints &constraints) {
  std::string names[kRestraintSlots];
  for (int slot = 0; slot < kRestraintSlots; ++slot) names[slot] = ConstraintEntryName(compound, slot);
  for (const Constraint &c : constraints) {
    if (c.index < 0 || c.index > 63) continue;
    if (names[c.index].empty() || c.name.compare(0, kTextLength, names[c.index], 0, kTextLength) != 0)
      continue;
    for (CombPosition &node : cp->nodes)
      if (node.position->wyckoffLetter == c.wyckoffLetter) {
        node.lowerBySlot[c.index] = c.minimum;
        node.upperBySlot[c.index] = c.maximum;
        break;
      }
  }
  return 1;
}

namespace {

bool Matches(const AtomModel &atom, const FixedCoordinate &f) {
  return atom.element->symbol.compare(0, 8, f.symbol, 0, 8) == 0 &&
         atom.element->oxidation == f.oxidation && atom.position->wyckoffLetter == f.wyckoffLetter;
}

}  // namespace

int SetFixedCoordinates(CrystalModel *model, const FixedCoordinates &fixedCoordinates) {
  int changed = 0;
  static const int bits[kParameterSlots] = {FIX_X, FIX_Y, FIX_Z, FIX_OCCUPANCY, FIX_B};
  for (AtomModel &atom : model->atoms)
    for (const FixedCoordinate &f : fixedCoordinates) {
      if (!Matches(atom, f)) continue;
      const double values[kParameterSlots] = {f.x, f.y, f.z, f.occupancy, f.B};
      for (int slot = 0; slot < kParameterSlots; ++slot) {
        ModelParameter &p = atom.para[slot];
        if (p.index == -1 || !(f.flags & bits[slot])) continue;
        p.fixed = 1;
        p.value = values[slot];
        changed = 1;
      }
    }
  return changed;
}

int ResetFixedCoordinates(CrystalModel *model, const FixedCoordinates &fixedCoordinates) {
  int changed = 0;
  static const int bits[kParameterSlots] = {FIX_X, FIX_Y, FIX_Z, FIX_OCCUPANCY, FIX_B};
  for (AtomModel &atom : model->atoms)
    for (const FixedCoordinate &f : fixedCoordinates) {
      if (!Matches(atom, f)) continue;
      for (int slot = 0; slot < kParameterSlots; ++slot) {
        ModelParameter &p = atom.para[slot];
        if (p.index == -1 || !(f.flags & bits[slot]) || !p.fixed) continue;
        p.fixed = 0;
        changed = 1;
      }
    }
  return changed;
}
