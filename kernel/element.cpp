// SPDX-License-Identifier: BSD-3-Clause
#include "element.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils.h"

const char ElementTable[kElementCount][8] = {
    "H", "He", "Li", "Be", "B", "C", "N", "O", "F", "Ne", "Na", "Mg",
    "Al", "Si", "P", "S", "Cl", "Ar", "K", "Ca", "Sc", "Ti", "V", "Cr",
    "Mn", "Fe", "Co", "Ni", "Cu", "Zn", "Ga", "Ge", "As", "Se", "Br", "Kr",
    "Rb", "Sr", "Y", "Zr", "Nb", "Mo", "Tc", "Ru", "Rh", "Pd", "Ag", "Cd",
    "In", "Sn", "Sb", "Te", "I", "Xe", "Cs", "Ba", "La", "Ce", "Pr", "Nd",
    "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er", "Tm", "Yb", "Lu", "Hf",
    "Ta", "W", "Re", "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po",
    "At", "Rn", "Fr", "Ra", "Ac", "Th", "Pa", "U", "Np", "Pu", "Am", "Cm",
    "Bk", "Cf", "Es", "Fm", "Md", "No", "Lr", "Rf", "Db", "Sg", "Bh", "Hs",
    "Mt", "Uun", "Uuu", "Uub",
};

const char ElementName[kElementCount][16] = {
    "hydrogen", "helium", "lithium", "beryllium", "boron", "carbon",
    "nitrogen", "oxygen", "fluorine", "neon", "sodium", "magnesium",
    "aluminum", "silicon", "phosphorus", "sulfur", "chlorine", "argon",
    "potassium", "calcium", "scandium", "titanium", "vanadium", "chromium",
    "manganese", "iron", "cobalt", "nickel", "copper", "zinc",
    "gallium", "germanium", "arsenic", "selenium", "bromine", "krypton",
    "rubidium", "strontium", "yttrium", "zirconium", "niobium", "molybdenum",
    "technetium", "ruthenium", "rhodium", "palladium", "silver", "cadmium",
    "indium", "tin", "antimony", "tellurium", "iodine", "xenon",
    "cesium", "barium", "lanthanum", "cerium", "praseodymium", "neodymium",
    "promethium", "samarium", "europium", "gadolinium", "terbium", "dysprosium",
    "holmium", "erbium", "thulium", "ytterbium", "lutetium", "hafnium",
    "tantalum", "tungsten", "rhenium", "osmium", "iridium", "platinum",
    "gold", "mercury", "thallium", "lead", "bismuth", "polonium",
    "astatine", "radon", "francium", "radium", "actinium", "thorium",
    "protactinium", "uranium", "neptunium", "plutonium", "americium", "curium",
    "berkelium", "californium", "einsteinium", "fermium", "mendelevium", "nobelium",
    "lawrencium", "rutherfordium", "dubnium", "seaborgium", "bohrium", "hassium",
    "meitnerium", "Uun", "Uuu", "Uub",
};

const double AtomicMass[kElementCount] = {
    1.00794, 4.002602, 6.941, 9.012182, 10.811, 12.0107, 14.00674, 15.9994,
    18.9984032, 20.1797, 22.98977, 24.305, 26.981538, 28.0855, 30.973761, 32.066,
    35.4527, 39.948, 39.0983, 40.078, 44.95591, 47.867, 50.9415, 51.9961,
    54.938049, 55.845, 58.9332, 58.6934, 63.546, 65.39, 69.723, 72.61,
    74.9216, 78.96, 79.904, 83.8, 85.4678, 87.62, 88.90585, 91.224,
    92.90638, 95.94, 98, 101.07, 102.9055, 106.42, 107.8682, 112.411,
    114.818, 118.71, 121.76, 127.6, 126.90447, 131.29, 132.90545, 137.327,
    138.9055, 140.116, 140.90765, 144.24, 145, 150.36, 151.964, 157.25,
    158.92534, 162.5, 164.93032, 167.26, 168.93421, 173.04, 174.967, 178.49,
    180.9479, 183.84, 186.207, 190.23, 192.217, 195.078, 196.96655, 200.59,
    204.3833, 207.2, 208.98038, 209, 210, 222, 223, 226,
    227, 232.0381, 231.03588, 238.0289, 237, 244, 243, 247,
    247, 251, 252, 257, 258, 259, 262, 261,
    262, 263, 262, 265, 266, 269, 272, 277,
};

const double VanderWaalsRadii[kElementCount] = {
    1200, 1400, 1820, 1700, 2080, 1950, 1850, 1700, 1730, 1540, 2270, 1730,
    2050, 2100, 2080, 2000, 1970, 1880, 2750, 1973, 1700, 1700, 1700, 1700,
    1700, 1700, 1700, 1630, 1400, 1390, 1870, 1700, 1850, 1900, 2100, 2020,
    1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1630, 1720, 1580,
    1930, 2170, 2200, 2060, 2150, 2160, 1700, 1700, 1700, 1700, 1700, 1700,
    1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700,
    1700, 1700, 1700, 1700, 1700, 1720, 1660, 1550, 1960, 2020, 1700, 1700,
    1700, 1700, 1700, 1700, 1700, 1700, 1700, 1860, 1700, 1700, 1700, 1700,
    1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700, 1700,
    1700, 1700, 1700, 1700,
};

const double CovalentRadii[kElementCount] = {
    230, 930, 680, 350, 830, 680, 680, 680, 640, 1120, 970, 1100,
    1350, 1200, 750, 1020, 990, 1570, 1330, 990, 1440, 1470, 1330, 1350,
    1350, 1340, 1330, 1500, 1520, 1450, 1220, 1170, 1210, 1220, 1210, 1910,
    1470, 1120, 1780, 1560, 1480, 1470, 1350, 1400, 1450, 1500, 1590, 1690,
    1630, 1460, 1460, 1470, 1400, 1980, 1670, 1340, 1870, 1830, 1820, 1810,
    1800, 1800, 1990, 1790, 1760, 1750, 1740, 1730, 1720, 1940, 1720, 1570,
    1430, 1370, 1350, 1370, 1320, 1500, 1500, 1700, 1550, 1540, 1540, 1680,
    1700, 2400, 2000, 1900, 1880, 1790, 1610, 1580, 1550, 1530, 1510, 1500,
    1500, 1500, 1500, 1500, 1500, 1500, 1500, 1600, 1600, 1600, 1600, 1600,
    1600, 1600, 1600, 1600,
};

const uint32_t AtomicColorRef[kElementCount] = {
    0xFFFFFFFF, 0xFFD9FFFF, 0xFFCC80FF, 0xFFC2FF00, 0xFFFFB5B5, 0xFF909090, 0xFF3050F8, 0xFFFF0D0D,
    0xFF90E050, 0xFFB3E3F5, 0xFFAB5CF2, 0xFF8AFF00, 0xFFBFA6A6, 0xFFF0C8A0, 0xFFFF8000, 0xFFFFFF30,
    0xFF1FF01F, 0xFF80D1E3, 0xFF8F40D4, 0xFF3DFF00, 0xFFE6E6E6, 0xFFBFC2C7, 0xFFA6A6AB, 0xFF8A99C7,
    0xFF9C7AC7, 0xFFE06633, 0xFFF090A0, 0xFF50D050, 0xFFC88033, 0xFF7D80B0, 0xFFC28F8F, 0xFF668F8F,
    0xFFBD80E3, 0xFFFFA100, 0xFFA62929, 0xFF5CB8D1, 0xFF702EB0, 0xFF00FF00, 0xFF94FFFF, 0xFF94E0E0,
    0xFF73C2C9, 0xFF54B5B5, 0xFF3B9E9E, 0xFF248F8F, 0xFF0A7D8C, 0xFF006985, 0xFFC0C0C0, 0xFFFFD98F,
    0xFFA67573, 0xFF668080, 0xFF9E63B5, 0xFFD47A00, 0xFF940094, 0xFF429EB0, 0xFF57178F, 0xFF00C900,
    0xFF70D4FF, 0xFFFFFFC7, 0xFFD9FFC7, 0xFFC7FFC7, 0xFFA3FFC7, 0xFF8FFFC7, 0xFF61FFC7, 0xFF45FFC7,
    0xFF30FFC7, 0xFF1FFFC7, 0xFF00FF9C, 0xFF00E675, 0xFF00D452, 0xFF00BF38, 0xFF00AB24, 0xFF4DC2FF,
    0xFF4DA6FF, 0xFF2194D6, 0xFF267DAB, 0xFF266696, 0xFF175487, 0xFFD0D0E0, 0xFFFFD123, 0xFFB8B8D0,
    0xFFA6544D, 0xFF575961, 0xFF9E4FB5, 0xFFAB5C00, 0xFF754F45, 0xFF428296, 0xFF420066, 0xFF007D00,
    0xFF70ABFA, 0xFF00BAFF, 0xFF00A1FF, 0xFF008FFF, 0xFF0080FF, 0xFF006BFF, 0xFF545CF2, 0xFF785CE3,
    0xFF8A4FE3, 0xFFA136D4, 0xFFB31FD4, 0xFFB31FBA, 0xFFB30DA6, 0xFFBD0D87, 0xFFC70066, 0xFFCC0059,
    0xFFD1004F, 0xFFD90045, 0xFFE00038, 0xFFE6002E, 0xFFEB0026, 0xFFFF00FF, 0xFFFF00FF, 0xFFFF00FF,
};

const IonRadius IonRadii[kIonRadiusCount] = {
    {1, -1, 1540},  // H
    {3, 1, 680},  // Li
    {4, 1, 440},  // Be
    {4, 2, 350},  // Be
    {5, 1, 350},  // B
    {5, 3, 230},  // B
    {6, -4, 2600},  // C
    {6, 4, 160},  // C
    {7, -3, 1710},  // N
    {7, 1, 680},  // N
    {7, 3, 160},  // N
    {7, 5, 130},  // N
    {8, -2, 1360},  // O
    {8, -1, 680},  // O
    {8, 1, 220},  // O
    {8, 6, 90},  // O
    {9, -1, 1330},  // F
    {9, 7, 80},  // F
    {10, 1, 1120},  // Ne
    {11, 1, 970},  // Na
    {12, 1, 820},  // Mg
    {12, 2, 660},  // Mg
    {13, 3, 510},  // Al
    {14, -4, 2710},  // Si
    {14, -1, 3840},  // Si
    {14, 1, 650},  // Si
    {14, 4, 420},  // Si
    {15, -3, 2120},  // P
    {15, 3, 440},  // P
    {15, 5, 350},  // P
    {16, -2, 1840},  // S
    {16, 2, 2190},  // S
    {16, 4, 370},  // S
    {16, 6, 300},  // S
    {17, -1, 1810},  // Cl
    {17, 5, 340},  // Cl
    {17, 7, 270},  // Cl
    {18, 1, 1540},  // Ar
    {19, 1, 1330},  // K
    {20, 1, 1180},  // Ca
    {20, 2, 990},  // Ca
    {21, 3, 732},  // Sc
    {22, 1, 960},  // Ti
    {22, 2, 940},  // Ti
    {22, 3, 760},  // Ti
    {22, 4, 680},  // Ti
    {23, 2, 880},  // V
    {23, 3, 740},  // V
    {23, 4, 630},  // V
    {23, 5, 590},  // V
    {24, 1, 810},  // Cr
    {24, 2, 890},  // Cr
    {24, 3, 630},  // Cr
    {24, 6, 520},  // Cr
    {25, 2, 800},  // Mn
    {25, 3, 660},  // Mn
    {25, 4, 600},  // Mn
    {25, 7, 460},  // Mn
    {26, 2, 740},  // Fe
    {26, 3, 640},  // Fe
    {27, 2, 720},  // Co
    {27, 3, 630},  // Co
    {28, 2, 690},  // Ni
    {29, 1, 960},  // Cu
    {29, 2, 720},  // Cu
    {30, 1, 880},  // Zn
    {30, 2, 740},  // Zn
    {31, 1, 810},  // Ga
    {31, 3, 620},  // Ga
    {32, -4, 2720},  // Ge
    {32, 2, 730},  // Ge
    {32, 4, 530},  // Ge
    {33, -3, 2220},  // As
    {33, 3, 580},  // As
    {33, 5, 460},  // As
    {34, -2, 1980},  // Se
    {34, -1, 2320},  // Se
    {34, 1, 660},  // Se
    {34, 4, 500},  // Se
    {34, 6, 420},  // Se
    {35, -1, 1960},  // Br
    {35, 5, 470},  // Br
    {35, 7, 390},  // Br
    {37, 1, 1470},  // Rb
    {38, 2, 1120},  // Sr
    {39, 3, 893},  // Y
    {40, 1, 1090},  // Zr
    {40, 4, 790},  // Zr
    {41, 1, 1000},  // Nb
    {41, 4, 740},  // Nb
    {41, 5, 690},  // Nb
    {42, 1, 930},  // Mo
    {42, 4, 700},  // Mo
    {42, 6, 620},  // Mo
    {43, 7, 979},  // Tc
    {44, 4, 670},  // Ru
    {45, 3, 680},  // Rh
    {46, 2, 800},  // Pd
    {46, 4, 650},  // Pd
    {47, 1, 1260},  // Ag
    {47, 2, 890},  // Ag
    {48, 1, 1140},  // Cd
    {48, 2, 970},  // Cd
    {49, 3, 810},  // In
    {50, -4, 2940},  // Sn
    {50, -1, 3700},  // Sn
    {50, 2, 930},  // Sn
    {50, 4, 710},  // Sn
    {51, -3, 2450},  // Sb
    {51, 3, 760},  // Sb
    {51, 5, 620},  // Sb
    {52, -2, 2110},  // Te
    {52, -1, 2500},  // Te
    {52, 1, 820},  // Te
    {52, 4, 700},  // Te
    {52, 6, 560},  // Te
    {53, -1, 2200},  // I
    {53, 5, 620},  // I
    {53, 7, 500},  // I
    {55, 1, 1670},  // Cs
    {56, 1, 1530},  // Ba
    {56, 2, 1340},  // Ba
    {57, 1, 1390},  // La
    {57, 3, 1016},  // La
    {58, 1, 1270},  // Ce
    {58, 3, 1034},  // Ce
    {58, 4, 920},  // Ce
    {59, 3, 1013},  // Pr
    {59, 4, 900},  // Pr
    {60, 3, 995},  // Nd
    {61, 3, 979},  // Pm
    {62, 3, 964},  // Sm
    {63, 2, 1090},  // Eu
    {63, 3, 950},  // Eu
    {64, 3, 938},  // Gd
    {65, 3, 923},  // Tb
    {65, 4, 840},  // Tb
    {66, 3, 908},  // Dy
    {67, 3, 894},  // Ho
    {68, 3, 881},  // Er
    {69, 3, 870},  // Tm
    {70, 2, 930},  // Yb
    {70, 3, 858},  // Yb
    {71, 3, 850},  // Lu
    {72, 4, 780},  // Hf
    {73, 5, 680},  // Ta
    {74, 4, 700},  // W
    {74, 6, 620},  // W
    {75, 4, 720},  // Re
    {75, 7, 560},  // Re
    {76, 4, 880},  // Os
    {76, 6, 690},  // Os
    {77, 4, 680},  // Ir
    {78, 2, 800},  // Pt
    {78, 4, 650},  // Pt
    {79, 1, 1370},  // Au
    {79, 3, 850},  // Au
    {80, 1, 1270},  // Hg
    {80, 2, 1100},  // Hg
    {81, 1, 1470},  // Tl
    {81, 3, 950},  // Tl
    {82, 2, 1200},  // Pb
    {82, 4, 840},  // Pb
    {83, 1, 980},  // Bi
    {83, 3, 960},  // Bi
    {83, 5, 740},  // Bi
    {84, 6, 670},  // Po
    {85, 7, 620},  // At
    {87, 1, 1800},  // Fr
    {88, 2, 1430},  // Ra
    {89, 3, 1180},  // Ac
    {90, 4, 1020},  // Th
    {91, 3, 1130},  // Pa
    {91, 4, 980},  // Pa
    {91, 5, 890},  // Pa
    {92, 4, 970},  // U
    {92, 6, 800},  // U
    {93, 3, 1100},  // Np
    {93, 4, 950},  // Np
    {93, 7, 710},  // Np
    {94, 3, 1080},  // Pu
    {94, 4, 930},  // Pu
    {95, 3, 1070},  // Am
    {95, 4, 920},  // Am
};

int ElementNumber(const char *symbol) {
  for (int i = 0; i < kElementCount; ++i)
    if (std::strncmp(ElementTable[i], symbol, 8) == 0) return i + 1;
  return -1;
}

void InitializeCompound(Compound *compound) {
  compound->entries.clear();
  compound->entryCount = 0;
  compound->nextIndex = 0;
}

void ElementAdd(Compound *compound, Element element) {
  compound->entries.push_back(std::move(element));
  compound->entryCount++;
}

void ElementAddSub(Element *group, Element element) {
  group->members.push_back(std::move(element));
}

void FreeCompound(Compound *compound) {
  std::vector<Element>().swap(compound->entries);
  compound->entryCount = 0;
  compound->nextIndex = 0;
}

namespace {

Element MakeElement(const std::string &symbol, int number, int index) {
  Element e;
  e.index = index;
  e.atomicNumber = number;
  e.symbol = symbol;
  e.name = ElementName[number - 1];
  e.oxidation = 0;
  e.mass = AtomicMass[number - 1];
  e.vdwRadius = VanderWaalsRadii[number - 1];
  e.covalentRadius = CovalentRadii[number - 1];
  e.ionRadius = GetIonRadius(number, 0);
  e.color = AtomicColorRef[number - 1];
  return e;
}

// Counts must stay well inside 32 bits, since they are multiplied by Z and
// by multiplicities later on.
constexpr long kMaxCount = 1000000;

bool ReadCount(const char *digits, size_t length, int32_t *count) {
  long value = 0;
  for (size_t i = 0; i < length; ++i) {
    value = value * 10 + (digits[i] - '0');
    if (value > kMaxCount) return false;
  }
  *count = static_cast<int32_t>(value);
  return true;
}

int WrongFormat(const char *text, const std::string &why) {
  Message(MESSAGE_ERROR, "parsing formula, '%s' in a wrong format: %s\n", text, why.c_str());
  return 0;
}

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Occupancies of one site may add up to 1 within the rounding of a typed
// decimal.
constexpr double kFullSite = 1.0 + 1e-9;

}  // namespace

// The grammar: an element symbol (a capital and its small letters) with a
// whole count, 1 when none is written (BaTiO3); a mixed site in brackets,
// each member with its fractional occupancy, and the site's count after the
// closing bracket ((Fe0.5Mn0.5)2O3); blanks between the parts.
int ParseFormular(const char *text, Compound *compound) {
  InitializeCompound(compound);
  if (!text || !*text) return 0;
  bool inGroup = false;
  Element group;
  double occupied = 0;
  const char *p = text;
  while (*p) {
    const char c = *p;
    if (IsUpper(c) || IsLower(c)) {
      const char *start = p++;
      if (IsUpper(c))
        while (IsLower(*p)) ++p;
      else
        while (IsUpper(*p) || IsLower(*p)) ++p;
      const std::string symbol(start, p);
      const int number = ElementNumber(symbol.c_str());
      if (number < 1) {
        Message(MESSAGE_ERROR, "parsing formula, unrecognized element symbol '%s'!\n",
                symbol.c_str());
        return 0;
      }
      const char *numberStart = p;
      int points = 0;
      while (IsDigit(*p) || *p == '.') {
        if (*p == '.') ++points;
        ++p;
      }
      const std::string written(start, p);
      const std::string digits(numberStart, p);
      if (points > 1) return WrongFormat(text, "'" + written + "' has more than one point");
      Element e = MakeElement(symbol, number, compound->nextIndex);
      if (!inGroup) {
        if (points)
          return WrongFormat(text, "'" + written +
                                       "' has a fractional count outside a mixed site; write "
                                       "mixed sites in brackets, such as (Fe0.5Mn0.5)2O3");
        if (digits.empty()) {
          e.count = 1;
        } else if (!ReadCount(digits.data(), digits.size(), &e.count) || e.count < 1) {
          return WrongFormat(text, "'" + written + "' needs a count from 1 to 1000000");
        }
        e.cellCount = e.count;
        compound->nextIndex++;
        ElementAdd(compound, std::move(e));
      } else {
        if (!points)
          return WrongFormat(text, "'" + written +
                                       "' in a mixed site needs its fractional occupancy, such "
                                       "as " + symbol + "0.5");
        e.fraction = std::strtod(digits.c_str(), nullptr);
        if (!(e.fraction > 0 && e.fraction <= 1))
          return WrongFormat(text, "'" + written + "' needs an occupancy above 0 and at most 1");
        occupied += e.fraction;
        if (occupied > kFullSite)
          return WrongFormat(text, "the occupancies of the mixed site add up to more than 1");
        compound->nextIndex++;
        ElementAddSub(&group, std::move(e));
      }
      continue;
    }
    if (c == '(') {
      if (inGroup) return WrongFormat(text, "a mixed site cannot hold another one");
      if (!std::strchr(p + 1, ')')) {
        Message(MESSAGE_ERROR, "parsing formula, formula '%s' in a wrong format!\n", text);
        return 0;
      }
      group = Element();
      group.index = -1;
      group.atomicNumber = 0;
      group.symbol = "Dummy";
      occupied = 0;
      inGroup = true;
      ++p;
      continue;
    }
    if (c == ')') {
      if (!inGroup) return WrongFormat(text, "a ')' that closes no '('");
      if (group.members.empty()) return WrongFormat(text, "an empty mixed site");
      const char *d = ++p;
      while (IsDigit(*p)) ++p;
      if (*p == '.' || d == p || !ReadCount(d, static_cast<size_t>(p - d), &group.count) ||
          group.count < 1)
        return WrongFormat(text, "a mixed site needs a whole count from 1 to 1000000 after its "
                                 "')', such as (Fe0.5Mn0.5)2");
      group.cellCount = group.count;
      for (Element &m : group.members) m.count = m.cellCount = group.count;
      ElementAdd(compound, std::move(group));
      inGroup = false;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++p;
      continue;
    }
    return WrongFormat(text, std::string("'") + c + "' at character " +
                                 std::to_string(p - text + 1) + " belongs to no element");
  }
  if (inGroup) {
    Message(MESSAGE_ERROR, "parsing formula, formula '%s' in a wrong format!\n", text);
    return 0;
  }
  if (compound->entries.empty()) return WrongFormat(text, "it names no element");
  return 1;
}

static int32_t CellCount(int32_t count, int z) {
  long long n = static_cast<long long>(count) * z;
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(n);
}

void SetFormularZ(Compound *compound, int z) {
  for (Element &e : compound->entries) {
    e.cellCount = CellCount(e.count, z);
    for (Element &m : e.members) m.cellCount = CellCount(m.count, z);
  }
}

namespace {

// The state each element most often takes in the inorganic solids this
// program solves, by atomic number, one the ionic-radius table above knows
// (hydrogen aside, which has none); 0 for the noble gases, polonium,
// astatine and the elements beyond plutonium. A new job starts from it, the
// user corrects it.
const int8_t CommonOxidationStates[kElementCount] = {
    1,  0,  1,  2,  3,  4,  -3, -2, -1, 0,   // H .. Ne
    1,  2,  3,  4,  5,  -2, -1, 0,           // Na .. Ar
    1,  2,  3,  4,  5,  3,  2,  3,  2,  2,  2, 2, 3, 4, 5, -2, -1, 0,  // K .. Kr
    1,  2,  3,  4,  5,  6,  7,  4,  3,  2,  1, 2, 3, 4, 3, -2, -1, 0,  // Rb .. Xe
    1,  2,  3,  3,  3,  3,  3,  3,  3,  3,  3, 3, 3, 3, 3, 3,  3,  // Cs .. Lu
    4,  5,  6,  7,  4,  4,  2,  3,  2,  1,  2, 3, 0, 0, 0,        // Hf .. Rn
    1,  2,  3,  4,  5,  6,  4,  4,                               // Fr .. Pu
};

}  // namespace

int CommonOxidationState(int atomicNumber) {
  if (atomicNumber < 1 || atomicNumber > kElementCount) return 0;
  return CommonOxidationStates[atomicNumber - 1];
}

double GetIonRadius(int atomicNumber, int oxidation) {
  if (atomicNumber < 1 || atomicNumber > kElementCount) return 0;
  for (const IonRadius &r : IonRadii)
    if (r.atomicNumber == atomicNumber && r.oxidation == oxidation) return r.radius;
  return CovalentRadii[atomicNumber - 1];
}

bool HasIonRadius(int atomicNumber, int oxidation) {
  for (const IonRadius &r : IonRadii)
    if (r.atomicNumber == atomicNumber && r.oxidation == oxidation) return true;
  return false;
}

void UpdateIonRadii(Compound *compound) {
  for (Element &e : compound->entries) {
    if (e.atomicNumber > 0) e.ionRadius = GetIonRadius(e.atomicNumber, e.oxidation);
    for (Element &m : e.members) m.ionRadius = GetIonRadius(m.atomicNumber, m.oxidation);
  }
}

namespace {

// Looks a row up in one of the two data tables: the exact key pair ends the
// search, a row with second key 0 is the fallback (the last one wins).
// Both tables share the leading columns, so one scan format serves both;
// the neutron table simply stops after two values. Returns 1 when found,
// 0 when not, -1 when the file cannot be read (why says why).
template <int N>
int LookupTable(const DataLocation &data, const char *fileName, int atomicNumber, int key,
                double values[N], std::string *why) {
  const std::string path = DataPath(data, fileName);
  FilePtr file = OpenInputFile(path, kMaxDataFileBytes, why);
  if (!file) return -1;
  double fallback[N];
  bool haveFallback = false;
  LineReader lines(file.get(), 255, kMaxDataFileBytes);
  while (lines.Next()) {
    // Lines longer than the table's own, or not text, hold no row.
    if (lines.tooLong() || lines.binary()) continue;
    char symbol[256];
    int number = 0, second = 0;
    double v[14] = {};
    int fields = std::sscanf(lines.text().c_str(),
                             "%255s %d %d %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf "
                             "%lf",
                             symbol, &number, &second, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                             &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12], &v[13]);
    if (fields < 3 || number != atomicNumber) continue;
    bool finite = true;
    for (int i = 0; i < N; ++i) finite = finite && std::isfinite(v[i]);
    if (!finite) continue;
    if (second == key) {
      for (int i = 0; i < N; ++i) values[i] = v[i];
      return 1;
    }
    if (second == 0) {
      for (int i = 0; i < N; ++i) fallback[i] = v[i];
      haveFallback = true;
    }
  }
  if (lines.failed()) {
    *why = lines.exceeded() ? "is too large" : "could not be read to its end";
    return -1;
  }
  if (haveFallback) {
    for (int i = 0; i < N; ++i) values[i] = fallback[i];
    return 1;
  }
  return 0;
}

// 1 found, 0 not found (reported, defaults set), -1 the file cannot be read
// (reported, values unchanged).
int LookupASF(const DataLocation &data, int atomicNumber, int charge,
              double coefficients[kAsfCount]) {
  std::string why;
  const int found =
      LookupTable<kAsfCount>(data, "asft.dat", atomicNumber, charge, coefficients, &why);
  if (found < 0) {
    Message(MESSAGE_ERROR, "read atomic scattering factor, can not open file \"%s\" (%s)\n%s",
            DataPath(data, "asft.dat").c_str(), why.c_str(),
            DataFileNote(data, "asft.dat").c_str());
    return -1;
  }
  if (found) return 1;
  for (int i = 0; i < kAsfCount; ++i) coefficients[i] = 0;
  Message(MESSAGE_WARNING,
          "reading atomic scattering factor, can not find factors for element (number %d)\n",
          atomicNumber);
  return 0;
}

int LookupNSL(const DataLocation &data, int atomicNumber, int key, double nsl[2]) {
  std::string why;
  const int found = LookupTable<2>(data, "nslt.dat", atomicNumber, key, nsl, &why);
  if (found < 0) {
    Message(MESSAGE_ERROR, "read neutron scattering length, can not open file \"%s\" (%s)\n%s",
            DataPath(data, "nslt.dat").c_str(), why.c_str(),
            DataFileNote(data, "nslt.dat").c_str());
    return -1;
  }
  if (found) return 1;
  nsl[0] = 1.0;
  nsl[1] = 0.0;
  Message(MESSAGE_WARNING,
          "reading neutron scattering length, can not find factors for element (number %d, A "
          "%d)\n",
          atomicNumber, key);
  return 0;
}

}  // namespace

int GetASF(int atomicNumber, int charge, double coefficients[kAsfCount],
           const DataLocation &data) {
  return LookupASF(data, atomicNumber, charge, coefficients) > 0;
}

int AssignASF(Compound *compound, const DataLocation &data) {
  // One unreadable file is reported once, not once per element.
  for (Element &e : compound->entries) {
    if (e.atomicNumber > 0 && LookupASF(data, e.atomicNumber, e.oxidation, e.asf) < 0) return 0;
    for (Element &m : e.members)
      if (LookupASF(data, m.atomicNumber, m.oxidation, m.asf) < 0) return 0;
  }
  return 1;
}

double ASFFactor(double s, const double c[kAsfCount]) {
  double s2 = s * s;
  double f = c[10];
  for (int i = 0; i < 5; ++i) f += c[i] * std::exp(-c[5 + i] * s2);
  return f;
}

int GetNSL(int atomicNumber, int key, double nsl[2], const DataLocation &data) {
  return LookupNSL(data, atomicNumber, key, nsl) > 0;
}

int AssignNSL(Compound *compound, const DataLocation &data) {
  for (Element &e : compound->entries) {
    if (e.atomicNumber > 0 && LookupNSL(data, e.atomicNumber, e.oxidation, e.nsl) < 0) return 0;
    for (Element &m : e.members)
      if (LookupNSL(data, m.atomicNumber, m.oxidation, m.nsl) < 0) return 0;
  }
  return 1;
}

int RealElementCount(const Compound *compound) {
  int n = 0;
  for (const Element &e : compound->entries) {
    if (e.atomicNumber > 0) ++n;
    n += static_cast<int>(e.members.size());
  }
  return n;
}

const Element *FindElement(const Compound &compound, const std::string &symbol) {
  for (const Element &e : compound.entries) {
    if (e.atomicNumber > 0 && e.symbol == symbol) return &e;
    for (const Element &m : e.members)
      if (m.symbol == symbol) return &m;
  }
  return nullptr;
}
