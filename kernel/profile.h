// The reflection list: per-reflection scattering and Lorentz-polarisation
// factors, groups of overlapping reflections and calculated intensities.
#ifndef PULVINA_PROFILE_H
#define PULVINA_PROFILE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "crystal.h"
#include "element.h"
#include "file.h"

// Element kinds a scattering-factor table can hold.
constexpr int kMaxASFKinds = 64;

struct HKLItem {
  int32_t h = 0, k = 0, l = 0;
  int32_t multiplicity = 0;
  double twoTheta = 0;  // degrees
  double d = 0;         // angstrom
  double fSquared = 0;
  double fReal = 0, fImag = 0;
  double fwhm = 0;       // degrees 2theta
  double intensity = 0;  // multiplicity x lp x debyeWaller x fSquared
  double iCalc = 0;      // intensity scaled to 100 for the strongest reflection
  double iObsScaled = 0;
  double iObs = 0;
  // f0 of every element of the compound at this reflection, by element index.
  std::vector<double> asf;
  int32_t asfCount = 0;
  double lp = 1.0;
  // exp(-2 B s^2), s = 1/(2d), of the list's overall displacement factor B;
  // exactly 1.0 while B is 0, so that intensities are then those of atoms at
  // rest to the last bit.
  double debyeWaller = 1.0;
  int32_t group = -1;
};

// Reflections in peak-file order.
struct HKLList {
  std::vector<HKLItem> items;
  // The overall displacement factor (angstrom^2) the items' debyeWaller
  // factors stand for.
  double overallB = 0;
};

void InitializeHKLList(HKLList *list);
void FreeHKLList(HKLList *list);
int LengthOfHKLList(const HKLList *list);
// The destination becomes a deep copy of the source. Returns 1, or 0 when
// memory ran out (the destination then holds the items copied so far).
int CloneHKLList(const HKLList *source, HKLList *destination);
void GroupHKLList(HKLList *list, double width);
// Returns 1, or 0 (reported) when the compound has more than kMaxASFKinds
// element kinds or memory ran out.
int SetASFTable(HKLList *list, const Compound *compound);
double LPFactor(const Radiation *radiation, double twoTheta);
void SetLPFactor(HKLList *list, const Radiation *radiation);
// Largest overall displacement factor accepted (angstrom^2): far beyond any
// crystal, small enough that exp(-2 B s^2) stays a number.
constexpr double kMaxOverallB = 100.0;
// Gives every item the factor exp(-2 B s^2) of one overall displacement
// factor B; B = 0 gives exactly 1. Returns 0, list untouched, for a B that is
// negative, above kMaxOverallB or not a number.
int SetOverallB(HKLList *list, double B);

// The overall displacement factor from a Wilson plot of the observed
// intensities against the cell contents. Reflections of one group of
// overlapping reflections count as one observation; shells hold equal
// numbers of observations.
struct WilsonPlot {
  double B = 0;        // angstrom^2, -slope / 2
  double lnScale = 0;  // intercept of the fit
  int reflections = 0;  // observations used
  int shells = 0;
  std::vector<double> s2;       // mean s^2 of each shell
  // ln <I / (m LP sum f^2)> of each shell, the mean over its reciprocal-
  // lattice points (sum I / sum m LP sum f^2).
  std::vector<double> lnRatio;
};
constexpr int kWilsonMinReflections = 10;
constexpr int kWilsonMinShells = 3;
// Fills the plot and returns 1; returns 0 with the reason reported when the
// fit means nothing (too few reflections or shells, no fall-off with angle).
// radiationType as for CalculateIntensity: the scattering lengths for
// neutrons (1), the scattering factors otherwise.
int WilsonOverallB(const HKLList *list, const Compound *compound, int radiationType,
                   WilsonPlot *plot);
// radiationType: 0 X-ray, 1 neutron, 2 electron; any value but 1 uses the
// X-ray factors. Allocates nothing once a thread has seen a problem of this
// size.
void CalculateIntensity(HKLList *list, const Crystal *crystal, int radiationType);

// The evaluation path of the searches. A workspace is prepared once per
// model (list, crystal layout, radiation); each evaluation then refreshes
// the cell atoms' coordinates in place and computes the same fields as
// CalculateIntensity without allocating.
//
// With useSymmetry set, the workspace looks for the layout that a model
// rebuild produces: the cell atoms are, asymmetric-unit atom by atom, the
// images of crystal.atoms under every matrix of its position's
// fullCoordinates, in order. When every cell atom checks out, atoms related
// by a centring translation are summed once and multiplied by the centring
// sum, and when the group has its inversion centre at the origin each pair
// of atoms related by it is summed as twice the cosine of one of them. Any
// other layout is summed atom by atom.
struct IntensityWorkspaceData;
struct IntensityWorkspace {
  int useSymmetry = 1;
  // 0: the widest vector path the processor has; 1, 2, 4 or 8 ask for that
  // many doubles a vector, run on narrower instructions where the processor
  // lacks the wider ones (the portable paths, for checks).
  int vectorWidth = 0;
  // 1: after a full evaluation, moves of single atoms update the sums by
  // the moved atoms' parts (CalculateIntensityMoves).
  int incremental = 1;
  std::unique_ptr<IntensityWorkspaceData> data;
  IntensityWorkspace();
  ~IntensityWorkspace();
  IntensityWorkspace(const IntensityWorkspace &) = delete;
  IntensityWorkspace &operator=(const IntensityWorkspace &) = delete;
};

// Shortcuts a prepared workspace takes (bits of IntensityWorkspaceShortcuts).
enum IntensityShortcut {
  INTENSITY_CENTRING = 1,  // centring translations factored out
  INTENSITY_CENTRIC = 2,   // inversion pairs summed as cosines
  INTENSITY_TABLES = 4     // phase factors from per-axis tables
};

// Returns 1, or 0 when memory ran out (the workspace is then empty).
int PrepareIntensityWorkspace(IntensityWorkspace *workspace, const HKLList *list,
                              const Crystal *crystal, int radiationType);
// Copies coordinates and occupancies of the cell atoms; 0 when the crystal
// no longer has the cell-atom count the workspace was prepared for.
int RefreshIntensityWorkspace(IntensityWorkspace *workspace, const Crystal *crystal);
// Fills fReal, fImag, fSquared, intensity and iCalc of every item from the
// last refreshed coordinates; 0 (list untouched) when the list is not the
// length the workspace was prepared for.
int CalculateIntensityFast(IntensityWorkspace *workspace, HKLList *list);
// The same fields after some asymmetric-unit atoms of the crystal moved since
// the last evaluation (a refresh happens inside): only the moved atoms'
// orbits are summed again. Returns 0, with the list untouched, when that is
// not possible or not cheaper (too many atoms moved, no evaluation to start
// from, a full sum due to keep rounding from building up, a layout that is
// not the images of the atoms); the caller then refreshes and evaluates in
// full. The results agree with a full evaluation to rounding.
int CalculateIntensityMoves(IntensityWorkspace *workspace, const Crystal *crystal,
                            HKLList *list);
// The searches' step after a move, when the factor is the grouped Bragg
// factor of the workspace's own list: the same update, then the factor
// straight from the structure factors, leaving the list's calculated fields
// as the last full evaluation wrote them (SyncIntensityList brings them up
// to date). Returns 0, factor untouched, as CalculateIntensityMoves does.
int GroupBraggFactorOfMoves(IntensityWorkspace *workspace, const Crystal *crystal,
                            double *factor);
// Writes the calculated fields of the list from the sums as they stand.
int SyncIntensityList(IntensityWorkspace *workspace, HKLList *list);
int IntensityWorkspaceShortcuts(const IntensityWorkspace *workspace);
// Width in doubles of the widest vector path this processor runs.
int IntensityVectorWidth();

// sin and cos of count angles (radians) with the vector path of the given
// width (0: the widest available, else as for IntensityWorkspace); within two units in the last
// place of std::sin and std::cos for |angle| < 1e7.
void VectorSinCos(int count, const double *angle, double *sine, double *cosine, int width = 0);

#endif
