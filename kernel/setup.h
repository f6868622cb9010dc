// SPDX-License-Identifier: BSD-3-Clause
// The set-up of a job: from the configuration to a job ready for its
// stages, with the compound, the radiation, the space group, the cell, the
// constraints and fixed coordinates, and the reflections of its peak file.
#ifndef PULVINA_SETUP_H
#define PULVINA_SETUP_H

#include <string>
#include <vector>

#include "job.h"

// The set-up of a job read from a control file, as the composition page
// makes it: the compound from the formula with Z, oxidation states and
// scattering data, the radiation, the space group and the cell. Checks what
// only the whole job can judge: ionic radii of the oxidation states, the
// scattering data files, the cell, and the constraints against formula and
// space group. False with the reason reported.
[[nodiscard]] bool SetupJob(Job *job);
// The compound part of SetupJob: parses the formula (a failure leaves the
// compound empty) and applies the composition to it. After a failure that
// follows the parsing the compound stays parsed, so that a front end can
// list its elements for correction.
[[nodiscard]] bool SetupJobCompound(Job *job);
// Z, the oxidation states, the scattering data, the ionic radii and the
// bond-length minima of the configuration applied to the parsed compound in
// place, with the checks of SetupJob: pointers to its elements stay valid.
[[nodiscard]] bool ApplyJobComposition(Job *job);
// The constraints of the configuration against the compound and the space
// group; false, with the first that names no entry or position reported.
[[nodiscard]] bool CheckJobConstraints(const Job &job);
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
// The space group of the configuration (number and setting) from the job's
// data files into its crystal; false, reported, when it cannot be read,
// and the group is then empty. Whatever pointed into the old group (the
// Wyckoff positions of the enumeration, the models) must be made anew.
[[nodiscard]] bool LoadJobSpaceGroup(Job *job);
// The Wyckoff positions of the job's space group as the enumeration takes
// them, with the restraints of the compound and the configuration's
// constraints.
void PrepareJobPositions(Job *job);
// The volume (angstrom^3) of a cell of these edges (angstrom) and angles
// (degrees); 0 when the angles admit no cell.
double CellVolume(double a, double b, double c, double alpha, double beta, double gamma);
[[nodiscard]] int SetFixedCoordinates(CrystalModel *model, const FixedCoordinates &fixedCoordinates);
[[nodiscard]] int ResetFixedCoordinates(CrystalModel *model, const FixedCoordinates &fixedCoordinates);

// True for a path that begins with the separator.
bool IsAbsolutePath(const std::string &name);
// The path of the job's peak file: its name as given when absolute, else
// taken from the folder (the control file's).
std::string JobPeakFilePath(const Config &config, const std::string &folder);
// Reads the job's peak file (a relative name is taken from the folder),
// narrows the angle range (with autoRange, sets it to the data's), and
// prepares the reflections (PrepareJobReflections). Returns the number of
// reflections, 0 on failure (reported).
[[nodiscard]] int ReadJobPeakFile(Job *job, const std::string &folder, int autoRange = 0);
// The factors of the job's reflections from its compound, radiation and
// configuration: the scattering factors, the Lorentz-polarisation factors
// and the overall displacement factor (SetJobOverallB). Again after any of
// those changed. False (reported) when one cannot be set.
[[nodiscard]] bool PrepareJobReflections(Job *job);
// Gives the job's reflections the overall displacement factor of its
// configuration: OVERALL_B, or with AUTO_OVERALL_B the estimate of a Wilson
// plot (reported; 0 when the plot means nothing), which then becomes
// OVERALL_B. False (reported) for a B out of range.
[[nodiscard]] bool SetJobOverallB(Job *job);
// Whether the configuration names a preferred-orientation direction.
bool JobHasPreferredOrientation(const Config &config);
// Gives every reflection of the list the angles of its symmetry equivalents
// (the Laue class of the crystal's space group) to the reciprocal-lattice
// direction h k l, in the crystal's metric; 0 0 0 clears them. False
// (reported) for a cell without volume.
[[nodiscard]] bool SetOrientationTable(HKLList *list, const Crystal &crystal, int h, int k, int l);
// The job's preferred orientation: the table of its direction and the
// factors of PREF_ORIENT_R. False (reported) for an r out of range or an r
// without a direction.
[[nodiscard]] bool SetJobPreferredOrientation(Job *job);

#endif
