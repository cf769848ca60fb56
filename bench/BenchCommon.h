// Small helpers the bus benchmarks share: options, the machine's name, the
// card's bit model, frame stamps, percentiles, table cells, and the rig of
// the I/O benchmarks with its 63 devices.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ThreadCpu.h"
#include "VELKCAN.h"
#include "VELKCANDNM.h"

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

// The I/O benchmarks' rig: port 0 of board 0 (the card's port 1) at
// 500 kbit/s, master MAC ID 0, devices at MAC IDs 1 to 63.
constexpr uint8_t kBoard = 0;
constexpr uint8_t kPort = 0;
constexpr int32_t kCardPort = kPort + 1;
constexpr uint8_t kBaud500k = 0;
constexpr double kBitRate = 500000;
constexpr uint8_t kMasterMac = 0;
constexpr uint8_t kDevices = 63;

using CounterGetter = decltype(&DNM_GetPollNoResponse);
using StatusCheck = decltype(&DNM_CheckPollConnectionStatus);

inline uint64_t SumOverDevices(CounterGetter counter, uint8_t port = kPort) {
  uint64_t sum = 0;
  for (uint8_t mac = 1; mac <= kDevices; ++mac) sum += counter(kBoard, port, mac);
  return sum;
}

// The devices whose connection check gives 0.
inline int DevicesUp(StatusCheck check, uint8_t port = kPort) {
  int up = 0;
  for (uint8_t mac = 1; mac <= kDevices; ++mac) up += check(kBoard, port, mac) == DNM_NoError;
  return up;
}

// Waits up to timeout_s until every device's check gives 0; returns the
// seconds it took, or -1.
inline double WaitAllUp(StatusCheck check, int timeout_s, uint8_t ports = 1) {
  const uint64_t start = MonotonicNs();
  const auto all_up = [&] {
    for (uint8_t port = 0; port < ports; ++port) {
      if (DevicesUp(check, port) != kDevices) return false;
    }
    return true;
  };
  for (int waited = 0; waited < timeout_s * 10; ++waited) {
    if (all_up()) return static_cast<double>(MonotonicNs() - start) / 1e9;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return -1;
}

// Waits up to 60 s for every device's connection to stand and says how long
// it took; false when some never did.
inline bool AllConnectionsStand(StatusCheck check, const char* kind) {
  const double setup_s = WaitAllUp(check, 60);
  if (setup_s < 0) {
    std::printf("only %d of %d %s connections stand after 60 s\n", DevicesUp(check), kDevices,
                kind);
    return false;
  }
  std::printf("all %d %s connections stand after %.1f s\n\n", kDevices, kind, setup_s);
  return true;
}

}  // namespace bench
