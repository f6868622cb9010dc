// SPDX-License-Identifier: BSD-3-Clause
#include "setup.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "bonds.h"
#include "diffractometer.h"

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
  if (!ConfigAdmits("OVERALL_B", config.overallB)) {
    Message(MESSAGE_ERROR,
            "setting up the job, OVERALL_B %f: the overall displacement factor must lie from 0 "
            "to %.0f A^2\n",
            config.overallB, kMaxOverallB);
    return false;
  }
  if (!ConfigAdmits("AUTO_OVERALL_B", config.autoOverallB)) {
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
  if (!LoadJobSpaceGroup(job)) return false;
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

bool LoadJobSpaceGroup(Job *job) {
  FreeSpaceGroup(&job->crystal.spaceGroup);
  return SetSpaceGroup(&job->crystal.spaceGroup, job->config.sgNumber, job->config.sgSetting,
                       JobData(job)) != 0;
}

void PrepareJobPositions(Job *job) {
  FreeCombPositions(&job->combPositions);
  SetCombPositions(job->crystal.spaceGroup.positions, &job->combPositions);
  InitializeRestraints(&job->combPositions, &job->compound);
  SetConstraints(&job->compound, &job->combPositions, job->config.constraints);
}

double CellVolume(double a, double b, double c, double alpha, double beta, double gamma) {
  if (!CellAnglesAdmitACell(alpha, beta, gamma)) return 0;
  const double rad = M_PI / 180.0;
  const double ca = std::cos(alpha * rad), cb = std::cos(beta * rad), cg = std::cos(gamma * rad);
  const double radicand = 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg;
  return radicand > 0 ? a * b * c * std::sqrt(radicand) : 0;
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
      // A member of a mixed site fixes its site: the first member holds the
      // coordinates.
      AtomModel &holder = CoordinateAtom(*model, atom);
      for (int slot = 0; slot < kParameterSlots; ++slot) {
        ModelParameter &p = slot <= SLOT_Z ? holder.para[slot] : atom.para[slot];
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
      AtomModel &holder = CoordinateAtom(*model, atom);
      for (int slot = 0; slot < kParameterSlots; ++slot) {
        ModelParameter &p = slot <= SLOT_Z ? holder.para[slot] : atom.para[slot];
        if (p.index == -1 || !(f.flags & bits[slot]) || !p.fixed) continue;
        p.fixed = 0;
        changed = 1;
      }
    }
  return changed;
}

bool IsAbsolutePath(const std::string &name) {
  // A backslash is an ordinary character of a name here, not a separator.
  return !name.empty() && name[0] == '/';
}

std::string JobPeakFilePath(const Config &c, const std::string &folder) {
  return IsAbsolutePath(c.peakFile) ? c.peakFile : JoinPath(folder, c.peakFile);
}
int ReadJobPeakFile(Job *job, const std::string &folder, int autoRange) {
  Config &c = job->config;
  FreeHKLList(&job->hklList);
  if (c.peakFile.empty()) {
    Message(MESSAGE_ERROR, "reading hkl file, the job names no PEAK_FILE\n");
    return 0;
  }
  const std::string path = JobPeakFilePath(c, folder);
  const double start = c.startAngle, end = c.endAngle;
  // Every reflection must be one the job's space group, cell and wavelength
  // allow: a forbidden or misplaced one means a wrong space group, cell or
  // indexing, and a solution against it would be a solution of nothing.
  // The cell and wavelength are the configuration's, which a front end
  // keeps current while the crystal may lag behind.
  ReflectionRules rules;
  rules.spaceGroup = &job->crystal.spaceGroup;
  rules.hasCell = CellProblem(c.cellA, c.cellB, c.cellC, c.cellAlpha, c.cellBeta, c.cellGamma)
                      .empty();
  rules.a = c.cellA;
  rules.b = c.cellB;
  rules.c = c.cellC;
  rules.alpha = c.cellAlpha;
  rules.beta = c.cellBeta;
  rules.gamma = c.cellGamma;
  Radiation radiation;
  SetRadiation(&c, &radiation);
  rules.lambda = radiation.lambda > 0 && std::isfinite(radiation.lambda) ? radiation.lambda : 0;
  int n = ReadHKLList(&job->hklList, path.c_str(), c.peakFileFormat, &c.startAngle, &c.endAngle,
                      c.peakNWidth, autoRange, &rules);
  if (n <= 0) {
    // A failed reading has been reported and cleared both angles; an empty
    // reading has not.
    if (c.startAngle != 0 || c.endAngle != 0)
      Message(MESSAGE_ERROR,
              "reading hkl file \"%s\", no reflection between %f and %f degrees 2theta\n",
              path.c_str(), start, end);
    return 0;
  }
  if (!PrepareJobReflections(job)) {
    FreeHKLList(&job->hklList);
    return 0;
  }
  return n;
}

bool PrepareJobReflections(Job *job) {
  if (!SetASFTable(&job->hklList, &job->compound)) return false;
  SetLPFactor(&job->hklList, &job->radiation);
  // The texture before the Wilson plot, which divides it out.
  return SetJobPreferredOrientation(job) && SetJobOverallB(job);
}

bool JobHasPreferredOrientation(const Config &c) {
  return c.prefOrientH != 0 || c.prefOrientK != 0 || c.prefOrientL != 0;
}

bool SetOrientationTable(HKLList *list, const Crystal &crystal, int h, int k, int l) {
  for (HKLItem &item : list->items) item.orientation.clear();
  if (h == 0 && k == 0 && l == 0) return true;
  // The reciprocal metric: G* = G^-1 of the direct cell's metric.
  const double rad = 3.14159265358979323846 / 180.0;
  const double a = crystal.a, b = crystal.b, c = crystal.c;
  const double ca = std::cos(crystal.alpha * rad), cb = std::cos(crystal.beta * rad),
               cg = std::cos(crystal.gamma * rad);
  const double g[3][3] = {{a * a, a * b * cg, a * c * cb},
                          {a * b * cg, b * b, b * c * ca},
                          {a * c * cb, b * c * ca, c * c}};
  const double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
                     g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                     g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
  if (!(std::fabs(det) > 0) || !std::isfinite(det)) {
    Message(MESSAGE_ERROR, "setting up the preferred orientation, the cell has no volume\n");
    return false;
  }
  double gs[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int i1 = (j + 1) % 3, i2 = (j + 2) % 3, j1 = (i + 1) % 3, j2 = (i + 2) % 3;
      gs[i][j] = (g[i1][j1] * g[i2][j2] - g[i1][j2] * g[i2][j1]) / det;
    }
  auto dot = [&](const double u[3], const double v[3]) {
    double sum = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) sum += u[i] * gs[i][j] * v[j];
    return sum;
  };
  // The rotations of the general position, and with them their inverses
  // through the origin: the Laue class, which powder intensities have.
  const Position *general = nullptr;
  for (const Position &p : crystal.spaceGroup.positions)
    if (!general || p.coordinates.size() > general->coordinates.size()) general = &p;
  std::vector<std::array<int, 9>> rotations;
  if (general)
    for (const Coordinate &op : general->coordinates) {
      std::array<int, 9> r;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[static_cast<size_t>(i * 3 + j)] =
            static_cast<int>(std::lround(op.matrix[i][j]));
      rotations.push_back(r);
    }
  if (rotations.empty()) rotations.push_back({1, 0, 0, 0, 1, 0, 0, 0, 1});
  const double p[3] = {static_cast<double>(h), static_cast<double>(k), static_cast<double>(l)};
  const double pp = dot(p, p);
  std::vector<std::array<int, 3>> seen;
  for (HKLItem &item : list->items) {
    seen.clear();
    for (const auto &r : rotations)
      for (int sign : {1, -1}) {
        // A reflection turns with the transpose: h' = h R.
        std::array<int, 3> e;
        for (int j = 0; j < 3; ++j)
          e[static_cast<size_t>(j)] =
              sign * (item.h * r[static_cast<size_t>(j)] + item.k * r[static_cast<size_t>(3 + j)] +
                      item.l * r[static_cast<size_t>(6 + j)]);
        if (std::find(seen.begin(), seen.end(), e) == seen.end()) seen.push_back(e);
      }
    std::vector<double> &o = item.orientation;
    const double share = 1.0 / static_cast<double>(seen.size());
    for (const auto &e : seen) {
      const double v[3] = {static_cast<double>(e[0]), static_cast<double>(e[1]),
                           static_cast<double>(e[2])};
      const double vv = dot(v, v), vp = dot(v, p);
      double cos2 = vv > 0 && pp > 0 ? vp * vp / (vv * pp) : 0.0;
      cos2 = std::min(1.0, std::max(0.0, cos2));
      // Equivalents at one angle share one entry.
      size_t at = 0;
      while (at < o.size() && std::fabs(o[at] - cos2) > 1e-12) at += 2;
      if (at == o.size()) {
        o.push_back(cos2);
        o.push_back(0.0);
      }
      o[at + 1] += share;
    }
  }
  return true;
}

bool SetJobPreferredOrientation(Job *job) {
  const Config &c = job->config;
  if (!ConfigAdmits("PREF_ORIENT_R", c.prefOrientR)) {
    Message(MESSAGE_ERROR,
            "setting up the job, PREF_ORIENT_R %f: the March-Dollase r must lie above 0 and at "
            "most at %.0f\n",
            c.prefOrientR, kMaxMarchR);
    return false;
  }
  if (!JobHasPreferredOrientation(c) && (c.prefOrientR != 1.0 || c.refinePrefOrient)) {
    Message(MESSAGE_ERROR,
            "setting up the job, a preferred orientation needs its direction: PREF_ORIENT_H, "
            "PREF_ORIENT_K and PREF_ORIENT_L are all 0\n");
    return false;
  }
  if (!SetOrientationTable(&job->hklList, job->crystal, c.prefOrientH, c.prefOrientK,
                           c.prefOrientL))
    return false;
  return SetPreferredOrientation(&job->hklList, c.prefOrientR) == 1;
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
