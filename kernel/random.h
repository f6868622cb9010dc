// SPDX-License-Identifier: BSD-3-Clause
// Every random number of the kernel: the generator, the streams of the
// searches and the seeds they start from. A seeded run repeats exactly, on
// any number of threads: each search owns its stream, and each thread has
// its own for code given none.
#ifndef PULVINA_RANDOM_H
#define PULVINA_RANDOM_H

#include <cstdint>

// L'Ecuyer's combined generator with a Bays-Durham shuffle, as a value:
// every search owns one, so that searches on different threads neither share
// nor disturb each other's sequence.
struct RandomStream {
  int32_t seed = 305419896;  // generator 1's word; a value <= 0 restarts the stream
  int32_t seed2 = 123456789;
  int32_t y = 0;
  int32_t table[32] = {};
  // Stores the seed word; a positive seed does not restart the table.
  void Srand(int32_t s) { seed = s; }
  // The next deviate in (0, 1), at most 0.99999988.
  double Rand();
};

// The calling thread's own stream: Srand and Rand keep their meaning for
// code that has no stream of its own.
RandomStream &ThreadRandomStream();
void Srand(int seed);
double Rand();

// Scrambles a seed so that nearby inputs (model 7 and 8, restart 0 and 1)
// give unrelated streams.
uint64_t MixSeed(uint64_t x);

// The random numbers of one search: a stream of its own, restarted at every
// reseed from a base seed and a running count, so that each restart of each
// search gets a sequence of its own and a seeded run repeats exactly.
struct SearchRandom {
  RandomStream stream;
  uint64_t base = 0;
  uint64_t restarts = 0;
  bool clock = false;  // base from the clock at each reseed (runs given no seed)
  void Reseed();
  double Rand() { return stream.Rand(); }
};
// The calling thread's search stream, for searches given none: seeded by
// SetSearchSeed on this thread, or from the clock (seed 0).
SearchRandom &ThreadSearchRandom();
void SetSearchSeed(long seed);

// The random stream of one model in one stage, and the seed of each of its
// restarts.
uint64_t ModelSeed(uint64_t runSeed, int modelNumber, int stage);
// A run seed from the clock, for runs that were given none; front ends print
// it so that the run can be repeated.
uint64_t ClockSeed();

#endif
