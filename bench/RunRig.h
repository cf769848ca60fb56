// The rig of the benchmarks of dnm run's servers: 63 simulated slaves at 500 kbit/s, each polled
// for 2 bytes of inputs whose first byte counts its poll responses (every response an input
// change), hosted by a dnm simulate process on a shared segment; dnm run as a process of its own;
// a test node of the benchmark that hears the responses on the bus; and the CPU of dnm run.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchCommon.h"

namespace bench {

// A child process (dnm), ended with SIGTERM when destroyed, or when the benchmark ends otherwise
// (a signal), so that no simulator or scanner outlives it; its stdout goes to a file.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& out);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  bool Running() const;

 private:
  pid_t pid_ = -1;
};

struct CpuSeconds {
  double process = 0;
  double own = 0;     // without the virtual card's threads
  double server = 0;  // the threads whose names start with the server's prefix

  static CpuSeconds Of(pid_t pid, const std::string& server_prefix);
};

struct CpuShare {  // % of a core
  double process = 0;
  double own = 0;
  double server = 0;
};

// The CPU share of one core the process used over seconds, while load runs beside it.
template <typename Load>
CpuShare CpuPercent(pid_t pid, const std::string& server_prefix, double seconds, Load load) {
  const CpuSeconds before = CpuSeconds::Of(pid, server_prefix);
  const uint64_t start = NowUs();
  load(seconds);
  const double elapsed = static_cast<double>(NowUs() - start) / 1e6;
  const CpuSeconds after = CpuSeconds::Of(pid, server_prefix);
  return {Share(after.process - before.process, elapsed), Share(after.own - before.own, elapsed),
          Share(after.server - before.server, elapsed)};
}

struct Files {
  std::filesystem::path dir;
  std::string network;
};

// The scan list of the 63 devices at that poll period.
std::string WriteScanList(const Files& files, int period_ms);

// The network of the 63 slaves, in a directory named after the benchmark and removed with the
// rig, hosted by dnm simulate; node: a test node of this process on its segment that hears the
// bus (0, said on stdout, when none could attach).
class Rig {
 public:
  explicit Rig(const std::string& name);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  const Files files;
  int32_t node = 0;

 private:
  std::unique_ptr<Child> simulator_;
};

// A poll response on the bus, or a client's first sight of a value.
struct Sighting {
  int mac;
  uint8_t counter;
  uint64_t at_us;
};

// Collects the poll responses a test node of this process hears, from its start until Stop().
class BusWatch {
 public:
  explicit BusWatch(int32_t node);
  ~BusWatch() { Stop(); }
  BusWatch(const BusWatch&) = delete;
  BusWatch& operator=(const BusWatch&) = delete;

  std::vector<Sighting> Stop();

 private:
  void Watch(int32_t node);

  std::atomic<bool> stop_{false};
  std::vector<Sighting> heard_;
  std::thread thread_;
};
// For each sight, when the latest response of that value heard before it ended on the bus (0
// when none was heard).
std::vector<uint64_t> BusTimes(const std::vector<Sighting>& heard,
                               const std::vector<Sighting>& seen);
// For each sight (of a response heard), the time since that response.
std::vector<double> LatenciesMs(const std::vector<Sighting>& heard,
                                const std::vector<Sighting>& seen);

int FreePort();

}  // namespace bench
