// Crystal models from combinations, the job set-up operations, and the
// reference structures: every true EPC must be among the models.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>

#include "kernel.h"
#include "stages.h"
#include "testing.h"

namespace {

Position MakePosition(int multiplicity, char letter, const char *coordinates) {
  Position p;
  p.multiplicity = multiplicity;
  p.wyckoffLetter = letter;
  EXPECT_GT(SetCoordinates(coordinates, &p.coordinates), 0);
  return p;
}

// Models of one formula on hand-made positions, everything from one row.
struct ModelFixture : ::testing::Test {
  std::vector<Position> positions;
  Compound compound;
  CombPositions cp;
  Combination comb;
  CrystalModelList models;
  int Build(const char *formula, int z, const std::vector<std::vector<int8_t>> &rows,
            int partialFreedom = 0) {
    EXPECT_EQ(ParseFormular(formula, &compound), 1);
    SetFormularZ(&compound, z);
    SetCombPositions(positions, &cp);
    CreateCombination(&comb, static_cast<int>(positions.size()), compound.entryCount,
                      static_cast<int>(rows.size()));
    for (const auto &r : rows) EXPECT_GT(CombinationAdd(r.data(), &comb), 0);
    return CreateModelList(&compound, &cp, &comb, &models, partialFreedom);
  }
};

TEST_F(ModelFixture, FreeAndConstantCoordinates) {
  positions = {MakePosition(2, 'a', "(x,y,z)(-x,-y,-z)"), MakePosition(2, 'b', "(0,0,z)(0,0,-z)"),
               MakePosition(1, 'c', "(1/2,1/2,1/2)")};
  ASSERT_EQ(Build("O2", 1, {{1, 0, 0}, {0, 1, 0}}), 2);
  const CrystalModel &general = models.models[0];
  ASSERT_EQ(general.atoms.size(), 1u);
  EXPECT_EQ(general.freeCount, 3);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(general.parameterList[static_cast<size_t>(i)], &general.atoms[0].para[i].value);
  EXPECT_EQ(general.atoms[0].para[SLOT_B].index, -1);
  const CrystalModel &axis = models.models[1];
  EXPECT_EQ(axis.modelNumber, 2);
  EXPECT_EQ(axis.parameterCount, 1);
  EXPECT_EQ(axis.atoms[0].para[SLOT_Z].index, 0);
  EXPECT_EQ(axis.atoms[0].para[SLOT_X].index, -1);
  EXPECT_EQ(axis.atoms[0].para[SLOT_Y].kind, KIND_NONE);
  EXPECT_EQ(EPCStr(&axis), "O(2b)");
}

TEST_F(ModelFixture, ConstantPositionAndRepeatedSets) {
  positions = {MakePosition(4, 'e', "(x,y,z)(-x,y,z)(x,-y,z)(x,y,-z)"),
               MakePosition(1, 'a', "(1/2,1/2,1/2)")};
  ASSERT_EQ(Build("O8Ba1", 1, {{2, 0, 0, 1}}), 1);
  const CrystalModel &m = models.models[0];
  ASSERT_EQ(m.atoms.size(), 3u);
  EXPECT_EQ(EPCStr(&m), "O(4e)+O(4e)+Ba(1a)");
  EXPECT_EQ(m.parameterCount, 6);
  EXPECT_EQ(m.atoms[1].para[SLOT_X].index, 3);
  const AtomModel &ba = m.atoms[2];
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ba.para[i].index, -1);
    EXPECT_EQ(ba.para[i].value, 0.5);
  }
}

TEST_F(ModelFixture, MixedSiteMembersGetTheirOwnCoordinates) {
  positions = {MakePosition(2, 'c', "(x,0,0)(-x,0,0)"), MakePosition(1, 'a', "(0,0,0)")};
  ASSERT_EQ(Build("(Fe0.5Mn0.5)2", 1, {{1, 0}}, 1), 1);
  const CrystalModel &m = models.models[0];
  ASSERT_EQ(m.atoms.size(), 2u);
  EXPECT_EQ(m.atoms[0].element->symbol, "Fe");
  EXPECT_EQ(m.atoms[1].element->symbol, "Mn");
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(m.atoms[i].para[SLOT_OCCUPANCY].value, 0.5);
    EXPECT_EQ(m.atoms[i].para[SLOT_OCCUPANCY].kind, KIND_OCCUPANCY);
    EXPECT_EQ(m.atoms[i].para[SLOT_OCCUPANCY].index, -1);
    EXPECT_EQ(m.atoms[i].para[SLOT_X].index, static_cast<int>(i));
    // One free coordinate of three: special with partial freedom.
    for (int a = 0; a < 3; ++a) EXPECT_EQ(m.atoms[i].para[a].special, 1);
  }
  EXPECT_EQ(EPCStr(&m), "Fe(2c)+Mn(2c)");
}

TEST_F(ModelFixture, SpecialOnlyForPartlyFreeAtoms) {
  positions = {MakePosition(2, 'b', "(x,y,z)(-x,-y,-z)"), MakePosition(1, 'a', "(0,0,0)")};
  ASSERT_EQ(Build("O2Ba1", 1, {{1, 0, 0, 1}}, 1), 1);
  for (const AtomModel &atom : models.models[0].atoms)
    for (int a = 0; a < 3; ++a) EXPECT_EQ(atom.para[a].special, 0);
}

TEST_F(ModelFixture, AllConstantModelAndEmptyHistogram) {
  positions = {MakePosition(1, 'a', "(0,0,0)"), MakePosition(1, 'b', "(1/2,1/2,1/2)")};
  ASSERT_EQ(Build("Cs1Cl1", 1, {{1, 0, 0, 1}, {0, 1, 1, 0}}), 2);
  EXPECT_TRUE(models.models[0].parameterList.empty());
  ModelInfo info;
  int lo = 7, hi = 7;
  ModelStatisticInfo(&models, &info, &lo, &hi);
  ASSERT_EQ(info.entries.size(), 1u);
  EXPECT_EQ(info.entries[0].freeCount, 0);
  EXPECT_EQ(info.entries[0].modelCount, 2u);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 0);
  // An empty list has no smallest count to report.
  CrystalModelList none;
  ModelInfo empty;
  lo = hi = 7;
  ModelStatisticInfo(&none, &empty, &lo, &hi);
  EXPECT_TRUE(empty.entries.empty());
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 0);
}

TEST_F(ModelFixture, FixingAndReleasingCoordinates) {
  positions = {MakePosition(2, 'a', "(x,y,z)(-x,-y,-z)"), MakePosition(2, 'b', "(0,0,z)(0,0,-z)")};
  ASSERT_EQ(Build("Fe2O2", 1, {{1, 0, 0, 1}}), 1);
  SetOxidations(&compound, {{"Fe", 3}, {"O", -2}});
  CrystalModel &m = models.models[0];
  ASSERT_EQ(m.freeCount, 4);
  FixedCoordinates fixed;
  fixed.push_back(FixedCoordinate{"Fe", 2, 2, 'a', 0.1, 0.2, 0.3, 1, 1, FIX_X | FIX_Y});
  EXPECT_EQ(SetFixedCoordinates(&m, fixed), 0);  // oxidation differs
  fixed[0].oxidation = 3;
  fixed.push_back(FixedCoordinate{"O", -2, 2, 'b', 0.7, 0.7, 0.7, 1, 1, FIX_X});
  EXPECT_EQ(SetFixedCoordinates(&m, {fixed[1]}), 0);  // x of O on 0,0,z is a constant
  EXPECT_EQ(SetFixedCoordinates(&m, fixed), 1);
  EXPECT_EQ(UpdateParaList(&m), 2);
  EXPECT_EQ(m.parameterList[0], &m.atoms[0].para[SLOT_Z].value);
  EXPECT_EQ(m.atoms[0].para[SLOT_X].value, 0.1);
  EXPECT_EQ(m.atoms[1].para[SLOT_X].value, 0.0);
  // A later entry for the same atom wins.
  fixed.push_back(FixedCoordinate{"Fe", 3, 2, 'a', 0.4, 0.5, 0.6, 1, 1, FIX_X});
  EXPECT_EQ(SetFixedCoordinates(&m, fixed), 1);
  EXPECT_EQ(m.atoms[0].para[SLOT_X].value, 0.4);
  EXPECT_EQ(ResetFixedCoordinates(&m, fixed), 1);
  EXPECT_EQ(UpdateParaList(&m), 4);
  EXPECT_EQ(m.atoms[0].para[SLOT_X].value, 0.4);  // released at the value it was fixed at
  EXPECT_EQ(m.atoms[0].para[SLOT_Y].value, 0.2);
  EXPECT_EQ(ResetFixedCoordinates(&m, fixed), 0);
}

TEST(JobSetup, ConstraintNamesAndSlots) {
  Compound compound;
  ASSERT_EQ(ParseFormular("(Fe0.5Mn0.5)2O3", &compound), 1);
  EXPECT_EQ(ConstraintEntryName(&compound, 0), "*");
  EXPECT_EQ(ConstraintEntryName(&compound, 1), "(Fe+Mn)");
  EXPECT_EQ(ConstraintEntryName(&compound, 2), "O");
  EXPECT_EQ(ConstraintEntryName(&compound, 3), "");
  std::vector<Position> positions = {MakePosition(4, 'c', "(x,0,0)"), MakePosition(2, 'b', "(0,0,0)")};
  CombPositions cp;
  SetCombPositions(positions, &cp);
  Constraints constraints;
  EXPECT_EQ(UpdateConstraintList(&constraints, "O", 1, 'b', 1, 1), 1);  // wrong slot for O
  EXPECT_EQ(UpdateConstraintList(&constraints, "O", 2, 'b', 1, 1), 1);
  EXPECT_EQ(UpdateConstraintList(&constraints, "O", 2, 'b', 0, 1), 1);  // same: edited
  EXPECT_EQ(UpdateConstraintList(&constraints, "O", 2, 'c', 2, 3), 1);  // new: in front
  EXPECT_EQ(UpdateConstraintList(&constraints, "*", 0, 'z', 2, 3), 1);  // no such position
  ASSERT_EQ(constraints.size(), 4u);
  EXPECT_EQ(constraints[1].wyckoffLetter, 'c');
  EXPECT_EQ(constraints[2].minimum, 0);
  EXPECT_EQ(SetConstraints(&compound, &cp, constraints), 1);
  EXPECT_EQ(cp.nodes[1].lowerBySlot[2], 0);
  EXPECT_EQ(cp.nodes[1].upperBySlot[2], 1);
  EXPECT_EQ(cp.nodes[0].upperBySlot[2], 3);
  EXPECT_EQ(cp.nodes[1].upperBySlot[1], kOpenUpper);
  EXPECT_EQ(cp.nodes[0].lower, 0);  // current bounds are not reloaded
}

TEST(JobSetup, OxidationsReachMixedSitesAndTheLastEntryWins) {
  Compound compound;
  ASSERT_EQ(ParseFormular("(Fe0.5Mn0.5)1Fe1O2", &compound), 1);
  EXPECT_EQ(SetOxidations(&compound, {{"Fe", 3}, {"O", -2}, {"Fe", 2}}), 3);
  EXPECT_EQ(compound.entries[0].members[0].oxidation, 2);
  EXPECT_EQ(compound.entries[1].oxidation, 2);
  EXPECT_EQ(compound.entries[0].members[1].oxidation, 0);
}

TEST(JobSetup, EachRadiationTakesItsOwnWavelength) {
  Config config;
  InitializeConfig(&config);
  config.lambdaXray1 = 1.1;
  config.lambdaNeutron = 2.2;
  config.lambdaElectron = 3.3;
  for (int type : {1, 2, 0}) {
    config.radiation = type;
    Radiation r;
    SetRadiation(&config, &r);
    EXPECT_EQ(r.type, type);
    EXPECT_DOUBLE_EQ(r.lambda, 1.1 * (type + 1)) << type;
  }
}

// ---- reference structures ---------------------------------------------

// Sites per element, as a sorted multiset: one element's sites may come in
// another order than the reference lists them.
std::map<std::string, std::vector<std::string>> Sites(const std::string &epc) {
  std::map<std::string, std::vector<std::string>> sites;
  std::regex re("([A-Za-z]+)\\(([0-9]+[a-z@])\\)");
  for (std::sregex_iterator it(epc.begin(), epc.end(), re), end; it != end; ++it)
    sites[(*it)[1].str()].push_back((*it)[2].str());
  for (auto &s : sites) std::sort(s.second.begin(), s.second.end());
  return sites;
}

TEST(ReferenceStructures, TrueEpcIsGenerated) {
  for (const ReferenceCase &reference : ReferenceCases()) {
    SCOPED_TRACE(reference.name);
    Job job;
    InitializeJob(&job);
    ASSERT_EQ(ReadConfigFile(&job.config, reference.path(".epc").c_str()), CONFIG_READ);
    ASSERT_TRUE(SetupJob(&job));
    ASSERT_TRUE(GenerateJobModels(&job, nullptr));
    EXPECT_EQ(job.models.count, reference.epcCount);
    const auto wanted = Sites(reference.epc);
    const CrystalModel *match = nullptr;
    for (const CrystalModel &m : job.models.models)
      if (Sites(EPCStr(&m)) == wanted) match = &m;
    ASSERT_NE(match, nullptr) << reference.epc;
    EXPECT_EQ(match->parameterCount, reference.freeCoordinates);
    FreeJob(&job);
  }
}

}  // namespace
