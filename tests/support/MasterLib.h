// Loads the master library the way an application does (dlopen from one
// directory) and reaches the trace library and the virtual card loaded
// beside it. Every test case runs in a process of its own, so the library's
// start-up runs afresh with the environment the case has set.
#pragma once

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "VELKCANDNM.h"

namespace dnm::test {

// The units the tests wait and measure in.
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Directory with the three libraries side by side (set by the build).
std::string LibDir();
// Directory of a build variant, e.g. "no-card" or "trace-start-refuses".
std::string VariantDir(const std::string& name);

// Writes a network description for the virtual card and points the card at
// it; call before the master library is loaded.
void UseNetwork(const std::string& text);

// Asks done() every step_ms until it holds; false once limit_ms have passed without.
template <typename Done>
bool Eventually(Done done, int limit_ms, int step_ms = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

// How long the process was starved while a test ran: a thread of its own
// sleeps 20 ms at a time, and each sleep that overran by more than 50 ms (a
// loaded machine, a process stopped or paused) adds its overrun. Timed checks
// add it to their limits and name it, so that a starved process is told as
// such rather than as a fault of the library, while a run that was not
// starved proves exactly as much as before.
class StarvationWatch {
 public:
  StarvationWatch();
  ~StarvationWatch();
  StarvationWatch(const StarvationWatch&) = delete;
  StarvationWatch& operator=(const StarvationWatch&) = delete;
  int ms() const { return starved_ms_.load(); }
  // The time measured against the time asked, and the starvation seen.
  std::string Says(Clock::duration measured, int asked_ms) const;

 private:
  std::atomic<int> starved_ms_{0};
  std::atomic<bool> ending_{false};
  std::thread thread_;
};

// As Eventually, with the limit lengthened by the starvation the watch sees meanwhile.
template <typename Done>
bool Eventually(Done done, int limit_ms, const StarvationWatch& watch, int step_ms = 20) {
  const int starved_before = watch.ms();
  const auto start = Clock::now();
  while (!done()) {
    if (Clock::now() - start > milliseconds(limit_ms + watch.ms() - starved_before)) return false;
    std::this_thread::sleep_for(milliseconds(step_ms));
  }
  return true;
}

// DNM_TEST_EXPORTS(X): X(name) for every export of the master, made by the
// build from the library's export list.
#include "MasterExports.h"

class MasterLib {
 public:
  explicit MasterLib(const std::string& dir = LibDir());
  ~MasterLib() = default;  // never unloaded: library threads may still run

  bool loaded() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const;

#define DNM_TEST_MEMBER(name) decltype(&::name) name = nullptr;
  DNM_TEST_EXPORTS(DNM_TEST_MEMBER)
#undef DNM_TEST_MEMBER

  // Trace lines kept by the trace library (the newest last).
  std::vector<std::string> TraceLines() const;
  void ClearTrace() const;
  // True when some line equals text exactly.
  bool HasLine(const std::string& text) const;
  // Lines that contain the fragment.
  std::vector<std::string> LinesWith(const std::string& fragment) const;

  // An entry of the card library that sits beside the master.
  void* CardSymbol(const char* name) const;
  void* card_handle() const {
    return card_;
  }

 private:
  std::string dir_;
  void* handle_ = nullptr;
  void* trace_ = nullptr;
  void* card_ = nullptr;
};

}  // namespace dnm::test
