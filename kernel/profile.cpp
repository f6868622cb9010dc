// SPDX-License-Identifier: BSD-3-Clause
#include "profile.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "file.h"
#include "utils.h"

void InitializeHKLList(HKLList *list) {
  list->items.clear();
  list->overallB = 0;
  list->marchR = 1.0;
}

void FreeHKLList(HKLList *list) {
  std::vector<HKLItem>().swap(list->items);
  list->overallB = 0;
  list->marchR = 1.0;
}

int LengthOfHKLList(const HKLList *list) { return static_cast<int>(list->items.size()); }

int CloneHKLList(const HKLList *source, HKLList *destination) {
  if (source == destination) return 1;
  FreeHKLList(destination);
  destination->overallB = source->overallB;
  destination->marchR = source->marchR;
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
  if (!ConfigAdmits("OVERALL_B", B)) return 0;
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

double MarchDollase(double r, double cos2) {
  return std::pow(r * r * cos2 + (1.0 - cos2) / r, -1.5);
}

int SetPreferredOrientation(HKLList *list, double r) {
  if (!ConfigAdmits("PREF_ORIENT_R", r)) return 0;
  for (HKLItem &item : list->items) {
    const std::vector<double> &o = item.orientation;
    if (r == 1.0 || o.empty()) {
      item.texture = 1.0;
      continue;
    }
    double sum = 0;
    for (size_t i = 0; i + 1 < o.size(); i += 2) sum += o[i + 1] * MarchDollase(r, o[i]);
    item.texture = sum;
  }
  list->marchR = r;
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
    const double expected =
        item.multiplicity * item.lp * item.texture * CellScattering(item, *compound, neutron);
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
  // Wilson's statistics hold only where the atoms scatter independently:
  // below about sin(theta)/lambda = 0.15 the missing forward beam leaves the
  // mean intensity short of sum f^2, which tilts the plot upwards and gave
  // positive slopes on data without any displacement. Those observations
  // stay out whenever enough remain without them.
  const auto low = [](const WilsonPoint &p) { return p.s2 < kWilsonMinS * kWilsonMinS; };
  const long above = std::count_if(points.begin(), points.end(),
                                   [&](const WilsonPoint &p) { return !low(p); });
  if (above >= kWilsonMinReflections)
    points.erase(std::remove_if(points.begin(), points.end(), low), points.end());
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
  if (!ConfigAdmits("OVERALL_B", plot->B)) {
    Message(MESSAGE_WARNING,
            "estimating the overall displacement factor, the Wilson plot gives %.1f A^2, more "
            "than %.0f; B stays 0\n",
            plot->B, kMaxOverallB);
    plot->B = 0;
    return 0;
  }
  return 1;
}
