// SPDX-License-Identifier: BSD-3-Clause
// The kernel's set-up calls say whether they worked; a benchmark that goes on
// after a failed one measures nothing, so it stops there with the reason.
#ifndef PULVINA_BENCH_CHECKED_H
#define PULVINA_BENCH_CHECKED_H

#include <stdexcept>
#include <string>

inline void Checked(int result, const char *what) {
  if (!result) throw std::runtime_error(std::string("benchmark set-up failed: ") + what);
}

#endif
