// Measures change of state connections on one port: 63 simulated slaves at
// 500 kbit/s, each with a COS connection of 2 bytes of inputs and 2 bytes of
// outputs and no poll connection. A writer thread changes every slave's
// inputs every 10 ms (`--change-every-ms`), a sequence number in the two
// bytes; a reader thread reads every device's input area once per read pass
// (a pass every 1 ms, `--read-period-us`, 0 for back to back) and notes when
// each sequence number first shows. A test node notes when each one was first produced on the bus.
// Reported: inputs delivered per second against what the bus carries, the
// latency from the change to the application's first read of it, changes
// superseded (a newer one read instead) and lost (neither it nor a newer one
// read), connection sets set up again, and CPU and wake-ups of the library's
// threads, counted as in bench_poll (every thread that appears once the
// card's bus thread runs, less this benchmark's own). Goals: latency p99
// under 300 ms, no connection lost, no change lost.
//
//   bench_cos [--seconds N] [--change-every-ms N] [--read-period-us N]
//   (defaults 10, 10 and 1000)
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
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

constexpr uint16_t kIoSize = 2;
constexpr uint16_t kExpectedPacketRateMs = 2500;
constexpr uint16_t kMaxSequence = 65000;
// After the writer stops: the devices' buffers drain, the reader reads on.
constexpr double kSettleSeconds = 2;

// An input, its acknowledgement, the output answering it and the output's
// acknowledgement.
constexpr double kBitsPerInput =
    FrameBits(kIoSize) + FrameBits(0) + FrameBits(kIoSize) + FrameBits(0);
constexpr double kInputsPerSecondLimit = kBitRate / kBitsPerInput;

struct Options {
  double seconds = 10;
  std::chrono::milliseconds change_every{10};
  uint64_t read_period_us = 1000;

  static Options Parse(int argc, char** argv) {
    Options o;
    o.seconds = OptionValue(argc, argv, "--seconds", 10);
    o.change_every = std::chrono::milliseconds(std::max<int64_t>(
        1, static_cast<int64_t>(OptionValue(argc, argv, "--change-every-ms", 10))));
    o.read_period_us = static_cast<uint64_t>(OptionValue(argc, argv, "--read-period-us", 1000));
    return o;
  }
};

std::string WriteNetwork() {
  const std::string path = "/tmp/bench_cos_" + std::to_string(getpid()) + ".net";
  std::ofstream file(path);
  for (int mac = 1; mac <= kDevices; ++mac) {
    file << "slave segment=vcan0." << kCardPort << " mac=" << mac << " produced=" << kIoSize
         << " consumed=" << kIoSize << " inputs=fixed\n";
  }
  return path;
}

// When each change of one device (indexed by its sequence number, from 1)
// was written, first ended on the bus as a production, first read. 0: never.
struct DeviceLog {
  std::vector<uint64_t> written_us;
  std::vector<uint64_t> on_bus_us;
  std::vector<uint64_t> read_us;
};

struct ReadPass {
  uint64_t start_us = 0;
  uint64_t end_us = 0;
};

struct Logs {
  Logs(uint16_t changes, std::chrono::milliseconds change_every)
      : changes(changes),
        change_every(change_every),
        devices(kDevices + 1, DeviceLog{Zeros(), Zeros(), Zeros()}) {}
  std::vector<uint64_t> Zeros() const { return std::vector<uint64_t>(changes + 1u, 0); }

  uint16_t changes;  // per device
  std::chrono::milliseconds change_every;
  std::vector<DeviceLog> devices;  // by MAC ID
  std::vector<ReadPass> passes;
  uint64_t reads_backwards = 0;  // a read showed an older change than one before
};

uint16_t Sequence(const uint8_t* data) {
  return static_cast<uint16_t>(data[0] | data[1] << 8);
}

bool IsProduction(const CANMsg& frame) {
  return frame.id >= 0x340 && frame.id < 0x380 && frame.len == kIoSize;
}

// Frames of the COS connections in the measured window, by kind.
struct FrameCounts {
  uint64_t inputs = 0;       // 0x340 + M
  uint64_t input_acks = 0;   // 0x402 + 8M, empty
  uint64_t outputs = 0;      // 0x405 + 8M
  uint64_t output_acks = 0;  // 0x3C0 + M, empty

  void Add(const CANMsg& frame) {
    if (IsProduction(frame))
      ++inputs;
    else if (frame.id >= 0x3C0 && frame.id < 0x400 && frame.len == 0)
      ++output_acks;
    else if (frame.id >= 0x400 && frame.id < 0x600 && (frame.id & 7) == 2 && frame.len == 0)
      ++input_acks;
    else if (frame.id >= 0x400 && frame.id < 0x600 && (frame.id & 7) == 5)
      ++outputs;
  }
};

// A test node on the port's segment noting the first production of each
// change and counting the connections' frames in the window.
class BusWatch {
 public:
  BusWatch() : node_(VCAN_AttachNode(kBoard, kCardPort, 500)) {}

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

  void Drain(Logs& logs) {
    CANMsg frame{};
    while (VCAN_NodeReceive(node_, &frame, 0) == 0) {
      const uint64_t end = StampUs(frame);
      if (end >= window_from_us_ && end <= window_to_us_) counts_.Add(frame);
      if (IsProduction(frame)) NoteProduction(logs, frame, end);
    }
  }

  void Forget() {
    CANMsg frame{};
    while (VCAN_NodeReceive(node_, &frame, 0) == 0) {
    }
  }

  void SetWindow(uint64_t from_us, uint64_t to_us) {
    window_from_us_ = from_us;
    window_to_us_ = to_us;
  }
  const FrameCounts& counts() const { return counts_; }

 private:
  static void NoteProduction(Logs& logs, const CANMsg& frame, uint64_t end) {
    const uint16_t sequence = Sequence(frame.data);
    if (sequence == 0 || sequence > logs.changes) return;
    uint64_t& first = logs.devices[frame.id - 0x340].on_bus_us[sequence];
    if (first == 0) first = end;
  }

  int32_t node_;
  uint64_t window_from_us_ = UINT64_MAX;
  uint64_t window_to_us_ = 0;
  FrameCounts counts_;
};

void WriteInputs(Logs& logs, uint16_t sequence) {
  const uint8_t data[kIoSize] = {static_cast<uint8_t>(sequence),
                                 static_cast<uint8_t>(sequence >> 8)};
  for (uint8_t mac = 1; mac <= kDevices; ++mac) {
    logs.devices[mac].written_us[sequence] = NowUs();
    VCAN_SlaveWriteInputs(kBoard, kCardPort, mac, data, kIoSize);
  }
}

// The writer thread: every slave's inputs change every change_every.
void ChangeInputs(Logs& logs, ThreadRegistry& registry) {
  registry.AddCurrent();
  const auto start = std::chrono::steady_clock::now();
  for (uint16_t sequence = 1; sequence <= logs.changes; ++sequence) {
    std::this_thread::sleep_until(start + (sequence - 1) * logs.change_every);
    WriteInputs(logs, sequence);
  }
}

void ReadDevice(Logs& logs, uint8_t mac, uint16_t& last_seen) {
  uint8_t data[64];
  uint32_t length = 0;
  if (DNM_ReadCOSInputData(kBoard, kPort, mac, data, &length) != DNM_NoError || length < 2) return;
  const uint16_t sequence = Sequence(data);
  if (sequence == last_seen || sequence == 0 || sequence > logs.changes) return;
  if (sequence < last_seen) ++logs.reads_backwards;
  uint64_t& first = logs.devices[mac].read_us[sequence];
  if (first == 0) first = NowUs();
  last_seen = sequence;
}

// The reader thread: reads every device once per pass until stopped.
void ReadInputs(Logs& logs, uint64_t period_us, const std::atomic<bool>& stop,
                ThreadRegistry& registry) {
  registry.AddCurrent();
  std::vector<uint16_t> last_seen(kDevices + 1, 0);
  auto next = std::chrono::steady_clock::now();
  while (!stop.load()) {
    ReadPass pass{NowUs(), 0};
    for (uint8_t mac = 1; mac <= kDevices; ++mac) ReadDevice(logs, mac, last_seen[mac]);
    pass.end_us = NowUs();
    logs.passes.push_back(pass);
    if (period_us == 0) continue;
    next += std::chrono::microseconds(period_us);
    std::this_thread::sleep_until(next);
  }
}

// Counters of both ends, summed over the devices; subtracted for a window.
struct Counters {
  uint64_t productions = 0;  // the slaves' VCAN_SlaveState counters
  uint64_t repeats = 0;
  uint64_t acks_received = 0;
  uint64_t outputs_received = 0;
  uint64_t allocations = 0;        // connection sets allocated: each is one set up again
  uint64_t watchdog_expiries = 0;  // explicit and I/O connections the slaves timed out
  uint64_t send_errors = 0;        // the library's
  uint64_t ack_no_response = 0;
  uint64_t explicit_failed = 0;
  uint64_t port_overruns = 0;  // the card's receive FIFO of the port

  static Counters Now() {
    Counters c;
    for (uint8_t mac = 1; mac <= kDevices; ++mac) c.AddSlave(mac);
    c.send_errors = SumOverDevices(DNM_GetCOS_CyclicWithoutPollSendError) +
                    SumOverDevices(DNM_GetCOS_CyclicWithPollSendError);
    c.ack_no_response = SumOverDevices(DNM_GetCOS_CyclicWithoutPollACKNoResponse);
    c.explicit_failed = SumOverDevices(DNM_GetExplicitMsgNoResponse);
    VCAN_PortStats port{};
    VCAN_GetPortStats(kBoard, kCardPort, &port);
    c.port_overruns = port.overrun_drops;
    return c;
  }
  void AddSlave(uint8_t mac) {
    VCAN_SlaveState state{};
    if (VCAN_SlaveGetState(kBoard, kCardPort, mac, &state) != 0) return;
    productions += state.cos_productions;
    repeats += state.cos_repeats;
    acks_received += state.cos_acks_received;
    outputs_received += state.cos_outputs_received;
    allocations += state.requests[VCAN_SLAVE_ALLOCATE];
    watchdog_expiries += state.watchdog_expiries + state.io_watchdog_expiries;
  }
  Counters Since(const Counters& b) const {
    return {productions - b.productions,         repeats - b.repeats,
            acks_received - b.acks_received,     outputs_received - b.outputs_received,
            allocations - b.allocations,         watchdog_expiries - b.watchdog_expiries,
            send_errors - b.send_errors,         ack_no_response - b.ack_no_response,
            explicit_failed - b.explicit_failed, port_overruns - b.port_overruns};
  }
};

// What happened to the changes, all devices together.
struct Fates {
  uint64_t written = 0;
  uint64_t on_bus = 0;
  uint64_t read = 0;
  uint64_t read_not_heard = 0;  // read, yet no production of it heard (test node behind)
  uint64_t last_read = 0;       // devices whose last change was read
  uint64_t superseded = 0;      // not read, a newer change of the device read instead
  uint64_t lost = 0;            // neither it nor a newer change of the device read
  std::vector<double> change_to_read_ms;
  std::vector<double> change_to_view_ms;  // to the first read of it or of a newer one
  std::vector<double> change_to_bus_ms;
  std::vector<double> bus_to_read_ms;
  double lowest_read_share = 101, highest_read_share = -1;
  int lowest_mac = 0, highest_mac = 0;
};

void AddTimes(const DeviceLog& log, uint16_t s, Fates& fates) {
  const auto ms = [](uint64_t from, uint64_t to) {
    return (static_cast<double>(to) - from) / 1000.0;
  };
  fates.change_to_read_ms.push_back(ms(log.written_us[s], log.read_us[s]));
  if (log.on_bus_us[s] == 0) return;
  fates.change_to_bus_ms.push_back(ms(log.written_us[s], log.on_bus_us[s]));
  fates.bus_to_read_ms.push_back(ms(log.on_bus_us[s], log.read_us[s]));
}

// Goes back from the last change: a change not read is superseded when a
// newer one was read, else lost.
void JudgeUnread(const Logs& logs, const DeviceLog& log, Fates& fates) {
  uint64_t first_view = 0;  // the first read of this change or a newer one
  for (uint16_t s = logs.changes; s >= 1; --s) {
    if (log.read_us[s] != 0 && (first_view == 0 || log.read_us[s] < first_view)) {
      first_view = log.read_us[s];
    }
    if (log.written_us[s] == 0) continue;
    if (first_view == 0) {
      ++fates.lost;
      continue;
    }
    fates.superseded += log.read_us[s] == 0;
    fates.change_to_view_ms.push_back(static_cast<double>(first_view - log.written_us[s]) / 1e3);
  }
}

void JudgeDevice(const Logs& logs, int mac, Fates& fates) {
  const DeviceLog& log = logs.devices[mac];
  uint64_t read = 0;
  for (uint16_t s = 1; s <= logs.changes; ++s) {
    if (log.written_us[s] == 0) continue;
    ++fates.written;
    fates.on_bus += log.on_bus_us[s] != 0;
    if (log.read_us[s] != 0) {
      ++read;
      fates.read_not_heard += log.on_bus_us[s] == 0;
      AddTimes(log, s, fates);
    }
  }
  fates.read += read;
  JudgeUnread(logs, log, fates);
  fates.last_read += log.read_us[logs.changes] != 0;
  const double share = Share(static_cast<double>(read), logs.changes);
  if (share < fates.lowest_read_share) fates.lowest_read_share = share, fates.lowest_mac = mac;
  if (share > fates.highest_read_share) fates.highest_read_share = share, fates.highest_mac = mac;
}

Fates Judge(const Logs& logs) {
  Fates fates;
  for (int mac = 1; mac <= kDevices; ++mac) JudgeDevice(logs, mac, fates);
  return fates;
}

struct Threads {
  std::vector<pid_t> card_and_bench;  // alive before the library started
  ThreadRegistry bench;               // started by the benchmark later
  std::vector<pid_t> NotLibrary() const {
    std::vector<pid_t> ids = card_and_bench;
    for (pid_t id : bench.Ids()) ids.push_back(id);
    return ids;
  }
};

struct Result {
  double seconds = 0;
  double read_pass_median_us = 0;
  size_t read_passes = 0;
  FrameCounts frames;
  VCAN_SegmentStats bus{};
  Counters counters;
  Counters counters_with_settle;
  Fates fates;
  uint64_t reads_backwards = 0;
  ThreadTimes library;
  size_t library_threads = 0;
  int connected_at_end = 0;
};

struct Window {
  uint64_t from_us = 0;
  uint64_t to_us = 0;
  CpuSnapshot before;
  CpuSnapshot after;
  Counters counters_before;
};

void DrainWhile(BusWatch& watch, Logs& logs, const std::function<bool()>& running) {
  while (running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    watch.Drain(logs);
  }
  watch.Drain(logs);
}

// Runs the writer for the whole window, then lets the last changes settle.
Window ChangeAndRead(BusWatch& watch, Logs& logs, Threads& threads, uint64_t read_period_us,
                     Result& result) {
  std::atomic<bool> stop_reading{false}, writing{true};
  std::thread reader(ReadInputs, std::ref(logs), read_period_us, std::cref(stop_reading),
                     std::ref(threads.bench));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  watch.Forget();
  Window w;
  VCAN_ResetSegmentStats(kBoard, kCardPort);
  w.counters_before = Counters::Now();
  w.from_us = NowUs();
  w.before = CpuSnapshot::Take();
  watch.SetWindow(w.from_us, UINT64_MAX);
  std::thread writer([&] {
    ChangeInputs(logs, threads.bench);
    writing = false;
  });
  DrainWhile(watch, logs, [&] { return writing.load(); });
  w.after = CpuSnapshot::Take();
  w.to_us = NowUs();
  watch.SetWindow(w.from_us, w.to_us);
  VCAN_GetSegmentStats(kBoard, kCardPort, &result.bus);
  result.counters = Counters::Now().Since(w.counters_before);
  const uint64_t settle_until = NowUs() + static_cast<uint64_t>(kSettleSeconds * 1e6);
  DrainWhile(watch, logs, [&] { return NowUs() < settle_until; });
  result.counters_with_settle = Counters::Now().Since(w.counters_before);
  stop_reading = true;
  writer.join();
  reader.join();
  return w;
}

double ReadPassMedianUs(const std::vector<ReadPass>& passes) {
  std::vector<double> lengths;
  for (const ReadPass& p : passes) lengths.push_back(static_cast<double>(p.end_us - p.start_us));
  return Percentile(lengths, 0.5);
}

Result Measure(BusWatch& watch, Threads& threads, const Options& options) {
  const double per_device =
      options.seconds * 1000 / static_cast<double>(options.change_every.count());
  Logs logs(static_cast<uint16_t>(std::min<double>(per_device, kMaxSequence)),
            options.change_every);
  Result result;
  const Window w = ChangeAndRead(watch, logs, threads, options.read_period_us, result);
  result.seconds = static_cast<double>(w.to_us - w.from_us) / 1e6;
  result.frames = watch.counts();
  result.fates = Judge(logs);
  result.reads_backwards = logs.reads_backwards;
  result.read_passes = logs.passes.size();
  result.read_pass_median_us = ReadPassMedianUs(logs.passes);
  const std::vector<pid_t> not_library = threads.NotLibrary();
  result.library = w.after.UsedByAllBut(w.before, not_library);
  result.library_threads = w.after.threads.size() - not_library.size();
  result.connected_at_end = DevicesUp(DNM_CheckCOSConnectionStatus);
  return result;
}

using Row = std::pair<const char*, std::string>;

std::vector<Row> TrafficRows(const Result& r) {
  const double s = r.seconds;
  const Fates& f = r.fates;
  return {
      {"measured window (s)", Format("%.2f", s)},
      {"changes written/s, all devices", Format("%.1f", f.written / s)},
      {"inputs on the bus/s (0x340 + MAC ID)", Format("%.1f", r.frames.inputs / s)},
      {"inputs/s / bus limit",
       Format("%.1f %%", Share(r.frames.inputs / s, kInputsPerSecondLimit))},
      {"input acknowledgements on the bus/s", Format("%.1f", r.frames.input_acks / s)},
      {"outputs on the bus/s", Format("%.1f", r.frames.outputs / s)},
      {"output acknowledgements on the bus/s", Format("%.1f", r.frames.output_acks / s)},
      {"slaves: productions/s (cos_productions)", Format("%.1f", r.counters.productions / s)},
      {"slaves: repeats (cos_repeats)", Format("%.0f", r.counters.repeats)},
      {"slaves: acknowledgements taken/s", Format("%.1f", r.counters.acks_received / s)},
      {"slaves: outputs taken/s", Format("%.1f", r.counters.outputs_received / s)},
      {"bus load (busy time / window)", Format("%.1f %%", Share(r.bus.busy_us / 1e6, s))},
      {"frames on the bus/s", Format("%.1f", r.bus.frames / s)},
  };
}

std::vector<Row> FateRows(const Result& r) {
  const Fates& f = r.fates;
  const double written = static_cast<double>(f.written);
  return {
      {"changes written", Format("%.0f", written)},
      {"changes produced on the bus", Format("%.1f %%", Share(f.on_bus, written))},
      {"changes read by the application", Format("%.1f %%", Share(f.read, written))},
      {"  lowest share read by one device", Format("%.1f %%", f.lowest_read_share)},
      {"  ... its MAC ID", Format("%.0f", f.lowest_mac)},
      {"  highest share read by one device", Format("%.1f %%", f.highest_read_share)},
      {"  ... its MAC ID", Format("%.0f", f.highest_mac)},
      {"changes on the bus, never read", Format("%.0f", f.on_bus - f.read)},
      {"changes superseded (a newer one read instead)",
       Format("%.1f %%", Share(f.superseded, written))},
      {"changes lost (neither it nor a newer one read)", Format("%.0f", f.lost)},
      {"devices whose last change was read", Format("%.0f", f.last_read)},
      {"read, but no production heard", Format("%.0f", f.read_not_heard)},
      {"reads that went back to an older change", Format("%.0f", r.reads_backwards)},
      {"latency change -> read, median (ms)", Format("%.2f", Percentile(f.change_to_read_ms, 0.5))},
      {"latency change -> read, p99 (ms)", Format("%.2f", Percentile(f.change_to_read_ms, 0.99))},
      {"latency change -> read, max (ms)", Format("%.2f", Percentile(f.change_to_read_ms, 1.0))},
      {"change -> read of it or a newer one, median (ms)",
       Format("%.2f", Percentile(f.change_to_view_ms, 0.5))},
      {"change -> read of it or a newer one, p99 (ms)",
       Format("%.2f", Percentile(f.change_to_view_ms, 0.99))},
      {"  of it change -> end on the bus, median (ms)",
       Format("%.2f", Percentile(f.change_to_bus_ms, 0.5))},
      {"  of it change -> end on the bus, p99 (ms)",
       Format("%.2f", Percentile(f.change_to_bus_ms, 0.99))},
      {"  of it bus -> read, median (ms)", Format("%.2f", Percentile(f.bus_to_read_ms, 0.5))},
      {"  of it bus -> read, p99 (ms)", Format("%.2f", Percentile(f.bus_to_read_ms, 0.99))},
      {"read passes, median length (us)", Format("%.0f", r.read_pass_median_us)},
      {"read passes/s", Format("%.0f", r.read_passes / (r.seconds + kSettleSeconds))},
  };
}

std::vector<Row> HealthRows(const Result& r) {
  const double s = r.seconds;
  const double library_ns = static_cast<double>(r.library.cpu_ns);
  return {
      {"connection sets set up again (allocations)",
       Format("%.0f", r.counters_with_settle.allocations)},
      {"  slaves: connections timed out (watchdog)",
       Format("%.0f", r.counters_with_settle.watchdog_expiries)},
      {"library: COS send errors (outputs, acks)", Format("%.0f", r.counters.send_errors)},
      {"library: output acknowledgements missed", Format("%.0f", r.counters.ack_no_response)},
      {"explicit requests unanswered or not sent", Format("%.0f", r.counters.explicit_failed)},
      {"port receive FIFO overruns", Format("%.0f", r.counters.port_overruns)},
      {"COS connections established at the end", Format("%.0f", r.connected_at_end)},
      {"library threads counted", Format("%.0f", r.library_threads)},
      {"library CPU (% of one core)", Format("%.2f %%", Share(library_ns, s * 1e9))},
      {"library wake-ups/s", Format("%.0f", r.library.runs / s)},
      {"library CPU per input on the bus (us)",
       Format("%.1f", r.frames.inputs ? library_ns / 1e3 / r.frames.inputs : 0)},
  };
}

void PrintGoals(const Result& r) {
  const Fates& f = r.fates;
  const double p99 = Percentile(f.change_to_read_ms, 0.99);
  const auto set_up_again = static_cast<unsigned long long>(r.counters_with_settle.allocations);
  const int down = kDevices - r.connected_at_end;
  std::printf("\ngoal latency change -> read p99 under 300 ms: %s (%.1f ms)\n",
              p99 < 300 ? "met" : "NOT met", p99);
  std::printf(
      "goal no connection lost: %s (%llu connection sets set up again, %d down at the end)\n",
      set_up_again == 0 && down == 0 ? "met" : "NOT met", set_up_again, down);
  std::printf(
      "goal no change lost: %s (%llu lost; %.1f %% superseded by a newer one read instead)\n",
      f.lost == 0 ? "met" : "NOT met", static_cast<unsigned long long>(f.lost),
      Share(static_cast<double>(f.superseded), static_cast<double>(f.written)));
}

void PrintRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) std::printf("  %-48s %14s\n", row.first, row.second.c_str());
}

void PrintHeader(const Options& options) {
  std::printf("bench_cos: %s, %u CPUs\n", CpuModel().c_str(), std::thread::hardware_concurrency());
  std::printf(
      "%d COS devices, %d bytes each way, no poll, at 500 kbit/s; inputs change every "
      "%lld ms for %.0f s; read pass every %llu us\n",
      kDevices, kIoSize, static_cast<long long>(options.change_every.count()), options.seconds,
      static_cast<unsigned long long>(options.read_period_us));
  std::printf(
      "bus limit: %.0f + %.0f + %.0f + %.0f bits per input, acknowledgement, output and "
      "its acknowledgement: %.1f inputs/s\n\n",
      FrameBits(kIoSize), FrameBits(0), FrameBits(kIoSize), FrameBits(0), kInputsPerSecondLimit);
}

bool StartCos() {
  for (uint8_t mac = 1; mac <= kDevices; ++mac) {
    if (DNM_AddDevice(kBoard, kPort, mac, 0) != 0) return false;
    if (DNM_ConfigCOS(kBoard, kPort, mac, kIoSize, kIoSize, 0, kExpectedPacketRateMs, 0) != 0)
      return false;
  }
  return DNM_StartCommunicate(kBoard, kPort) == 0;
}

// Starts the bus thread, then the library: every thread that appears after
// the card's (its bus thread runs by then) and this one is the library's,
// but for those the benchmark starts and registers.
bool SetUp(BusWatch& watch, Threads& threads) {
  if (!watch.StartBusThread()) return false;
  const std::set<pid_t> card_and_bench = ThreadIds();
  threads.card_and_bench.assign(card_and_bench.begin(), card_and_bench.end());
  dnm::DeviceNet_Initial();
  if (DNM_ActiveBoard(kBoard) != 0) return false;
  if (DNM_Online(kBoard, kPort, kBaud500k, kMasterMac) != 0 || !StartCos()) return false;
  return AllConnectionsStand(DNM_CheckCOSConnectionStatus, "COS");
}

void TearDown() {
  std::printf("\nall COS connections stand again after: %.1f s\n",
              WaitAllUp(DNM_CheckCOSConnectionStatus, 60));
  DNM_CloseBoard(kBoard);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  const Options options = Options::Parse(argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string network = WriteNetwork();
  setenv("VELKCAN_NETWORK", network.c_str(), 1);
  unsetenv("HYPERTRACE_FILE");
  PrintHeader(options);
  BusWatch watch;
  Threads threads;
  const bool set_up = SetUp(watch, threads);
  std::remove(network.c_str());
  if (!set_up) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Result result = Measure(watch, threads, options);
  PrintRows(TrafficRows(result));
  std::printf("\n");
  PrintRows(FateRows(result));
  std::printf("\n");
  PrintRows(HealthRows(result));
  PrintGoals(result);
  TearDown();
  return 0;
}
