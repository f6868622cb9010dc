// SPDX-License-Identifier: BSD-3-Clause
// Elements, the parsed formula (compound) and their scattering data.
#ifndef PULVINA_ELEMENT_H
#define PULVINA_ELEMENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "utils.h"

constexpr int kElementCount = 112;
constexpr int kIonRadiusCount = 184;
constexpr int kAsfCount = 14;

extern const char ElementTable[kElementCount][8];
extern const char ElementName[kElementCount][16];
extern const double AtomicMass[kElementCount];
extern const double VanderWaalsRadii[kElementCount];  // 0.001 angstrom
extern const double CovalentRadii[kElementCount];     // 0.001 angstrom
extern const uint32_t AtomicColorRef[kElementCount];  // 0xAARRGGBB

struct IonRadius {
  int32_t atomicNumber;
  int32_t oxidation;
  double radius;  // 0.001 angstrom
};
extern const IonRadius IonRadii[kIonRadiusCount];

// One formula entry; atomicNumber 0 marks a mixed-site group whose members
// share one site. Members live in the group's own vector.
struct Element {
  int32_t index = 0;  // column in a reflection's scattering-factor array; -1 for a group
  int32_t atomicNumber = 0;
  std::string symbol;  // "Dummy" for a group
  std::string name;
  int32_t oxidation = 0;
  double mass = 0;
  double vdwRadius = 0;
  double covalentRadius = 0;
  double ionRadius = 0;
  uint32_t color = 0;
  int32_t count = 0;
  int32_t cellCount = 0;
  double fraction = 0;
  double asf[kAsfCount] = {};
  double nsl[2] = {};
  std::vector<Element> members;
};

// The parsed formula: its top-level entries in formula order. Element
// pointers stay valid until the compound is freed or parsed again.
struct Compound {
  std::vector<Element> entries;
  int32_t entryCount = 0;
  // Running index given to the next real element.
  int32_t nextIndex = 0;
};

[[nodiscard]] int ElementNumber(const char *symbol);
void InitializeCompound(Compound *compound);
void ElementAdd(Compound *compound, Element element);
void ElementAddSub(Element *group, Element element);
void FreeCompound(Compound *compound);
[[nodiscard]] int ParseFormular(const char *text, Compound *compound);
void SetFormularZ(Compound *compound, int z);
double GetIonRadius(int atomicNumber, int oxidation);
// True when the table has a radius for the ion itself, not only the
// covalent fallback.
[[nodiscard]] bool HasIonRadius(int atomicNumber, int oxidation);
void UpdateIonRadii(Compound *compound);
// The element's usual oxidation state (0 when it has none), a starting
// point for a new job's table.
[[nodiscard]] int CommonOxidationState(int atomicNumber);
[[nodiscard]] int GetASF(int atomicNumber, int charge, double coefficients[kAsfCount],
           const DataLocation &data = DefaultDataLocation());
// 1, or 0 when the data file cannot be read (reported once; the elements
// after the first keep their values).
[[nodiscard]] int AssignASF(Compound *compound, const DataLocation &data = DefaultDataLocation());
double ASFFactor(double s, const double coefficients[kAsfCount]);
[[nodiscard]] int GetNSL(int atomicNumber, int key, double nsl[2],
           const DataLocation &data = DefaultDataLocation());
[[nodiscard]] int AssignNSL(Compound *compound, const DataLocation &data = DefaultDataLocation());
// Number of real elements (top-level and members): the width of the
// per-reflection scattering-factor arrays.
int RealElementCount(const Compound *compound);
// The real element of that symbol: a top-level element or a member of a
// mixed site; null when the formula has none.
const Element *FindElement(const Compound &compound, const std::string &symbol);

#endif
