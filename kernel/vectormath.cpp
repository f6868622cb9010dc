// SPDX-License-Identifier: BSD-3-Clause
#include "vectormath.h"

namespace vectormath {

namespace {

// Every width also runs on narrower instructions, so that each path can be
// checked on any processor; the widest one the processor has is the default.
void SinCos1(int n, const double *a, double *s, double *c) { SinCosArrayBody<1>(n, a, s, c); }
void SinCos2(int n, const double *a, double *s, double *c) { SinCosArrayBody<2>(n, a, s, c); }
void SinCos4(int n, const double *a, double *s, double *c) { SinCosArrayBody<4>(n, a, s, c); }
void SinCos8(int n, const double *a, double *s, double *c) { SinCosArrayBody<8>(n, a, s, c); }

#ifdef PULVINA_X86
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

}  // namespace

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

}  // namespace vectormath
