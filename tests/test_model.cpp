// Crystal models from combinations, fixed coordinates, and the job set-up
// operations on constraints, oxidation states and radiation.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "kernel.h"
#include "testing.h"

namespace {

Position MakePosition(int multiplicity, char letter, const char *coordinates) {
  Position p;
  p.multiplicity = multiplicity;
  p.wyckoffLetter = letter;
  SetCoordinates(coordinates, &p.coordinates);
  return p;
}

// A model as text: its EPC and the length of its parameter list, then per atom x, y and z,
// each its place in the parameter list (the list's length when missing),
// "=value" when constant, "fixedvalue" when fixed, "s" when special (on a
// position with partial freedom); and the occupancy of a mixed site's member.
std::string Describe(const CrystalModel &m) {
  std::ostringstream out;
  out << EPCStr(&m) << " free " << m.parameterList.size() << ":";
  for (const AtomModel &a : m.atoms) {
    for (int i = 0; i < 3; ++i) {
      const ModelParameter &p = a.para[i];
      if (p.fixed) out << " fixed" << p.value;
      else if (p.index < 0) out << " =" << p.value;
      else out << " " << std::find(m.parameterList.begin(), m.parameterList.end(), &p.value) -
                            m.parameterList.begin();
      if (p.special) out << "s";
    }
    if (a.para[SLOT_OCCUPANCY].kind == KIND_OCCUPANCY) out << " occ" << a.para[SLOT_OCCUPANCY].value;
    out << ";";
  }
  return out.str();
}

TEST(Models, EveryCombinationRowIsAModelOfItsFreeCoordinates) {
  const Position general = MakePosition(2, 'a', "(x,y,z)(-x,-y,-z)"),
                 axis = MakePosition(2, 'b', "(0,0,z)(0,0,-z)"),
                 line = MakePosition(2, 'c', "(x,0,0)(-x,0,0)"),
                 mirror = MakePosition(4, 'e', "(x,y,z)(-x,y,z)(x,-y,z)(x,y,-z)"),
                 origin = MakePosition(1, 'o', "(0,0,0)"),
                 centre = MakePosition(1, 'h', "(1/2,1/2,1/2)");
  struct Case {
    std::vector<Position> positions;
    const char *formula;
    std::vector<std::vector<int8_t>> rows;
    int partialFreedom;
    std::vector<std::string> models;
  };
  const Case cases[] = {
      {{general, axis, centre}, "O2", {{1, 0, 0}, {0, 1, 0}}, 0,
       {"O(2a) free 3: 0 1 2;", "O(2b) free 1: =0 =0 0;"}},
      // Two sets on one position, and a constant one.
      {{mirror, centre}, "O8Ba1", {{2, 0, 0, 1}}, 0,
       {"O(4e)+O(4e)+Ba(1h) free 6: 0 1 2; 3 4 5; =0.5 =0.5 =0.5;"}},
      // The members of a mixed site get coordinates of their own; special
      // marks partial freedom only.
      {{line, origin}, "(Fe0.5Mn0.5)2", {{1, 0}}, 1,
       {"Fe(2c)+Mn(2c) free 2: 0s =0s =0s occ0.5; 1s =0s =0s occ0.5;"}},
      {{general, origin}, "O2Ba1", {{1, 0, 0, 1}}, 1, {"O(2a)+Ba(1o) free 3: 0 1 2; =0 =0 =0;"}},
      {{origin, centre}, "Cs1Cl1", {{1, 0, 0, 1}, {0, 1, 1, 0}}, 0,
       {"Cs(1o)+Cl(1h) free 0: =0 =0 =0; =0.5 =0.5 =0.5;",
        "Cs(1h)+Cl(1o) free 0: =0.5 =0.5 =0.5; =0 =0 =0;"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.formula);
    Compound compound;
    ASSERT_EQ(ParseFormular(c.formula, &compound), 1);
    SetFormularZ(&compound, 1);
    CombPositions cp;
    SetCombPositions(c.positions, &cp);
    Combination comb;
    CreateCombination(&comb, static_cast<int>(c.positions.size()), compound.entryCount,
                      static_cast<int>(c.rows.size()));
    for (const auto &r : c.rows) CombinationAdd(r.data(), &comb);
    CrystalModelList models;
    ASSERT_EQ(CreateModelList(&compound, &cp, &comb, &models, c.partialFreedom),
              static_cast<int>(c.models.size()));
    for (size_t i = 0; i < c.models.size(); ++i) {
      EXPECT_EQ(models.models[i].modelNumber, static_cast<int>(i) + 1);
      EXPECT_EQ(models.models[i].parameterCount, models.models[i].freeCount);
      EXPECT_EQ(Describe(models.models[i]), c.models[i]);
    }
  }
}

TEST(Models, FixingAndReleasingCoordinates) {
  const std::vector<Position> positions = {MakePosition(2, 'a', "(x,y,z)(-x,-y,-z)"),
                                           MakePosition(2, 'b', "(0,0,z)(0,0,-z)")};
  Compound compound;
  ASSERT_EQ(ParseFormular("Fe2O2", &compound), 1);
  SetFormularZ(&compound, 1);
  SetOxidations(&compound, {{"Fe", 3}, {"O", -2}});
  CombPositions cp;
  SetCombPositions(positions, &cp);
  Combination comb;
  CreateCombination(&comb, 2, 2, 1);
  const int8_t row[4] = {1, 0, 0, 1};
  CombinationAdd(row, &comb);
  CrystalModelList models;
  ASSERT_EQ(CreateModelList(&compound, &cp, &comb, &models, 0), 1);
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
  EXPECT_EQ(Describe(m), "Fe(2a)+O(2b) free 2: fixed0.1 fixed0.2 0; =0 =0 1;");
  // A later entry for the same atom wins.
  fixed.push_back(FixedCoordinate{"Fe", 3, 2, 'a', 0.4, 0.5, 0.6, 1, 1, FIX_X});
  EXPECT_EQ(SetFixedCoordinates(&m, fixed), 1);
  EXPECT_EQ(m.atoms[0].para[SLOT_X].value, 0.4);
  // Released at the value it was fixed at.
  EXPECT_EQ(ResetFixedCoordinates(&m, fixed), 1);
  EXPECT_EQ(UpdateParaList(&m), 4);
  EXPECT_EQ(Describe(m), "Fe(2a)+O(2b) free 4: 0 1 2; =0 =0 3;");
  EXPECT_EQ(m.atoms[0].para[SLOT_X].value, 0.4);
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

TEST(JobSetup, OxidationsReachMixedSitesAndEachRadiationTakesItsWavelength) {
  // The last entry for an element wins.
  Compound compound;
  ASSERT_EQ(ParseFormular("(Fe0.5Mn0.5)1Fe1O2", &compound), 1);
  EXPECT_EQ(SetOxidations(&compound, {{"Fe", 3}, {"O", -2}, {"Fe", 2}}), 3);
  EXPECT_EQ(compound.entries[0].members[0].oxidation, 2);
  EXPECT_EQ(compound.entries[1].oxidation, 2);
  EXPECT_EQ(compound.entries[0].members[1].oxidation, 0);
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

}  // namespace
