#include "kernel.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdlib>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

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

namespace {

std::string ConstraintText(const Constraint &c) {
  return c.name + " " + std::to_string(c.index) + " " + c.wyckoffLetter + " " +
         std::to_string(c.minimum) + " " + std::to_string(c.maximum);
}

}  // namespace

// A constraint names its formula entry twice, by index and by name, and a
// Wyckoff letter; both can only be judged against the compound and the
// space group of the job.
bool CheckJobConstraints(const Job &job) {
  const Config &config = job.config;
  for (const Constraint &c : config.constraints) {
    std::string why;
    const int entries = job.compound.entryCount;
    if (c.index > entries || c.index >= kRestraintSlots) {
      why = "entry index " + std::to_string(c.index) + " is beyond the formula " +
            config.formular + ", which has " + std::to_string(entries) + " entries";
    } else {
      const std::string name = ConstraintEntryName(&job.compound, c.index);
      bool letter = false;
      for (const Position &p : job.crystal.spaceGroup.positions)
        letter = letter || p.wyckoffLetter == c.wyckoffLetter;
      if (name != c.name)
        why = "entry " + std::to_string(c.index) + " of the formula " + config.formular +
              " is " + name + ", not " + c.name;
      else if (!letter)
        why = std::string("space group no. ") + std::to_string(config.sgNumber) + " (setting " +
              std::to_string(config.sgSetting) + ") has no Wyckoff position " + c.wyckoffLetter;
    }
    if (why.empty()) continue;
    if (!config.controlFile.empty() && c.line > 0)
      Message(MESSAGE_ERROR, "%s:%d: CONSTRAINT: '%s': %s\n", config.controlFile.c_str(), c.line,
              ConstraintText(c).c_str(), why.c_str());
    else
      Message(MESSAGE_ERROR, "setting up the job, CONSTRAINT '%s': %s\n",
              ConstraintText(c).c_str(), why.c_str());
    return false;
  }
  return true;
}

namespace {

// Every ion needs its radius: bond lengths are judged by them, and the
// covalent radius the table falls back to would judge a cation like an
// anion without a word. Hydrogen is the exception: a proton or a hydride has
// no ionic radius in any table, and its bonds are judged by the covalent
// radius whatever its state.
bool CheckIonRadii(const Compound &compound) {
  std::vector<const Element *> elements;
  for (const Element &e : compound.entries) {
    if (e.atomicNumber > 0) elements.push_back(&e);
    for (const Element &m : e.members) elements.push_back(&m);
  }
  for (const Element *e : elements) {
    if (e->oxidation == 0 || e->atomicNumber == 1 || HasIonRadius(e->atomicNumber, e->oxidation))
      continue;
    std::string known;
    for (const IonRadius &r : IonRadii)
      if (r.atomicNumber == e->atomicNumber)
        known += (known.empty() ? "" : ", ") + std::string(r.oxidation > 0 ? "+" : "") +
                 std::to_string(r.oxidation);
    Message(MESSAGE_ERROR,
            "setting up the job, OXIDATION %s %d: no ionic radius is known for %s%+d (states "
            "with a radius: %s; 0 takes the covalent radius)\n",
            e->symbol.c_str(), e->oxidation, e->symbol.c_str(), e->oxidation,
            known.empty() ? "none" : known.c_str());
    return false;
  }
  return true;
}

}  // namespace

const DataLocation &JobData(const Job *job) {
  return job->settings.data.directory.empty() ? DefaultDataLocation() : job->settings.data;
}

bool SetupJobCompound(Job *job) {
  const Config &config = job->config;
  FreeCompound(&job->compound);
  if (!ParseFormular(config.formular.c_str(), &job->compound)) {
    // The parser stops where the formula goes wrong, with the entries
    // before it made.
    FreeCompound(&job->compound);
    if (config.formular.empty())
      Message(MESSAGE_ERROR, "setting up the job, no formula given (FORMULAR)\n");
    return false;
  }
  return ApplyJobComposition(job);
}

bool ApplyJobComposition(Job *job) {
  const Config &config = job->config;
  if (config.formularZ < 1) {
    Message(MESSAGE_ERROR, "setting up the job, Z must be at least 1, not %d\n", config.formularZ);
    return false;
  }
  for (const Element &e : job->compound.entries)
    if (static_cast<long long>(e.count) * config.formularZ > kMaxCellCount) {
      Message(MESSAGE_ERROR,
              "setting up the job, %d formula units of %s make more than %d atoms of one kind "
              "in the cell\n",
              config.formularZ, config.formular.c_str(), kMaxCellCount);
      return false;
    }
  // Checked before any work: the scattering-factor table takes no more.
  if (RealElementCount(&job->compound) > kMaxASFKinds) {
    Message(MESSAGE_ERROR,
            "setting up the job, the formula %s has more than %d kinds of elements\n",
            config.formular.c_str(), kMaxASFKinds);
    return false;
  }
  SetFormularZ(&job->compound, config.formularZ);
  SetOxidations(&job->compound, config.oxidation);
  for (const Oxidation &o : config.oxidation)
    if (!FindElement(job->compound, o.symbol))
      Message(MESSAGE_WARNING, "setting up the job, OXIDATION %s %d: %s is not in the formula %s\n",
              o.symbol.c_str(), o.oxidation, o.symbol.c_str(), config.formular.c_str());
  if (!CheckIonRadii(job->compound)) return false;
  // Without scattering data every model would fit equally badly.
  const DataLocation &data = JobData(job);
  if (!AssignASF(&job->compound, data) || !AssignNSL(&job->compound, data)) {
    Message(MESSAGE_ERROR, "setting up the job, the scattering data in %s cannot be read\n",
            data.directory.c_str());
    return false;
  }
  UpdateIonRadii(&job->compound);
  UpdateBondLengthConstraints(&job->bondLengths, &job->compound);
  return true;
}

bool SetupJob(Job *job) {
  Config &config = job->config;
  // Checked before any work, not only when the peak file is read.
  if (!(config.overallB >= 0 && config.overallB <= kMaxOverallB)) {
    Message(MESSAGE_ERROR,
            "setting up the job, OVERALL_B %f: the overall displacement factor must lie from 0 "
            "to %.0f A^2\n",
            config.overallB, kMaxOverallB);
    return false;
  }
  if (config.autoOverallB != 0 && config.autoOverallB != 1) {
    Message(MESSAGE_ERROR, "setting up the job, AUTO_OVERALL_B %d: must be 0 (off) or 1 (on)\n",
            config.autoOverallB);
    return false;
  }
  if (!SetupJobCompound(job)) return false;
  const DataLocation &data = JobData(job);
  SetRadiation(&config, &job->radiation);
  // Without its scattering table every atom scatters nothing and any fit
  // would be meaningless; the messages above say which file and where.
  if (!OpenFile(DataPath(data, job->radiation.type == 1 ? "nslt.dat" : "asft.dat"), "r"))
    return false;
  FreeSpaceGroup(&job->crystal.spaceGroup);
  if (!SetSpaceGroup(&job->crystal.spaceGroup, config.sgNumber, config.sgSetting, data))
    return false;
  const std::string cell = CellProblem(config.cellA, config.cellB, config.cellC, config.cellAlpha,
                                       config.cellBeta, config.cellGamma);
  if (!cell.empty()) {
    Message(MESSAGE_ERROR, "setting up the job, %s\n", cell.c_str());
    return false;
  }
  job->crystal.a = config.cellA;
  job->crystal.b = config.cellB;
  job->crystal.c = config.cellC;
  job->crystal.alpha = config.cellAlpha;
  job->crystal.beta = config.cellBeta;
  job->crystal.gamma = config.cellGamma;
  return CheckJobConstraints(*job);
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

// ---- model evaluation ----------------------------------------------------

void SetAtomValues(Atom *atom, const AtomModel *atomModel, const double *values) {
  atom->element = atomModel->element;
  atom->position = atomModel->position;
  double v[3];
  for (int i = 0; i < 3; ++i) {
    const ModelParameter &p = atomModel->para[i];
    v[i] = values && p.index >= 0 ? values[p.index] : p.value;
  }
  if (atomModel->position && !atomModel->position->coordinates.empty())
    CoordMatrixMultiply(atomModel->position->coordinates.front().matrix, v[0], v[1], v[2],
                        &atom->x, &atom->y, &atom->z);
  else {
    atom->x = v[0];
    atom->y = v[1];
    atom->z = v[2];
  }
  atom->B = atomModel->para[SLOT_B].value;
  atom->occupancy = atomModel->para[SLOT_OCCUPANCY].value;
}

namespace {

size_t CellAtomCount(const CrystalModel *model) {
  size_t n = 0;
  for (const AtomModel &a : model->atoms) n += a.position ? a.position->fullCoordinates.size() : 0;
  return n;
}

}  // namespace

void UpdateCrystalByModel(Crystal *crystal, const CrystalModel *model, const double *values,
                          int rebuild) {
  // An in-place refresh needs the lists a rebuild for this model made; a
  // mismatch would write past them, so it rebuilds instead.
  if (!rebuild &&
      (crystal->atoms.size() != model->atoms.size() ||
       crystal->cellAtoms.size() != CellAtomCount(model)))
    rebuild = 1;
  if (rebuild) {
    crystal->atoms.clear();
    crystal->atoms.reserve(model->atoms.size());
    for (const AtomModel &am : model->atoms) {
      Atom atom;
      SetAtomValues(&atom, &am, values);
      crystal->atoms.push_back(atom);
    }
    crystal->cellAtoms.clear();
    crystal->cellAtoms.reserve(CellAtomCount(model));
    for (const Atom &atom : crystal->atoms) {
      if (!atom.position) continue;
      for (const Coordinate &c : atom.position->fullCoordinates) {
        Atom copy = atom;
        CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &copy.x, &copy.y, &copy.z);
        crystal->cellAtoms.push_back(copy);
      }
    }
    return;
  }
  for (size_t i = 0; i < model->atoms.size(); ++i)
    SetAtomValues(&crystal->atoms[i], &model->atoms[i], values);
  size_t k = 0;
  for (const Atom &atom : crystal->atoms) {
    if (!atom.position) continue;
    for (const Coordinate &c : atom.position->fullCoordinates) {
      Atom &out = crystal->cellAtoms[k++];
      out.element = atom.element;
      out.position = atom.position;
      out.B = atom.B;
      out.occupancy = atom.occupancy;
      CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &out.x, &out.y, &out.z);
    }
  }
}

double GroupBraggFactor(void *argument) {
  const HKLList *list = static_cast<const HKLList *>(argument);
  double sumObs = 0, sumDiff = 0, groupObs = 0, groupCalc = 0;
  bool open = false;
  int32_t group = 0;
  for (const HKLItem &item : list->items) {
    if (open && item.group != group) {
      sumDiff += std::fabs(groupObs - groupCalc);
      groupObs = groupCalc = 0;
    }
    open = true;
    group = item.group;
    groupObs += item.iObsScaled;
    groupCalc += item.iCalc;
    sumObs += item.iObsScaled;
  }
  if (open) sumDiff += std::fabs(groupObs - groupCalc);
  if (sumObs == 0) return -1.0;
  return sumDiff / sumObs;
}

double SpreadOf(double sum, double squares, uint64_t count) {
  if (count == 0) return 0;
  const double mean = sum / static_cast<double>(count);
  const double variance = squares / static_cast<double>(count) - mean * mean;
  // Rounding can leave a hair below zero for equal values.
  return variance > 0 ? std::sqrt(variance) : 0.0;
}

void SortModels(std::vector<CrystalModel *> *models) {
  auto byFactor = [](const CrystalModel *a, const CrystalModel *b) {
    if (a->Rmin != b->Rmin) return a->Rmin < b->Rmin;
    return a->modelNumber < b->modelNumber;
  };
  std::sort(models->begin(), models->end(), byFactor);
  // Models equivalent by an origin shift fit the data equally well up to the
  // last bits of the sum; such runs tie, and the lower model number leads,
  // so that a ranking does not depend on rounding.
  for (size_t first = 0; first < models->size();) {
    size_t end = first + 1;
    while (end < models->size() &&
           std::fabs((*models)[end]->Rmin - (*models)[first]->Rmin) <= 1e-9)
      ++end;
    std::sort(models->begin() + static_cast<long>(first), models->begin() + static_cast<long>(end),
              [](const CrystalModel *a, const CrystalModel *b) {
                return a->modelNumber < b->modelNumber;
              });
    first = end;
  }
}

double SetModelStatisticFOM(CrystalModel *model) {
  // A perfect fit has no spread: 0/0 would make the best model's figure NaN
  // and sort it anywhere.
  const double spread = model->Ravg != 0 ? 100.0 * model->Rsd / model->Ravg : 0.0;
  model->FOM = 10.0 / model->Rmin + spread;
  return model->FOM;
}

void SetModelFactor(CrystalModel *model, Crystal *crystal, HKLList *list, int selector) {
  UpdateCrystalByModel(crystal, model, nullptr, 1);
  CalculateIntensity(list, crystal, selector);
  model->Rmin = GroupBraggFactor(list);
  model->Ravg = model->Rmin;
  model->Rsd = 0.0;
  SetModelStatisticFOM(model);
}

ModelEvaluator::ModelEvaluator(CrystalModel *model, Crystal *crystal, HKLList *list, int selector,
                               FactorFunction factor, void *factorArg)
    : model_(model), crystal_(crystal), list_(list), selector_(selector), factor_(factor),
      factorArg_(factorArg) {
  UpdateCrystalByModel(crystal_, model_, nullptr, 0);
  fast_ = PrepareIntensityWorkspace(&workspace_, list_, crystal_, selector_) == 1;
  ownFactor_ = factor_ == GroupBraggFactor && factorArg_ == list_;
}

double ModelEvaluator::FactorOfCrystal() {
  if (!(fast_ && RefreshIntensityWorkspace(&workspace_, crystal_) &&
        CalculateIntensityFast(&workspace_, list_)))
    CalculateIntensity(list_, crystal_, selector_);
  return factor_(factorArg_);
}

double ModelEvaluator::operator()() {
  UpdateCrystalByModel(crystal_, model_, nullptr, 0);
  // Most moves of a search change one parameter, so one atom's orbit; the
  // grouped Bragg factor of the list then comes from the structure factors
  // without the list (brought up to date by Sync).
  if (fast_) {
    double R = 0;
    if (ownFactor_ && GroupBraggFactorOfMoves(&workspace_, crystal_, &R)) {
      stale_ = true;
      return R;
    }
    if (!ownFactor_ && CalculateIntensityMoves(&workspace_, crystal_, list_))
      return factor_(factorArg_);
  }
  stale_ = false;
  return FactorOfCrystal();
}

void ModelEvaluator::Sync() {
  if (stale_) SyncIntensityList(&workspace_, list_);
  stale_ = false;
}

// ---- search ranges and grids ---------------------------------------------------

namespace {

// The slot a parameter-list entry points at.
const ModelParameter *ParameterOf(const CrystalModel *model, const double *slot) {
  for (const AtomModel &atom : model->atoms)
    for (int i = 0; i < 3; ++i)
      if (&atom.para[i].value == slot) return &atom.para[i];
  return nullptr;
}

int AxisOf(const ModelParameter *p) {
  if (!p) return -1;
  return p->kind == KIND_X ? 0 : p->kind == KIND_Y ? 1 : p->kind == KIND_Z ? 2 : -1;
}

}  // namespace

int SearchRange(const CrystalModel *model, size_t i, const Crystal *crystal, int asym,
                double *lower, double *upper) {
  const double *u = crystal->spaceGroup.asymmetricUnit;
  const ModelParameter *p = ParameterOf(model, model->parameterList[i]);
  const int axis = AxisOf(p);
  *lower = axis >= 0 ? u[2 * axis] : 0;
  *upper = axis >= 0 ? u[2 * axis + 1] : 0;
  if (axis >= 0 && !asym && p->special) {
    *lower = 0;
    *upper = 1;
  }
  return axis;
}

void SetSearchGrid(Search *search, double resolution) {
  const CrystalModel *model = search->model;
  const Crystal *crystal = search->crystal;
  const size_t n = model->parameterList.size();
  SearchGrid &g = search->grid;
  g.current.assign(n, 0);
  g.lower.assign(n, 0);
  g.upper.assign(n, 0);
  g.step.assign(n, 1.0);
  const double edge[3] = {crystal->a, crystal->b, crystal->c};
  for (size_t i = 0; i < n; ++i) {
    double lo = 0, hi = 0;
    const int axis = SearchRange(model, i, crystal, search->asym, &lo, &hi);
    const double step = axis >= 0 ? resolution / edge[axis] : 0;
    // A step that is no positive number would make the grid endless or
    // empty; such a parameter stays where it is.
    if (axis < 0 || !std::isfinite(step) || step <= 0) continue;
    g.step[i] = step;
    g.lower[i] = static_cast<int>(std::floor(lo / step));
    g.upper[i] = static_cast<int>(std::ceil(hi / step));
    g.current[i] = g.lower[i];
  }
}

// ---- the bookkeeping every search does -------------------------------------

namespace {

void CopyValues(const CrystalModel *model, std::vector<double> *out) {
  for (size_t i = 0; i < model->parameterList.size(); ++i) (*out)[i] = *model->parameterList[i];
}

void RestoreValues(CrystalModel *model, const std::vector<double> &values) {
  for (size_t i = 0; i < model->parameterList.size(); ++i) *model->parameterList[i] = values[i];
}

// One search in progress: the evaluation, the best values, the progress
// record and its report.
class SearchRun {
 public:
  explicit SearchRun(Search *s)
      : s_(*s), model_(s->model), n_(s->model->parameterList.size()),
        random_(s->random ? *s->random : ThreadSearchRandom()),
        evaluate_(s->model, s->crystal, s->list, s->selector, s->factor,
                  s->factorArg ? s->factorArg : s->list),
        best_(n_), shown_(n_) {
    CopyValues(model_, &best_);
    record_.model = model_;
    record_.values = shown_.data();
    model_->runMinimum = 100.0;
  }

  size_t size() const { return n_; }
  SearchRandom &random() { return random_; }
  OptimizationProgress &record() { return record_; }
  double *value(size_t i) { return model_->parameterList[i]; }
  void SetFromGrid(size_t i) {
    *value(i) = s_.grid.current[i] * s_.grid.step[i];
  }
  int RandomParameter() {
    const int n = static_cast<int>(n_);
    return static_cast<int>(n * random_.Rand()) % n;
  }

  double EvaluateQuietly() { return evaluate_(); }

  // Evaluates and books the factor: count, flags, and a new minimum of this
  // run. With showRunBest the display follows every new run minimum (grid
  // search, traditional annealing); otherwise the search decides.
  double Evaluate(bool showRunBest) {
    const double R = evaluate_();
    record_.factor = R;
    record_.count++;
    record_.newRunBest = record_.newBest = 0;
    if (R < model_->runMinimum) {
      model_->runMinimum = R;
      record_.newRunBest = 1;
      if (showRunBest) {
        record_.newBest = 1;
        CopyValues(model_, &shown_);
      }
    }
    return R;
  }
  // A new best of the model: kept, and optionally shown.
  void NoteBest(double R, bool show) {
    model_->Rmin = R;
    CopyValues(model_, &best_);
    if (show) {
      record_.newBest = 1;
      shown_ = best_;
    }
  }
  bool Report() {
    proceed_ = s_.progress ? s_.progress(&record_, s_.progressArg) != 0 : true;
    return proceed_;
  }
  bool proceeding() const { return proceed_; }
  double Finish() {
    evaluate_.Sync();
    RestoreValues(model_, best_);
    return model_->Rmin;
  }

 private:
  Search &s_;
  CrystalModel *model_;
  size_t n_;
  SearchRandom &random_;
  ModelEvaluator evaluate_;
  std::vector<double> best_, shown_;
  OptimizationProgress record_;
  bool proceed_ = true;
};

// Temperature steps of one cycle from start down to end at the given rate,
// or -1 when the schedule never ends.
long TemperatureSteps(double start, double end, double rate) {
  long steps = 0;
  for (double T = start; T > end; T *= rate) {
    if (++steps > kMaxTemperatureSteps) return -1;
  }
  return steps;
}

}  // namespace

// ---- statistic test and filter ---------------------------------------------

uint32_t StatisticTestAutoTrails(const CrystalModel *model) {
  const int n = model->freeCount;
  if (n == 1) return 100;
  if (n == 2) return 2500;
  if (n == 3) return 8000;
  if (n <= 2) return 10000u >> (2 - n);  // n = 0: 2500; never reached by a test
  // 10000 << 18 is the last doubling that fits 32 bits; beyond it random
  // sampling of more than twenty parameters learns nothing more per trial.
  if (n - 2 > 18) return 10000u << 18;
  return 10000u << (n - 2);
}

void RunStatisticTest(Search *search, uint32_t trials, int autoTrials,
                      StatisticProgressFunction progress, void *progressArg) {
  CrystalModel *model = search->model;
  const size_t n = model->parameterList.size();
  ModelEvaluator evaluate(model, search->crystal, search->list, search->selector, search->factor,
                          search->factorArg ? search->factorArg : search->list);
  if (n == 0) {
    model->Rmin = evaluate.FactorOfCrystal();
    model->Ravg = model->Rmin;
    model->Rsd = 0.0;
    SetModelStatisticFOM(model);
    return;
  }
  SearchRandom &random = search->random ? *search->random : ThreadSearchRandom();
  std::vector<double> lower(n), upper(n), best(n);
  for (size_t i = 0; i < n; ++i) {
    SearchRange(model, i, search->crystal, search->asym, &lower[i], &upper[i]);
    best[i] = *model->parameterList[i];
  }
  const uint32_t T = autoTrials ? StatisticTestAutoTrails(model) : trials;
  StatisticProgress record;
  record.model = model;
  record.total = T;
  record.done = 0;
  random.Reseed();
  double R = 100.0, sum = 0, squares = 0;
  uint32_t ran = 0;
  int stop = 0;
  for (uint32_t t = 0; t < T && !stop; ++t) {
    for (size_t i = 0; i < n; ++i)
      *model->parameterList[i] = lower[i] + (upper[i] - lower[i]) * random.Rand();
    R = evaluate();
    if (R < model->Rmin) {
      model->Rmin = R;
      CopyValues(model, &best);
    }
    record.done = t + 1;
    ran = t + 1;
    sum += R;
    squares += R * R;
    stop = progress ? progress(&record, progressArg) : 0;
  }
  evaluate.Sync();
  RestoreValues(model, best);
  model->selected = 1;
  if (ran == 0) {
    model->Ravg = R;
    model->Rsd = 0.0;
  } else {
    model->Ravg = sum / ran;
    model->Rsd = squares / ran - model->Ravg * model->Ravg;
  }
  SetModelStatisticFOM(model);
}

std::vector<CrystalModel *> ModelsStatisticFilter(CrystalModelList *models,
                                                  const FilterSettings &settings, int flags,
                                                  uint32_t *count) {
  std::vector<CrystalModel *> kept;
  *count = 0;
  if (settings.filterType < 0 || settings.filterType > 2) return kept;
  for (CrystalModel &m : models->models) {
    switch (settings.filterType) {
      case 0:
        m.selected = m.FOM > settings.fomThreshold ? 1 : 0;
        break;
      case 1:
        m.selected = (m.Rmin >= settings.bestThreshold && m.Rsd < settings.sdThreshold &&
                      m.Ravg > settings.avgThreshold)
                         ? 0
                         : 1;
        break;
      default:
        m.selected = 1;
        break;
    }
    if ((flags & FILTER_VALID_ONLY) && !(m.validity & VALIDITY_BOND_LENGTHS)) m.selected = 0;
    if (m.selected) kept.push_back(&m);
  }
  *count = static_cast<uint32_t>(kept.size());
  kept.shrink_to_fit();
  return kept;
}

std::vector<CrystalModel *> CrystalModelsOf(const std::vector<CrystalModel *> &sorted, int mode,
                                            uint32_t count, double threshold,
                                            SelectionLevel *level) {
  size_t kept = 0;
  if (mode == 0) {
    kept = sorted.size();
  } else if (mode == 1) {
    kept = std::min<size_t>(count, sorted.size());
  } else if (mode == 2) {
    while (kept < sorted.size() && sorted[kept]->Rmin <= threshold) ++kept;
  }
  std::vector<CrystalModel *> chosen(sorted.begin(), sorted.begin() + static_cast<long>(kept));
  if (level) level->models = chosen;
  return chosen;
}


// ---- global optimisation ---------------------------------------------------

double RunSolveStructure(Search *search, int method, const StageSettings &settings) {
  CrystalModel *model = search->model;
  if (model->parameterList.empty()) {
    ModelEvaluator evaluate(model, search->crystal, search->list, search->selector,
                            search->factor, search->factorArg ? search->factorArg : search->list);
    return evaluate.FactorOfCrystal();
  }
  SetSearchGrid(search, settings.resolution);
  switch (method) {
    case METHOD_GRID:
      RunGridSearch(search);
      break;
    case METHOD_TRADITIONAL:
      RunTraditionalAnnealing(search, settings.traditional);
      break;
    case METHOD_ADAPTIVE:
      RunAdaptiveAnnealing(search, settings.adaptive);
      break;
    default:
      Message(MESSAGE_ERROR, "solving structure, unknown global optimazation method!\n");
      break;
  }
  return model->Rmin;
}

double RunGridSearch(Search *search) {
  CrystalModel *model = search->model;
  SearchGrid &g = search->grid;
  const size_t n = model->parameterList.size();
  if (n == 0) return model->Rmin;
  SearchRun run(search);
  double total = 1;
  for (size_t i = 0; i < n; ++i) total *= g.upper[i] - g.lower[i];
  run.record().total = total;
  do {
    for (size_t i = 0; i < n; ++i) run.SetFromGrid(i);
    const double R = run.Evaluate(true);
    if (R < model->Rmin) run.NoteBest(R, false);
    run.Report();
  } while (increase(g.current.data(), g.lower.data(), g.upper.data(), static_cast<int>(n)) &&
           run.proceeding());
  return run.Finish();
}

double RunTraditionalAnnealing(Search *search, const TraditionalAnnealingSettings &settings) {
  CrystalModel *model = search->model;
  SearchGrid &g = search->grid;
  const size_t n = model->parameterList.size();
  if (n == 0) return model->Rmin;
  SearchRun run(search);
  const uint32_t cyclesMoves = settings.cycles * settings.moves;
  long steps = TemperatureSteps(settings.startT, settings.endT, settings.rate);
  if (steps < 0) {
    Message(MESSAGE_WARNING,
            "solving structure by Simulated Annealing, the temperature schedule (%f to %f at "
            "rate %f) never ends; each cycle stops after %d temperature steps\n",
            settings.startT, settings.endT, settings.rate, kMaxTemperatureSteps);
    steps = kMaxTemperatureSteps;
  }
  // The planned count only feeds the percentage shown; a schedule cut
  // short above counts the steps it will really take.
  const double planned = std::ceil(cyclesMoves * std::log10(settings.endT / settings.startT) /
                                   std::log10(settings.rate));
  run.record().total = std::isfinite(planned) && planned >= 0 && steps < kMaxTemperatureSteps
                           ? planned
                           : static_cast<double>(cyclesMoves) * static_cast<double>(steps);
  SearchRandom &random = run.random();
  for (uint32_t cycle = 0; cycle < settings.cycles && run.proceeding(); ++cycle) {
    random.Reseed();
    for (size_t i = 0; i < n; ++i) {
      g.current[i] = static_cast<int>(g.lower[i] + (g.upper[i] - g.lower[i]) * random.Rand());
      run.SetFromGrid(i);
    }
    double Rcur = run.EvaluateQuietly();
    double T = settings.startT;
    for (long s = 0; T > settings.endT && run.proceeding() && s < kMaxTemperatureSteps; ++s) {
      random.Reseed();
      for (uint32_t m = 0; m < settings.moves && run.proceeding(); ++m) {
        for (size_t i = 0; i < n; ++i) run.SetFromGrid(i);
        const size_t k = static_cast<size_t>(run.RandomParameter());
        const int saved = g.current[k];
        g.current[k] = static_cast<int>(g.lower[k] + (g.upper[k] - g.lower[k]) * random.Rand());
        run.SetFromGrid(k);
        const double R = run.Evaluate(true);
        if (R < model->Rmin) run.NoteBest(R, false);
        const double d = R - Rcur;
        bool accept = d < 0;
        if (!accept) accept = std::exp(-d / T) >= random.Rand();
        if (accept)
          Rcur = R;
        else
          g.current[k] = saved;
        run.Report();
      }
      T *= settings.rate;
    }
  }
  return run.Finish();
}

double RunAdaptiveAnnealing(Search *search, const AdaptiveAnnealingSettings &settings) {
  CrystalModel *model = search->model;
  SearchGrid &g = search->grid;
  const size_t n = model->parameterList.size();
  if (n == 0) return model->Rmin;
  std::FILE *log = search->annealingLog;
  double T0 = 0, Tend = 0;
  uint32_t M = 0;
  if (settings.strategy == 0) {
    T0 = settings.startT;
    Tend = settings.endT;
    M = settings.moves;
  } else if (settings.strategy == 1) {
    T0 = 1.5 * model->Rsd;
    Tend = 0.2 * T0;
    const int e = (static_cast<int>(n) + 1) / 2;
    double moves = static_cast<double>(n) * std::pow(10.0, e);
    M = moves > 4e9 ? 4000000000u : static_cast<uint32_t>(moves);
    if (log) std::fprintf(log, "moves : %ld\n", static_cast<long>(M));
  }
  SearchRun run(search);
  OptimizationProgress &record = run.record();
  for (uint32_t c = 0; c < settings.cycles; ++c) {
    long s = 0;
    for (double T = T0; T > Tend && s < kMaxTemperatureSteps; T *= 0.9, ++s) record.total += M;
  }
  SearchRandom &random = run.random();
  random.Reseed();
  for (size_t i = 0; i < n; ++i)
    g.current[i] = static_cast<int>(g.lower[i] + (g.upper[i] - g.lower[i]) * random.Rand());
  bool warned = false;
  for (uint32_t cycle = 0; cycle < settings.cycles && run.proceeding(); ++cycle) {
    double stepScale = 1.0;
    double T = T0;
    long s = 0;
    while (T > Tend && run.proceeding()) {
      if (++s > kMaxTemperatureSteps) {
        if (!warned)
          Message(MESSAGE_WARNING,
                  "solving structure by Simulated Annealing, the temperature does not fall to "
                  "%f; each cycle stops after %d temperature steps\n",
                  Tend, kMaxTemperatureSteps);
        warned = true;
        break;
      }
      random.Reseed();
      long accepted = 0;
      // The spread of this step's factors from running sums: a step of
      // billions of moves needs no array of them.
      double sum = 0, squares = 0;
      uint32_t made = 0;
      for (uint32_t m = 0; m < M && run.proceeding(); ++m) {
        const size_t k = static_cast<size_t>(run.RandomParameter());
        const int saved = g.current[k];
        const int half = (g.upper[k] - g.lower[k]) / 2;
        g.current[k] = static_cast<int>(g.current[k] + (random.Rand() - 0.5) * stepScale * half);
        g.current[k] = std::min(std::max(g.current[k], g.lower[k]), g.upper[k]);
        run.SetFromGrid(k);
        const double R = run.Evaluate(false);
        sum += R;
        squares += R * R;
        made = m + 1;
        const double d = R - model->Rmin;
        if (d < 0) {
          run.NoteBest(R, true);
          ++accepted;
        } else if (std::exp(-d / T) >= random.Rand()) {
          ++accepted;
        } else {
          g.current[k] = saved;
          run.SetFromGrid(k);
        }
        run.Report();
      }
      const double a = M ? static_cast<double>(accepted) / M : 0;
      if (M && log) std::fprintf(log, "[%ld]accpetance ratio = %f\n", accepted, a);
      if (a > 0.6)
        stepScale *= (a - 0.6) / 0.4 + 1;
      else if (a < 0.4)
        stepScale /= (0.4 - a) / 0.4 + 1;
      // A stopped step has only the moves it made.
      T = 1.5 * SpreadOf(sum, squares, made);
      if (log) {
        std::fprintf(log, "T = %f\n", T);
        std::fflush(log);
      }
    }
  }
  return run.Finish();
}

// ---- bond lengths ------------------------------------------------------------

void InitializeBondLengths(BondLengths *table) {
  table->count = 0;
  table->items.clear();
}

void FreeBondLengths(BondLengths *table) {
  std::vector<BondLength>().swap(table->items);
  table->count = 0;
}

namespace {

// Fractions of the radius sums that the default minima take; see
// DefaultBondMinimum.
constexpr double kBondFraction = 0.85;
constexpr double kAnionAnionFraction = 0.80;
constexpr double kCationCationFraction = 0.5773502691896258;  // 1 / sqrt(3)

bool IsProton(const Element *e) { return e->atomicNumber == 1 && e->oxidation >= 0; }

}  // namespace

double DefaultBondMinimum(const Element *first, const Element *second, double smallestAnion) {
  if (IsProton(first) || IsProton(second))
    return kBondFraction * (first->covalentRadius + second->covalentRadius) / 1000.0;
  const double sum = first->ionRadius + second->ionRadius;
  if (first->oxidation < 0 && second->oxidation < 0) return kAnionAnionFraction * sum / 1000.0;
  if (first->oxidation > 0 && second->oxidation > 0 && smallestAnion > 0)
    return kCationCationFraction * (sum + 2 * smallestAnion) / 1000.0;
  return kBondFraction * sum / 1000.0;
}

double SmallestAnionRadius(const Compound *compound) {
  double smallest = 0;
  auto take = [&](const Element &e) {
    if (e.oxidation < 0 && (smallest == 0 || e.ionRadius < smallest)) smallest = e.ionRadius;
  };
  for (const Element &e : compound->entries) {
    if (e.atomicNumber > 0) take(e);
    for (const Element &m : e.members) take(m);
  }
  return smallest;
}

void UpdateBondLengthConstraints(BondLengths *table, const Compound *compound) {
  FreeBondLengths(table);
  std::vector<const Element *> elements;
  for (const Element &e : compound->entries) {
    if (e.atomicNumber > 0 && elements.size() < 64) elements.push_back(&e);
    for (const Element &m : e.members)
      if (elements.size() < 64) elements.push_back(&m);
  }
  const double anion = SmallestAnionRadius(compound);
  for (size_t i = 0; i < elements.size(); ++i)
    for (size_t j = i; j < elements.size(); ++j) {
      BondLength b;
      b.first = elements[i];
      b.second = elements[j];
      b.distance = DefaultBondMinimum(elements[i], elements[j], anion);
      table->items.push_back(b);
    }
  table->count = static_cast<int32_t>(table->items.size());
}

namespace {

struct Image {
  const Atom *atom;
  size_t source;  // the asymmetric-unit atom it is an image of
  double x, y, z;  // Cartesian, angstrom
};

bool SamePair(const BondLength &b, const Element *p, const Element *q) {
  return (b.first == p && b.second == q) || (b.first == q && b.second == p);
}

bool SameKind(const Element *a, const Element *b) {
  return a->atomicNumber == b->atomicNumber && a->oxidation == b->oxidation;
}

}  // namespace

void GenerateBondLengths(BondLengths *table, Crystal *crystal, const CrystalModel *model,
                         double xl, double xu, double yl, double yu, double zl, double zu) {
  UpdateCrystalByModel(crystal, model, nullptr, 1);
  TransMatrix m;
  if (!TransMatrixFToC(&m, crystal->a, crystal->b, crystal->c, crystal->alpha, crystal->beta,
                       crystal->gamma))
    return;
  FreeBondLengths(table);
  // Neighbours are listed up to three radius sums, and always past the
  // pair's default minimum, which for small cations lies beyond that.
  double anion = 0;
  for (const Atom &a : crystal->atoms)
    if (a.element->oxidation < 0 && (anion == 0 || a.element->ionRadius < anion))
      anion = a.element->ionRadius;
  // The rebuild lays the cell out atom by atom of the asymmetric unit, one
  // image per matrix of its position: that tells which atom each cell atom
  // is an image of.
  std::vector<size_t> source;
  source.reserve(crystal->cellAtoms.size());
  for (size_t i = 0; i < crystal->atoms.size(); ++i)
    if (crystal->atoms[i].position)
      source.insert(source.end(), crystal->atoms[i].position->fullCoordinates.size(), i);
  const bool traced = source.size() == crystal->cellAtoms.size();
  std::vector<Image> images;
  for (size_t k = 0; k < crystal->cellAtoms.size(); ++k) {
    const Atom &atom = crystal->cellAtoms[k];
    for (int tx = static_cast<int>(std::floor(xl)); tx <= static_cast<int>(std::ceil(xu)); ++tx)
      for (int ty = static_cast<int>(std::floor(yl)); ty <= static_cast<int>(std::ceil(yu)); ++ty)
        for (int tz = static_cast<int>(std::floor(zl)); tz <= static_cast<int>(std::ceil(zu));
             ++tz) {
          const double X = atom.x + tx, Y = atom.y + ty, Z = atom.z + tz;
          if (X < xl || X > xu || Y < yl || Y > yu || Z < zl || Z > zu) continue;
          Image image{&atom, traced ? source[k] : SIZE_MAX, 0, 0, 0};
          TransMatrixMultiply(&m, X, Y, Z, &image.x, &image.y, &image.z);
          images.push_back(image);
        }
  }
  for (size_t i = 0; i < crystal->atoms.size(); ++i) {
    const Atom &a = crystal->atoms[i];
    double ax, ay, az;
    TransMatrixMultiply(&m, a.x, a.y, a.z, &ax, &ay, &az);
    for (const Image &b : images) {
      const double d = std::sqrt((ax - b.x) * (ax - b.x) + (ay - b.y) * (ay - b.y) +
                                 (az - b.z) * (az - b.z));
      const Atom &batom = *b.atom;
      // An atom meets itself at distance 0. Another atom of the same
      // element on the same spot is no image of it: that is a clash.
      const bool self = traced ? b.source == i
                               : batom.element == a.element && batom.position &&
                                     a.position &&
                                     batom.position->wyckoffLetter == a.position->wyckoffLetter;
      if (d < 1e-6 && self) continue;
      // Members of one mixed site share their point by design; that is no
      // bond. They are different elements: one element twice is two atoms.
      if (d < 1e-6 && a.element != batom.element && a.element->fraction > 0 &&
          batom.element->fraction > 0 && batom.position == a.position)
        continue;
      const double reach =
          std::max((a.element->ionRadius + batom.element->ionRadius) * 0.003,
                   1.5 * DefaultBondMinimum(a.element, batom.element, anion));
      if (!(d < reach)) continue;
      bool known = false;
      for (const BondLength &e : table->items)
        if (std::fabs(e.distance - d) < 1e-6 && SamePair(e, a.element, batom.element)) {
          known = true;
          break;
        }
      if (known) continue;
      BondLength entry;
      entry.first = a.element;
      entry.second = batom.element;
      entry.distance = d;
      table->items.push_back(entry);
    }
  }
  table->count = static_cast<int32_t>(table->items.size());
}

int CheckBondLengthValidity(BondLengths *measured, const BondLengths *minima, double factor) {
  int result = 1;
  for (BondLength &b : measured->items) {
    b.valid = 1;
    for (const BondLength &min : minima->items) {
      // A pair is stored in the order first met; the minimum may list it the
      // other way round and still applies.
      bool match = (SameKind(min.first, b.first) && SameKind(min.second, b.second)) ||
                   (SameKind(min.first, b.second) && SameKind(min.second, b.first));
      if (!match) continue;
      // A minimum the user switched off leaves its pair unchecked.
      if (min.valid && min.distance * factor > b.distance) {
        b.valid = 0;
        result = 0;
      }
      break;
    }
  }
  return result;
}

// ---- output files ----------------------------------------------------------

namespace {

std::string Fraction(double value) {
  // Constants of a triplet are multiples of 1/12 or 1/8; 24ths cover both.
  double reduced = value - std::floor(value);
  long twentyfourths = std::lround(reduced * 24) % 24;
  if (twentyfourths == 0) return "";
  long g = 24, n = twentyfourths;
  long a = n, b = g;
  while (b) {
    long t = a % b;
    a = b;
    b = t;
  }
  return std::to_string(n / a) + "/" + std::to_string(g / a);
}


}  // namespace

std::string MatrixToTriplet(const double matrix[3][4]) {
  static const char variables[3] = {'x', 'y', 'z'};
  std::string out;
  for (int r = 0; r < 3; ++r) {
    std::string e;
    for (int c = 0; c < 3; ++c) {
      long k = std::lround(matrix[r][c]);
      if (k == 0) continue;
      if (k < 0)
        e += '-';
      else if (!e.empty())
        e += '+';
      if (std::labs(k) != 1) e += std::to_string(std::labs(k));
      e += variables[c];
    }
    std::string constant = Fraction(matrix[r][3]);
    if (!constant.empty()) e += (e.empty() ? "" : "+") + constant;
    if (e.empty()) e = "0";
    if (r) out += ',';
    out += e;
  }
  return out;
}

std::string FormulaSum(const Compound &compound) {
  // Per formula unit; an element on a mixed site counts with its share.
  std::map<std::string, double> counts;
  for (const Element &e : compound.entries) {
    if (e.atomicNumber > 0) counts[e.symbol] += e.count;
    for (const Element &m : e.members) counts[m.symbol] += e.count * m.fraction;
  }
  // Hill's order: carbon and hydrogen first when there is carbon, then the
  // rest alphabetically.
  std::vector<std::string> order;
  const bool carbon = counts.count("C") > 0;
  if (carbon) {
    order.push_back("C");
    if (counts.count("H")) order.push_back("H");
  }
  for (const auto &c : counts)
    if (!carbon || (c.first != "C" && c.first != "H")) order.push_back(c.first);
  std::string sum;
  for (const std::string &symbol : order) {
    const double n = counts[symbol];
    if (n <= 0) continue;
    char number[32] = "";
    if (std::fabs(n - 1) > 1e-9) {
      std::snprintf(number, sizeof number, "%.6f", n);
      char *end = number + std::strlen(number) - 1;
      while (*end == '0') *end-- = '\0';
      if (*end == '.') *end = '\0';
    }
    if (!sum.empty()) sum += ' ';
    sum += symbol + number;
  }
  return sum;
}

void WriteCIF(std::FILE *f, const Crystal *crystal, const Job *job) {
  const SpaceGroup &sg = job->crystal.spaceGroup;
  std::fprintf(f,
               "#########################################################\n"
               "# This cif file is created by Quendralit                #\n"
               "# (kernel version %d.%d.%d)                                #\n"
               "#########################################################\n",
               kKernelMajor, kKernelMinor, kKernelRelease);
  std::fprintf(f, "\ndata_%s", "Crystal");
  std::fprintf(f, "\n# Chemical data\n");
  // The dictionary's form, which other programs compute cell contents
  // from: element symbols with their counts, blank-separated.
  std::fprintf(f, "_chemical_formula_sum\t'%s'\n", FormulaSum(job->compound).c_str());
  std::fprintf(f, "_cell_formula_units_Z\t%d\n", job->config.formularZ);
  std::fprintf(f, "\n# Crystal data\n");
  std::fprintf(f, "_symmetry_cell_setting\t%s\n", sg.crystalSystem.c_str());
  std::fprintf(f, "_symmetry_Int_Tables_number\t%d\n", sg.number);
  // The symbol of the setting: the short symbol alone would leave readers to
  // guess origin choice, unique axis and axes.
  std::fprintf(f, "_symmetry_space_group_name_H-M\t'%s'\n",
               (sg.settingSymbol.empty() ? sg.shortSymbol : sg.settingSymbol).c_str());
  if (sg.origin.compare(0, 6, "Hall: ") == 0)
    std::fprintf(f, "_symmetry_space_group_name_Hall\t'%s'\n", sg.origin.substr(6).c_str());
  const Position *general = nullptr;
  for (const Position &p : sg.positions)
    if (p.siteSymmetry == "1") {
      general = &p;
      break;
    }
  if (general) {
    std::fprintf(f, "\nloop_\n");
    std::fprintf(f, "\t_symmetry_equiv_pos_as_xyz\n");
    // Every operator of the group: software that expands the list would
    // otherwise build a centred structure with a fraction of its atoms.
    for (const Coordinate &c : general->coordinates) {
      if (sg.translations.empty()) {
        std::fprintf(f, "'%s'\n", c.text.c_str());
        continue;
      }
      for (const Coordinate &t : sg.translations) {
        bool zero = t.matrix[0][3] == 0 && t.matrix[1][3] == 0 && t.matrix[2][3] == 0;
        if (zero) {
          std::fprintf(f, "'%s'\n", c.text.c_str());
          continue;
        }
        double sum[3][4];
        CoordMatrixAdd(sum, c.matrix, t.matrix);
        std::fprintf(f, "'%s'\n", MatrixToTriplet(sum).c_str());
      }
    }
  }
  std::fprintf(f, "_cell_length_a\t%f\n", crystal->a);
  std::fprintf(f, "_cell_length_b\t%f\n", crystal->b);
  std::fprintf(f, "_cell_length_c\t%f\n", crystal->c);
  std::fprintf(f, "_cell_angle_alpha\t%f\n", crystal->alpha);
  std::fprintf(f, "_cell_angle_beta\t%f\n", crystal->beta);
  std::fprintf(f, "_cell_angle_gamma\t%f\n", crystal->gamma);
  std::fprintf(f, "\n# Atomic coordinates and dispalcement parameters\n");
  std::fprintf(f, "loop_\n");
  std::fprintf(f, "\t_atom_site_label\n");
  std::fprintf(f, "\t_atom_site_type_symbol\n");
  std::fprintf(f, "\t_atom_site_fract_x\n");
  std::fprintf(f, "\t_atom_site_fract_y\n");
  std::fprintf(f, "\t_atom_site_fract_z\n");
  std::fprintf(f, "\t_atom_site_B_iso_or_equiv\n");
  std::fprintf(f, "\t_atom_site_occupancy\n");
  int perElement[kElementCount + 1] = {};
  // The calculated intensities know one displacement factor for every atom:
  // the job's overall B, when it has one.
  const double overallB = job->hklList.overallB;
  for (const Atom &atom : crystal->atoms) {
    int z = atom.element->atomicNumber;
    int number = z >= 0 && z <= kElementCount ? ++perElement[z] : 0;
    std::fprintf(f, "%s%d %s %f %f %f %f %f\n", atom.element->symbol.c_str(), number,
                 atom.element->symbol.c_str(), atom.x, atom.y, atom.z,
                 overallB > 0 ? overallB : atom.B, atom.occupancy);
  }
}

int WriteCIFFile(const char *path, const Crystal *crystal, const Job *job) {
  AtomicFile file(path);
  if (!file.get()) {
    Message(MESSAGE_ERROR, "writting cif file, Can not create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  WriteCIF(file.get(), crystal, job);
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "writting cif file, Can not create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  return 1;
}

void WriteModel(std::FILE *f, Job *job) {
  const Config &c = job->config;
  const SpaceGroup &sg = job->crystal.spaceGroup;
  std::fprintf(f, "Quendralite (kernel version %d.%d.%d)\n", kKernelMajor, kKernelMinor,
               kKernelRelease);
  std::fprintf(f, "\nFormular: %s\n", c.formular.c_str());
  std::fprintf(f, "Z : %d\n", c.formularZ);
  std::fprintf(f, "Cell Parameters: %f %f %f %f %f %f\n", c.cellA, c.cellB, c.cellC,
               c.cellAlpha, c.cellBeta, c.cellGamma);
  std::fprintf(f, "SG Number: %d\n", sg.number);
  std::fprintf(f, "Hermann-Mauguin symbol: %s\n", sg.shortSymbol.c_str());
  if (!sg.translations.empty()) {
    std::fprintf(f, "Coordinates: ");
    for (const Coordinate &t : sg.translations) std::fprintf(f, "(%s)+ ", t.text.c_str());
    std::fprintf(f, "\n");
  }
  const std::string rule72(72, '-'), rule30(30, '-'), rule78(78, '-');
  std::fprintf(f, "Multiplicity\tWyckoff\tCoordinates\n%s\n", rule72.c_str());
  for (const Position &p : sg.positions) {
    std::fprintf(f, "\t%d\t%c\t", p.multiplicity, p.wyckoffLetter);
    for (const Coordinate &t : p.coordinates) std::fprintf(f, "%s ", t.text.c_str());
    std::fprintf(f, "\n");
  }
  std::fprintf(f, "%s\n\n", rule72.c_str());
  const int models = job->models.count;
  std::fprintf(f, "%d models has been generated.\n\n", models);
  FreeModelInfo(&job->modelInfo);
  int lo = 0, hi = 0;
  ModelStatisticInfo(&job->models, &job->modelInfo, &lo, &hi);
  std::fprintf(f, "Model Statistic Information: \n");
  std::fprintf(f, "Minimum parameter count : %d\n", lo);
  std::fprintf(f, "Maximum parameter count : %d\n", hi);
  std::fprintf(f, "ParaNO.\tCount.\tPercen.\n%s\n", rule30.c_str());
  for (const ModelInfoEntry &e : job->modelInfo.entries)
    std::fprintf(f, "%d\t%ld\t%.3f%%\n", e.freeCount, static_cast<long>(e.modelCount),
                 models ? e.modelCount * 100.0 / models : 0.0);
  std::fprintf(f, "%s\n", rule30.c_str());
  std::fprintf(f, "Total\t%d\t100%%\n\n", models);
  for (const CrystalModel &m : job->models.models) {
    std::fprintf(f, "Model %d\n", m.modelNumber);
    std::fprintf(f, "=======================\n");
    std::fprintf(f, "Parameter Count: %d\n", m.freeCount);
    if (m.freeCount < 1) {
      std::fprintf(f, "Parameters: %s", "<null>");
    } else {
      std::fprintf(f, "Parameters: %s", " ");
      for (int i = 1; i <= m.freeCount; ++i) std::fprintf(f, "P%d ", i);
    }
    std::fprintf(f, "\n");
    std::fprintf(f, "Atoms:\tElement\tOX\tWyckoff\tX\t\tY\t\tZ\n%s\n", rule78.c_str());
    for (const AtomModel &a : m.atoms) {
      std::fprintf(f, "\t%s\t%d\t%d%c", a.element->symbol.c_str(), a.element->oxidation,
                   a.position->multiplicity, a.position->wyckoffLetter);
      for (int i = 0; i < 3; ++i) {
        const ModelParameter &p = a.para[i];
        if (p.index < 0)
          std::fprintf(f, "\t%.3f(%s%d)", p.value, "const", 0);
        else
          std::fprintf(f, "\t%.3f(%s%d)", -1.0, "P", p.index + 1);
      }
      std::fprintf(f, "\n");
    }
    std::fprintf(f, "%s\n", rule78.c_str());
    std::fprintf(f, "EPC: %s\n\n", EPCStr(&m).c_str());
  }
}

int WriteModelFile(const char *path, Job *job) {
  AtomicFile file(path);
  if (!file.get()) {
    Message(MESSAGE_ERROR, "writting model file, Can not create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  WriteModel(file.get(), job);
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "writting model file, Can not create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  return 1;
}

// ---- the stages of a job ---------------------------------------------------

StageSettings OptimizationSettings(const Config &c) {
  StageSettings s;
  s.method = c.optimizationMethod;
  s.autoGridSearch = c.autoGridSearch;
  s.autoDimension = c.autoDimension;
  s.resolution = c.searchResolution;
  s.traditional = {static_cast<uint32_t>(c.tradiSaCycles), c.tradiSaStartT, c.tradiSaEndT,
                   c.tradiSaRate, static_cast<uint32_t>(c.tradiSaMoves)};
  s.adaptive = {static_cast<uint32_t>(c.adaptSaCycles), c.adaptSaStartT, c.adaptSaEndT,
                static_cast<uint32_t>(c.adaptSaMoves), c.adaptSaStrategy};
  return s;
}

StageSettings RefinementSettings(const Config &c) {
  StageSettings s;
  s.method = c.refineOptimizationMethod;
  s.autoGridSearch = c.refineAutoGridSearch;
  s.autoDimension = c.refineAutoDimension;
  s.resolution = c.refineSearchResolution;
  s.traditional = {static_cast<uint32_t>(c.refineTradiSaCycles), c.refineTradiSaStartT,
                   c.refineTradiSaEndT, c.refineTradiSaRate,
                   static_cast<uint32_t>(c.refineTradiSaMoves)};
  s.adaptive = {static_cast<uint32_t>(c.refineAdaptSaCycles), c.refineAdaptSaStartT,
                c.refineAdaptSaEndT, static_cast<uint32_t>(c.refineAdaptSaMoves),
                c.refineAdaptSaStrategy};
  return s;
}

int ChooseMethod(const StageSettings &settings, const CrystalModel *model) {
  if (settings.method == METHOD_GRID ||
      (settings.autoGridSearch == 1 && model->freeCount <= settings.autoDimension))
    return METHOD_GRID;
  return settings.method;
}

bool IsAbsolutePath(const std::string &name) {
  // A backslash is an ordinary character of a name here, not a separator.
  return !name.empty() && name[0] == '/';
}

std::string JobPeakFilePath(const Config &c, const std::string &folder) {
  return IsAbsolutePath(c.peakFile) ? c.peakFile : JoinPath(folder, c.peakFile);
}
namespace {

// Forbidden reflections named one by one; a wrong space group would
// otherwise flood the log.
constexpr int kForbiddenReported = 10;

}  // namespace

int ReadJobPeakFile(Job *job, const std::string &folder, int autoRange) {
  Config &c = job->config;
  FreeHKLList(&job->hklList);
  if (c.peakFile.empty()) {
    Message(MESSAGE_ERROR, "reading hkl file, the job names no PEAK_FILE\n");
    return 0;
  }
  const std::string path = JobPeakFilePath(c, folder);
  const double start = c.startAngle, end = c.endAngle;
  int n = ReadHKLList(&job->hklList, path.c_str(), c.peakFileFormat, &c.startAngle, &c.endAngle,
                      c.peakNWidth, autoRange);
  if (n <= 0) {
    // A failed reading has been reported and cleared both angles; an empty
    // reading has not.
    if (c.startAngle != 0 || c.endAngle != 0)
      Message(MESSAGE_ERROR,
              "reading hkl file \"%s\", no reflection between %f and %f degrees 2theta\n",
              path.c_str(), start, end);
    return 0;
  }
  // A forbidden reflection in the data points at a wrong space group or a
  // wrong indexing; it is kept, since the user may know better.
  const SpaceGroup &sg = job->crystal.spaceGroup;
  int forbidden = 0;
  for (const HKLItem &item : job->hklList.items) {
    if (!ReflectionForbidden(sg, item.h, item.k, item.l)) continue;
    if (++forbidden <= kForbiddenReported)
      Message(MESSAGE_WARNING,
              "reading hkl file \"%s\", reflection %d %d %d at %f degrees 2theta is forbidden "
              "in space group %s (no. %d, setting %d)\n",
              path.c_str(), item.h, item.k, item.l, item.twoTheta, sg.shortSymbol.c_str(),
              sg.number, sg.setting);
  }
  if (forbidden > kForbiddenReported)
    Message(MESSAGE_WARNING, "reading hkl file \"%s\", %d more reflections are forbidden\n",
            path.c_str(), forbidden - kForbiddenReported);
  if (!SetASFTable(&job->hklList, &job->compound)) {
    FreeHKLList(&job->hklList);
    return 0;
  }
  SetLPFactor(&job->hklList, &job->radiation);
  if (!SetJobOverallB(job)) {
    FreeHKLList(&job->hklList);
    return 0;
  }
  return n;
}

bool SetJobOverallB(Job *job) {
  Config &c = job->config;
  if (c.autoOverallB == 1) {
    WilsonPlot plot;
    c.overallB = 0;
    if (WilsonOverallB(&job->hklList, &job->compound, c.radiation, &plot)) {
      c.overallB = plot.B;
      Message(MESSAGE_HINT, "overall B from a Wilson plot: %.2f A^2 over %d reflections in %d shells\n",
              plot.B, plot.reflections, plot.shells);
    }
  }
  if (!SetOverallB(&job->hklList, c.overallB)) {
    Message(MESSAGE_ERROR,
            "setting up the job, OVERALL_B %f: the overall displacement factor must lie from 0 to "
            "%.0f A^2\n",
            c.overallB, kMaxOverallB);
    return false;
  }
  return true;
}
