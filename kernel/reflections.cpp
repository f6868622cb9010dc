// SPDX-License-Identifier: BSD-3-Clause
#include "reflections.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

bool ReciprocalMetric(const Crystal &c, double g[3][3]) {
  const double r = M_PI / 180;
  const double ca = std::cos(c.alpha * r), cb = std::cos(c.beta * r), cg = std::cos(c.gamma * r);
  double G[3][3] = {{c.a * c.a, c.a * c.b * cg, c.a * c.c * cb},
                    {c.a * c.b * cg, c.b * c.b, c.b * c.c * ca},
                    {c.a * c.c * cb, c.b * c.c * ca, c.c * c.c}};
  double det = G[0][0] * (G[1][1] * G[2][2] - G[1][2] * G[2][1]) -
               G[0][1] * (G[1][0] * G[2][2] - G[1][2] * G[2][0]) +
               G[0][2] * (G[1][0] * G[2][1] - G[1][1] * G[2][0]);
  if (!(det > 0)) return false;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      g[j][i] = (G[i1][j1] * G[i2][j2] - G[i1][j2] * G[i2][j1]) / det;
    }
  return true;
}

// Each index triple of the box is looked at once: a set is marked off whole
// when its first member is met, so the work grows with the number of
// reflections.
bool Reflections(const Crystal &crystal, double lambda, double start, double end,
                 std::vector<Reflection> *out, std::string *error) {
  double g[3][3];
  if (!ReciprocalMetric(crystal, g) || crystal.spaceGroup.positions.empty()) {
    *error = "the cell spans no volume";
    return false;
  }
  const SpaceGroup &sg = crystal.spaceGroup;
  const Position &general = sg.positions.front();
  const double dmin = lambda / (2 * std::sin(std::min(end, 179.9) * M_PI / 360));
  // Reciprocal-lattice points within 1/dmin: the sphere's volume over the
  // reciprocal cell's (the inverse of the direct cell's volume).
  const double detG = 1 / (g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
                           g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                           g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]));
  const double expected = 4.0 / 3.0 * M_PI / (dmin * dmin * dmin) * std::sqrt(detG);
  const double H = std::ceil(crystal.a / dmin) + 1, K = std::ceil(crystal.b / dmin) + 1,
               L = std::ceil(crystal.c / dmin) + 1;
  const double box = (2 * H + 1) * (2 * K + 1) * (2 * L + 1);
  if (!(expected <= kMaxReflections) || !(box <= 8 * kMaxReflections)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "the cell and the range up to %g degrees hold about %.3g reflections, more "
                  "than %.0e: lower END_ANGLE",
                  end, expected, kMaxReflections);
    *error = text;
    return false;
  }
  const int h0 = static_cast<int>(H), k0 = static_cast<int>(K), l0 = static_cast<int>(L);
  const size_t nk = static_cast<size_t>(2 * k0 + 1), nl = static_cast<size_t>(2 * l0 + 1);
  std::vector<bool> seen(static_cast<size_t>(2 * h0 + 1) * nk * nl, false);
  auto slot = [&](int h, int k, int l) {
    return (static_cast<size_t>(h + h0) * nk + static_cast<size_t>(k + k0)) * nl +
           static_cast<size_t>(l + l0);
  };
  auto inBox = [&](int h, int k, int l) {
    return std::abs(h) <= h0 && std::abs(k) <= k0 && std::abs(l) <= l0;
  };
  std::vector<std::array<int, 3>> orbit;
  for (int h = -h0; h <= h0; ++h)
    for (int k = -k0; k <= k0; ++k)
      for (int l = -l0; l <= l0; ++l) {
        if (!h && !k && !l) continue;
        if (seen[slot(h, k, l)]) continue;
        double q = h * h * g[0][0] + k * k * g[1][1] + l * l * g[2][2] + 2 * h * k * g[0][1] +
                   2 * h * l * g[0][2] + 2 * k * l * g[1][2];
        double d = 1 / std::sqrt(q);
        double s = lambda / (2 * d);
        if (s >= 1) continue;
        double tt = 2 * std::asin(s) * 180 / M_PI;
        if (tt < start || tt > end) continue;
        const std::array<int, 3> hkl = {h, k, l};
        // The orbit under the rotations (acting on indices through the
        // transpose) and Friedel's law; absent when an operator keeps the
        // reflection but shifts its phase.
        orbit.clear();
        bool absent = false;
        for (const Coordinate &op : general.fullCoordinates) {
          const double(*m)[4] = op.matrix;
          std::array<int, 3> r;
          for (int j = 0; j < 3; ++j)
            r[static_cast<size_t>(j)] =
                static_cast<int>(std::lround(h * m[0][j] + k * m[1][j] + l * m[2][j]));
          if (r == hkl) {
            double phase = h * m[0][3] + k * m[1][3] + l * m[2][3];
            if (std::fabs(phase - std::round(phase)) > 1e-6) absent = true;
          }
          for (int sign : {1, -1}) {
            std::array<int, 3> e = {sign * r[0], sign * r[1], sign * r[2]};
            if (std::find(orbit.begin(), orbit.end(), e) == orbit.end()) orbit.push_back(e);
          }
        }
        // Equivalents have the same spacing, so all of them lie in the box.
        for (const auto &e : orbit)
          if (inBox(e[0], e[1], e[2])) seen[slot(e[0], e[1], e[2])] = true;
        if (absent) continue;
        const std::array<int, 3> best = *std::max_element(orbit.begin(), orbit.end());
        out->push_back({best[0], best[1], best[2], static_cast<int>(orbit.size()), d, tt});
      }
  std::sort(out->begin(), out->end(), [](const Reflection &a, const Reflection &b) {
    return a.twoTheta < b.twoTheta;
  });
  return true;
}
