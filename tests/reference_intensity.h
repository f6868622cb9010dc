// SPDX-License-Identifier: BSD-3-Clause
// The structure-factor sum written as plainly as it reads: the oracle that
// the vectorised intensity path is checked and timed against.
#ifndef PULVINA_REFERENCE_INTENSITY_H
#define PULVINA_REFERENCE_INTENSITY_H

#include <cmath>

#include "intensity.h"

inline void LiteralIntensity(HKLList *list, const Crystal &crystal, int radiationType) {
  double largest = 0;
  for (HKLItem &it : list->items) {
    double fr = 0, fi = 0;
    for (const Atom &a : crystal.cellAtoms) {
      const double phi = 2 * 3.14159265358979323846 * (it.h * a.x + it.k * a.y + it.l * a.z);
      if (radiationType == 1) {
        const double b1 = a.element->nsl[0], b2 = a.element->nsl[1];
        fr += a.occupancy * (b1 * std::cos(phi) - b2 * std::sin(phi));
        fi += a.occupancy * (b2 * std::cos(phi) + b1 * std::sin(phi));
      } else {
        const double w = a.occupancy * it.asf[static_cast<size_t>(a.element->index)];
        fr += w * std::cos(phi);
        fi += w * std::sin(phi);
      }
    }
    it.fReal = fr;
    it.fImag = fi;
    it.fSquared = fr * fr + fi * fi;
    it.intensity = it.multiplicity * it.lp * it.debyeWaller * it.fSquared;
    if (it.intensity > largest) largest = it.intensity;
  }
  for (HKLItem &it : list->items) it.iCalc = largest == 0 ? 0 : it.intensity * 100 / largest;
}

#endif
