// SPDX-License-Identifier: BSD-3-Clause
// Vector maths of the intensity path: lanes of doubles in the compiler's
// vector types, a sincos over them, the instruction sets a processor offers
// and the loops of single-atom moves along the reflections. Internal to the
// kernel: the paths of every width are compiled here and chosen at run time.
#ifndef PULVINA_VECTORMATH_H
#define PULVINA_VECTORMATH_H

#include <cstdint>
#include <cstring>

#if defined(__GNUC__)
#define PULVINA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define PULVINA_ALWAYS_INLINE inline
#endif

#if defined(__x86_64__) || defined(__i386__)
#define PULVINA_X86 1
#endif

namespace vectormath {

constexpr double kPi = 3.14159265358979323846;
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

using SinCosFunction = void (*)(int, const double *, double *, double *);

enum InstructionSet { ISA_BASE = 0, ISA_AVX2 = 1, ISA_AVX512 = 2 };

// The processor's instruction set, found once.
int Instructions();
// Width in doubles of the widest vector path this processor runs.
int WidestWidth();
// The width a workspace asks for (0: the widest) as one of the paths.
int ResolveWidth(int requested);
// The sincos of an array on the path of that width.
SinCosFunction SinCosFor(int width);

// ---- Moves of single atoms: loops along the reflections, whose arrays are
// padded to a whole number of the widest vector (padding scatters nothing).

constexpr int kPadding = 8;

struct MoveKernels {
  void (*slotPhases)(int, const double *, const double *, const double *, double, double,
                     double, double, bool, double *, double *);
  void (*scaleByFactor)(int, const double *, const double *, double *, double *);
  void (*exchangePart)(int, const double *, const double *, const double *, const double *,
                       double *, double *);
  double (*intensities)(int, const double *, const double *, const double *, double *);
};

// The move loops on the path of that width.
const MoveKernels &MovesFor(int width);

}  // namespace vectormath

#endif
