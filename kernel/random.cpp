// SPDX-License-Identifier: BSD-3-Clause
#include "random.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>

// L'Ecuyer's two multiplicative congruential generators combined through a
// 32-entry Bays-Durham shuffle, in 32-bit arithmetic with Schrage's method so
// that no product overflows. The sequence must stay bit-exact: seeds recorded
// with a result reproduce it.
double RandomStream::Rand() {
  const int32_t m1 = 2147483563, a1 = 40014, q1 = 53668, r1 = 12211;
  const int32_t m2 = 2147483399, a2 = 40692, q2 = 52774, r2 = 3791;
  const int32_t ndiv = 67108862;
  const double scale = 4.656613057391769e-10;
  const double largest = 0.99999988;
  if (seed <= 0) {
    // -INT_MIN does not exist; the restart treats it like any other seed
    // that leaves nothing positive.
    seed = seed == INT32_MIN ? 1 : -seed;
    if (seed <= 0) seed = 1;
    seed2 = seed;
    for (int j = 39; j >= 0; --j) {
      int32_t k = seed / q1;
      seed = a1 * (seed - k * q1) - k * r1;
      if (seed < 0) seed += m1;
      if (j < 32) table[j] = seed;
    }
    y = table[0];
  }
  int32_t k = seed / q1;
  seed = a1 * (seed - k * q1) - k * r1;
  if (seed < 0) seed += m1;
  k = seed2 / q2;
  seed2 = a2 * (seed2 - k * q2) - k * r2;
  if (seed2 < 0) seed2 += m2;
  int32_t j = y / ndiv;
  y = table[j] - seed2;
  table[j] = seed;
  if (y < 1) y += m1 - 1;
  double value = y * scale;
  return value < largest ? value : largest;
}

RandomStream &ThreadRandomStream() {
  thread_local RandomStream stream;
  return stream;
}

void Srand(int seed) { ThreadRandomStream().Srand(seed); }

double Rand() { return ThreadRandomStream().Rand(); }

uint64_t MixSeed(uint64_t x) {
  // splitmix64's finaliser.
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void SearchRandom::Reseed() {
  // Every reseed starts a new sequence: the clock alone would hand all the
  // temperature steps of one second the same numbers.
  const uint64_t b = clock ? static_cast<uint64_t>(std::time(nullptr)) : base;
  const uint64_t mixed = MixSeed(MixSeed(b) + restarts++);
  // A restart seed is a negative 31-bit word; every one of them gives a
  // different stream.
  const int32_t value = static_cast<int32_t>(mixed % 2147483646ull) + 1;
  stream.Srand(-value);
}

SearchRandom &ThreadSearchRandom() {
  thread_local SearchRandom random = [] {
    SearchRandom r;
    r.clock = true;
    return r;
  }();
  return random;
}

void SetSearchSeed(long seed) {
  SearchRandom &r = ThreadSearchRandom();
  r.clock = seed == 0;
  r.base = static_cast<uint64_t>(seed);
  r.restarts = 0;
}

uint64_t ModelSeed(uint64_t runSeed, int modelNumber, int stage) {
  return MixSeed(
      MixSeed(MixSeed(runSeed) + static_cast<uint64_t>(static_cast<uint32_t>(modelNumber))) +
      static_cast<uint64_t>(stage));
}

uint64_t ClockSeed() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const uint64_t ns =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
  // Short enough to type back in with --seed.
  return MixSeed(ns) % 1000000000ull;
}
