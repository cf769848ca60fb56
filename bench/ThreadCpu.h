// CPU time of the threads of this process, read per thread from /proc, so
// that the share of one group of threads (a port's receive threads, the
// benchmark's own threads) can be told apart from the rest of the process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace bench {

struct ThreadTimes {
  uint64_t cpu_ns = 0;  // time spent on a CPU
  uint64_t runs = 0;    // times the scheduler put it on a CPU (about one per wake-up)
};

// Kernel ids of the threads alive now.
std::set<pid_t> ThreadIds();
pid_t CurrentThreadId();
// User plus system time of the whole process (getrusage).
uint64_t ProcessCpuNs();
uint64_t MonotonicNs();

// CPU use of every thread of the process at one moment.
struct CpuSnapshot {
  uint64_t at_ns = 0;
  uint64_t process_ns = 0;
  std::map<pid_t, ThreadTimes> threads;

  static CpuSnapshot Take();
  // What the given threads used from `before` to this snapshot.
  ThreadTimes UsedBy(const CpuSnapshot& before, const std::vector<pid_t>& tids) const;
  // What every thread not in `others` used from `before` to this snapshot.
  ThreadTimes UsedByAllBut(const CpuSnapshot& before, const std::vector<pid_t>& others) const;
};

// The threads the benchmark starts itself register here.
class ThreadRegistry {
 public:
  void AddCurrent();
  std::vector<pid_t> Ids() const;

 private:
  mutable std::mutex mutex_;
  std::vector<pid_t> ids_;
};

}  // namespace bench
