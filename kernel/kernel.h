// The job: everything of one solving job, and its set-up from the
// configuration.
#ifndef PULVINA_KERNEL_H
#define PULVINA_KERNEL_H

#include "combination.h"
#include "crystal.h"
#include "element.h"
#include "file.h"
#include "intensity.h"
#include "model.h"
#include "diffractometer.h"
#include "profile.h"
#include "random.h"
#include "spacegroup.h"
#include "utils.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// The set-up of a job read from a control file, as the composition page
// makes it: the compound from the formula with Z, oxidation states and
// scattering data, the radiation, the space group and the cell. Checks what
// only the whole job can judge: ionic radii of the oxidation states, the
// scattering data files, the cell, and the constraints against formula and
// space group. False with the reason reported.
bool SetupJob(Job *job);
// The data files of a job: its own folder, or the default.
const DataLocation &JobData(const Job *job);
// The compound part of SetupJob: parses the formula (a failure leaves the
// compound empty) and applies the composition to it. After a failure that
// follows the parsing the compound stays parsed, so that a front end can
// list its elements for correction.
bool SetupJobCompound(Job *job);
// Z, the oxidation states, the scattering data, the ionic radii and the
// bond-length minima of the configuration applied to the parsed compound in
// place, with the checks of SetupJob: pointers to its elements stay valid.
bool ApplyJobComposition(Job *job);
// The constraints of the configuration against the compound and the space
// group; false, with the first that names no entry or position reported.
bool CheckJobConstraints(const Job &job);
// Atoms of one kind a cell may hold: far beyond any structure, well inside
// the integers the enumeration multiplies.
constexpr int kMaxCellCount = 1000000;

int SetOxidations(Compound *compound, const std::vector<Oxidation> &oxidation);
void SetRadiation(const Config *config, Radiation *radiation);
int UpdateConstraintList(Constraints *constraints, const char *name, int index, char wyckoffLetter,
                         int minimum, int maximum);
// The name a constraint must carry for restraint slot k (0 = all atoms).
std::string ConstraintEntryName(const Compound *compound, int slot);
int SetConstraints(const Compound *compound, CombPositions *cp, const Constraints &constraints);
int SetFixedCoordinates(CrystalModel *model, const FixedCoordinates &fixedCoordinates);
int ResetFixedCoordinates(CrystalModel *model, const FixedCoordinates &fixedCoordinates);

// Model evaluation and figures of merit.
using FactorFunction = double (*)(void *argument);
void SetAtomValues(Atom *atom, const AtomModel *atomModel, const double *values);
void UpdateCrystalByModel(Crystal *crystal, const CrystalModel *model, const double *values,
                          int rebuild);
double GroupBraggFactor(void *list);
// The population standard deviation from running sums of count values.
double SpreadOf(double sum, double squares, uint64_t count);
// Sorts model pointers best first: ascending Rmin, and models whose factors
// agree to 1e-9 by model number.
void SortModels(std::vector<CrystalModel *> *models);
double SetModelStatisticFOM(CrystalModel *model);
void SetModelFactor(CrystalModel *model, Crystal *crystal, HKLList *list, int selector);

// ---- statistic test and filter ----

struct StatisticProgress {
  CrystalModel *model = nullptr;
  uint32_t total = 0;
  uint32_t done = 0;
};
// The statistic test stops when this returns non-zero.
using StatisticProgressFunction = int (*)(const StatisticProgress *record, void *argument);

struct FilterSettings {
  int filterType = 2;
  double fomThreshold = 100.0;
  double avgThreshold = 1.0;
  double sdThreshold = 0.01;
  double bestThreshold = 0.1;
};
enum FilterFlags { FILTER_VALID_ONLY = 1 };

// Trials for a model's free count; bounded for large counts, where the
// doubling would pass 32 bits.
uint32_t StatisticTestAutoTrails(const CrystalModel *model);
std::vector<CrystalModel *> ModelsStatisticFilter(CrystalModelList *models,
                                                  const FilterSettings &settings, int flags,
                                                  uint32_t *count);
// The refinement choice from models sorted best first, by mode: 0 all of
// them, 1 the first count, 2 those whose Rmin is at most threshold; any
// other mode none. The level, when given, gets the models chosen.
std::vector<CrystalModel *> CrystalModelsOf(const std::vector<CrystalModel *> &sorted, int mode,
                                            uint32_t count, double threshold,
                                            SelectionLevel *level);

// ---- global optimisation ----

struct OptimizationProgress {
  double total = 0;
  double factor = 0;
  uint32_t count = 0;
  int newRunBest = 0;
  int newBest = 0;
  CrystalModel *model = nullptr;
  const double *values = nullptr;
};
// The optimisers stop when this returns 0.
using OptimizationProgressFunction = int (*)(const OptimizationProgress *record, void *argument);

enum OptimizationMethod { METHOD_GRID = 0, METHOD_TRADITIONAL = 1, METHOD_ADAPTIVE = 2 };

struct TraditionalAnnealingSettings {
  uint32_t cycles = 1;
  double startT = 10.0;
  double endT = 0.01;
  double rate = 0.9;
  uint32_t moves = 1000;
};

struct AdaptiveAnnealingSettings {
  uint32_t cycles = 1;
  double startT = 10.0;
  double endT = 0.01;
  uint32_t moves = 1000;
  int strategy = 0;
};

// The solving settings of one stage, optimisation or refinement: the
// method, when to take the grid search instead, the grid and the annealings.
struct StageSettings {
  int method = METHOD_GRID;
  int autoGridSearch = 1;
  int autoDimension = 3;
  double resolution = 0.1;
  TraditionalAnnealingSettings traditional;
  AdaptiveAnnealingSettings adaptive;
};

// Temperature steps one annealing cycle may take; schedules that would never
// cool to their end are cut here with a message.
constexpr int kMaxTemperatureSteps = 10000;

// The grid a search moves on. Index i belongs to entry i of the model's
// parameter list; the parameter's value is current[i] x step[i], and
// current[i] stays within [lower[i], upper[i]].
struct SearchGrid {
  std::vector<int> current, lower, upper;
  std::vector<double> step;
};

// Everything one search of one model works with. The crystal and the list
// are the search's own while it runs: parallel searches each have theirs.
struct Search {
  CrystalModel *model = nullptr;
  Crystal *crystal = nullptr;
  HKLList *list = nullptr;
  int selector = 0;  // radiation type: 1 neutron lengths, any other value X-ray factors
  int asym = 0;      // 1: free coordinates stay inside the asymmetric unit
  FactorFunction factor = GroupBraggFactor;
  void *factorArg = nullptr;  // null: the list
  SearchGrid grid;
  SearchRandom *random = nullptr;  // null: the calling thread's
  OptimizationProgressFunction progress = nullptr;
  void *progressArg = nullptr;
  std::FILE *annealingLog = nullptr;  // the adaptive annealing's narration; null: none
};

// Search range of entry i of the model's parameter list, as fractions of its
// cell edge: the asymmetric unit along the parameter's axis, or the whole
// edge for a coordinate of a special position when the search is not held
// in the asymmetric unit. Returns the axis (0, 1, 2), or -1 for a parameter
// that is no coordinate (range 0 to 0).
int SearchRange(const CrystalModel *model, size_t i, const Crystal *crystal, int asym,
                double *lower, double *upper);
// Lays the grid of the given resolution (angstrom) over the model's free
// parameters, every index at its lower end.
void SetSearchGrid(Search *search, double resolution);

// The searches on a prepared record. Each leaves the model at the best
// parameters it knows and returns its Rmin.
void RunStatisticTest(Search *search, uint32_t trials, int autoTrials,
                      StatisticProgressFunction progress, void *progressArg);
// The method given (ChooseMethod's choice) on the grid of the settings'
// resolution, with the settings' annealing of that method. A model without
// free parameters is left as it is; its factor is returned.
double RunSolveStructure(Search *search, int method, const StageSettings &settings);
double RunGridSearch(Search *search);
double RunTraditionalAnnealing(Search *search, const TraditionalAnnealingSettings &settings);
double RunAdaptiveAnnealing(Search *search, const AdaptiveAnnealingSettings &settings);

// ---- bond lengths ----

void InitializeBondLengths(BondLengths *table);
void FreeBondLengths(BondLengths *table);
// The default minimum distance (angstrom) between atoms of two elements, by
// their oxidation states, from the ionic radii (0.001 angstrom):
// - cation and anion, or an element without oxidation state: 0.85 of the
//   radius sum; bonds of small, highly charged cations (C-O in carbonates,
//   S-O, P-O, W-O) are that much shorter than the sum;
// - two anions: 0.80 of the sum; the edges of carbonate triangles and
//   sulfate tetrahedra are that short;
// - two cations: 1/sqrt(3) of the radius sum plus twice the smallest anion
//   radius of the compound (smallestAnion; 0 when there is none, and then
//   0.85 of the sum): two cations bonded to one anion at the narrowest angle
//   of close packings (70.5 degrees, cubes sharing faces, tetrahedra sharing
//   edges) are that far apart;
// - hydrogen that is no hydride, with anything: 0.85 of the covalent radius
//   sum, since its bonds are covalent.
// The table of published structures in the tests holds the evidence.
double DefaultBondMinimum(const Element *first, const Element *second, double smallestAnion);
// The smallest ionic radius (0.001 angstrom) of the compound's anions; 0
// when it has none.
double SmallestAnionRadius(const Compound *compound);
void UpdateBondLengthConstraints(BondLengths *table, const Compound *compound);
void GenerateBondLengths(BondLengths *table, Crystal *crystal, const CrystalModel *model,
                         double xl, double xu, double yl, double yu, double zl, double zu);
int CheckBondLengthValidity(BondLengths *measured, const BondLengths *minima, double factor);

// ---- output files ----

// A triplet of a 3x4 matrix in the usual notation ("-x+y,x,z+1/6"), with the
// constant reduced into [0, 1).
std::string MatrixToTriplet(const double matrix[3][4]);
// Returns 1 when written, 0 when the file could not be written (reported).
int WriteCIFFile(const char *path, const Crystal *crystal, const Job *job);
int WriteModelFile(const char *path, Job *job);
// The texts of those files, into an open stream.
void WriteCIF(std::FILE *stream, const Crystal *crystal, const Job *job);
void WriteModel(std::FILE *stream, Job *job);
// The formula as the CIF dictionary writes it: element symbols in Hill's
// order with their counts per formula unit, 1 left out ("Ba O4 S").
std::string FormulaSum(const Compound &compound);

// ---- the stages of a job ----

StageSettings OptimizationSettings(const Config &config);
StageSettings RefinementSettings(const Config &config);
// Grid search for few free parameters when asked, else the stage's method.
int ChooseMethod(const StageSettings &settings, const CrystalModel *model);
// True for a path that begins with the separator.
bool IsAbsolutePath(const std::string &name);
// The path of the job's peak file: its name as given when absolute, else
// taken from the folder (the control file's).
std::string JobPeakFilePath(const Config &config, const std::string &folder);
// Reads the job's peak file (a relative name is taken from the folder),
// narrows the angle range (with autoRange, sets it to the data's), and
// prepares the scattering and Lorentz-polarisation factors and the overall
// displacement factor (SetJobOverallB). Returns the number of reflections,
// 0 on failure (reported).
int ReadJobPeakFile(Job *job, const std::string &folder, int autoRange = 0);
// Gives the job's reflections the overall displacement factor of its
// configuration: OVERALL_B, or with AUTO_OVERALL_B the estimate of a Wilson
// plot (reported; 0 when the plot means nothing), which then becomes
// OVERALL_B. False (reported) for a B out of range.
bool SetJobOverallB(Job *job);

// One evaluation of a search: the model's current parameters into the
// crystal, intensities of every reflection, then the factor. Prepared once
// per search; evaluations allocate nothing.
class ModelEvaluator {
 public:
  ModelEvaluator(CrystalModel *model, Crystal *crystal, HKLList *list, int selector,
                 FactorFunction factor, void *factorArg);
  double operator()();
  // Intensities of the crystal as it stands, without touching coordinates.
  double FactorOfCrystal();
  // The list's calculated fields as of the last evaluation (moves leave
  // them behind).
  void Sync();

 private:
  CrystalModel *model_;
  Crystal *crystal_;
  HKLList *list_;
  int selector_;
  FactorFunction factor_;
  void *factorArg_;
  IntensityWorkspace workspace_;
  bool fast_ = false;
  bool ownFactor_ = false;  // the grouped Bragg factor of list_
  bool stale_ = false;
};

#endif
