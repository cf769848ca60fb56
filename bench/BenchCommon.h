// Small helpers the bus benchmarks share: options, the machine's name, the
// card's bit model, frame stamps, percentiles and table cells.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "ThreadCpu.h"
#include "VELKCAN.h"

namespace bench {

// The value of `--name N`, or fallback when not given.
inline double OptionValue(int argc, char** argv, const char* name, double fallback) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], name) == 0) return std::atof(argv[i + 1]);
  }
  return fallback;
}

inline std::string CpuModel() {
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown CPU";
}

// Bits of a data frame on the wire with the worst-case number of stuff bits,
// as the card counts them.
constexpr double FrameBits(int length) {
  return 47 + 8 * length + (34 + 8 * length - 1) / 4;
}

inline uint64_t NowUs() {
  return MonotonicNs() / 1000;
}

// A frame a test node heard ended on the bus at this time (microseconds of
// CLOCK_MONOTONIC, little-endian in the stamp).
inline uint64_t StampUs(const CANMsg& frame) {
  uint64_t stamp = 0;
  for (int i = 7; i >= 0; --i) stamp = (stamp << 8) | frame.stamp[i];
  return stamp;
}

inline double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  const auto at = static_cast<size_t>(share * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + at, values.end());
  return values[at];
}

inline std::vector<pid_t> NewThreads(const std::set<pid_t>& before) {
  std::vector<pid_t> added;
  for (pid_t tid : ThreadIds()) {
    if (before.count(tid) == 0) added.push_back(tid);
  }
  return added;
}

inline std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

inline double Share(double part, double whole) {
  return whole > 0 ? 100.0 * part / whole : 0;
}

}  // namespace bench
