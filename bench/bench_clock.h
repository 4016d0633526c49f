// What the benches measure with: seconds on the steady clock and the
// process's peak resident memory, which the kernel lets a bench reset
// before the part it measures.
//
// Thread-safety: plain functions.

#ifndef DIZEDIR_BENCH_BENCH_CLOCK_H_
#define DIZEDIR_BENCH_BENCH_CLOCK_H_

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

namespace dizedir::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Peak resident set in KiB since the last reset; -1 when unknown.
inline long PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

inline void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace dizedir::bench

#endif  // DIZEDIR_BENCH_BENCH_CLOCK_H_
