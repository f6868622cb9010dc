// SPDX-License-Identifier: BSD-3-Clause
#include "combination.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>
#include <string>

#include "utils.h"

void InitializeCombPositions(CombPositions *cp) {
  cp->currentSlot = 0;
  cp->positionCount = 0;
  cp->nodes.clear();
}

int32_t SetCombPositions(const std::vector<Position> &positions, CombPositions *cp) {
  for (const Position &p : positions) {
    CombPosition node;
    node.position = &p;
    node.lower = 0;
    node.upper = kOpenUpper;
    std::fill(std::begin(node.lowerBySlot), std::end(node.lowerBySlot), 0);
    std::fill(std::begin(node.upperBySlot), std::end(node.upperBySlot), kOpenUpper);
    cp->nodes.push_back(node);
  }
  cp->positionCount = static_cast<int32_t>(cp->nodes.size());
  return cp->positionCount;
}

void FreeCombPositions(CombPositions *cp) {
  std::vector<CombPosition>().swap(cp->nodes);
  cp->positionCount = 0;
  cp->currentSlot = 0;
}

int IsFixedCoordinate(const Coordinates &coordinates) {
  if (coordinates.empty()) return 0;
  for (const Coordinate &c : coordinates)
    if (c.text.find_first_of("xyzXYZ") != std::string::npos) return 0;
  return 1;
}

void AddSOCRestraint(CombPositions *cp) {
  for (CombPosition &n : cp->nodes)
    if (IsFixedCoordinate(n.position->coordinates) && n.upperBySlot[cp->currentSlot] > 1)
      n.upperBySlot[cp->currentSlot] = 1;
}

void AddMathematicalRestraint(CombPositions *cp, int atomCount) {
  for (CombPosition &n : cp->nodes) {
    // A position without a multiplicity can only come from a broken
    // database; it must not be able to swallow atoms.
    int limit = n.position->multiplicity > 0 ? atomCount / n.position->multiplicity : 0;
    n.upperBySlot[cp->currentSlot] = std::min(n.upperBySlot[cp->currentSlot], limit);
  }
}

void SetRestraint(CombPositions *cp, int slot) {
  if (slot != -1) cp->currentSlot = ((slot % 63) + 63) % 63;
  for (CombPosition &n : cp->nodes) {
    n.lower = n.lowerBySlot[cp->currentSlot];
    n.upper = n.upperBySlot[cp->currentSlot];
  }
}

void ResetRestraint(CombPositions *cp) {
  for (CombPosition &n : cp->nodes) {
    n.lowerBySlot[cp->currentSlot] = 0;
    n.upperBySlot[cp->currentSlot] = kOpenUpper;
  }
}

void ResetRestraints(CombPositions *cp) {
  for (int slot = 0; slot < kRestraintSlots; ++slot) {
    cp->currentSlot = slot;
    ResetRestraint(cp);
  }
}

void InitializeRestraints(CombPositions *cp, const Compound *compound) {
  int sum = 0;
  int k = 1;
  for (const Element &e : compound->entries) {
    SetRestraint(cp, k++);
    AddSOCRestraint(cp);
    AddMathematicalRestraint(cp, e.cellCount);
    sum += e.cellCount;
  }
  SetRestraint(cp, 0);
  AddSOCRestraint(cp);
  AddMathematicalRestraint(cp, sum);
}

void InitializeCombination(Combination *comb) { *comb = Combination(); }

void FreeCombination(Combination *comb) { *comb = Combination(); }

namespace {

// The table is sized by a counting pass before it is filled: a walk that
// finds more rows than the count is a fault of the enumeration, never a
// result to hand on cut short.
int TableOverflow(Combination *comb) {
  Message(MESSAGE_ERROR,
          "enumerating Wyckoff combinations, more combinations than counted (%d); none are kept\n",
          comb->capacity);
  FreeCombination(comb);
  return -1;
}

}  // namespace

int CreateCombination(Combination *comb, int positionCount, int entryCount, int capacity) {
  comb->count = 0;
  comb->positionCount = positionCount;
  comb->entryCount = entryCount;
  comb->capacity = capacity;
  comb->cells.assign(static_cast<size_t>(capacity) * static_cast<size_t>(positionCount) *
                         static_cast<size_t>(entryCount),
                     0);
  return 1;
}

int CombinationAdd(const int8_t *row, Combination *comb) {
  const size_t size = static_cast<size_t>(comb->entryCount) * static_cast<size_t>(comb->positionCount);
  if (comb->cells.empty() || comb->count >= comb->capacity) return 0;
  std::memcpy(comb->cells.data() + static_cast<size_t>(comb->count) * size, row, size);
  comb->count++;
  return static_cast<int>(size);
}

int increase(int *counter, const int *start, const int *maximum, int n) {
  counter[0] += 1;
  for (int i = 0; i < n - 1; ++i) {
    if (counter[i] <= maximum[i]) break;
    counter[i] = start ? start[i] : 0;
    counter[i + 1] += 1;
  }
  return counter[n - 1] <= maximum[n - 1] ? 1 : 0;
}

namespace {

// Work budget of one walk, in visited nodes: beyond it the enumeration would
// run for many minutes, and the problem is refused instead.
struct Budget {
  const EnumerationLimits *limits;
  double visits = 0;
  bool stopped = false;
  explicit Budget(const EnumerationLimits &l) : limits(&l) {}
  bool exhausted() {
    if (stopped) return true;
    // The stop request is an atomic load: every 65536 nodes costs nothing.
    if (limits->stop && (static_cast<uint64_t>(visits) & 0xFFFF) == 0 &&
        limits->stop->load(std::memory_order_relaxed))
      stopped = true;
    return stopped || visits > limits->budget;
  }
};

// Distributions of a number of atoms over the positions, in odometer order
// (first position fastest). The recursion fixes the last position first and
// drops every branch whose atoms already exceed the count, so it meets the
// same rows in the same order as the plain odometer without walking the
// hopeless candidates.
struct SingleWalk {
  int P;
  const int *lo, *up, *k;
  int *n;
  Budget *budget;
  template <typename Visit>
  void run(int p, int remaining, Visit &visit) {
    if (budget->exhausted()) return;
    budget->visits += 1;
    if (p == 0) {
      // The first position takes what is left, if it can.
      if (k[0] <= 0) {
        if (remaining == 0)
          for (n[0] = lo[0]; n[0] <= up[0]; ++n[0]) visit();
        return;
      }
      if (remaining % k[0] != 0) return;
      int c = remaining / k[0];
      if (c < lo[0] || c > up[0]) return;
      n[0] = c;
      visit();
      return;
    }
    for (int c = lo[p]; c <= up[p]; ++c) {
      long long used = static_cast<long long>(c) * k[p];
      if (used > remaining) break;
      n[p] = c;
      run(p - 1, remaining - static_cast<int>(used), visit);
    }
  }
};

std::string JoinNumbers(const std::vector<long long> &values) {
  std::string s;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(values[i]);
  }
  return s;
}

constexpr double kMaxTableBytes = 1.0 * 1024 * 1024 * 1024;

}  // namespace

int SingleCombination(int atomCount, CombPositions *cp, Combination *comb,
                      const EnumerationLimits &limits) {
  const int P = cp->positionCount;
  if (P == 0) return 0;
  std::vector<int> lo(P), up(P), k(P), n(P, 0);
  for (int p = 0; p < P; ++p) {
    const CombPosition &node = cp->nodes[static_cast<size_t>(p)];
    if (node.upper < node.lower) return 0;
    lo[p] = node.lower;
    k[p] = node.position->multiplicity;
    // Counts above atoms/multiplicity overshoot the sum whatever the other
    // positions hold, so the walk stops there without losing a row. A
    // position without multiplicity only comes from a broken database and
    // is held to its minimum.
    int reach = k[p] > 0 ? atomCount / k[p] : node.lower;
    up[p] = std::min(node.upper, std::max(reach, node.lower));
    if (up[p] > kMaxSets && k[p] > 0 && lo[p] * k[p] <= atomCount) {
      Message(MESSAGE_ERROR,
              "single combination, %d atoms allow up to %d sets on position %d%c, more than the "
              "%d one combination can hold\n",
              atomCount, up[p], k[p], node.position->wyckoffLetter, kMaxSets);
      return -1;
    }
  }
  Budget budget(limits);
  SingleWalk walk{P, lo.data(), up.data(), k.data(), n.data(), &budget};
  long long count = 0;
  auto counter = [&] { ++count; };
  walk.run(P - 1, atomCount, counter);
  if (budget.stopped) return kEnumerationStopped;
  if (budget.exhausted() || count > 2147483647LL) {
    Message(MESSAGE_ERROR,
            "single combination, %d atoms over %d positions need more than %.0f steps to "
            "enumerate\n",
            atomCount, P, limits.budget);
    return -1;
  }
  if (count == 0) return 0;
  CreateCombination(comb, P, 1, static_cast<int>(count));
  std::vector<int8_t> row(static_cast<size_t>(P));
  bool overflow = false;
  auto store = [&] {
    for (int p = 0; p < P; ++p) row[static_cast<size_t>(p)] = static_cast<int8_t>(n[p]);
    if (!CombinationAdd(row.data(), comb)) overflow = true;
  };
  budget.visits = 0;
  walk.run(P - 1, atomCount, store);
  if (budget.stopped) return kEnumerationStopped;
  if (overflow) return TableOverflow(comb);
  return comb->count;
}

std::vector<std::vector<int32_t>> ClosePermutations(
    const std::vector<std::vector<int32_t>> &generators, int positionCount) {
  const size_t P = positionCount > 0 ? static_cast<size_t>(positionCount) : 0;
  std::vector<int32_t> identity(P);
  for (size_t p = 0; p < P; ++p) identity[p] = static_cast<int32_t>(p);
  std::vector<std::vector<int32_t>> gens;
  for (const std::vector<int32_t> &g : generators) {
    if (g.size() != P) continue;
    std::vector<bool> seen(P, false);
    bool bijective = true;
    for (int32_t q : g) {
      if (q < 0 || static_cast<size_t>(q) >= P || seen[static_cast<size_t>(q)]) bijective = false;
      else seen[static_cast<size_t>(q)] = true;
    }
    if (bijective && g != identity) gens.push_back(g);
  }
  // Every product of generators, breadth first from the identity: the
  // groups met here have a few dozen elements at most.
  std::set<std::vector<int32_t>> group{identity};
  std::vector<std::vector<int32_t>> queue{identity};
  for (size_t i = 0; i < queue.size(); ++i)
    for (const std::vector<int32_t> &g : gens) {
      std::vector<int32_t> product(P);
      for (size_t p = 0; p < P; ++p)
        product[p] = g[static_cast<size_t>(queue[i][p])];
      if (group.insert(product).second) queue.push_back(std::move(product));
    }
  group.erase(identity);
  return {group.begin(), group.end()};
}

CombinationSymmetry SpaceGroupCombinationSymmetry(const SpaceGroup &sg, bool reduce) {
  std::vector<std::vector<int32_t>> generators;
  for (const NormalizerOperation &op : sg.normalizer) generators.push_back(op.permutation);
  CombinationSymmetry symmetry;
  symmetry.permutations = ClosePermutations(generators, static_cast<int>(sg.positions.size()));
  symmetry.reduce = reduce;
  return symmetry;
}

namespace {

// The classes of rows under a group of position permutations. Whether a row
// is the first of its class needs no table of the rows seen: the walk meets
// rows in ascending order of their cells read from the last one backwards
// (the last entry's row of single combinations changes slowest, and within
// it the last position), so a row is first exactly when none of its images
// that the bounds admit is smaller in that order.
class RowClasses {
 public:
  RowClasses(const CombinationSymmetry &symmetry, int E, int P, std::vector<int> entryLower,
             std::vector<int> entryUpper, const int *lower, const int *upper)
      : symmetry_(symmetry), E_(E), P_(P), entryLower_(std::move(entryLower)),
        entryUpper_(std::move(entryUpper)), lower_(lower), upper_(upper),
        image_(static_cast<size_t>(E) * static_cast<size_t>(P)) {}

  bool First(const int8_t *row) {
    for (const std::vector<int32_t> &g : symmetry_.permutations) {
      Image(g, row);
      if (Earlier(image_.data(), row) && Admitted(image_.data())) return false;
    }
    return true;
  }

  // Orbit size = group order / order of the row's stabiliser.
  int32_t OrbitSize(const int8_t *row) {
    const size_t n = image_.size();
    int32_t fixed = 1;
    for (const std::vector<int32_t> &g : symmetry_.permutations) {
      Image(g, row);
      if (std::memcmp(image_.data(), row, n) == 0) ++fixed;
    }
    return static_cast<int32_t>(symmetry_.permutations.size() + 1) / fixed;
  }

 private:
  void Image(const std::vector<int32_t> &g, const int8_t *row) {
    for (int e = 0; e < E_; ++e) {
      const size_t base = static_cast<size_t>(e) * static_cast<size_t>(P_);
      for (int p = 0; p < P_; ++p)
        image_[base + static_cast<size_t>(g[static_cast<size_t>(p)])] =
            row[base + static_cast<size_t>(p)];
    }
  }
  bool Earlier(const int8_t *a, const int8_t *b) const {
    for (size_t i = image_.size(); i-- > 0;)
      if (a[i] != b[i]) return a[i] < b[i];
    return false;
  }
  // Within every entry's bounds and, summed over the entries, within the
  // bounds of all atoms together: the rows the walk stores.
  bool Admitted(const int8_t *row) const {
    for (int p = 0; p < P_; ++p) {
      int sum = 0;
      for (int e = 0; e < E_; ++e) {
        const size_t i = static_cast<size_t>(e) * static_cast<size_t>(P_) + static_cast<size_t>(p);
        if (row[i] < entryLower_[i] || row[i] > entryUpper_[i]) return false;
        sum += row[i];
      }
      if (sum < lower_[p] || sum > upper_[p]) return false;
    }
    return true;
  }

  const CombinationSymmetry &symmetry_;
  int E_, P_;
  std::vector<int> entryLower_, entryUpper_;
  const int *lower_, *upper_;
  std::vector<int8_t> image_;
};

// Choices of one single combination per entry, in odometer order (first
// entry fastest): the last entry is chosen first, and a branch whose sets
// already pass a position's maximum for all atoms together is dropped, since
// further entries only add sets.
struct MultiWalk {
  int E, P;
  const std::vector<Combination> *singles;
  const int *lo, *up;
  int *partial;  // (E + 1) x P sums of the entries chosen so far
  int *index;
  Budget *budget;
  template <typename Visit>
  void run(int e, Visit &visit) {
    const Combination &s = (*singles)[static_cast<size_t>(e)];
    int *out = partial + static_cast<size_t>(e) * P;
    const int *above = partial + static_cast<size_t>(e + 1) * P;
    for (int r = 0; r < s.count; ++r) {
      if (budget->exhausted()) return;
      budget->visits += 1;
      const int8_t *cells = s.row(r);
      bool fits = true;
      for (int p = 0; p < P; ++p) {
        out[p] = cells[p] + above[p];
        if (out[p] > up[p]) fits = false;
      }
      if (!fits) continue;
      index[e] = r;
      if (e > 0) {
        run(e - 1, visit);
        continue;
      }
      bool enough = true;
      for (int p = 0; p < P && enough; ++p) enough = out[p] >= lo[p];
      if (enough) visit();
    }
  }
};

}  // namespace

int MultiCombination(const int *atomCounts, int entryCount, CombPositions *cp, Combination *comb,
                     const EnumerationLimits &limits, const CombinationSymmetry &symmetry) {
  const int E = entryCount, P = cp->positionCount;
  std::vector<long long> counts(atomCounts, atomCounts + std::max(E, 0));
  if (E > kMaxFormulaEntries) {
    Message(MESSAGE_ERROR,
            "multi combination, the formula has %d entries; at most %d can be enumerated\n", E,
            kMaxFormulaEntries);
    return -1;
  }
  if (E <= 0 || P == 0) return 0;
  std::vector<Combination> singles(static_cast<size_t>(E));
  std::vector<long long> singleCounts;
  double product = 1;
  // Each entry's bounds, for telling which images of a row the walk admits.
  std::vector<int> entryLower(static_cast<size_t>(E) * static_cast<size_t>(P));
  std::vector<int> entryUpper(entryLower.size());
  for (int e = 0; e < E; ++e) {
    SetRestraint(cp, e + 1);
    for (int p = 0; p < P; ++p) {
      const size_t i = static_cast<size_t>(e) * static_cast<size_t>(P) + static_cast<size_t>(p);
      entryLower[i] = cp->nodes[static_cast<size_t>(p)].lower;
      entryUpper[i] = cp->nodes[static_cast<size_t>(p)].upper;
    }
    int found = SingleCombination(atomCounts[e], cp, &singles[static_cast<size_t>(e)], limits);
    SetRestraint(cp, 0);
    if (found <= 0) {
      if (found == -1)
        Message(MESSAGE_ERROR, "multi combination, formula entries with %s atoms per cell can "
                               "not be enumerated\n",
                JoinNumbers(counts).c_str());
      return found;
    }
    singleCounts.push_back(found);
    product *= found;
  }
  SetRestraint(cp, 0);
  std::vector<int> lo(P), up(P), index(static_cast<size_t>(E), 0);
  for (int p = 0; p < P; ++p) {
    lo[p] = cp->nodes[static_cast<size_t>(p)].lower;
    up[p] = cp->nodes[static_cast<size_t>(p)].upper;
  }
  std::vector<int> partial(static_cast<size_t>(E + 1) * static_cast<size_t>(P), 0);
  // Atoms each single combination puts into a model, for the estimate of
  // the models' memory.
  std::vector<std::vector<int>> atomsOf(static_cast<size_t>(E));
  for (int e = 0; e < E; ++e) {
    const Combination &single = singles[static_cast<size_t>(e)];
    const int perSet = static_cast<size_t>(e) < limits.atomsPerSet.size()
                           ? limits.atomsPerSet[static_cast<size_t>(e)]
                           : 1;
    for (int r = 0; r < single.count; ++r) {
      int sets = 0;
      for (int p = 0; p < P; ++p) sets += single.row(r)[p];
      atomsOf[static_cast<size_t>(e)].push_back(sets * perSet);
    }
  }
  Budget budget(limits);
  MultiWalk walk{E, P, &singles, lo.data(), up.data(), partial.data(), index.data(), &budget};
  const bool classify = !symmetry.permutations.empty();
  RowClasses classes(symmetry, E, P, std::move(entryLower), std::move(entryUpper), lo.data(),
                     up.data());
  std::vector<int8_t> row(static_cast<size_t>(E) * static_cast<size_t>(P));
  auto gather = [&] {
    for (int e = 0; e < E; ++e)
      std::memcpy(&row[static_cast<size_t>(e) * P],
                  singles[static_cast<size_t>(e)].row(index[static_cast<size_t>(e)]),
                  static_cast<size_t>(P));
  };
  long long rows = 0, found = 0, firsts = 0;
  double atoms = 0;
  auto counter = [&] {
    ++found;
    if (classify) {
      gather();
      const bool first = classes.First(row.data());
      if (first) ++firsts;
      if (!first && symmetry.reduce) return;
    } else {
      ++firsts;
    }
    ++rows;
    for (int e = 0; e < E; ++e)
      atoms += atomsOf[static_cast<size_t>(e)][static_cast<size_t>(index[static_cast<size_t>(e)])];
  };
  walk.run(E - 1, counter);
  if (budget.stopped) return kEnumerationStopped;
  const double bytes = static_cast<double>(rows) * (static_cast<double>(E) * P + limits.bytesPerRow) +
                       atoms * limits.bytesPerAtom;
  if (!budget.exhausted() && limits.maxBytes > 0 && bytes > limits.maxBytes) {
    // Refused before the table or any model is made: counting took a few
    // bytes per formula entry.
    Message(MESSAGE_ERROR,
            "multi combination, formula entries with %s atoms per cell give %lld combinations, "
            "whose models would need about %.1f GiB, more than the %.1f GiB available; "
            "constrain the positions or check the formula and Z\n",
            JoinNumbers(counts).c_str(), rows, bytes / 1073741824.0,
            limits.maxBytes / 1073741824.0);
    return -1;
  }
  const double rowBytes = static_cast<double>(E) * P;
  if (budget.exhausted() || rows > kMaxCombinations ||
      static_cast<double>(rows) * rowBytes > kMaxTableBytes) {
    Message(MESSAGE_ERROR,
            "multi combination, formula entries with %s atoms per cell have %s single "
            "combinations (%.0f choices); %s; constrain the positions or check the formula and "
            "Z\n",
            JoinNumbers(counts).c_str(), JoinNumbers(singleCounts).c_str(), product,
            budget.exhausted() ? "too many to test"
                               : ("they give " + std::to_string(rows) +
                                  " combinations, more than the " + std::to_string(kMaxCombinations) +
                                  " a job can hold")
                                     .c_str());
    return -1;
  }
  if (rows == 0) return 0;
  CreateCombination(comb, P, E, static_cast<int>(rows));
  comb->equivalents.reserve(static_cast<size_t>(rows));
  bool overflow = false;
  auto store = [&] {
    gather();
    if (classify && symmetry.reduce && !classes.First(row.data())) return;
    if (!CombinationAdd(row.data(), comb)) {
      overflow = true;
      return;
    }
    comb->equivalents.push_back(classify ? classes.OrbitSize(row.data()) : 1);
  };
  budget.visits = 0;
  walk.run(E - 1, store);
  if (budget.stopped) {
    FreeCombination(comb);
    return kEnumerationStopped;
  }
  if (overflow) return TableOverflow(comb);
  comb->found = found;
  comb->classes = firsts;
  return comb->count;
}

int GetCombination(const Compound *compound, CombPositions *cp, Combination *comb,
                   const EnumerationLimits &limits, const CombinationSymmetry &symmetry) {
  std::vector<int> counts;
  for (const Element &e : compound->entries) counts.push_back(e.cellCount);
  try {
    return MultiCombination(counts.data(), static_cast<int>(counts.size()), cp, comb, limits,
                            symmetry);
  } catch (const std::bad_alloc &) {
    FreeCombination(comb);
    SetRestraint(cp, 0);
    Message(MESSAGE_ERROR, "getting EPC, not enough memory!\n");
    return -1;
  }
}
