// The default bond-length minima against published structures: every one of
// them must pass the check at the default tolerance, and models with atoms
// clearly too close must not.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "kernel.h"
#include "testing.h"

namespace {

struct SiteRow {
  std::string symbol;
  char letter = 0;
  double x = 0, y = 0, z = 0;
};

struct Structure {
  std::string name, family, formula;
  int z = 0, group = 0, setting = 1;
  double cell[6] = {};
  std::vector<Oxidation> oxidation;
  std::vector<SiteRow> sites;
};

std::vector<Structure> ReadStructures(const std::string &path) {
  std::vector<Structure> out;
  std::ifstream in(path);
  std::string line;
  Structure s;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string key;
    if (!(f >> key) || key[0] == '#') continue;
    if (key == "structure") {
      s = Structure();
      f >> s.name >> s.family;
    } else if (key == "formula") {
      f >> s.formula >> s.z;
    } else if (key == "oxidation") {
      Oxidation o;
      while (f >> o.symbol >> o.oxidation) s.oxidation.push_back(o);
    } else if (key == "group") {
      f >> s.group >> s.setting;
    } else if (key == "cell") {
      for (double &v : s.cell) f >> v;
    } else if (key == "atom") {
      SiteRow r;
      std::string wyckoff;
      f >> r.symbol >> wyckoff >> r.x >> r.y >> r.z;
      r.letter = wyckoff.back();
      s.sites.push_back(r);
    } else if (key == "end") {
      out.push_back(s);
    }
  }
  return out;
}

double Wrap(double v) { return v - std::floor(v); }

bool SameSpot(const double a[3], const double b[3]) {
  for (int i = 0; i < 3; ++i) {
    const double d = std::fabs(Wrap(a[i]) - Wrap(b[i]));
    if (std::min(d, 1 - d) > 1e-4) return false;
  }
  return true;
}

// A job set up for one structure, with the model of its sites.
class StructureJob {
 public:
  explicit StructureJob(const Structure &s, bool withOxidation = true) {
    InitializeJob(&job_);
    Config &c = job_.config;
    c.formular = s.formula;
    c.formularZ = s.z;
    c.sgNumber = s.group;
    c.sgSetting = s.setting;
    c.cellA = s.cell[0];
    c.cellB = s.cell[1];
    c.cellC = s.cell[2];
    c.cellAlpha = s.cell[3];
    c.cellBeta = s.cell[4];
    c.cellGamma = s.cell[5];
    if (withOxidation) c.oxidation = s.oxidation;
    ready_ = SetupJob(&job_);
    for (const SiteRow &r : s.sites) ready_ = ready_ && AddSite(r);
  }
  ~StructureJob() { FreeJob(&job_); }
  bool ready() const { return ready_; }
  Job &job() { return job_; }
  CrystalModel &model() { return model_; }

  // The model's bond lengths at a tolerance; the entries found too short are
  // listed in *why.
  bool Valid(double tolerance, std::string *why) {
    GenerateBondLengths(&model_.bondLengths, &job_.crystal, &model_, -0.5, 1.5, -0.5, 1.5, -0.5,
                        1.5);
    const int valid = CheckBondLengthValidity(&model_.bondLengths, &job_.bondLengths,
                                              1 - tolerance / 100);
    for (const BondLength &b : model_.bondLengths.items)
      if (!b.valid)
        *why += b.first->symbol + "-" + b.second->symbol + " " + std::to_string(b.distance) + "; ";
    return valid == 1;
  }

  // Cell atoms per element symbol, from the model as the solver builds it.
  std::map<std::string, int> CellCounts() {
    UpdateCrystalByModel(&job_.crystal, &model_, nullptr, 1);
    std::map<std::string, int> counts;
    for (const Atom &a : job_.crystal.cellAtoms) counts[a.element->symbol]++;
    return counts;
  }

 private:
  // The model's values are those of the position's free variables: the
  // site's image that the position's first triplet reproduces.
  bool AddSite(const SiteRow &r) {
    AtomModel atom;
    atom.element = FindElement(job_.compound, r.symbol);
    for (const Position &p : job_.crystal.spaceGroup.positions)
      if (p.wyckoffLetter == r.letter) atom.position = &p;
    if (!atom.element || !atom.position) return false;
    atom.para[SLOT_OCCUPANCY].value = 1;
    for (const Coordinate &g : job_.crystal.spaceGroup.positions.front().fullCoordinates) {
      double image[3];
      CoordMatrixMultiply(g.matrix, r.x, r.y, r.z, &image[0], &image[1], &image[2]);
      for (int i = 0; i < 3; ++i) atom.para[i].value = image[i];
      Atom placed;
      SetAtomValues(&placed, &atom, nullptr);
      const double at[3] = {placed.x, placed.y, placed.z};
      if (SameSpot(at, image)) {
        model_.atoms.push_back(atom);
        return true;
      }
    }
    return false;
  }

  Job job_;
  CrystalModel model_;
  bool ready_ = false;
};

std::vector<Structure> Table() {
  return ReadStructures(std::string(PULVINA_SOURCE_DIR) + "/tests/data/bond_structures.txt");
}

TEST(BondMinima, PublishedStructuresAreValidAtTheDefaultTolerance) {
  const std::vector<Structure> table = Table();
  ASSERT_GE(table.size(), 20u);
  std::set<std::string> families;
  for (const Structure &s : table) {
    SCOPED_TRACE(s.name);
    families.insert(s.family);
    StructureJob job(s);
    ASSERT_TRUE(job.ready()) << "the table's block does not set up";
    // A mistyped letter or coordinate shows as a wrong cell content.
    std::map<std::string, int> counts = job.CellCounts();
    for (const Element &e : job.job().compound.entries)
      EXPECT_EQ(counts[e.symbol], e.cellCount) << e.symbol;
    std::string why;
    EXPECT_TRUE(job.Valid(kDefaultBondTolerance, &why)) << why;
    // The minima are no formality: raised by half, each structure has a
    // contact below its minimum.
    EXPECT_FALSE(job.Valid(-50, &why));
    // Without oxidation states every radius is covalent and every pair is
    // judged alike; the structures still pass.
    StructureJob neutral(s, false);
    ASSERT_TRUE(neutral.ready());
    why.clear();
    EXPECT_TRUE(neutral.Valid(kDefaultBondTolerance, &why)) << "without oxidation states: " << why;
  }
  for (const char *family : {"sulfate", "phosphate", "silicate", "carbonate", "spinel",
                             "perovskite", "sesquioxide", "fluoride", "hydroxide"})
    EXPECT_EQ(families.count(family), 1u) << family;
}

// A cell of 10 A with the given atoms (cartesian = fractional x 10) and
// nothing else: one contact under test.
struct Pair {
  const char *formula;
  std::vector<Oxidation> oxidation;
  std::vector<SiteRow> sites;
};

bool PairValid(const Pair &p, std::string *why) {
  Structure s;
  s.name = p.formula;
  s.formula = p.formula;
  s.z = 1;
  s.group = 1;
  for (int i = 0; i < 3; ++i) {
    s.cell[i] = 10;
    s.cell[i + 3] = 90;
  }
  s.oxidation = p.oxidation;
  s.sites = p.sites;
  StructureJob job(s);
  EXPECT_TRUE(job.ready());
  return job.Valid(kDefaultBondTolerance, why);
}

TEST(BondMinima, AtomsClearlyTooCloseAreInvalid) {
  // Two cations 1.5 A apart, with the anions far away: small, highly charged
  // cations as well as large ones.
  const std::vector<std::vector<Oxidation>> cations = {
      {{"Si", 4}, {"Al", 3}}, {{"Na", 1}, {"Mg", 2}}, {{"C", 4}, {"S", 6}}, {{"Ti", 4}, {"Ba", 2}}};
  for (const auto &pair : cations) {
    const std::string a = pair[0].symbol, b = pair[1].symbol;
    SCOPED_TRACE(a + "-" + b);
    std::vector<Oxidation> ox = pair;
    ox.push_back({"O", -2});
    const std::string formula = a + "1" + b + "1O1";
    std::string why;
    EXPECT_FALSE(PairValid({formula.c_str(), ox,
                            {{a, 'a', 0, 0, 0}, {b, 'a', 0.15, 0, 0}, {"O", 'a', 0.5, 0.5, 0.5}}},
                           &why));
    EXPECT_NE(why.find(a + "-" + b), std::string::npos) << why;
    // The same two cations at a distance met in real structures (3.0 A, as
    // Si-Si in quartz) pass.
    why.clear();
    EXPECT_TRUE(PairValid({formula.c_str(), ox,
                           {{a, 'a', 0, 0, 0}, {b, 'a', 0.30, 0, 0}, {"O", 'a', 0.5, 0.5, 0.5}}},
                          &why))
        << why;
  }
  std::string why;
  // Two oxide ions 1.5 A apart.
  EXPECT_FALSE(PairValid({"Mg1O2", {{"Mg", 2}, {"O", -2}},
                          {{"Mg", 'a', 0.5, 0.5, 0.5}, {"O", 'a', 0, 0, 0}, {"O", 'a', 0, 0.15, 0}}},
                         &why));
  // A cation 1.2 A from its anion, and one sitting on it.
  EXPECT_FALSE(PairValid({"Ca1O1", {{"Ca", 2}, {"O", -2}},
                          {{"Ca", 'a', 0, 0, 0}, {"O", 'a', 0.12, 0, 0}}},
                         &why));
  EXPECT_FALSE(PairValid({"Ca1O1", {{"Ca", 2}, {"O", -2}},
                          {{"Ca", 'a', 0, 0, 0}, {"O", 'a', 0, 0, 0}}},
                         &why));
  // Two carbonate carbons 1.2 A apart: more than three times their ionic
  // radius sum (0.32 A), beyond which no distance was once measured, but far
  // less than carbons ever come.
  why.clear();
  EXPECT_FALSE(PairValid({"C2O1", {{"C", 4}, {"O", -2}},
                          {{"C", 'a', 0, 0, 0}, {"C", 'a', 0.12, 0, 0}, {"O", 'a', 0.5, 0.5, 0.5}}},
                         &why));
  EXPECT_NE(why.find("C-C"), std::string::npos) << why;
  // Hydrogen: an O-H bond of 0.97 A is fine, 0.5 A is not.
  why.clear();
  EXPECT_TRUE(PairValid({"Mg1O1H1", {{"Mg", 2}, {"O", -2}},
                         {{"Mg", 'a', 0.5, 0.5, 0.5}, {"O", 'a', 0, 0, 0}, {"H", 'a', 0.097, 0, 0}}},
                        &why))
      << why;
  EXPECT_FALSE(PairValid({"Mg1O1H1", {{"Mg", 2}, {"O", -2}},
                          {{"Mg", 'a', 0.5, 0.5, 0.5}, {"O", 'a', 0, 0, 0}, {"H", 'a', 0.05, 0, 0}}},
                         &why));
}

TEST(BondMinima, TheTableStaysEditable) {
  // A user's minimum overrides the default.
  for (const Structure &s : Table()) {
    if (s.name != "calcite") continue;
    StructureJob job(s);
    ASSERT_TRUE(job.ready());
    for (BondLength &b : job.job().bondLengths.items)
      if (b.first->symbol == "C" || b.second->symbol == "C") b.distance = 1.5;
    std::string why;
    EXPECT_FALSE(job.Valid(kDefaultBondTolerance, &why));
    EXPECT_NE(why.find("C-O 1.28"), std::string::npos) << why;
  }
}

}  // namespace
