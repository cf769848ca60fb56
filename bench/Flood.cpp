#include "Flood.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "HyperTrace.h"
#include "VELKCAN.h"
#include "platform/Platform.h"
#include "port/CANPort.h"
#include "port/MapTable.h"
#include "port/MsgBuffer.h"
#include "vcan_test.h"

namespace bench {
namespace {

// Poll responses of MAC IDs 1 to 8; the senders cycle through them, so
// arbitration mixes the senders' frames.
constexpr std::array<uint32_t, 8> kIds = {0x3C1, 0x3C2, 0x3C3, 0x3C4, 0x3C5, 0x3C6, 0x3C7, 0x3C8};
constexpr uint8_t kMark0 = 0x5A;
constexpr uint8_t kMark1 = 0xA5;
constexpr uint32_t kSendTimeoutMs = 20;
constexpr int32_t kQueueStillFull = 16;
constexpr uint32_t kPollMs = 5;
constexpr int kLogFrames = 256;
constexpr double kWarmUpSeconds = 0.5;
constexpr uint32_t kDrainMs = 2000;

// Data: sender, sequence number (4 bytes, low first), port, two marker bytes.
CANMsg MakeFrame(uint8_t port, uint8_t sender, uint32_t seq) {
  CANMsg msg{};
  msg.id = kIds[(seq + sender * 3u) % kIds.size()];
  msg.len = 8;
  msg.data[0] = sender;
  std::memcpy(&msg.data[1], &seq, sizeof seq);
  msg.data[5] = port;
  msg.data[6] = kMark0;
  msg.data[7] = kMark1;
  return msg;
}

bool IsBenchFrame(const CANMsg& msg) {
  return msg.len == 8 && msg.data[6] == kMark0 && msg.data[7] == kMark1;
}

uint32_t SeqOf(const CANMsg& msg) {
  uint32_t seq = 0;
  std::memcpy(&seq, &msg.data[1], sizeof seq);
  return seq;
}

// One number per frame of the run: port, sender and sequence number.
uint64_t KeyOf(const CANMsg& msg) {
  return uint64_t{msg.data[5]} << 40 | uint64_t{msg.data[0]} << 32 | SeqOf(msg);
}

uint64_t StampOf(const CANMsg& msg) {
  uint64_t stamp = 0;
  std::memcpy(&stamp, msg.stamp, sizeof stamp);
  return stamp;
}

struct Arrival {
  uint64_t key;
  uint64_t ns;  // CLOCK_MONOTONIC when the consumer took the frame
};

struct BusEnd {
  uint64_t key;
  uint64_t us;  // CLOCK_MONOTONIC of the frame's end on the bus
};

void SendBackToBack(int32_t node, uint8_t port, uint8_t sender, const std::atomic<bool>& stop,
                    std::atomic<uint64_t>& sent) {
  for (uint32_t seq = 0; !stop.load();) {
    const CANMsg msg = MakeFrame(port, sender, seq);
    const int32_t result = VCAN_NodeSend(node, &msg, kSendTimeoutMs);
    if (result == 0) {
      ++seq;
      sent.fetch_add(1);
    } else if (result != kQueueStillFull) {
      return;
    }
  }
}

// Takes every frame out of a port buffer as it arrives and notes when.
class Consumer {
 public:
  explicit Consumer(dnm::MsgBuffer& buffer) : buffer_(buffer) {}

  void Run() {
    while (!stop_.Raised()) {
      if (buffer_.WaitForData(50, &stop_) > 0) TakeAll();
    }
  }
  void Stop() {
    stop_.Raise();
    buffer_.WakeWaiters();
  }
  uint64_t taken() const { return taken_.load(); }
  // Read after the consumer's thread was joined.
  const std::vector<Arrival>& arrivals() const { return arrivals_; }

 private:
  // The buffer hands out the oldest frame of one identifier at a time.
  void TakeAll() {
    CANMsg msg{};
    for (uint32_t id : kIds) {
      while (buffer_.GetMsg(msg, id) == 0) Record(msg);
    }
  }

  void Record(const CANMsg& msg) {
    const uint64_t now = MonotonicNs();
    taken_.fetch_add(1);
    if (IsBenchFrame(msg)) arrivals_.push_back(Arrival{KeyOf(msg), now});
  }

  dnm::MsgBuffer& buffer_;
  dnm::platform::StopSignal stop_;
  std::atomic<uint64_t> taken_{0};
  std::vector<Arrival> arrivals_;
};

// A test node on the same segment that hears the same frames straight from
// the card: the latency of the card's own delivery, for reference.
class Probe {
 public:
  explicit Probe(int32_t node) : node_(node) {
    CANMsg old{};
    while (VCAN_NodeReceive(node_, &old, 0) == 0) {
    }
  }

  void Run() {
    CANMsg msg{};
    while (!stop_.load()) {
      if (VCAN_NodeReceive(node_, &msg, 50) != 0) continue;
      if (IsBenchFrame(msg)) arrivals_.push_back(Arrival{KeyOf(msg), MonotonicNs()});
    }
  }
  void Stop() { stop_ = true; }
  // Read after the probe's thread was joined.
  const std::vector<Arrival>& arrivals() const { return arrivals_; }

 private:
  const int32_t node_;
  std::atomic<bool> stop_{false};
  std::vector<Arrival> arrivals_;
};

// Reads the segments' logs of recent frames often enough that no frame is
// missed, and keeps each frame's end-of-frame time.
class LogPoller {
 public:
  explicit LogPoller(std::vector<uint8_t> ports)
      : ports_(std::move(ports)), last_(ports_.size(), 0), log_(kLogFrames) {}

  void Run() {
    do {
      PollAll();
    } while (!stop_.SleepFor(kPollMs));
    PollAll();  // the frames of the last interval
  }
  void Stop() { stop_.Raise(); }
  const std::vector<BusEnd>& ends() const { return ends_; }

 private:
  void PollAll() {
    for (size_t i = 0; i < ports_.size(); ++i) Poll(i);
  }

  // End times on one segment only grow: frames newer than the last seen are new.
  void Poll(size_t i) {
    const int32_t count = VCAN_RecentFrames(0, ports_[i] + 1, log_.data(), kLogFrames);
    for (int32_t f = 0; f < count; ++f) {
      const CANMsg& msg = log_[f].msg;
      if (StampOf(msg) <= last_[i]) continue;
      last_[i] = StampOf(msg);
      if (IsBenchFrame(msg)) ends_.push_back(BusEnd{KeyOf(msg), StampOf(msg)});
    }
  }

  std::vector<uint8_t> ports_;
  std::vector<uint64_t> last_;
  std::vector<VCAN_Frame> log_;
  std::vector<BusEnd> ends_;
  dnm::platform::StopSignal stop_;
};

// The receive threads trace every frame they route, under ReceiveLock: per
// port and sender, the sequence numbers in the kept lines must only grow,
// since one node's frames cross the bus in the order it queued them.
void CheckRoutingOrder(FloodResult& result) {
  std::map<uint64_t, int64_t> last_seq;  // port and sender
  std::string line;
  for (int i = 0; i < HyperTraceTest_LineCount(); ++i) {
    line.resize(static_cast<size_t>(std::max(HyperTraceTest_GetLine(i, nullptr, 0), 0)) + 1);
    HyperTraceTest_GetLine(i, line.data(), static_cast<int>(line.size()));
    const size_t at = line.find("Data: ");
    if (line.find("Thre Message") == std::string::npos || at == std::string::npos) continue;
    CANMsg msg{};
    msg.len = 8;
    unsigned d[8] = {};
    if (std::sscanf(line.c_str() + at, "Data: %X %X %X %X %X %X %X %X", &d[0], &d[1], &d[2], &d[3],
                    &d[4], &d[5], &d[6], &d[7]) != 8) {
      continue;
    }
    for (int b = 0; b < 8; ++b) msg.data[b] = static_cast<uint8_t>(d[b]);
    if (!IsBenchFrame(msg)) continue;
    ++result.order_checked;
    int64_t& last = last_seq.try_emplace(KeyOf(msg) >> 32, -1).first->second;
    if (static_cast<int64_t>(SeqOf(msg)) <= last) ++result.out_of_order;
    last = SeqOf(msg);
  }
}

using EndTimes = std::unordered_map<uint64_t, uint64_t>;

Latencies ComputeLatencies(const EndTimes& end_us,
                           const std::vector<const std::vector<Arrival>*>& arrivals) {
  std::vector<double> samples;
  for (const std::vector<Arrival>* of_one_reader : arrivals) {
    for (const Arrival& arrival : *of_one_reader) {
      const auto found = end_us.find(arrival.key);
      if (found == end_us.end()) continue;
      samples.push_back(static_cast<double>(arrival.ns) / 1000.0 -
                        static_cast<double>(found->second));
    }
  }
  Latencies result;
  result.samples = samples.size();
  if (samples.empty()) return result;
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) { return samples[static_cast<size_t>(q * (samples.size() - 1))]; };
  result.p50_us = at(0.50);
  result.p99_us = at(0.99);
  result.max_us = samples.back();
  return result;
}

// Counters of all flooded ports at one moment.
struct Window {
  CpuSnapshot cpu;
  uint64_t routed = 0;
  uint64_t bus_frames = 0;
  uint64_t busy_us = 0;
};

class FloodRun {
 public:
  explicit FloodRun(const std::vector<PortRig>& rigs) : rigs_(rigs) {
    std::vector<uint8_t> ports;
    for (const PortRig& rig : rigs_) {
      ports.push_back(rig.port);
      consumers_.push_back(std::make_unique<Consumer>(rig.can_port->port_buffer()));
      probes_.push_back(std::make_unique<Probe>(rig.probe));
      overruns_before_ += OverrunDrops(rig);
      rig.can_port->port_buffer().ClearBuffer();
    }
    poller_ = std::make_unique<LogPoller>(ports);
  }

  void Start() {
    StartThread([this] { poller_->Run(); });
    for (auto& consumer : consumers_) StartThread([c = consumer.get()] { c->Run(); });
    for (auto& probe : probes_) StartThread([p = probe.get()] { p->Run(); });
    for (const PortRig& rig : rigs_) StartSenders(rig);
  }

  Window Measure() const {
    Window window{CpuSnapshot::Take()};
    for (const auto& consumer : consumers_) window.routed += consumer->taken();
    for (const PortRig& rig : rigs_) {
      VCAN_SegmentStats stats{};
      VCAN_GetSegmentStats(0, rig.port + 1, &stats);
      window.bus_frames += stats.frames;
      window.busy_us += stats.busy_us;
    }
    return window;
  }

  // Stops the senders, lets the bus carry what they queued and the
  // consumers take it (or gives up after kDrainMs when frames were lost).
  void StopSendersAndDrain() {
    stop_senders_ = true;
    for (auto& sender : senders_) sender.join();
    dnm::platform::StopSignal never;
    for (uint32_t waited = 0; Taken() < sent_.load() && waited < kDrainMs; waited += 10) {
      never.SleepFor(10);
    }
  }

  void StopReaders() {
    poller_->Stop();
    for (auto& consumer : consumers_) consumer->Stop();
    for (auto& probe : probes_) probe->Stop();
    for (auto& reader : readers_) reader.join();
  }

  FloodResult Result(const Window& before, const Window& after) const;

 private:
  template <typename Body>
  void StartThread(Body body) {
    readers_.emplace_back([this, body] {
      registry_.AddCurrent();
      body();
    });
  }

  void StartSenders(const PortRig& rig) {
    for (size_t s = 0; s < rig.nodes.size(); ++s) {
      senders_.emplace_back([this, node = rig.nodes[s], port = rig.port, s] {
        registry_.AddCurrent();
        SendBackToBack(node, port, static_cast<uint8_t>(s), stop_senders_, sent_);
      });
    }
  }

  static uint64_t OverrunDrops(const PortRig& rig) {
    VCAN_PortStats stats{};
    VCAN_GetPortStats(0, rig.port + 1, &stats);
    return stats.overrun_drops;
  }

  uint64_t Taken() const {
    uint64_t taken = 0;
    for (const auto& consumer : consumers_) taken += consumer->taken();
    return taken;
  }

  std::vector<pid_t> ReceiveThreads() const {
    std::vector<pid_t> tids;
    for (const PortRig& rig : rigs_)
      tids.insert(tids.end(), rig.rx_threads.begin(), rig.rx_threads.end());
    return tids;
  }

  const std::vector<PortRig>& rigs_;
  std::vector<std::unique_ptr<Consumer>> consumers_;
  std::vector<std::unique_ptr<Probe>> probes_;
  std::unique_ptr<LogPoller> poller_;
  std::vector<std::thread> senders_;
  std::vector<std::thread> readers_;
  std::atomic<bool> stop_senders_{false};
  std::atomic<uint64_t> sent_{0};
  uint64_t overruns_before_ = 0;
  ThreadRegistry registry_;
};

FloodResult FloodRun::Result(const Window& before, const Window& after) const {
  FloodResult r;
  r.ports = static_cast<int>(rigs_.size());
  r.seconds = static_cast<double>(after.cpu.at_ns - before.cpu.at_ns) / 1e9;
  r.bus_frames = after.bus_frames - before.bus_frames;
  r.bus_busy_us = after.busy_us - before.busy_us;
  r.routed = after.routed - before.routed;
  r.sent = sent_.load();
  r.taken = Taken();
  for (const PortRig& rig : rigs_) r.overrun_drops += OverrunDrops(rig);
  r.overrun_drops -= overruns_before_;
  CheckRoutingOrder(r);
  EndTimes end_us;
  for (const BusEnd& end : poller_->ends()) end_us.emplace(end.key, end.us);
  std::vector<const std::vector<Arrival>*> taken, heard;
  for (const auto& consumer : consumers_) taken.push_back(&consumer->arrivals());
  for (const auto& probe : probes_) heard.push_back(&probe->arrivals());
  r.latency = ComputeLatencies(end_us, taken);
  r.card_latency = ComputeLatencies(end_us, heard);
  std::vector<pid_t> known = ReceiveThreads();
  r.receive = after.cpu.UsedBy(before.cpu, known);
  const std::vector<pid_t> own = registry_.Ids();
  r.bench_threads = after.cpu.UsedBy(before.cpu, own);
  known.insert(known.end(), own.begin(), own.end());
  r.rest = after.cpu.UsedByAllBut(before.cpu, known);
  r.process_ns = after.cpu.process_ns - before.cpu.process_ns;
  return r;
}

void SleepSeconds(double seconds) {
  dnm::platform::StopSignal never;
  never.SleepFor(static_cast<uint32_t>(seconds * 1000));
}

}  // namespace

void AddRoutes(PortRig& rig) {
  for (uint32_t id : kIds) rig.can_port->map().AddMap(id, dnm::kPortBufferId, dnm::kPortBufferId);
}

FloodResult RunFlood(const std::vector<PortRig>& rigs, double seconds) {
  for (const PortRig& rig : rigs) VCAN_ResetSegmentStats(0, rig.port + 1);
  HyperTraceTest_Clear();
  FloodRun run(rigs);
  run.Start();
  SleepSeconds(kWarmUpSeconds);
  const Window before = run.Measure();
  SleepSeconds(seconds);
  const Window after = run.Measure();
  run.StopSendersAndDrain();
  run.StopReaders();
  return run.Result(before, after);
}

}  // namespace bench
