// SPDX-License-Identifier: BSD-3-Clause
#include "writers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "setup.h"

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

void WriteCIF(std::FILE *f, const Crystal *crystal, const Job *job, const CrystalModel *model) {
  const SpaceGroup &sg = job->crystal.spaceGroup;
  std::fprintf(f,
               "#########################################################\n"
               "# This cif file is created by Pulvina                   #\n"
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
  const Config &config = job->config;
  if (JobHasPreferredOrientation(config)) {
    const double r = model && (model->patternParameters & PATTERN_TEXTURE) ? model->marchR
                                                                          : job->hklList.marchR;
    std::fprintf(f, "_pd_proc_ls_pref_orient_corr\n;\nMarch-Dollase, r = %.4f along the "
                    "reciprocal-lattice direction %d %d %d\n;\n",
                 r, config.prefOrientH, config.prefOrientK, config.prefOrientL);
  }
  std::fprintf(f, "\n# Atomic coordinates and displacement parameters\n");
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
  const double overallB = model && (model->patternParameters & PATTERN_OVERALL_B)
                              ? model->overallB
                              : job->hklList.overallB;
  for (const Atom &atom : crystal->atoms) {
    int z = atom.element->atomicNumber;
    int number = z >= 0 && z <= kElementCount ? ++perElement[z] : 0;
    std::fprintf(f, "%s%d %s %f %f %f %f %f\n", atom.element->symbol.c_str(), number,
                 atom.element->symbol.c_str(), atom.x, atom.y, atom.z,
                 overallB > 0 ? overallB : atom.B, atom.occupancy);
  }
}

int WriteCIFFile(const char *path, const Crystal *crystal, const Job *job,
                 const CrystalModel *model) {
  AtomicFile file(path);
  if (!file.get()) {
    Message(MESSAGE_ERROR, "writing cif file, cannot create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  WriteCIF(file.get(), crystal, job, model);
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "writing cif file, cannot create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  return 1;
}

void WriteModel(std::FILE *f, Job *job) {
  const Config &c = job->config;
  const SpaceGroup &sg = job->crystal.spaceGroup;
  std::fprintf(f, "Pulvina (kernel version %d.%d.%d)\n", kKernelMajor, kKernelMinor,
               kKernelRelease);
  std::fprintf(f, "\nFormula: %s\n", c.formular.c_str());
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
    // The Bragg factor and, beside it, the penalty the search weighed in.
    std::fprintf(f, "Rmin: %f\tBond Penalty: %f\n", m.Rmin, m.bondPenalty);
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
    if (m.patternParameters & PATTERN_TEXTURE)
      std::fprintf(f, "March-Dollase r: %.4f\n", m.marchR);
    if (m.patternParameters & PATTERN_OVERALL_B)
      std::fprintf(f, "Overall B: %.3f A^2\n", m.overallB);
    std::fprintf(f, "EPC: %s\n", EPCStr(&m).c_str());
    // The combinations the Euclidean normalizer makes equivalent to this
    // one, itself included: the one model stands for all of them.
    std::fprintf(f, "Equivalent combinations: %d\n\n", m.equivalents);
  }
}

int WriteModelFile(const char *path, Job *job) {
  AtomicFile file(path);
  if (!file.get()) {
    Message(MESSAGE_ERROR, "writing model file, cannot create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  WriteModel(file.get(), job);
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "writing model file, cannot create file '%s'! (%s)\n", path,
            file.error().c_str());
    return 0;
  }
  return 1;
}
