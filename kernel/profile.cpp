#include "profile.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "utils.h"

void InitializeHKLList(HKLList *list) {
  list->items.clear();
  list->overallB = 0;
}

void FreeHKLList(HKLList *list) {
  std::vector<HKLItem>().swap(list->items);
  list->overallB = 0;
}

int LengthOfHKLList(const HKLList *list) { return static_cast<int>(list->items.size()); }

int CloneHKLList(const HKLList *source, HKLList *destination) {
  if (source == destination) return 1;
  FreeHKLList(destination);
  destination->overallB = source->overallB;
  try {
    destination->items.reserve(source->items.size());
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "copying hkl list, memory error!\n");
    return 0;
  }
  for (const HKLItem &item : source->items) {
    // Room for the items is reserved: only an asf array can fail here, and
    // its item is dropped.
    try {
      destination->items.push_back(item);
    } catch (const std::bad_alloc &) {
      Message(MESSAGE_ERROR, "caculating atomic scattering factors, not enough memory!\n");
      return 0;
    }
  }
  return 1;
}

void GroupHKLList(HKLList *list, double width) {
  std::vector<HKLItem> &items = list->items;
  std::vector<size_t> work;
  std::vector<size_t> rest;
  try {
    work.resize(items.size());
    rest.reserve(items.size());
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "group hkl items, memory error.");
    return;
  }
  for (size_t i = 0; i < items.size(); ++i) {
    work[i] = i;
    items[i].group = -1;
  }
  for (int32_t group = 0; !work.empty(); ++group) {
    size_t best = items.size();
    for (size_t i : work)
      if (items[i].iObs > -1.0 && (best == items.size() || items[i].iObs > items[best].iObs))
        best = i;
    if (best == items.size()) break;
    const double window = items[best].fwhm * width;
    const double center = items[best].twoTheta;
    items[best].group = group;
    rest.clear();
    for (size_t i : work) {
      if (i == best) continue;
      if (std::fabs(items[i].twoTheta - center) < window)
        items[i].group = group;
      else
        rest.push_back(i);
    }
    work.swap(rest);
  }
}

int SetASFTable(HKLList *list, const Compound *compound) {
  std::vector<const Element *> kinds;
  for (const Element &e : compound->entries) {
    if (e.atomicNumber != 0) kinds.push_back(&e);
    for (const Element &m : e.members) kinds.push_back(&m);
  }
  if (kinds.size() > static_cast<size_t>(kMaxASFKinds)) {
    Message(MESSAGE_ERROR,
            "caculating atomic scattering factors,  the problem scale is too big (more than "
            "%d kinds of elements)\n",
            kMaxASFKinds);
    return 0;
  }
  const int count = static_cast<int>(kinds.size());
  try {
    for (HKLItem &item : list->items) {
      item.asf.assign(kinds.size(), 0.0);
      item.asfCount = count;
      const double s = 1.0 / (2.0 * item.d);
      // Each factor goes to its element's own column: the formula may list a
      // plain element between the members of a group, and the atoms look
      // their factor up by index.
      for (const Element *e : kinds) {
        if (e->index < 0 || e->index >= count) continue;
        double f = ASFFactor(s, e->asf);
        // A spacing of 0 or one so small that s^2 overflows has no factor.
        item.asf[static_cast<size_t>(e->index)] = std::isfinite(f) ? f : 0.0;
      }
    }
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "caculating atomic scattering factors, not enough memory!\n");
    return 0;
  }
  return 1;
}

namespace {

constexpr double kPi = 3.14159265358979323846;

// sin and cos of an angle in degrees, exactly 0 where the true functions
// are, so that the undefined cases of the LP formula are recognised.
double SinDegrees(double degrees) {
  if (std::fmod(degrees, 180.0) == 0.0) return 0.0;
  return std::sin(degrees * kPi / 180.0);
}

double CosDegrees(double degrees) {
  if (std::fmod(degrees - 90.0, 180.0) == 0.0) return 0.0;
  return std::cos(degrees * kPi / 180.0);
}

}  // namespace

double LPFactor(const Radiation *radiation, double twoTheta) {
  if (!std::isfinite(twoTheta)) return 0.0;
  const double s1 = SinDegrees(twoTheta / 2.0);
  const double s2 = SinDegrees(twoTheta);
  if (s1 == 0.0 || s2 == 0.0) return 0.0;
  double lp = 0.0;
  if (radiation->type == 1 || radiation->type == 2) {
    lp = 1.0 / (s1 * s2);
  } else if (radiation->type == 0) {
    const double k = radiation->polarization;
    const double c = CosDegrees(twoTheta);
    // MONO_ANGLE is the monochromator's Bragg angle theta_M, as derived from
    // its d-spacing and the wavelength; the factor wants cos 2theta_M.
    const double cm = CosDegrees(2.0 * radiation->monoAngle);
    switch (radiation->monochromator) {
      case 0:
        lp = (k + (1.0 - k) * c * c) / (s1 * s2);
        break;
      case 1: {
        const double norm = k + (1.0 - k) * cm * cm;
        if (norm != 0.0) lp = (k + (1.0 - k) * cm * cm * c * c) / (norm * s1 * s2);
        break;
      }
      case 2: {
        const double cm4 = cm * cm * cm * cm;
        const double norm = k + (1.0 - k) * cm4;
        if (norm != 0.0) lp = (k + (1.0 - k) * cm4 * c * c) / (norm * s1 * s2);
        break;
      }
      default:
        break;
    }
  }
  // Angles next to 0 or 180 degrees overflow the formula as surely as the
  // undefined ones themselves.
  return std::isfinite(lp) ? lp : 0.0;
}

void SetLPFactor(HKLList *list, const Radiation *radiation) {
  for (HKLItem &item : list->items) item.lp = LPFactor(radiation, item.twoTheta);
}

int SetOverallB(HKLList *list, double B) {
  if (!(B >= 0 && B <= kMaxOverallB)) return 0;
  for (HKLItem &item : list->items) {
    if (B == 0) {
      item.debyeWaller = 1.0;
      continue;
    }
    const double s = 1.0 / (2.0 * item.d);
    // A spacing of 0 has no intensity left, as it has no scattering factor.
    const double f = std::exp(-2.0 * B * s * s);
    item.debyeWaller = std::isfinite(f) ? f : 0.0;
  }
  list->overallB = B;
  return 1;
}

namespace {

// The squared scattering power of the cell's contents at one reflection:
// sum of f^2 over the atoms of the cell (b b* for neutrons); the members of
// a mixed site scatter together, as the site's occupancy-weighted factor.
double CellScattering(const HKLItem &item, const Compound &compound, bool neutron) {
  auto factor = [&](const Element &e, double *re, double *im) {
    if (neutron) {
      *re = e.nsl[0];
      *im = e.nsl[1];
      return;
    }
    *im = 0;
    *re = e.index >= 0 && static_cast<size_t>(e.index) < item.asf.size() &&
                  e.index < item.asfCount
              ? item.asf[static_cast<size_t>(e.index)]
              : 0.0;
  };
  double total = 0;
  for (const Element &e : compound.entries) {
    double re = 0, im = 0;
    if (e.atomicNumber != 0) {
      factor(e, &re, &im);
    } else {
      for (const Element &m : e.members) {
        double r, i;
        factor(m, &r, &i);
        re += m.fraction * r;
        im += m.fraction * i;
      }
    }
    total += e.cellCount * (re * re + im * im);
  }
  return total;
}

struct WilsonPoint {
  double s2 = 0;        // s^2, weighted by the expected intensities
  double observed = 0;  // sum of the observed intensities
  double expected = 0;  // sum of m LP sum f^2
};

}  // namespace

int WilsonOverallB(const HKLList *list, const Compound *compound, int radiationType,
                   WilsonPlot *plot) {
  *plot = WilsonPlot();
  const bool neutron = radiationType == 1;
  // Overlapping reflections share their observed intensity in ways the peak
  // file does not tell: a group is one observation.
  std::vector<WilsonPoint> points;
  std::unordered_map<int32_t, size_t> groups;  // group number to point
  for (const HKLItem &item : list->items) {
    if (!(item.iObs >= 0) || !std::isfinite(item.iObs) || !(item.d > 0)) continue;
    const double s = 1.0 / (2.0 * item.d);
    const double expected = item.multiplicity * item.lp * CellScattering(item, *compound, neutron);
    if (!(expected > 0) || !std::isfinite(expected)) continue;
    size_t at = points.size();
    if (item.group >= 0) at = groups.emplace(item.group, at).first->second;
    if (at == points.size()) points.emplace_back();
    WilsonPoint &p = points[at];
    p.s2 += expected * s * s;
    p.observed += item.iObs;
    p.expected += expected;
  }
  for (WilsonPoint &p : points) p.s2 /= p.expected;
  const int n = static_cast<int>(points.size());
  if (n < kWilsonMinReflections) {
    Message(MESSAGE_WARNING,
            "estimating the overall displacement factor, %d reflections with observed intensities "
            "are too few for a Wilson plot (at least %d); B stays 0\n",
            n, kWilsonMinReflections);
    return 0;
  }
  std::sort(points.begin(), points.end(),
            [](const WilsonPoint &a, const WilsonPoint &b) { return a.s2 < b.s2; });
  // Shells of equal numbers of observations, five or more in each, at most
  // ten shells.
  const int shells = std::max(kWilsonMinShells, std::min(10, n / 5));
  for (int k = 0; k < shells; ++k) {
    const size_t begin = static_cast<size_t>(k) * static_cast<size_t>(n) / static_cast<size_t>(shells);
    const size_t end = static_cast<size_t>(k + 1) * static_cast<size_t>(n) / static_cast<size_t>(shells);
    // The mean over the reciprocal-lattice points of the shell: each
    // observation counts with its multiplicity, through its expected part.
    // On the small cells of powder work this averages the classes of
    // reflections that heavy atoms on special positions make strong or weak
    // far better than a mean over observations does.
    double s2 = 0, observed = 0, expected = 0;
    for (size_t i = begin; i < end; ++i) {
      s2 += points[i].s2;
      observed += points[i].observed;
      expected += points[i].expected;
    }
    // A shell without intensity has no logarithm: it drops out.
    if (!(observed > 0)) continue;
    plot->s2.push_back(s2 / static_cast<double>(end - begin));
    plot->lnRatio.push_back(std::log(observed / expected));
  }
  plot->reflections = n;
  plot->shells = static_cast<int>(plot->s2.size());
  if (plot->shells < kWilsonMinShells) {
    Message(MESSAGE_WARNING,
            "estimating the overall displacement factor, only %d shells of the Wilson plot hold "
            "intensity (at least %d); B stays 0\n",
            plot->shells, kWilsonMinShells);
    return 0;
  }
  double mx = 0, my = 0;
  for (int k = 0; k < plot->shells; ++k) {
    mx += plot->s2[static_cast<size_t>(k)];
    my += plot->lnRatio[static_cast<size_t>(k)];
  }
  mx /= plot->shells;
  my /= plot->shells;
  double sxx = 0, sxy = 0;
  for (int k = 0; k < plot->shells; ++k) {
    const double dx = plot->s2[static_cast<size_t>(k)] - mx;
    sxx += dx * dx;
    sxy += dx * (plot->lnRatio[static_cast<size_t>(k)] - my);
  }
  const double slope = sxx > 0 ? sxy / sxx : 0.0;
  plot->lnScale = my - slope * mx;
  if (!(slope < 0)) {
    Message(MESSAGE_WARNING,
            "estimating the overall displacement factor, the observed intensities do not fall "
            "off with angle (Wilson slope %.4f over %d shells); B stays 0\n",
            slope, plot->shells);
    return 0;
  }
  plot->B = -slope / 2;
  if (!(plot->B <= kMaxOverallB)) {
    Message(MESSAGE_WARNING,
            "estimating the overall displacement factor, the Wilson plot gives %.1f A^2, more "
            "than %.0f; B stays 0\n",
            plot->B, kMaxOverallB);
    plot->B = 0;
    return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Intensities.
//
// F(hkl) = sum over cell atoms of w exp(2 pi i (hx + ky + lz)) is evaluated as
// sum over element kinds of f(hkl) times sum over that kind's atoms of
// o exp(2 pi i hx) exp(2 pi i ky) exp(2 pi i lz). The three factors come from
// per-axis tables filled once per evaluation with a vectorised sincos, so the
// inner loop is two complex products per term instead of a sine and a cosine.

namespace {

#if defined(__GNUC__)
#define PULVINA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define PULVINA_ALWAYS_INLINE inline
#endif

// Table rows beyond these fall back to the direct sum.
constexpr int64_t kMaxRowsPerAxis = 4096;
constexpr int64_t kMaxTableBytes = int64_t{64} << 20;
// The sincos reduction is exact below this angle.
constexpr double kMaxAngle = 1e7;

template <int W>
struct Vec;
template <>
struct Vec<1> {
  typedef double D __attribute__((vector_size(8)));
  typedef unsigned long long U __attribute__((vector_size(8)));
};
template <>
struct Vec<2> {
  typedef double D __attribute__((vector_size(16)));
  typedef unsigned long long U __attribute__((vector_size(16)));
};
template <>
struct Vec<4> {
  typedef double D __attribute__((vector_size(32)));
  typedef unsigned long long U __attribute__((vector_size(32)));
};
template <>
struct Vec<8> {
  typedef double D __attribute__((vector_size(64)));
  typedef unsigned long long U __attribute__((vector_size(64)));
};

// Vectors travel by pointer only: by value their calling convention would
// depend on the instruction set of each function.
template <class V>
PULVINA_ALWAYS_INLINE void Load(V *v, const double *p) {
  std::memcpy(v, p, sizeof(V));
}
template <class V>
PULVINA_ALWAYS_INLINE void Store(double *p, const V *v) {
  std::memcpy(p, v, sizeof(V));
}

template <int W>
PULVINA_ALWAYS_INLINE double HorizontalSum(const typename Vec<W>::D *v) {
  double s = 0;
  for (int i = 0; i < W; ++i) s += (*v)[i];
  return s;
}

// sin and cos of every lane. The angle is reduced by the nearest multiple q of
// pi/2 (Cody-Waite, with pi/2 split into 27-bit parts so that q times each
// part is exact for |q| < 2^26), then both functions come from their Taylor
// series on [-pi/4, pi/4], which are accurate to below half an ulp there,
// and the quadrant q mod 4 swaps and negates them.
template <int W>
PULVINA_ALWAYS_INLINE void SinCos(const typename Vec<W>::D *angle, typename Vec<W>::D *sine,
                                  typename Vec<W>::D *cosine) {
  using D = typename Vec<W>::D;
  using U = typename Vec<W>::U;
  const D zero = {};
  const D phi = *angle;
  // Adding 1.5 * 2^52 rounds to an integer and leaves it in the low bits.
  const D shifted = phi * 0x1.45f306dc9c883p-1 + (zero + 0x1.8p52);
  const D q = shifted - (zero + 0x1.8p52);
  const U quadrant = (U)shifted;
  D r = phi - q * 0x1.921fb54p+0;
  r = r - q * 0x1.10b461p-30;
  r = r - q * 0x1.a62633p-58;
  const D z = r * r;
  D ps = z * (-1.0 / 1307674368000.0) + (1.0 / 6227020800.0);
  ps = ps * z - 1.0 / 39916800.0;
  ps = ps * z + 1.0 / 362880.0;
  ps = ps * z - 1.0 / 5040.0;
  ps = ps * z + 1.0 / 120.0;
  ps = ps * z - 1.0 / 6.0;
  const D s = r + r * z * ps;
  D pc = z * (1.0 / 20922789888000.0) - 1.0 / 87178291200.0;
  pc = pc * z + 1.0 / 479001600.0;
  pc = pc * z - 1.0 / 3628800.0;
  pc = pc * z + 1.0 / 40320.0;
  pc = pc * z - 1.0 / 720.0;
  pc = pc * z + 1.0 / 24.0;
  const D c = (1.0 - 0.5 * z) + z * z * pc;
  const auto swap = (quadrant & 1) != 0;
  const D sv = swap ? c : s;
  const D cv = swap ? s : c;
  *sine = (D)((U)sv ^ ((quadrant & 2) << 62));
  *cosine = (D)((U)cv ^ (((quadrant + 1) & 2) << 62));
}

template <int W>
PULVINA_ALWAYS_INLINE void SinCosArrayBody(int count, const double *angle, double *sine,
                                           double *cosine) {
  using D = typename Vec<W>::D;
  int i = 0;
  for (; i + W <= count; i += W) {
    D a, s, c;
    Load(&a, angle + i);
    SinCos<W>(&a, &s, &c);
    Store(sine + i, &s);
    Store(cosine + i, &c);
  }
  if (i < count) {
    double in[W] = {}, outS[W], outC[W];
    for (int j = i; j < count; ++j) in[j - i] = angle[j];
    D a, s, c;
    Load(&a, in);
    SinCos<W>(&a, &s, &c);
    Store(outS, &s);
    Store(outC, &c);
    for (int j = i; j < count; ++j) {
      sine[j] = outS[j - i];
      cosine[j] = outC[j - i];
    }
  }
}

}  // namespace

// One slot of the sums: a cell atom standing for itself or, with symmetry,
// for its centring class or inversion pair.
struct IntensitySlot {
  int source;         // cell atom
  double multiplier;  // 2 for an inversion pair, else 1
};

struct IntensityWorkspaceData {
  struct Kind {
    const Element *element = nullptr;
    int column = -1;
    double b1 = 0, b2 = 0;  // neutron scattering length
    int start = 0;          // first slot
    int atoms = 0;          // slots in use
    int count = 0;          // slots, padded to a multiple of the vector width
  };
  int radiationType = 0;
  int width = 1;
  size_t cellAtomCount = 0;
  int reflections = 0;
  // Reflections in an order that keeps the table rows of h and k in use for
  // long runs; order[n] is the list index of the n-th.
  std::vector<int> order;
  std::vector<int32_t> hkl;      // 3 per reflection, in that order
  std::vector<double> centring;  // per list item: the centring sum, or 1
  int64_t lo[3] = {0, 0, 0}, hi[3] = {-1, -1, -1};
  std::vector<Kind> kinds;
  // Scattering factor (X-ray f0, or the neutron length) per reflection, in
  // order, and kind.
  std::vector<double> factorRe, factorIm;
  int slots = 0;
  std::vector<int> source;         // cell atom of the slot, -1 for padding
  std::vector<double> multiplier;  // 0 for padding
  std::vector<double> coord[3];
  std::vector<double> weight;  // occupancy x multiplier
  double maxCoord[3] = {0, 0, 0};
  bool centred = false;
  bool centric = false;
  bool tables = false;
  std::vector<double> rowRe[3], rowIm[3];
  std::vector<double> sumRe, sumIm;  // F per reflection, in order, before centring
  // Moves of single atoms. The sums above stand for the asymmetric-unit
  // atoms at atomKey (x, y, z, occupancy); each atom's part of them,
  // f x sum over its slots of w exp(2 pi i h.r), is kept for the last two
  // places it stood, so that a move and its undo cost one atom's part.
  struct AtomPart {
    double key[4] = {0, 0, 0, 0};
    bool valid = false;
    std::vector<double> re, im;
  };
  bool sumsValid = false;            // the sums belong to the atoms at atomKey
  bool atomsKnown = false;           // the cell atoms are the atoms' images, block by block
  int movesSinceFull = 0;
  std::vector<int> atomKind;         // kind of each asymmetric-unit atom, -1 for none
  std::vector<std::vector<int>> atomSlots;
  std::vector<std::array<double, 4>> atomKey;
  std::vector<std::array<AtomPart, 2>> atomParts;
  std::vector<int> changed;
  // The same reflections as doubles, axis by axis, and the scattering
  // factors kind by kind, for sums over one atom that run along the
  // reflections.
  std::vector<double> hklByAxis[3];
  std::vector<double> factorByKindRe, factorByKindIm;
  // The grouped Bragg factor straight from the sums: multiplicity x lp x
  // debyeWaller x centring^2 per reflection, the run of equal group numbers (in list
  // order) each belongs to, the observed sum of each run.
  bool factorReady = false;
  int padded = 0;  // reflections rounded up to kPadding
  std::vector<double> weightOfF2, intensityOfSums;
  std::vector<int> runOf;
  std::vector<double> runObs, runCalc;
  double sumObs = 0;
  // Scratch of the preparation, kept so that a repeated preparation of the
  // same size allocates nothing.
  std::vector<IntensitySlot> layout;
  std::vector<int> slotKind;
  std::vector<int> sortScratch;
  std::vector<size_t> buckets;
};

namespace {

using Data = IntensityWorkspaceData;

// Rows between two computed directly are built by complex products with
// the row of +-1, whose rounding grows with every step.
constexpr int64_t kRowsPerAnchor = 8;

// Fills the rows exp(2 pi i n c) of one axis for n = lo..hi over all slots,
// outwards from n = 0 in both directions.
template <int W>
PULVINA_ALWAYS_INLINE void PhaseRows(const double *coord, int slots, int64_t lo, int64_t hi,
                                     double *re, double *im) {
  using D = typename Vec<W>::D;
  const D zero = {};
  auto rowRe = [&](int64_t n) { return re + (n - lo) * slots; };
  auto rowIm = [&](int64_t n) { return im + (n - lo) * slots; };
  if (lo <= 0 && 0 <= hi) {
    std::fill(rowRe(0), rowRe(0) + slots, 1.0);
    std::fill(rowIm(0), rowIm(0) + slots, 0.0);
  }
  for (int64_t direction : {1, -1}) {
    const int64_t first = std::max<int64_t>(1, direction > 0 ? lo : -hi);
    const int64_t last = direction > 0 ? hi : -lo;
    // Without the row of +-1 there is no step: every row is computed.
    const bool step = first == 1;
    for (int64_t m = first; m <= last; ++m) {
      const int64_t n = direction * m;
      double *rr = rowRe(n), *ri = rowIm(n);
      if (direction < 0 && lo <= m && m <= hi) {
        // The conjugate of the row of -n, as the sincos would give it too.
        const double *pr = rowRe(m), *pi = rowIm(m);
        for (int j = 0; j < slots; ++j) {
          rr[j] = pr[j];
          ri[j] = -pi[j];
        }
      } else if (!step || m % kRowsPerAnchor == 1) {
        const D index = zero + static_cast<double>(n);
        for (int j = 0; j < slots; j += W) {
          D c, s, cs;
          Load(&c, coord + j);
          const D angle = (index * c) * 6.283185307179586;
          SinCos<W>(&angle, &s, &cs);
          Store(rr + j, &cs);
          Store(ri + j, &s);
        }
      } else {
        const double *pr = rowRe(n - direction), *pi = rowIm(n - direction);
        const double *sr = rowRe(direction), *si = rowIm(direction);
        for (int j = 0; j < slots; j += W) {
          D ar, ai, br, bi;
          Load(&ar, pr + j);
          Load(&ai, pi + j);
          Load(&br, sr + j);
          Load(&bi, si + j);
          const D cr = ar * br - ai * bi;
          const D ci = ar * bi + ai * br;
          Store(rr + j, &cr);
          Store(ri + j, &ci);
        }
      }
    }
  }
}

// Per reflection: the sum over kinds of the kind's scattering factor times
// the sum of weight x exp(2 pi i (hx + ky + lz)) over its slots; the weights
// are in the rows of h. R reflections at a time, whose independent sums
// keep the pipelines busy where a kind has few slots.
template <int W, int R, bool kCentric>
PULVINA_ALWAYS_INLINE void SumReflections(Data *d, int n0) {
  using D = typename Vec<W>::D;
  const size_t kindCount = d->kinds.size();
  const int64_t slots = d->slots;
  const double *xr[R], *xi[R], *yr[R], *yi[R], *zr[R], *zi[R], *fRe[R], *fIm[R];
  for (int r = 0; r < R; ++r) {
    const int32_t *hkl = &d->hkl[static_cast<size_t>(n0 + r) * 3];
    const int64_t o0 = (hkl[0] - d->lo[0]) * slots;
    const int64_t o1 = (hkl[1] - d->lo[1]) * slots;
    const int64_t o2 = (hkl[2] - d->lo[2]) * slots;
    xr[r] = d->rowRe[0].data() + o0;
    xi[r] = d->rowIm[0].data() + o0;
    yr[r] = d->rowRe[1].data() + o1;
    yi[r] = d->rowIm[1].data() + o1;
    zr[r] = d->rowRe[2].data() + o2;
    zi[r] = d->rowIm[2].data() + o2;
    // data() plus an offset: a crystal without atoms has no factors at all.
    fRe[r] = d->factorRe.data() + static_cast<size_t>(n0 + r) * kindCount;
    fIm[r] = d->factorIm.data() + static_cast<size_t>(n0 + r) * kindCount;
  }
  D totalRe[R] = {}, totalIm[R] = {};
  for (size_t k = 0; k < kindCount; ++k) {
    const int start = d->kinds[k].start, end = start + d->kinds[k].count;
    D accRe[R] = {}, accIm[R] = {};
    for (int j = start; j < end; j += W) {
      for (int r = 0; r < R; ++r) {
        D ar, ai, br, bi, cr, ci;
        Load(&ar, xr[r] + j);
        Load(&ai, xi[r] + j);
        Load(&br, yr[r] + j);
        Load(&bi, yi[r] + j);
        Load(&cr, zr[r] + j);
        Load(&ci, zi[r] + j);
        const D pr = ar * br - ai * bi;
        const D pi = ar * bi + ai * br;
        accRe[r] += pr * cr - pi * ci;
        if (!kCentric) accIm[r] += pr * ci + pi * cr;
      }
    }
    for (int r = 0; r < R; ++r) {
      if (kCentric) {
        totalRe[r] += fRe[r][k] * accRe[r];
        totalIm[r] += fIm[r][k] * accRe[r];
      } else {
        totalRe[r] += fRe[r][k] * accRe[r] - fIm[r][k] * accIm[r];
        totalIm[r] += fIm[r][k] * accRe[r] + fRe[r][k] * accIm[r];
      }
    }
  }
  for (int r = 0; r < R; ++r) {
    d->sumRe[static_cast<size_t>(n0 + r)] = HorizontalSum<W>(&totalRe[r]);
    d->sumIm[static_cast<size_t>(n0 + r)] = HorizontalSum<W>(&totalIm[r]);
  }
}

template <int W, bool kCentric>
PULVINA_ALWAYS_INLINE void SumKinds(Data *d) {
  int n = 0;
  for (; n + 2 <= d->reflections; n += 2) SumReflections<W, 2, kCentric>(d, n);
  if (n < d->reflections) SumReflections<W, 1, kCentric>(d, n);
}

template <int W>
PULVINA_ALWAYS_INLINE void TableSums(Data *d) {
  using D = typename Vec<W>::D;
  for (int axis = 0; axis < 3; ++axis)
    PhaseRows<W>(d->coord[axis].data(), d->slots, d->lo[axis], d->hi[axis], d->rowRe[axis].data(),
                 d->rowIm[axis].data());
  const int64_t rows = d->hi[0] - d->lo[0] + 1;
  for (int64_t n = 0; n < rows; ++n) {
    double *re = d->rowRe[0].data() + n * d->slots, *im = d->rowIm[0].data() + n * d->slots;
    for (int j = 0; j < d->slots; j += W) {
      D w, r, i;
      Load(&w, d->weight.data() + j);
      Load(&r, re + j);
      Load(&i, im + j);
      r *= w;
      i *= w;
      Store(re + j, &r);
      Store(im + j, &i);
    }
  }
  if (d->centric)
    SumKinds<W, true>(d);
  else
    SumKinds<W, false>(d);
}

using SumsFunction = void (*)(Data *);
using SinCosFunction = void (*)(int, const double *, double *, double *);

// Every width also runs on narrower instructions, so that each path can be
// checked on any processor; the widest one the processor has is the default.
void TableSums1(Data *d) { TableSums<1>(d); }
void TableSums2(Data *d) { TableSums<2>(d); }
void TableSums4(Data *d) { TableSums<4>(d); }
void TableSums8(Data *d) { TableSums<8>(d); }
void SinCos1(int n, const double *a, double *s, double *c) { SinCosArrayBody<1>(n, a, s, c); }
void SinCos2(int n, const double *a, double *s, double *c) { SinCosArrayBody<2>(n, a, s, c); }
void SinCos4(int n, const double *a, double *s, double *c) { SinCosArrayBody<4>(n, a, s, c); }
void SinCos8(int n, const double *a, double *s, double *c) { SinCosArrayBody<8>(n, a, s, c); }

#if defined(__x86_64__) || defined(__i386__)
#define PULVINA_X86 1
__attribute__((target("avx2,fma"))) void TableSums4Avx2(Data *d) { TableSums<4>(d); }
__attribute__((target("avx2,fma"))) void TableSums8Avx2(Data *d) { TableSums<8>(d); }
__attribute__((target("avx512f"))) void TableSums8Avx512(Data *d) { TableSums<8>(d); }
__attribute__((target("avx2,fma"))) void SinCos4Avx2(int n, const double *a, double *s, double *c) {
  SinCosArrayBody<4>(n, a, s, c);
}
__attribute__((target("avx2,fma"))) void SinCos8Avx2(int n, const double *a, double *s, double *c) {
  SinCosArrayBody<8>(n, a, s, c);
}
__attribute__((target("avx512f"))) void SinCos8Avx512(int n, const double *a, double *s,
                                                      double *c) {
  SinCosArrayBody<8>(n, a, s, c);
}
#endif

enum InstructionSet { ISA_BASE = 0, ISA_AVX2 = 1, ISA_AVX512 = 2 };

int Instructions() {
#ifdef PULVINA_X86
  static const int isa = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return ISA_AVX512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return ISA_AVX2;
    return ISA_BASE;
  }();
  return isa;
#else
  return ISA_BASE;
#endif
}

int WidestWidth() {
  const int isa = Instructions();
  return isa == ISA_AVX512 ? 8 : isa == ISA_AVX2 ? 4 : 2;
}

int ResolveWidth(int requested) {
  if (requested <= 0) return WidestWidth();
  if (requested >= 8) return 8;
  if (requested >= 4) return 4;
  if (requested >= 2) return 2;
  return 1;
}

SumsFunction SumsFor(int width) {
  const int isa = Instructions();
  (void)isa;
  switch (width) {
    case 8:
#ifdef PULVINA_X86
      if (isa == ISA_AVX512) return TableSums8Avx512;
      if (isa == ISA_AVX2) return TableSums8Avx2;
#endif
      return TableSums8;
    case 4:
#ifdef PULVINA_X86
      if (isa >= ISA_AVX2) return TableSums4Avx2;
#endif
      return TableSums4;
    case 2:
      return TableSums2;
    default:
      return TableSums1;
  }
}

SinCosFunction SinCosFor(int width) {
  const int isa = Instructions();
  (void)isa;
  switch (width) {
    case 8:
#ifdef PULVINA_X86
      if (isa == ISA_AVX512) return SinCos8Avx512;
      if (isa == ISA_AVX2) return SinCos8Avx2;
#endif
      return SinCos8;
    case 4:
#ifdef PULVINA_X86
      if (isa >= ISA_AVX2) return SinCos4Avx2;
#endif
      return SinCos4;
    case 2:
      return SinCos2;
    default:
      return SinCos1;
  }
}

// ---- Moves of single atoms: loops along the reflections, whose arrays are
// padded to a whole number of the widest vector (padding scatters nothing).

constexpr int kPadding = 8;

// re, im = (or +=) w exp(i angle) with angle = h x + k y + l z (coordinates
// already times 2 pi).
template <int W>
PULVINA_ALWAYS_INLINE void SlotPhasesBody(int n, const double *h, const double *k,
                                          const double *l, double x, double y, double z,
                                          double w, bool first, double *re, double *im) {
  using D = typename Vec<W>::D;
  const D zero = {};
  const D vx = zero + x, vy = zero + y, vz = zero + z, vw = zero + w;
  for (int r = 0; r < n; r += W) {
    D a, b, c, s, co;
    Load(&a, h + r);
    Load(&b, k + r);
    Load(&c, l + r);
    const D angle = a * vx + b * vy + c * vz;
    SinCos<W>(&angle, &s, &co);
    D outRe = vw * co, outIm = vw * s;
    if (!first) {
      D pr, pi;
      Load(&pr, re + r);
      Load(&pi, im + r);
      outRe += pr;
      outIm += pi;
    }
    Store(re + r, &outRe);
    Store(im + r, &outIm);
  }
}

// part = f x part, complex.
template <int W>
PULVINA_ALWAYS_INLINE void ScaleByFactorBody(int n, const double *fRe, const double *fIm,
                                             double *re, double *im) {
  using D = typename Vec<W>::D;
  for (int r = 0; r < n; r += W) {
    D a, b, c, d;
    Load(&a, fRe + r);
    Load(&b, fIm + r);
    Load(&c, re + r);
    Load(&d, im + r);
    const D outRe = a * c - b * d, outIm = b * c + a * d;
    Store(re + r, &outRe);
    Store(im + r, &outIm);
  }
}

// sums += now - old.
template <int W>
PULVINA_ALWAYS_INLINE void ExchangePartBody(int n, const double *nowRe, const double *nowIm,
                                            const double *oldRe, const double *oldIm,
                                            double *sumRe, double *sumIm) {
  using D = typename Vec<W>::D;
  for (int r = 0; r < n; r += W) {
    D a, b, c, d, e, f;
    Load(&a, nowRe + r);
    Load(&b, oldRe + r);
    Load(&c, nowIm + r);
    Load(&d, oldIm + r);
    Load(&e, sumRe + r);
    Load(&f, sumIm + r);
    e += a - b;
    f += c - d;
    Store(sumRe + r, &e);
    Store(sumIm + r, &f);
  }
}

// intensity = weight |F|^2; returns the largest.
template <int W>
PULVINA_ALWAYS_INLINE double IntensitiesBody(int n, const double *sumRe, const double *sumIm,
                                             const double *weight, double *intensity) {
  using D = typename Vec<W>::D;
  D largest = {};
  for (int r = 0; r < n; r += W) {
    D a, b, w;
    Load(&a, sumRe + r);
    Load(&b, sumIm + r);
    Load(&w, weight + r);
    const D v = w * (a * a + b * b);
    Store(intensity + r, &v);
    largest = v > largest ? v : largest;
  }
  double m = 0;
  for (int i = 0; i < W; ++i) m = largest[i] > m ? largest[i] : m;
  return m;
}

struct MoveKernels {
  void (*slotPhases)(int, const double *, const double *, const double *, double, double,
                     double, double, bool, double *, double *);
  void (*scaleByFactor)(int, const double *, const double *, double *, double *);
  void (*exchangePart)(int, const double *, const double *, const double *, const double *,
                       double *, double *);
  double (*intensities)(int, const double *, const double *, const double *, double *);
};

#define PULVINA_MOVE_KERNELS(NAME, W, ATTRIBUTE)                                              \
  ATTRIBUTE void NAME##SlotPhases(int n, const double *h, const double *k, const double *l,    \
                                  double x, double y, double z, double w, bool first,          \
                                  double *re, double *im) {                                    \
    SlotPhasesBody<W>(n, h, k, l, x, y, z, w, first, re, im);                                   \
  }                                                                                            \
  ATTRIBUTE void NAME##ScaleByFactor(int n, const double *a, const double *b, double *re,      \
                                     double *im) {                                             \
    ScaleByFactorBody<W>(n, a, b, re, im);                                                     \
  }                                                                                            \
  ATTRIBUTE void NAME##ExchangePart(int n, const double *a, const double *b, const double *c,  \
                                    const double *d, double *e, double *f) {                   \
    ExchangePartBody<W>(n, a, b, c, d, e, f);                                                  \
  }                                                                                            \
  ATTRIBUTE double NAME##Intensities(int n, const double *a, const double *b, const double *w, \
                                     double *out) {                                            \
    return IntensitiesBody<W>(n, a, b, w, out);                                                \
  }                                                                                            \
  const MoveKernels NAME = {NAME##SlotPhases, NAME##ScaleByFactor, NAME##ExchangePart,         \
                            NAME##Intensities};

PULVINA_MOVE_KERNELS(Moves1, 1, )
PULVINA_MOVE_KERNELS(Moves2, 2, )
PULVINA_MOVE_KERNELS(Moves4, 4, )
PULVINA_MOVE_KERNELS(Moves8, 8, )
#ifdef PULVINA_X86
PULVINA_MOVE_KERNELS(Moves4Avx2, 4, __attribute__((target("avx2,fma"))))
PULVINA_MOVE_KERNELS(Moves8Avx2, 8, __attribute__((target("avx2,fma"))))
PULVINA_MOVE_KERNELS(Moves8Avx512, 8, __attribute__((target("avx512f"))))
#endif
#undef PULVINA_MOVE_KERNELS

const MoveKernels &MovesFor(int width) {
  const int isa = Instructions();
  (void)isa;
  switch (width) {
    case 8:
#ifdef PULVINA_X86
      if (isa == ISA_AVX512) return Moves8Avx512;
      if (isa == ISA_AVX2) return Moves8Avx2;
#endif
      return Moves8;
    case 4:
#ifdef PULVINA_X86
      if (isa >= ISA_AVX2) return Moves4Avx2;
#endif
      return Moves4;
    case 2:
      return Moves2;
    default:
      return Moves1;
  }
}

// The sums without tables, for index ranges or coordinates too large for
// them; the phase of each term as the literal formula has it.
void DirectSums(Data *d) {
  const size_t kindCount = d->kinds.size();
  for (int n = 0; n < d->reflections; ++n) {
    const double h = d->hkl[static_cast<size_t>(n) * 3];
    const double k = d->hkl[static_cast<size_t>(n) * 3 + 1];
    const double l = d->hkl[static_cast<size_t>(n) * 3 + 2];
    double totalRe = 0, totalIm = 0;
    for (size_t kind = 0; kind < kindCount; ++kind) {
      double re = 0, im = 0;
      const int start = d->kinds[kind].start, end = start + d->kinds[kind].count;
      for (int j = start; j < end; ++j) {
        const size_t at = static_cast<size_t>(j);
        if (d->source[at] < 0) continue;
        const double phi =
            2.0 * kPi * (h * d->coord[0][at] + k * d->coord[1][at] + l * d->coord[2][at]);
        re += d->weight[at] * std::cos(phi);
        if (!d->centric) im += d->weight[at] * std::sin(phi);
      }
      const double fRe = d->factorRe[static_cast<size_t>(n) * kindCount + kind];
      const double fIm = d->factorIm[static_cast<size_t>(n) * kindCount + kind];
      totalRe += fRe * re - fIm * im;
      totalIm += fIm * re + fRe * im;
    }
    d->sumRe[static_cast<size_t>(n)] = totalRe;
    d->sumIm[static_cast<size_t>(n)] = totalIm;
  }
}

// ---- Layout analysis: which cell atoms stand for which.

double Fraction(double v) { return v - std::nearbyint(v); }

bool SameModOne(const double a[3], const double b[3], double tolerance) {
  for (int i = 0; i < 3; ++i)
    if (std::fabs(Fraction(a[i] - b[i])) > tolerance) return false;
  return true;
}

struct Operator {
  double r[3][3];
  double t[3];
};

Operator ToOperator(const Coordinate &c) {
  Operator op;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) op.r[i][j] = c.matrix[i][j];
    op.t[i] = c.matrix[i][3];
  }
  return op;
}

bool SameRotation(const Operator &a, const Operator &b, double sign) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (std::fabs(a.r[i][j] - sign * b.r[i][j]) > 1e-9) return false;
  return true;
}

constexpr double kTranslationTolerance = 1e-6;

bool IsCentringOf(const std::vector<std::array<double, 3>> &centring, const double t[3]) {
  for (const auto &c : centring)
    if (SameModOne(c.data(), t, kTranslationTolerance)) return true;
  return false;
}

// The centring translations of the group when they form a group themselves
// (the origin included); otherwise the origin alone.
std::vector<std::array<double, 3>> CentringOf(const SpaceGroup &sg) {
  std::vector<std::array<double, 3>> centring;
  const std::vector<std::array<double, 3>> none = {{0.0, 0.0, 0.0}};
  for (const Coordinate &c : sg.translations) {
    Operator op = ToOperator(c);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        if (op.r[i][j] != 0.0) return none;
    std::array<double, 3> t = {op.t[0], op.t[1], op.t[2]};
    if (IsCentringOf(centring, t.data())) return none;
    centring.push_back(t);
  }
  if (centring.empty()) return none;
  const double origin[3] = {0, 0, 0};
  if (!IsCentringOf(centring, origin)) return none;
  for (const auto &a : centring)
    for (const auto &b : centring) {
      const double sum[3] = {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
      if (!IsCentringOf(centring, sum)) return none;
    }
  return centring;
}

// Checks that the cell atoms are the images of the asymmetric-unit atoms,
// block by block, and returns the first cell atom of every block.
bool FindBlocks(const Crystal &crystal, std::vector<size_t> *first) {
  const Atoms &cell = crystal.cellAtoms;
  size_t next = 0;
  for (const Atom &atom : crystal.atoms) {
    if (!atom.position) return false;
    first->push_back(next);
    for (const Coordinate &c : atom.position->fullCoordinates) {
      if (next >= cell.size()) return false;
      const Atom &image = cell[next++];
      if (image.element != atom.element || image.occupancy != atom.occupancy) return false;
      double expected[3];
      CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &expected[0], &expected[1],
                          &expected[2]);
      const double actual[3] = {image.x, image.y, image.z};
      if (!SameModOne(expected, actual, 1e-6)) return false;
    }
  }
  return next == cell.size() && !crystal.atoms.empty();
}

// Splits one block's operators into classes that differ by a centring
// translation only; returns the first operator of every class, or nothing
// when some class is incomplete.
bool CentringClasses(const std::vector<Operator> &ops,
                     const std::vector<std::array<double, 3>> &centring,
                     std::vector<int> *representatives) {
  std::vector<char> taken(ops.size(), 0);
  for (size_t k = 0; k < ops.size(); ++k) {
    if (taken[k]) continue;
    representatives->push_back(static_cast<int>(k));
    for (const auto &c : centring) {
      const double t[3] = {ops[k].t[0] + c[0], ops[k].t[1] + c[1], ops[k].t[2] + c[2]};
      bool found = false;
      for (size_t j = k; j < ops.size() && !found; ++j) {
        if (taken[j] || !SameRotation(ops[j], ops[k], 1.0)) continue;
        if (!SameModOne(ops[j].t, t, kTranslationTolerance)) continue;
        taken[j] = 1;
        found = true;
      }
      if (!found) return false;
    }
  }
  return true;
}

// With symmetry: one slot per centring class and, when every class has an
// inversion partner through the origin, one per pair; the centring
// translations come back when they are factored out. Otherwise one slot per
// cell atom.
void AnalyseLayout(const Crystal &crystal, bool useSymmetry, std::vector<IntensitySlot> *slots,
                   std::vector<std::array<double, 3>> *factored, bool *centric) {
  slots->clear();
  factored->clear();
  *centric = false;
  auto plain = [&] {
    for (size_t i = 0; i < crystal.cellAtoms.size(); ++i)
      slots->push_back({static_cast<int>(i), 1.0});
  };
  std::vector<size_t> first;
  if (!useSymmetry || !FindBlocks(crystal, &first)) return plain();

  std::vector<std::array<double, 3>> centring = CentringOf(crystal.spaceGroup);
  struct Block {
    std::vector<Operator> ops;
    std::vector<int> reps;
    size_t first;
  };
  std::vector<Block> blocks;
  for (size_t a = 0; a < crystal.atoms.size(); ++a) {
    Block b;
    for (const Coordinate &c : crystal.atoms[a].position->fullCoordinates)
      b.ops.push_back(ToOperator(c));
    b.first = first[a];
    blocks.push_back(std::move(b));
  }
  bool classes = true;
  for (Block &b : blocks)
    if (!CentringClasses(b.ops, centring, &b.reps)) classes = false;
  if (!classes) {
    centring = {{0.0, 0.0, 0.0}};
    for (Block &b : blocks) {
      b.reps.clear();
      CentringClasses(b.ops, centring, &b.reps);
    }
  }

  // Inversion partners: r' = -r and t' + t a centring translation, so that
  // the partner's phase is minus this one's wherever the centring sum is not 0.
  bool paired = true;
  for (const Block &b : blocks) {
    std::vector<char> done(b.reps.size(), 0);
    for (size_t i = 0; i < b.reps.size() && paired; ++i) {
      if (done[i]) continue;
      const Operator &p = b.ops[static_cast<size_t>(b.reps[i])];
      bool found = false;
      for (size_t j = i; j < b.reps.size() && !found; ++j) {
        if (done[j]) continue;
        const Operator &q = b.ops[static_cast<size_t>(b.reps[j])];
        if (!SameRotation(p, q, -1.0)) continue;
        const double sum[3] = {p.t[0] + q.t[0], p.t[1] + q.t[1], p.t[2] + q.t[2]};
        if (!IsCentringOf(centring, sum)) continue;
        done[i] = done[j] = 1;
        found = true;
        slots->push_back({static_cast<int>(b.first) + b.reps[i], i == j ? 1.0 : 2.0});
      }
      if (!found) paired = false;
    }
    if (!paired) break;
  }
  if (!paired) {
    slots->clear();
    for (const Block &b : blocks)
      for (int r : b.reps) slots->push_back({static_cast<int>(b.first) + r, 1.0});
  }
  *centric = paired;
  if (centring.size() > 1) *factored = std::move(centring);
}

bool ColumnValid(const Element *e) { return e && e->index >= 0 && e->index < kMaxASFKinds; }

std::array<double, 4> KeyOf(const Atom &atom) {
  return {atom.x, atom.y, atom.z, atom.occupancy};
}

void Refresh(Data *d, const Crystal &crystal) {
  d->sumsValid = false;
  if (d->atomsKnown)
    for (size_t a = 0; a < d->atomKey.size(); ++a) d->atomKey[a] = KeyOf(crystal.atoms[a]);
  for (int axis = 0; axis < 3; ++axis) d->maxCoord[axis] = 0;
  for (size_t j = 0; j < static_cast<size_t>(d->slots); ++j) {
    const int s = d->source[j];
    if (s < 0) continue;
    const Atom &atom = crystal.cellAtoms[static_cast<size_t>(s)];
    const double v[3] = {atom.x, atom.y, atom.z};
    for (int axis = 0; axis < 3; ++axis) {
      d->coord[axis][j] = v[axis];
      // A NaN would slip past the bound check: let it select the direct sum,
      // which carries it into F as the formula does.
      const double a = std::fabs(v[axis]);
      if (!(a <= d->maxCoord[axis])) d->maxCoord[axis] = std::isnan(a) ? HUGE_VAL : a;
    }
    d->weight[j] = atom.occupancy * d->multiplier[j];
  }
}

// Tables smaller than this stay in the cache in any order.
constexpr int64_t kSortBytes = int64_t{128} << 10;

// Orders the reflections by h, then k (two stable counting passes).
void OrderReflections(Data *d, const std::vector<HKLItem> &items, const int64_t rows[3],
                      bool sort) {
  const size_t count = items.size();
  d->order.resize(count);
  for (size_t i = 0; i < count; ++i) d->order[i] = static_cast<int>(i);
  if (!sort || count < 2) return;
  d->sortScratch.resize(count);
  for (int axis = 1; axis >= 0; --axis) {
    auto key = [&](int i) {
      const HKLItem &it = items[static_cast<size_t>(i)];
      return static_cast<size_t>((axis == 0 ? it.h : it.k) - d->lo[axis]);
    };
    d->buckets.assign(static_cast<size_t>(rows[axis]) + 1, 0);
    for (int i : d->order) d->buckets[key(i) + 1]++;
    for (size_t b = 1; b < d->buckets.size(); ++b) d->buckets[b] += d->buckets[b - 1];
    for (int i : d->order) d->sortScratch[d->buckets[key(i)]++] = i;
    d->order.swap(d->sortScratch);
  }
}

// Which asymmetric-unit atom each slot belongs to, for moves of single
// atoms; only when the cell atoms are the atoms' images block by block (the
// layout a model rebuild makes).
void MapAtoms(Data *d, const Crystal &crystal) {
  d->sumsValid = false;
  d->movesSinceFull = 0;
  std::vector<size_t> first;
  d->atomsKnown = FindBlocks(crystal, &first);
  const size_t atoms = d->atomsKnown ? crystal.atoms.size() : 0;
  d->atomKind.assign(atoms, -1);
  d->atomSlots.assign(atoms, {});
  d->atomKey.assign(atoms, {0, 0, 0, 0});
  d->atomParts.clear();
  d->atomParts.resize(atoms);
  if (!d->atomsKnown) return;
  std::vector<int> atomOfCell(crystal.cellAtoms.size(), -1);
  for (size_t a = 0; a < atoms; ++a) {
    const size_t end = a + 1 < atoms ? first[a + 1] : crystal.cellAtoms.size();
    for (size_t c = first[a]; c < end; ++c) atomOfCell[c] = static_cast<int>(a);
  }
  for (size_t k = 0; k < d->kinds.size(); ++k) {
    const IntensityWorkspaceData::Kind &kind = d->kinds[k];
    for (int j = kind.start; j < kind.start + kind.atoms; ++j) {
      const int a = atomOfCell[static_cast<size_t>(d->source[static_cast<size_t>(j)])];
      d->atomSlots[static_cast<size_t>(a)].push_back(j);
      d->atomKind[static_cast<size_t>(a)] = static_cast<int>(k);
    }
  }
  const size_t count = static_cast<size_t>(d->reflections);
  d->padded = (d->reflections + kPadding - 1) / kPadding * kPadding;
  const size_t n = static_cast<size_t>(d->padded);
  const size_t kindCount = d->kinds.size();
  for (int axis = 0; axis < 3; ++axis) {
    d->hklByAxis[axis].assign(n, 0.0);
    for (size_t r = 0; r < count; ++r)
      d->hklByAxis[axis][r] = d->hkl[r * 3 + static_cast<size_t>(axis)];
  }
  d->factorByKindRe.assign(kindCount * n, 0.0);
  d->factorByKindIm.assign(kindCount * n, 0.0);
  for (size_t k = 0; k < kindCount; ++k)
    for (size_t r = 0; r < count; ++r) {
      d->factorByKindRe[k * n + r] = d->factorRe[r * kindCount + k];
      d->factorByKindIm[k * n + r] = d->factorIm[r * kindCount + k];
    }
  // The sums themselves carry the padding too, always 0 there.
  d->sumRe.resize(n, 0.0);
  d->sumIm.resize(n, 0.0);
}

void PrepareFactor(Data *d, const HKLList &list) {
  const std::vector<HKLItem> &items = list.items;
  const size_t n = items.size();
  d->factorReady = d->atomsKnown;
  d->weightOfF2.resize(n);
  d->runOf.resize(n);
  d->runObs.clear();
  d->sumObs = 0;
  std::vector<int> runOfItem(n);
  for (size_t i = 0; i < n; ++i) {
    if (i == 0 || items[i].group != items[i - 1].group) d->runObs.push_back(0);
    runOfItem[i] = static_cast<int>(d->runObs.size()) - 1;
    d->runObs.back() += items[i].iObsScaled;
    d->sumObs += items[i].iObsScaled;
  }
  d->runCalc.assign(d->runObs.size(), 0.0);
  for (size_t r = 0; r < n; ++r) {
    const size_t i = static_cast<size_t>(d->order[r]);
    d->weightOfF2[r] = items[i].multiplicity * items[i].lp * items[i].debyeWaller *
                       d->centring[i] * d->centring[i];
    d->runOf[r] = runOfItem[i];
  }
  d->weightOfF2.resize(static_cast<size_t>(d->padded), 0.0);
  d->intensityOfSums.assign(static_cast<size_t>(d->padded), 0.0);
}

// The grouped Bragg factor of the sums as they stand, as GroupBraggFactor
// would find it after Finish, without writing the list.
double FactorOfSums(Data *d) {
  const size_t n = static_cast<size_t>(d->reflections);
  std::fill(d->runCalc.begin(), d->runCalc.end(), 0.0);
  double *intensity = d->intensityOfSums.data();
  const double largest = MovesFor(d->width).intensities(d->padded, d->sumRe.data(),
                                                        d->sumIm.data(), d->weightOfF2.data(),
                                                        intensity);
  const int *runOf = d->runOf.data();
  double *runCalc = d->runCalc.data();
  for (size_t r = 0; r < n; ++r) runCalc[runOf[r]] += intensity[r];
  if (d->sumObs == 0) return -1.0;
  const double scale = largest == 0 ? 0.0 : 100.0 / largest;
  double sumDiff = 0;
  for (size_t g = 0; g < d->runObs.size(); ++g)
    sumDiff += std::fabs(d->runObs[g] - d->runCalc[g] * scale);
  return sumDiff / d->sumObs;
}

bool SameKey(const double a[4], const std::array<double, 4> &b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

// One atom's part of every reflection's F from the slot coordinates as they
// stand.
void ComputePart(Data *d, size_t atom, double *partRe, double *partIm) {
  const MoveKernels &kernels = MovesFor(d->width);
  const int n = d->padded;
  const size_t k = static_cast<size_t>(d->atomKind[atom]);
  const double twoPi = 6.283185307179586;
  bool first = true;
  for (int j : d->atomSlots[atom]) {
    const size_t at = static_cast<size_t>(j);
    kernels.slotPhases(n, d->hklByAxis[0].data(), d->hklByAxis[1].data(),
                       d->hklByAxis[2].data(), twoPi * d->coord[0][at], twoPi * d->coord[1][at],
                       twoPi * d->coord[2][at], d->weight[at], first, partRe, partIm);
    first = false;
  }
  if (first) {
    std::fill(partRe, partRe + n, 0.0);
    std::fill(partIm, partIm + n, 0.0);
  }
  // Inversion pairs are summed as twice the cosine: the sines cancel.
  if (d->centric) std::fill(partIm, partIm + n, 0.0);
  const size_t N = static_cast<size_t>(n);
  kernels.scaleByFactor(n, d->factorByKindRe.data() + k * N, d->factorByKindIm.data() + k * N,
                        partRe, partIm);
}

// The part of an atom standing at key: from the cache, or computed from the
// slot coordinates (which must be that place) into the entry not holding
// `keep`.
const IntensityWorkspaceData::AtomPart &PartAt(Data *d, size_t atom,
                                               const std::array<double, 4> &key,
                                               const IntensityWorkspaceData::AtomPart *keep) {
  auto &parts = d->atomParts[atom];
  for (auto &p : parts)
    if (p.valid && SameKey(p.key, key)) return p;
  IntensityWorkspaceData::AtomPart &slot = (&parts[0] == keep) ? parts[1] : parts[0];
  const size_t n = static_cast<size_t>(d->padded);
  slot.valid = false;
  slot.re.resize(n);
  slot.im.resize(n);
  ComputePart(d, atom, slot.re.data(), slot.im.data());
  for (int i = 0; i < 4; ++i) slot.key[i] = key[static_cast<size_t>(i)];
  slot.valid = true;
  return slot;
}

// Copies the coordinates of one atom's slots; the bound on the coordinates
// only grows, which keeps the exactness test of the angles on the safe side.
void RefreshAtom(Data *d, const Crystal &crystal, size_t atom) {
  for (int j : d->atomSlots[atom]) {
    const size_t at = static_cast<size_t>(j);
    const Atom &a = crystal.cellAtoms[static_cast<size_t>(d->source[at])];
    const double v[3] = {a.x, a.y, a.z};
    for (int axis = 0; axis < 3; ++axis) {
      d->coord[axis][at] = v[axis];
      const double m = std::fabs(v[axis]);
      if (!(m <= d->maxCoord[axis])) d->maxCoord[axis] = std::isnan(m) ? HUGE_VAL : m;
    }
    d->weight[at] = a.occupancy * d->multiplier[at];
  }
  d->atomKey[atom] = KeyOf(crystal.atoms[atom]);
}

// Full sums this often at the least, so that the rounding of the
// differences cannot build up.
constexpr int kMovesBetweenFullSums = 1000;

void Prepare(Data *d, const HKLList &list, const Crystal &crystal, int radiationType,
             bool useSymmetry, bool mapAtoms) {
  const std::vector<HKLItem> &items = list.items;
  const size_t count = items.size();
  d->radiationType = radiationType;
  d->cellAtomCount = crystal.cellAtoms.size();
  d->reflections = static_cast<int>(count);

  for (int axis = 0; axis < 3; ++axis) {
    d->lo[axis] = 0;
    d->hi[axis] = -1;
  }
  for (size_t i = 0; i < count; ++i) {
    const int32_t v[3] = {items[i].h, items[i].k, items[i].l};
    for (int axis = 0; axis < 3; ++axis) {
      if (i == 0 || v[axis] < d->lo[axis]) d->lo[axis] = v[axis];
      if (i == 0 || v[axis] > d->hi[axis]) d->hi[axis] = v[axis];
    }
  }
  int64_t rows[3];
  for (int axis = 0; axis < 3; ++axis) rows[axis] = d->hi[axis] - d->lo[axis] + 1;

  std::vector<std::array<double, 3>> factored;
  AnalyseLayout(crystal, useSymmetry, &d->layout, &factored, &d->centric);
  d->centred = !factored.empty();
  d->centring.assign(count, 1.0);
  for (size_t i = 0; i < count && d->centred; ++i) {
    // The centring translations form a group, so their phase sum is their
    // number when every one of them is a whole number of cycles, else 0.
    bool whole = true;
    for (const auto &t : factored) {
      const double cycles = items[i].h * t[0] + items[i].k * t[1] + items[i].l * t[2];
      if (std::fabs(Fraction(cycles)) > kTranslationTolerance) whole = false;
    }
    d->centring[i] = whole ? static_cast<double>(factored.size()) : 0.0;
  }

  // Element kinds in order of first appearance; atoms without usable
  // scattering data scatter nothing and are left out.
  const bool neutron = radiationType == 1;
  d->kinds.clear();
  d->slotKind.resize(d->layout.size());
  for (size_t s = 0; s < d->layout.size(); ++s) {
    const Element *e = crystal.cellAtoms[static_cast<size_t>(d->layout[s].source)].element;
    d->slotKind[s] = -1;
    if (neutron ? !e : !ColumnValid(e)) continue;
    size_t k = 0;
    while (k < d->kinds.size() && d->kinds[k].element != e) ++k;
    if (k == d->kinds.size()) {
      IntensityWorkspaceData::Kind kind;
      kind.element = e;
      kind.column = e->index;
      kind.b1 = e->nsl[0];
      kind.b2 = e->nsl[1];
      d->kinds.push_back(kind);
    }
    d->kinds[k].count++;
    d->slotKind[s] = static_cast<int>(k);
  }
  int slots = 0;
  for (IntensityWorkspaceData::Kind &kind : d->kinds) {
    kind.start = slots;
    kind.count = (kind.count + d->width - 1) / d->width * d->width;
    slots += kind.count;
  }
  d->slots = slots;
  d->source.assign(static_cast<size_t>(slots), -1);
  d->multiplier.assign(static_cast<size_t>(slots), 0.0);
  d->weight.assign(static_cast<size_t>(slots), 0.0);
  for (int axis = 0; axis < 3; ++axis) d->coord[axis].assign(static_cast<size_t>(slots), 0.0);
  for (size_t s = 0; s < d->layout.size(); ++s) {
    if (d->slotKind[s] < 0) continue;
    IntensityWorkspaceData::Kind &kind = d->kinds[static_cast<size_t>(d->slotKind[s])];
    const size_t at = static_cast<size_t>(kind.start + kind.atoms++);
    d->source[at] = d->layout[s].source;
    d->multiplier[at] = d->layout[s].multiplier;
  }

  d->tables = count > 0;
  int64_t tableBytes = 0;
  for (int axis = 0; axis < 3 && d->tables; ++axis) {
    if (rows[axis] > kMaxRowsPerAxis) d->tables = false;
    tableBytes += rows[axis] * slots * 2 * static_cast<int64_t>(sizeof(double));
  }
  if (tableBytes > kMaxTableBytes) d->tables = false;
  OrderReflections(d, items, rows, d->tables && tableBytes > kSortBytes);
  const size_t kindCount = d->kinds.size();
  d->hkl.resize(count * 3);
  d->factorRe.assign(count * kindCount, 0.0);
  d->factorIm.assign(count * kindCount, 0.0);
  for (size_t n = 0; n < count; ++n) {
    const HKLItem &it = items[static_cast<size_t>(d->order[n])];
    d->hkl[n * 3] = it.h;
    d->hkl[n * 3 + 1] = it.k;
    d->hkl[n * 3 + 2] = it.l;
    for (size_t k = 0; k < kindCount; ++k) {
      const IntensityWorkspaceData::Kind &kind = d->kinds[k];
      const size_t column = static_cast<size_t>(kind.column);
      if (neutron) {
        d->factorRe[n * kindCount + k] = kind.b1;
        d->factorIm[n * kindCount + k] = kind.b2;
      } else if (column < it.asf.size() && kind.column < it.asfCount) {
        d->factorRe[n * kindCount + k] = it.asf[column];
      }
    }
  }
  d->sumRe.assign(count, 0.0);
  d->sumIm.assign(count, 0.0);

  for (int axis = 0; axis < 3; ++axis) {
    const size_t size = d->tables ? static_cast<size_t>(rows[axis] * slots) : 0;
    d->rowRe[axis].resize(size);
    d->rowIm[axis].resize(size);
  }
  if (mapAtoms) {
    MapAtoms(d, crystal);
    PrepareFactor(d, list);
  } else {
    d->atomsKnown = d->sumsValid = d->factorReady = false;
  }
  Refresh(d, crystal);
}

void Finish(const Data &d, HKLList *list) {
  std::vector<HKLItem> &items = list->items;
  for (size_t n = 0; n < static_cast<size_t>(d.reflections); ++n) {
    const size_t i = static_cast<size_t>(d.order[n]);
    HKLItem &it = items[i];
    it.fReal = d.sumRe[n] * d.centring[i];
    it.fImag = d.sumIm[n] * d.centring[i];
    it.fSquared = it.fReal * it.fReal + it.fImag * it.fImag;
    it.intensity = it.multiplicity * it.lp * it.debyeWaller * it.fSquared;
  }
  double largest = 0;
  for (const HKLItem &it : items)
    if (it.intensity > largest) largest = it.intensity;
  for (HKLItem &it : items) it.iCalc = largest == 0 ? 0.0 : it.intensity * 100.0 / largest;
}


void Evaluate(Data *d, HKLList *list) {
  bool tables = d->tables;
  for (int axis = 0; axis < 3 && tables; ++axis) {
    const double index = static_cast<double>(std::max(-d->lo[axis], d->hi[axis]));
    if (!(2.0 * kPi * index * d->maxCoord[axis] <= kMaxAngle)) tables = false;
  }
  if (tables)
    SumsFor(d->width)(d);
  else
    DirectSums(d);
  d->sumsValid = d->atomsKnown;
  d->movesSinceFull = 0;
  Finish(*d, list);
}

bool AnglesExact(const Data &d) {
  for (int axis = 0; axis < 3; ++axis) {
    const double index = static_cast<double>(std::max(-d.lo[axis], d.hi[axis]));
    if (!(2.0 * kPi * index * d.maxCoord[axis] <= kMaxAngle)) return false;
  }
  return true;
}

// The sums after some atoms moved: each moved atom's old part out, its new
// part in. False (nothing changed) when a full evaluation is due or
// cheaper.
bool UpdateMovedSums(Data *d, const Crystal &crystal) {
  if (!d->sumsValid || !d->atomsKnown || d->movesSinceFull >= kMovesBetweenFullSums ||
      crystal.atoms.size() != d->atomKey.size())
    return false;
  d->changed.clear();
  size_t movedSlots = 0;
  for (size_t a = 0; a < crystal.atoms.size(); ++a) {
    const Atom &atom = crystal.atoms[a];
    const std::array<double, 4> &key = d->atomKey[a];
    if (atom.x == key[0] && atom.y == key[1] && atom.z == key[2] && atom.occupancy == key[3])
      continue;
    d->changed.push_back(static_cast<int>(a));
    movedSlots += d->atomSlots[a].size();
  }
  // Each moved slot costs a sine and a cosine per reflection, against a few
  // products per slot and reflection for the full sums.
  if (movedSlots * 4 > static_cast<size_t>(d->slots) || d->changed.size() > 8) return false;
  // The old parts come from the slot coordinates before they are refreshed.
  const IntensityWorkspaceData::AtomPart *old[8];
  for (size_t i = 0; i < d->changed.size(); ++i) {
    const size_t a = static_cast<size_t>(d->changed[i]);
    old[i] = d->atomKind[a] >= 0 ? &PartAt(d, a, d->atomKey[a], nullptr) : nullptr;
  }
  d->sumsValid = false;
  for (int a : d->changed) RefreshAtom(d, crystal, static_cast<size_t>(a));
  if (!AnglesExact(*d)) return false;
  const MoveKernels &kernels = MovesFor(d->width);
  for (size_t i = 0; i < d->changed.size(); ++i) {
    const size_t a = static_cast<size_t>(d->changed[i]);
    if (!old[i]) continue;
    const IntensityWorkspaceData::AtomPart &now = PartAt(d, a, d->atomKey[a], old[i]);
    kernels.exchangePart(d->padded, now.re.data(), now.im.data(), old[i]->re.data(),
                         old[i]->im.data(), d->sumRe.data(), d->sumIm.data());
  }
  d->sumsValid = true;
  d->movesSinceFull++;
  return true;
}

}  // namespace

IntensityWorkspace::IntensityWorkspace() = default;
IntensityWorkspace::~IntensityWorkspace() = default;

int PrepareIntensityWorkspace(IntensityWorkspace *workspace, const HKLList *list,
                              const Crystal *crystal, int radiationType) {
  try {
    if (!workspace->data) workspace->data = std::make_unique<IntensityWorkspaceData>();
    workspace->data->width = ResolveWidth(workspace->vectorWidth);
    Prepare(workspace->data.get(), *list, *crystal, radiationType, workspace->useSymmetry != 0,
            workspace->incremental != 0);
  } catch (const std::bad_alloc &) {
    workspace->data.reset();
    Message(MESSAGE_ERROR, "caculating intensities, not enough memory!\n");
    return 0;
  }
  return 1;
}

int RefreshIntensityWorkspace(IntensityWorkspace *workspace, const Crystal *crystal) {
  Data *d = workspace->data.get();
  if (!d || crystal->cellAtoms.size() != d->cellAtomCount) return 0;
  Refresh(d, *crystal);
  return 1;
}

int CalculateIntensityFast(IntensityWorkspace *workspace, HKLList *list) {
  Data *d = workspace->data.get();
  if (!d || list->items.size() != static_cast<size_t>(d->reflections)) return 0;
  Evaluate(d, list);
  return 1;
}

int CalculateIntensityMoves(IntensityWorkspace *workspace, const Crystal *crystal,
                            HKLList *list) {
  Data *d = workspace->data.get();
  if (!d || crystal->cellAtoms.size() != d->cellAtomCount ||
      list->items.size() != static_cast<size_t>(d->reflections))
    return 0;
  try {
    if (!UpdateMovedSums(d, *crystal)) return 0;
    Finish(*d, list);
    return 1;
  } catch (const std::bad_alloc &) {
    // The cache of atom parts could not grow: full sums do without it.
    d->sumsValid = false;
    return 0;
  }
}

int GroupBraggFactorOfMoves(IntensityWorkspace *workspace, const Crystal *crystal,
                            double *factor) {
  Data *d = workspace->data.get();
  if (!d || !d->factorReady || crystal->cellAtoms.size() != d->cellAtomCount) return 0;
  try {
    if (!UpdateMovedSums(d, *crystal)) return 0;
  } catch (const std::bad_alloc &) {
    d->sumsValid = false;
    return 0;
  }
  *factor = FactorOfSums(d);
  return 1;
}

int SyncIntensityList(IntensityWorkspace *workspace, HKLList *list) {
  Data *d = workspace->data.get();
  if (!d || !d->sumsValid || list->items.size() != static_cast<size_t>(d->reflections)) return 0;
  Finish(*d, list);
  return 1;
}

int IntensityWorkspaceShortcuts(const IntensityWorkspace *workspace) {
  const Data *d = workspace->data.get();
  if (!d) return 0;
  return (d->centred ? INTENSITY_CENTRING : 0) | (d->centric ? INTENSITY_CENTRIC : 0) |
         (d->tables ? INTENSITY_TABLES : 0);
}

int IntensityVectorWidth() { return WidestWidth(); }

void CalculateIntensity(HKLList *list, const Crystal *crystal, int radiationType) {
  // This thread's scratch, reused from call to call: it only ever grows.
  thread_local IntensityWorkspaceData scratch;
  try {
    scratch.width = WidestWidth();
    Prepare(&scratch, *list, *crystal, radiationType, false, false);
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "caculating intensities, not enough memory!\n");
    return;
  }
  Evaluate(&scratch, list);
}

void VectorSinCos(int count, const double *angle, double *sine, double *cosine, int width) {
  SinCosFor(ResolveWidth(width))(count, angle, sine, cosine);
}
