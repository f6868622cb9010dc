// SPDX-License-Identifier: BSD-3-Clause
#include "structurefactor.h"

#include <algorithm>
#include <cmath>

#include "vectormath.h"

using namespace vectormath;

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

// Every width also runs on narrower instructions, so that each path can be
// checked on any processor; the widest one the processor has is the default.
void TableSums1(Data *d) { TableSums<1>(d); }
void TableSums2(Data *d) { TableSums<2>(d); }
void TableSums4(Data *d) { TableSums<4>(d); }
void TableSums8(Data *d) { TableSums<8>(d); }

#ifdef PULVINA_X86
__attribute__((target("avx2,fma"))) void TableSums4Avx2(Data *d) { TableSums<4>(d); }
__attribute__((target("avx2,fma"))) void TableSums8Avx2(Data *d) { TableSums<8>(d); }
__attribute__((target("avx512f"))) void TableSums8Avx512(Data *d) { TableSums<8>(d); }
#endif

}  // namespace

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

// The phase of each term as the literal formula has it.
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
