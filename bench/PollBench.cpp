// Measures the poll connections of a port: 63 simulated slaves at
// 500 kbit/s, each polled with 8 bytes of outputs for 8 bytes of inputs.
// - At the default poll period (100 ms): CPU and wake-ups of the library's
//   threads, and the period each device is polled at, taken from the ends of
//   the poll commands on the bus.
// - At 50 and 100 polls per second and device: connections down.
// - From a cold start at 1000 polls per second (a period of 1 ms, more than
//   the bus carries): the time until every connection stands, then bus load,
//   polls per second against what the bus can carry, polls that went
//   unanswered, connections down, how evenly the devices are polled, and
//   attribute reads served meanwhile.
// - All four ports of the board at once, 63 devices each, at 100 ms and at
//   1 ms: the library's CPU per poll against one port's, and each port's
//   polls, bus load and connections.
// The library's threads are told apart by their ids: those that appear once
// the card's bus threads run (the ports' receive threads and poll
// schedulers, the devices' explicit and poll workers). The card's threads
// and the benchmark's, which reads the buses through test nodes, are not
// counted.
//
//   bench_poll [--seconds N]   (length of each part, default 10; the goals ask for 30)
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BenchCommon.h"
#include "ThreadCpu.h"
#include "VELKCANDNM.h"
#include "api/Library.h"
#include "vcan_test.h"

namespace bench {
namespace {

constexpr uint16_t kIoSize = 8;
constexpr uint16_t kFastPollHz = 1000;

constexpr uint8_t kPorts = 4;

// The slaves of every port of the board, each port on a segment of its own.
std::string WriteNetwork() {
  const std::string path = "/tmp/bench_poll_" + std::to_string(getpid()) + ".net";
  std::ofstream file(path);
  if (const char* capture = getenv("BENCH_CAPTURE"))
    file << "segment vcan0.1 capture=" << capture << "\n";
  for (int port = 0; port < kPorts; ++port) {
    for (int mac = 1; mac <= kDevices; ++mac) {
      file << "slave segment=vcan0." << port + 1 << " mac=" << mac << " produced=" << kIoSize
           << " consumed=" << kIoSize << "\n";
    }
  }
  return path;
}

constexpr double kFramesPerSecond = kBitRate / FrameBits(8);
constexpr double kPollsPerSecondLimit = kBitRate / (FrameBits(kIoSize) + FrameBits(kIoSize));

// Poll commands are group 2 message 5: 0x405 + 8 × MAC ID.
int PolledMac(const CANMsg& frame) {
  if (frame.id < 0x400 || frame.id >= 0x600 || (frame.id & 7) != 5) return -1;
  return static_cast<int>((frame.id - 0x400) >> 3);
}

// A test node on a port's segment that notes when each poll command ended
// on the bus.
class BusWatch {
 public:
  explicit BusWatch(uint8_t port)
      : port_(port), node_(VCAN_AttachNode(kBoard, port + 1, 500)), ends_(64) {}
  uint8_t port() const { return port_; }

  // Sends one frame, so that the segment's bus thread runs from now on.
  bool StartBusThread() {
    CANMsg hello{};
    hello.id = 0x7F0;
    if (node_ <= 0 || VCAN_NodeSend(node_, &hello, 1000) != 0) return false;
    VCAN_SegmentStats stats{};
    for (int i = 0; i < 100 && stats.frames == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      VCAN_GetSegmentStats(kBoard, port_ + 1, &stats);
    }
    return stats.frames > 0;
  }

  void Drain() {
    CANMsg frame{};
    while (VCAN_NodeReceive(node_, &frame, 0) == 0) {
      const int mac = PolledMac(frame);
      if (mac >= 0) ends_[mac].push_back(StampUs(frame));
    }
  }

  void Forget() {
    Drain();
    for (auto& ends : ends_) ends.clear();
  }

  // Poll commands that ended within [from_us, to_us].
  std::vector<uint64_t> Ends(int mac, uint64_t from_us, uint64_t to_us) const {
    std::vector<uint64_t> within;
    for (uint64_t end : ends_[mac]) {
      if (end >= from_us && end <= to_us) within.push_back(end);
    }
    return within;
  }

 private:
  uint8_t port_;
  int32_t node_;
  std::vector<std::vector<uint64_t>> ends_;  // by MAC ID
};

// Brings the ports online; the threads that appear are their receive threads.
bool GoOnline(std::vector<pid_t>& receive_threads, uint8_t ports = 1) {
  const std::set<pid_t> before = ThreadIds();
  if (DNM_ActiveBoard(kBoard) != 0) return false;
  for (uint8_t port = 0; port < ports; ++port) {
    if (DNM_Online(kBoard, port, kBaud500k, kMasterMac) != 0) return false;
  }
  receive_threads = NewThreads(before);
  return true;
}

bool StartPolling(uint8_t ports = 1) {
  for (uint8_t port = 0; port < ports; ++port) {
    for (uint8_t mac = 1; mac <= kDevices; ++mac) {
      if (DNM_AddDevice(kBoard, port, mac, 0) != 0) return false;
      if (DNM_ConfigPoll(kBoard, port, mac, kIoSize, kIoSize, 0, 0) != 0) return false;
    }
    if (DNM_StartCommunicate(kBoard, port) != 0) return false;
  }
  return true;
}

struct Errors {
  uint64_t no_response = 0;
  uint64_t error_response = 0;
  uint64_t send_error = 0;
  uint64_t explicit_failed = 0;  // explicit requests unanswered or not sent

  static Errors Now(uint8_t port) {
    return {SumOverDevices(DNM_GetPollNoResponse, port),
            SumOverDevices(DNM_GetPollErrorResponse, port),
            SumOverDevices(DNM_GetPollSendError, port),
            SumOverDevices(DNM_GetExplicitMsgNoResponse, port)};
  }
  Errors Since(const Errors& before) const {
    return {no_response - before.no_response, error_response - before.error_response,
            send_error - before.send_error, explicit_failed - before.explicit_failed};
  }
};

struct Result {
  uint32_t period_ms = 0;
  double seconds = 0;
  uint64_t polls = 0;
  double period_p50_ms = 0;
  double period_p99_ms = 0;
  double period_max_ms = 0;
  double fairness = 0;  // polls of the device polled least over those of the one polled most
  VCAN_SegmentStats bus{};
  Errors errors;
  ThreadTimes library;
  ThreadTimes receive;  // the port's receive threads, part of library
  size_t library_threads = 0;
  uint64_t process_ns = 0;
  int polling_at_end = 0;
  uint64_t down_samples = 0;  // samples (every 200 ms) of a connection not standing
  int fewest_up = kDevices;
  uint64_t attribute_reads = 0;
  uint64_t attribute_failed = 0;
  double attribute_max_ms = 0;
};

// Samples of a port's connections that stand while a window runs.
struct Standing {
  uint64_t down_samples = 0;
  int fewest_up = kDevices;
  void Look(uint8_t port) {
    const int up = DevicesUp(DNM_CheckPollConnectionStatus, port);
    down_samples += static_cast<uint64_t>(kDevices - up);
    fewest_up = std::min(fewest_up, up);
  }
};

// Reads each device's serial number in turn while the window runs, as an
// application beside the scan would: how long each read takes.
class AttributeReader {
 public:
  AttributeReader() : thread_([this] { Run(); }) {}
  ~AttributeReader() {
    done_ = true;
    thread_.join();
  }
  uint64_t reads() const { return reads_; }
  uint64_t failed() const { return failed_; }
  double max_ms() const { return max_ms_; }

 private:
  void Run() {
    for (uint8_t mac = 1; !done_; mac = static_cast<uint8_t>(mac % kDevices + 1)) {
      uint8_t value[64] = {};
      uint32_t length = 0;
      const uint64_t start = MonotonicNs();
      const bool ok = DNM_GetAttribute(kBoard, kPort, mac, 1, 1, 6, value, &length) == 0;
      max_ms_ = std::max(max_ms_.load(), static_cast<double>(MonotonicNs() - start) / 1e6);
      (ok ? reads_ : failed_)++;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::atomic<bool> done_{false};
  std::atomic<uint64_t> reads_{0};
  std::atomic<uint64_t> failed_{0};
  std::atomic<double> max_ms_{0};
  std::thread thread_;
};

// Intervals between consecutive poll commands of each device, all devices
// together, in the window.
void AddPeriods(const BusWatch& watch, uint64_t from_us, uint64_t to_us, Result& result) {
  std::vector<double> intervals_ms;
  size_t fewest = SIZE_MAX, most = 0;
  for (int mac = 1; mac <= kDevices; ++mac) {
    const std::vector<uint64_t> ends = watch.Ends(mac, from_us, to_us);
    result.polls += ends.size();
    fewest = std::min(fewest, ends.size());
    most = std::max(most, ends.size());
    for (size_t i = 1; i < ends.size(); ++i)
      intervals_ms.push_back(static_cast<double>(ends[i] - ends[i - 1]) / 1000.0);
  }
  // Sorted once in place: copies for each percentile upset GCC's heap checks when inlined.
  std::sort(intervals_ms.begin(), intervals_ms.end());
  const auto at = [&](double share) {
    if (intervals_ms.empty()) return 0.0;
    return intervals_ms[static_cast<size_t>(share * static_cast<double>(intervals_ms.size() - 1))];
  };
  result.period_p50_ms = at(0.50);
  result.period_p99_ms = at(0.99);
  result.period_max_ms = at(1.0);
  result.fairness = most == 0 ? 0 : static_cast<double>(fewest) / static_cast<double>(most);
}

using Watches = std::vector<BusWatch*>;

void WatchFor(const Watches& watches, double seconds, std::vector<Standing>& standing) {
  const uint64_t until = MonotonicNs() + static_cast<uint64_t>(seconds * 1e9);
  while (MonotonicNs() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (size_t i = 0; i < watches.size(); ++i) {
      watches[i]->Drain();
      standing[i].Look(watches[i]->port());
    }
  }
}

// The library's threads are all those that are not the card's nor the
// benchmark's, i.e. not alive before the library started.
struct Threads {
  std::vector<pid_t> card_and_bench;
  std::vector<pid_t> receive;
};

// One measured window over the watched ports; per port where it says so.
struct Window {
  uint64_t from_us = 0;
  uint64_t to_us = 0;
  CpuSnapshot before;
  CpuSnapshot after;
  std::vector<VCAN_SegmentStats> bus;
  std::vector<Errors> errors;
  std::vector<Standing> standing;
};

Window Observe(const Watches& watches, double seconds) {
  Window window;
  window.bus.resize(watches.size());
  window.standing.resize(watches.size());
  std::vector<Errors> before;
  for (BusWatch* watch : watches) {
    watch->Forget();
    before.push_back(Errors::Now(watch->port()));
    VCAN_ResetSegmentStats(kBoard, watch->port() + 1);
  }
  window.from_us = NowUs();
  window.before = CpuSnapshot::Take();
  WatchFor(watches, seconds, window.standing);
  window.after = CpuSnapshot::Take();
  for (size_t i = 0; i < watches.size(); ++i)
    VCAN_GetSegmentStats(kBoard, watches[i]->port() + 1, &window.bus[i]);
  window.to_us = NowUs();
  for (size_t i = 0; i < watches.size(); ++i) {
    window.errors.push_back(Errors::Now(watches[i]->port()).Since(before[i]));
    watches[i]->Drain();
  }
  return window;
}

// One result per watched port; the library's CPU, which the ports share, in each.
std::vector<Result> Measure(const Watches& watches, uint32_t period_ms, double seconds,
                            const Threads& threads, bool read_attributes) {
  std::optional<AttributeReader> reader;
  if (read_attributes) reader.emplace();
  const Window w = Observe(watches, seconds);
  std::vector<Result> results(watches.size());
  for (size_t i = 0; i < watches.size(); ++i) {
    Result& result = results[i];
    if (reader) {
      result.attribute_reads = reader->reads();
      result.attribute_failed = reader->failed();
      result.attribute_max_ms = reader->max_ms();
    }
    result.down_samples = w.standing[i].down_samples;
    result.fewest_up = w.standing[i].fewest_up;
    result.period_ms = period_ms;
    result.seconds = static_cast<double>(w.to_us - w.from_us) / 1e6;
    result.bus = w.bus[i];
    result.errors = w.errors[i];
    AddPeriods(*watches[i], w.from_us, w.to_us, result);
    result.library = w.after.UsedByAllBut(w.before, threads.card_and_bench);
    result.receive = w.after.UsedBy(w.before, threads.receive);
    result.library_threads = w.after.threads.size() - threads.card_and_bench.size();
    result.process_ns = w.after.process_ns - w.before.process_ns;
    result.polling_at_end = DevicesUp(DNM_CheckPollConnectionStatus, watches[i]->port());
  }
  return results;
}

using Row = std::pair<const char*, std::string>;

std::vector<Row> Rows(const Result& r) {
  const double window_ns = r.seconds * 1e9;
  const double polls_per_s = static_cast<double>(r.polls) / r.seconds;
  const double library_ns = static_cast<double>(r.library.cpu_ns);
  return {
      {"poll period set (ms)", Format("%.0f", r.period_ms)},
      {"measured window (s)", Format("%.2f", r.seconds)},
      {"polls/s, all devices (poll commands on the bus)", Format("%.1f", polls_per_s)},
      {"poll period achieved per device, median (ms)", Format("%.2f", r.period_p50_ms)},
      {"poll period achieved per device, p99 (ms)", Format("%.2f", r.period_p99_ms)},
      {"poll period achieved per device, max (ms)", Format("%.2f", r.period_max_ms)},
      {"polls of the device polled least / most", Format("%.2f", r.fairness)},
      {"bus load (busy time / window)", Format("%.1f %%", Share(r.bus.busy_us * 1e3, window_ns))},
      {"frames on the bus/s", Format("%.1f", r.bus.frames / r.seconds)},
      {"frames / bus capacity (8-byte frames)",
       Format("%.1f %%", Share(r.bus.frames / r.seconds, kFramesPerSecond))},
      {"polls/s / bus limit", Format("%.1f %%", Share(polls_per_s, kPollsPerSecondLimit))},
      {"poll no-responses", Format("%.0f", r.errors.no_response)},
      {"poll error responses", Format("%.0f", r.errors.error_response)},
      {"poll send errors", Format("%.0f", r.errors.send_error)},
      {"explicit requests unanswered or not sent", Format("%.0f", r.errors.explicit_failed)},
      {"poll connections established at the end", Format("%.0f", r.polling_at_end)},
      {"connections down, summed over 200 ms samples", Format("%.0f", r.down_samples)},
      {"fewest connections standing in a sample", Format("%.0f", r.fewest_up)},
      {"attribute reads served, failed",
       Format("%.0f", r.attribute_reads) + ", " + Format("%.0f", r.attribute_failed)},
      {"slowest attribute read (ms)", Format("%.0f", r.attribute_max_ms)},
      {"library threads counted", Format("%.0f", r.library_threads)},
      {"library CPU (% of one core)", Format("%.3f %%", Share(library_ns, window_ns))},
      {"library CPU (ms per second)", Format("%.2f", library_ns / 1e6 / r.seconds)},
      {"library wake-ups/s", Format("%.0f", r.library.runs / r.seconds)},
      {"library CPU per poll (us)", Format("%.1f", r.polls ? library_ns / 1e3 / r.polls : 0)},
      {"of which receive threads (us)",
       Format("%.1f", r.polls ? r.receive.cpu_ns / 1e3 / r.polls : 0)},
      {"library wake-ups per poll", Format("%.2f", r.polls ? 1.0 * r.library.runs / r.polls : 0)},
      {"of which receive threads", Format("%.2f", r.polls ? 1.0 * r.receive.runs / r.polls : 0)},
      {"whole process CPU (% of one core)",
       Format("%.2f %%", Share(static_cast<double>(r.process_ns), window_ns))},
  };
}

void PrintTable(const std::vector<Result>& parts) {
  std::printf("%-50s %12s %12s %12s %12s\n", "", "10/s", "50/s", "100/s", "1000/s");
  std::vector<std::vector<Row>> rows;
  for (const Result& part : parts) rows.push_back(Rows(part));
  for (size_t i = 0; i < rows[0].size(); ++i) {
    std::printf("  %-48s", rows[0][i].first);
    for (const auto& part : rows) std::printf(" %12s", part[i].second.c_str());
    std::printf("\n");
  }
}

const char* Met(bool met) {
  return met ? "met" : "NOT met";
}

double LibraryShare(const Result& r) {
  return Share(static_cast<double>(r.library.cpu_ns), r.seconds * 1e9);
}

double PerPoll(double value, const Result& r) {
  return r.polls ? value / static_cast<double>(r.polls) : 0;
}

void PrintGoals(const std::vector<Result>& parts, double cold_start_s) {
  const Result& slow = parts[0];
  const Result& full = parts[3];
  const double wakeups = PerPoll(static_cast<double>(slow.library.runs), slow);
  const double bus_share = Share(full.bus.busy_us * 1e3, full.seconds * 1e9);
  std::printf("\ngoal, 100 ms: library under 1 %% of a core: %s (%.3f %%)\n",
              Met(LibraryShare(slow) < 1.0), LibraryShare(slow));
  std::printf("goal, 100 ms: at most 1.2 wake-ups per poll: %s (%.2f)\n", Met(wakeups <= 1.2),
              wakeups);
  for (size_t i = 1; i < 3; ++i) {
    std::printf("goal, %u ms: no connection down: %s (%llu down in samples)\n", parts[i].period_ms,
                Met(parts[i].down_samples == 0),
                static_cast<unsigned long long>(parts[i].down_samples));
  }
  std::printf("goal, 1 ms: all 63 connections stand within 20 s of a cold start: %s (%.1f s)\n",
              Met(cold_start_s >= 0 && cold_start_s <= 20), cold_start_s);
  std::printf("goal, 1 ms: no poll timed out, no connection down: %s (%llu, %llu)\n",
              Met(full.errors.no_response == 0 && full.down_samples == 0),
              static_cast<unsigned long long>(full.errors.no_response),
              static_cast<unsigned long long>(full.down_samples));
  std::printf(
      "goal, 1 ms: every attribute read served within 1.5 s: %s (%llu failed, slowest %.0f ms)\n",
      Met(full.attribute_failed == 0 && full.attribute_max_ms <= 1500),
      static_cast<unsigned long long>(full.attribute_failed), full.attribute_max_ms);
  std::printf("goal, 1 ms: bus over 95 %% busy: %s (%.1f %%)\n", Met(bus_share > 95.0), bus_share);
  std::printf(
      "goal, 1 ms: every device polled at about the same rate, least at 0.8 of most: %s (%.2f)\n",
      Met(full.fairness >= 0.8), full.fairness);
}

// Per port, side by side.
void PrintPorts(const char* title, const std::vector<Result>& ports) {
  std::printf("\n%s\n", title);
  std::vector<std::vector<Row>> rows;
  for (const Result& port : ports) rows.push_back(Rows(port));
  for (size_t i = 0; i < rows[0].size(); ++i) {
    // The library's CPU is the ports' together: printed once, below.
    const std::string name = rows[0][i].first;
    if (name.find("library") != std::string::npos || name.find("receive") != std::string::npos ||
        name.find("process") != std::string::npos || name.find("attribute") != std::string::npos)
      continue;
    std::printf("  %-48s", rows[0][i].first);
    for (const auto& port : rows) std::printf(" %12s", port[i].second.c_str());
    std::printf("\n");
  }
}

// All four ports at once: the library's CPU against one port's, per poll, and
// the least served port's polls against the most served one's.
void PrintPortGoals(const Result& one_port, const std::vector<Result>& slow,
                    const std::vector<Result>& full) {
  uint64_t polls = 0;
  for (const Result& port : slow) polls += port.polls;
  const double per_poll_four = static_cast<double>(slow[0].library.cpu_ns) / 1e3 / polls;
  const double per_poll_one = PerPoll(static_cast<double>(one_port.library.cpu_ns) / 1e3, one_port);
  std::printf(
      "\nfour ports at 100 ms: library %.3f %% of a core (one port: %.3f %%), %.1f us per poll "
      "(one port: %.1f), %.2f wake-ups per poll\n",
      LibraryShare(slow[0]), LibraryShare(one_port), per_poll_four, per_poll_one,
      static_cast<double>(slow[0].library.runs) / polls);
  const double growth = per_poll_one > 0 ? per_poll_four / per_poll_one : 0;
  std::printf(
      "goal, four ports: CPU grows linearly (per poll within 1.25 of one port's): %s (%.2f)\n",
      Met(growth > 0 && growth <= 1.25), growth);
  uint64_t least = UINT64_MAX, most = 0, timed_out = 0, down = 0;
  double fewest_busy = 100;
  for (const Result& port : full) {
    least = std::min(least, port.polls);
    most = std::max(most, port.polls);
    timed_out += port.errors.no_response;
    down += port.down_samples;
    fewest_busy = std::min(fewest_busy, Share(port.bus.busy_us * 1e3, port.seconds * 1e9));
  }
  const double ports_fair = most ? static_cast<double>(least) / static_cast<double>(most) : 0;
  std::printf(
      "goal, four ports at 1 ms: no port starves another, least polled port at 0.8 of most: "
      "%s (%.2f)\n",
      Met(ports_fair >= 0.8), ports_fair);
  std::printf(
      "four ports at 1 ms: busiest bus %.1f %% at the least, %llu polls timed out, %llu "
      "connections down in samples\n",
      fewest_busy, static_cast<unsigned long long>(timed_out),
      static_cast<unsigned long long>(down));
}

void PrintHeader(double seconds) {
  std::printf("bench_poll: %s, %u CPUs\n", CpuModel().c_str(), std::thread::hardware_concurrency());
  std::printf("%d devices polled with %d bytes each way at 500 kbit/s, %.0f s per part\n", kDevices,
              kIoSize, seconds);
  std::printf("bus limit: %.0f + %.0f bits per poll and response, %.1f polls/s; %.1f frames/s\n\n",
              FrameBits(kIoSize), FrameBits(kIoSize), kPollsPerSecondLimit, kFramesPerSecond);
}

// Starts the bus threads of every segment, then the library: every thread
// that appears after the card's and this one is the library's.
bool SetUp(std::vector<BusWatch>& watches, Threads& threads) {
  for (BusWatch& watch : watches) {
    if (!watch.StartBusThread()) return false;
  }
  const std::set<pid_t> card_and_bench = ThreadIds();
  threads.card_and_bench.assign(card_and_bench.begin(), card_and_bench.end());
  dnm::DeviceNet_Initial();
  if (!GoOnline(threads.receive) || !StartPolling()) return false;
  return AllConnectionsStand(DNM_CheckPollConnectionStatus, "poll");
}

// Closes the board and brings it up again at the fast rate: the seconds until
// every connection stands, -1 when they did not within 60 s.
double ColdStart(Threads& threads) {
  DNM_CloseBoard(kBoard);
  DNM_SetPollFrequency(kFastPollHz);
  const uint64_t start = MonotonicNs();
  if (!GoOnline(threads.receive) || !StartPolling()) return -1;
  const double stand_s = WaitAllUp(DNM_CheckPollConnectionStatus, 60);
  for (uint8_t mac = 1; stand_s < 0 && mac <= kDevices; ++mac) {
    const uint16_t poll = DNM_CheckPollConnectionStatus(kBoard, kPort, mac);
    if (poll != 0) std::printf("  MAC ID %u does not stand: %s\n", mac, DNM_GetErrorText(poll));
  }
  return stand_s < 0 ? -1 : static_cast<double>(MonotonicNs() - start) / 1e9;
}

// Every port of the board with its 63 devices: at 100 ms, then at 1 ms.
bool FourPorts(const Watches& watches, Threads& threads, double seconds, std::vector<Result>& slow,
               std::vector<Result>& full) {
  DNM_CloseBoard(kBoard);
  DNM_SetPollFrequency(10);
  if (!GoOnline(threads.receive, kPorts) || !StartPolling(kPorts)) return false;
  const double stand_s = WaitAllUp(DNM_CheckPollConnectionStatus, 60, kPorts);
  std::printf("\nfour ports, %d devices each: every connection stands after %.1f s\n", kDevices,
              stand_s);
  if (stand_s < 0) return false;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  slow = Measure(watches, 100, seconds, threads, false);
  DNM_SetPollFrequency(kFastPollHz);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  full = Measure(watches, 1000 / kFastPollHz, seconds, threads, false);
  return true;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  const double seconds = OptionValue(argc, argv, "--seconds", 10);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string network = WriteNetwork();
  setenv("VELKCAN_NETWORK", network.c_str(), 1);
  unsetenv("HYPERTRACE_FILE");
  PrintHeader(seconds);
  std::vector<BusWatch> watches;
  for (uint8_t port = 0; port < kPorts; ++port) watches.emplace_back(port);
  const Watches first = {&watches[0]};
  Watches all;
  for (BusWatch& watch : watches) all.push_back(&watch);
  Threads threads;
  const bool set_up = SetUp(watches, threads);
  if (!set_up) {
    std::remove(network.c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::vector<Result> parts;
  parts.push_back(Measure(first, 100, seconds, threads, false)[0]);
  for (const uint16_t hz : {50, 100}) {
    DNM_SetPollFrequency(hz);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    parts.push_back(Measure(first, 1000 / hz, seconds, threads, false)[0]);
  }
  const double cold_start_s = ColdStart(threads);
  std::printf("cold start at %u polls/s: every connection stands after %.1f s\n", kFastPollHz,
              cold_start_s);
  parts.push_back(Measure(first, 1000 / kFastPollHz, seconds, threads, true)[0]);
  PrintTable(parts);
  PrintGoals(parts, cold_start_s);
  std::vector<Result> slow, full;
  const bool four = FourPorts(all, threads, seconds, slow, full);
  std::remove(network.c_str());
  if (four) {
    PrintPorts("four ports at 100 ms (ports 1 to 4):", slow);
    PrintPorts("four ports at 1 ms (ports 1 to 4):", full);
    PrintPortGoals(parts[0], slow, full);
  }
  DNM_CloseBoard(kBoard);
  return four ? 0 : 1;
}
