#include "ThreadCpu.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

namespace bench {

std::set<pid_t> ThreadIds() {
  std::set<pid_t> ids;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return ids;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ids.insert(static_cast<pid_t>(std::stol(entry->d_name)));
  }
  closedir(dir);
  return ids;
}

pid_t CurrentThreadId() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

uint64_t ProcessCpuNs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto ns = [](const timeval& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_usec) * 1000u;
  };
  return ns(usage.ru_utime) + ns(usage.ru_stime);
}

uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

namespace {

// /proc/self/task/TID/schedstat: nanoseconds on a CPU, nanoseconds waiting
// to run, number of times run.
bool ReadThreadTimes(pid_t tid, ThreadTimes& times) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/schedstat";
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  unsigned long long cpu = 0, wait = 0, runs = 0;
  const bool read = std::fscanf(file, "%llu %llu %llu", &cpu, &wait, &runs) == 3;
  std::fclose(file);
  times = ThreadTimes{cpu, runs};
  return read;
}

ThreadTimes Difference(const ThreadTimes& after, const ThreadTimes* before) {
  if (before == nullptr) return after;  // the thread started in between
  return ThreadTimes{after.cpu_ns - before->cpu_ns, after.runs - before->runs};
}

}  // namespace

CpuSnapshot CpuSnapshot::Take() {
  CpuSnapshot snapshot;
  for (pid_t tid : ThreadIds()) {
    ThreadTimes times;
    if (ReadThreadTimes(tid, times)) snapshot.threads[tid] = times;
  }
  snapshot.process_ns = ProcessCpuNs();
  snapshot.at_ns = MonotonicNs();
  return snapshot;
}

ThreadTimes CpuSnapshot::UsedBy(const CpuSnapshot& before, const std::vector<pid_t>& tids) const {
  ThreadTimes sum;
  for (pid_t tid : tids) {
    const auto now = threads.find(tid);
    if (now == threads.end()) continue;
    const auto then = before.threads.find(tid);
    const ThreadTimes used =
        Difference(now->second, then == before.threads.end() ? nullptr : &then->second);
    sum.cpu_ns += used.cpu_ns;
    sum.runs += used.runs;
  }
  return sum;
}

ThreadTimes CpuSnapshot::UsedByAllBut(const CpuSnapshot& before,
                                      const std::vector<pid_t>& others) const {
  std::vector<pid_t> rest;
  for (const auto& [tid, times] : threads) {
    if (std::find(others.begin(), others.end(), tid) == others.end()) rest.push_back(tid);
  }
  return UsedBy(before, rest);
}

void ThreadRegistry::AddCurrent() {
  std::lock_guard lock(mutex_);
  ids_.push_back(CurrentThreadId());
}

std::vector<pid_t> ThreadRegistry::Ids() const {
  std::lock_guard lock(mutex_);
  return ids_;
}

}  // namespace bench
