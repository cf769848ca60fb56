// Measures the poll connections of one port: 63 simulated slaves at
// 500 kbit/s, each polled with 8 bytes of outputs for 8 bytes of inputs.
// (a) At the default poll period (100 ms): CPU and wake-ups of the
//     library's threads, and the period each device is polled at, taken
//     from the ends of the poll commands on the bus.
// (b), (c) At 50 and 100 polls per second and device: connections down.
// (d) From a cold start at 1000 polls per second (a period of 1 ms, more than
//     the bus carries): the time until every connection stands, then bus
//     load, polls per second against what the bus can carry, polls that went
//     unanswered, connections down, and attribute reads served meanwhile.
// The library's threads are told apart by their ids: those that appear once
// the card's bus thread runs (the port's receive threads, the devices'
// explicit and poll workers). The card's threads and the benchmark's, which
// reads the bus through a test node, are not counted.
//
//   bench_poll [--seconds N]   (length of each part, default 10; the goals ask for 30)
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

std::string WriteNetwork() {
  const std::string path = "/tmp/bench_poll_" + std::to_string(getpid()) + ".net";
  std::ofstream file(path);
  if (const char* capture = getenv("BENCH_CAPTURE")) file << "segment vcan0.1 capture=" << capture << "\n";
  for (int mac = 1; mac <= kDevices; ++mac) {
    file << "slave segment=vcan0." << kCardPort << " mac=" << mac << " produced=" << kIoSize
         << " consumed=" << kIoSize << "\n";
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

// A test node on the port's segment that notes when each poll command ended
// on the bus.
class BusWatch {
 public:
  BusWatch() : node_(VCAN_AttachNode(kBoard, kCardPort, 500)), ends_(64) {}

  // Sends one frame, so that the segment's bus thread runs from now on.
  bool StartBusThread() {
    CANMsg hello{};
    hello.id = 0x7F0;
    if (node_ <= 0 || VCAN_NodeSend(node_, &hello, 1000) != 0) return false;
    VCAN_SegmentStats stats{};
    for (int i = 0; i < 100 && stats.frames == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      VCAN_GetSegmentStats(kBoard, kCardPort, &stats);
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
  int32_t node_;
  std::vector<std::vector<uint64_t>> ends_;  // by MAC ID
};

// Brings the port online; the threads that appear are its receive threads.
bool GoOnline(std::vector<pid_t>& receive_threads) {
  const std::set<pid_t> before = ThreadIds();
  if (DNM_ActiveBoard(kBoard) != 0) return false;
  if (DNM_Online(kBoard, kPort, kBaud500k, kMasterMac) != 0) return false;
  receive_threads = NewThreads(before);
  return true;
}

bool StartPolling() {
  for (uint8_t mac = 1; mac <= kDevices; ++mac) {
    if (DNM_AddDevice(kBoard, kPort, mac, 0) != 0) return false;
    if (DNM_ConfigPoll(kBoard, kPort, mac, kIoSize, kIoSize, 0, 0) != 0) return false;
  }
  return DNM_StartCommunicate(kBoard, kPort) == 0;
}

struct Errors {
  uint64_t no_response = 0;
  uint64_t error_response = 0;
  uint64_t send_error = 0;
  uint64_t explicit_failed = 0;  // explicit requests unanswered or not sent

  static Errors Now() {
    return {SumOverDevices(DNM_GetPollNoResponse), SumOverDevices(DNM_GetPollErrorResponse),
            SumOverDevices(DNM_GetPollSendError), SumOverDevices(DNM_GetExplicitMsgNoResponse)};
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

// Samples of the connections that stand while a window runs.
struct Standing {
  uint64_t down_samples = 0;
  int fewest_up = kDevices;
  void Look() {
    const int up = DevicesUp(DNM_CheckPollConnectionStatus);
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

void WatchFor(BusWatch& watch, double seconds, Standing& standing) {
  const uint64_t until = MonotonicNs() + static_cast<uint64_t>(seconds * 1e9);
  while (MonotonicNs() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    watch.Drain();
    standing.Look();
  }
}

// The library's threads are all those that are not the card's nor the
// benchmark's, i.e. not alive before the library started.
struct Threads {
  std::vector<pid_t> card_and_bench;
  std::vector<pid_t> receive;
};

struct Window {
  uint64_t from_us = 0;
  uint64_t to_us = 0;
  CpuSnapshot before;
  CpuSnapshot after;
  VCAN_SegmentStats bus{};
  Errors errors;
  Standing standing;
};

Window Observe(BusWatch& watch, double seconds) {
  Window window;
  watch.Forget();
  const Errors errors_before = Errors::Now();
  VCAN_ResetSegmentStats(kBoard, kCardPort);
  window.from_us = NowUs();
  window.before = CpuSnapshot::Take();
  WatchFor(watch, seconds, window.standing);
  window.after = CpuSnapshot::Take();
  VCAN_GetSegmentStats(kBoard, kCardPort, &window.bus);
  window.to_us = NowUs();
  window.errors = Errors::Now().Since(errors_before);
  watch.Drain();
  return window;
}

Result Measure(BusWatch& watch, uint32_t period_ms, double seconds, const Threads& threads,
               bool read_attributes) {
  std::optional<AttributeReader> reader;
  if (read_attributes) reader.emplace();
  const Window w = Observe(watch, seconds);
  Result result;
  if (reader) {
    result.attribute_reads = reader->reads();
    result.attribute_failed = reader->failed();
    result.attribute_max_ms = reader->max_ms();
  }
  result.down_samples = w.standing.down_samples;
  result.fewest_up = w.standing.fewest_up;
  result.period_ms = period_ms;
  result.seconds = static_cast<double>(w.to_us - w.from_us) / 1e6;
  result.bus = w.bus;
  result.errors = w.errors;
  AddPeriods(watch, w.from_us, w.to_us, result);
  result.library = w.after.UsedByAllBut(w.before, threads.card_and_bench);
  result.receive = w.after.UsedBy(w.before, threads.receive);
  result.library_threads = w.after.threads.size() - threads.card_and_bench.size();
  result.process_ns = w.after.process_ns - w.before.process_ns;
  result.polling_at_end = DevicesUp(DNM_CheckPollConnectionStatus);
  return result;
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
      {"attribute reads served, failed", Format("%.0f", r.attribute_reads) + ", " +
                                             Format("%.0f", r.attribute_failed)},
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
  std::printf("%-50s %12s %12s %12s %12s\n", "", "(a) 10/s", "(b) 50/s", "(c) 100/s",
              "(d) 1000/s");
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

void PrintGoals(const std::vector<Result>& parts, double cold_start_s) {
  const Result& slow = parts[0];
  const Result& full = parts[3];
  const double library_share = Share(static_cast<double>(slow.library.cpu_ns), slow.seconds * 1e9);
  const double bus_share = Share(full.bus.busy_us * 1e3, full.seconds * 1e9);
  std::printf("\ngoal (a) library under 1 %% of a core: %s (%.3f %%)\n", Met(library_share < 1.0),
              library_share);
  for (size_t i = 1; i < 3; ++i) {
    std::printf("goal (%c) no connection down: %s (%llu down in samples)\n", 'a' + int(i),
                Met(parts[i].down_samples == 0),
                static_cast<unsigned long long>(parts[i].down_samples));
  }
  std::printf("goal (d) all 63 connections stand within 20 s of a cold start: %s (%.1f s)\n",
              Met(cold_start_s >= 0 && cold_start_s <= 20), cold_start_s);
  std::printf("goal (d) no poll timed out, no connection down: %s (%llu, %llu)\n",
              Met(full.errors.no_response == 0 && full.down_samples == 0),
              static_cast<unsigned long long>(full.errors.no_response),
              static_cast<unsigned long long>(full.down_samples));
  std::printf("goal (d) every attribute read served within 1.5 s: %s (%llu failed, slowest %.0f ms)\n",
              Met(full.attribute_failed == 0 && full.attribute_max_ms <= 1500),
              static_cast<unsigned long long>(full.attribute_failed), full.attribute_max_ms);
  std::printf("goal (d) bus over 90 %% busy: %s (%.1f %%)\n", Met(bus_share > 90.0), bus_share);
  std::printf("goal (d) every device polled at about the same rate, least at 0.8 of most: %s (%.2f)\n",
              Met(full.fairness >= 0.8), full.fairness);
}

void PrintHeader(double seconds) {
  std::printf("bench_poll: %s, %u CPUs\n", CpuModel().c_str(), std::thread::hardware_concurrency());
  std::printf("%d devices polled with %d bytes each way at 500 kbit/s, %.0f s per part\n", kDevices,
              kIoSize, seconds);
  std::printf("bus limit: %.0f + %.0f bits per poll and response, %.1f polls/s; %.1f frames/s\n\n",
              FrameBits(kIoSize), FrameBits(kIoSize), kPollsPerSecondLimit, kFramesPerSecond);
}

// Starts the bus thread, then the library: every thread that appears after
// the card's (its bus thread runs by then) and this one is the library's.
bool SetUp(BusWatch& watch, Threads& threads) {
  if (!watch.StartBusThread()) return false;
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
  BusWatch watch;
  Threads threads;
  const bool set_up = SetUp(watch, threads);
  std::remove(network.c_str());
  if (!set_up) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::vector<Result> parts;
  parts.push_back(Measure(watch, 100, seconds, threads, false));
  for (const uint16_t hz : {50, 100}) {
    DNM_SetPollFrequency(hz);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    parts.push_back(Measure(watch, 1000 / hz, seconds, threads, false));
  }
  const double cold_start_s = ColdStart(threads);
  std::printf("cold start at %u polls/s: every connection stands after %.1f s\n", kFastPollHz,
              cold_start_s);
  parts.push_back(Measure(watch, 1000 / kFastPollHz, seconds, threads, true));
  PrintTable(parts);
  PrintGoals(parts, cold_start_s);
  DNM_CloseBoard(kBoard);
  return 0;
}
