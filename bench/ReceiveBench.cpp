// Measures the receive path of the master's ports on the virtual card:
// - an online port on a silent network (its five receive threads idle),
// - one port flooded at full bus load at 500 kbit/s,
// - all four ports of the board flooded at once.
// For each flood it prints the frames routed against the bus's capacity,
// lost and reordered frames, the latency from the end of a frame on the bus
// to its arrival at a consumer of the port buffer, and CPU per frame, with
// the receive threads' share measured per thread.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "Flood.h"
#include "ThreadCpu.h"
#include "VELKCANDNM.h"
#include "api/Board.h"
#include "api/Library.h"
#include "platform/Platform.h"
#include "port/CANPort.h"
#include "vcan_test.h"

namespace bench {
namespace {

constexpr uint8_t kBoard = 0;
constexpr uint8_t kBaud500k = 0;
constexpr uint8_t kMasterMac = 0;
constexpr int kPorts = 4;

struct Options {
  double flood_seconds = 5;
  double silent_seconds = 5;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) options.flood_seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--silent") == 0) options.silent_seconds = std::atof(argv[i + 1]);
  }
  return options;
}

std::string CpuModel() {
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown CPU";
}

std::vector<pid_t> NewThreads(const std::set<pid_t>& before) {
  std::vector<pid_t> added;
  for (pid_t tid : ThreadIds()) {
    if (before.count(tid) == 0) added.push_back(tid);
  }
  return added;
}

// Attaches the test nodes, starts the segment's bus thread with a frame they
// exchange while the port is still off the bus, then brings the port online:
// the threads that appear are its receive threads.
bool SetUpPort(uint8_t port, PortRig& rig) {
  rig.port = port;
  for (int s = 0; s < kSendersPerPort; ++s)
    rig.nodes.push_back(VCAN_AttachNode(kBoard, port + 1, 500));
  rig.probe = VCAN_AttachNode(kBoard, port + 1, 500);
  CANMsg hello{};
  hello.id = 0x7F0;
  if (VCAN_NodeSend(rig.nodes[0], &hello, 1000) != 0) return false;
  const std::set<pid_t> before = ThreadIds();
  if (DNM_Online(kBoard, port, kBaud500k, kMasterMac) != 0) return false;
  rig.rx_threads = NewThreads(before);
  rig.can_port = &dnm::Lib().boards[kBoard]->port(port);
  AddRoutes(rig);
  if (rig.rx_threads.size() != dnm::kReceiveThreads) {
    std::printf("note: port %d brought %zu new threads online, expected %d\n", port,
                rig.rx_threads.size(), dnm::kReceiveThreads);
  }
  return true;
}

double Ms(uint64_t ns) {
  return static_cast<double>(ns) / 1e6;
}
double PerSecond(double value, double seconds) {
  return seconds > 0 ? value / seconds : 0;
}

void MeasureSilent(const std::vector<PortRig>& rigs, double seconds) {
  std::vector<pid_t> receive;
  for (const PortRig& rig : rigs)
    receive.insert(receive.end(), rig.rx_threads.begin(), rig.rx_threads.end());
  const CpuSnapshot before = CpuSnapshot::Take();
  dnm::platform::StopSignal never;
  never.SleepFor(static_cast<uint32_t>(seconds * 1000));
  const CpuSnapshot after = CpuSnapshot::Take();
  const double elapsed = static_cast<double>(after.at_ns - before.at_ns) / 1e9;
  const ThreadTimes used = after.UsedBy(before, receive);
  const double ports = static_cast<double>(rigs.size());
  std::printf("Silent network: %zu ports online, no frames, %.1f s\n", rigs.size(), elapsed);
  std::printf(
      "  receive threads, per port: %.3f ms CPU per second (%.4f %% of a CPU), "
      "%.0f wake-ups per second\n",
      PerSecond(Ms(used.cpu_ns), elapsed) / ports, PerSecond(Ms(used.cpu_ns), elapsed) / ports / 10,
      PerSecond(static_cast<double>(used.runs), elapsed) / ports);
  std::printf("  whole process: %.3f ms CPU per second\n\n",
              PerSecond(Ms(after.process_ns - before.process_ns), elapsed));
}

using Row = std::pair<const char*, std::string>;

std::string Format(const char* format, double a) {
  char text[64];
  std::snprintf(text, sizeof text, format, a);
  return text;
}

double UsPerFrame(uint64_t ns, uint64_t frames) {
  return frames > 0 ? static_cast<double>(ns) / 1000.0 / static_cast<double>(frames) : 0;
}

std::vector<Row> Rows(const FloodResult& r) {
  const double frames_per_port = static_cast<double>(r.bus_frames) / r.ports;
  const double routed = static_cast<double>(r.routed);
  const double capacity = r.bus_busy_us > 0 ? 1e6 * r.bus_frames / r.bus_busy_us : 0;
  const auto lost = static_cast<double>(r.sent - std::min(r.sent, r.taken));
  return {
      {"measured window (s)", Format("%.2f", r.seconds)},
      {"bus capacity, 8-byte frames/s", Format("%.1f", capacity)},
      {"bus load (busy time / window)",
       Format("%.1f %%", 100.0 * r.bus_busy_us / 1e6 / r.seconds / r.ports)},
      {"frames on the bus/s, per port", Format("%.1f", PerSecond(frames_per_port, r.seconds))},
      {"frames routed/s, all ports", Format("%.1f", PerSecond(routed, r.seconds))},
      {"routed / bus capacity",
       Format("%.1f %%", 100.0 * PerSecond(routed / r.ports, r.seconds) / capacity)},
      {"frames sent (whole run)", Format("%.0f", static_cast<double>(r.sent))},
      {"frames taken by consumers", Format("%.0f", static_cast<double>(r.taken))},
      {"lost (sent - taken)", Format("%.0f", lost)},
      {"card overrun drops", Format("%.0f", static_cast<double>(r.overrun_drops))},
      {"routing order checked (frames)", Format("%.0f", static_cast<double>(r.order_checked))},
      {"routed out of order", Format("%.0f", static_cast<double>(r.out_of_order))},
      {"latency samples", Format("%.0f", static_cast<double>(r.latency.samples))},
      {"latency median (us)", Format("%.0f", r.latency.p50_us)},
      {"latency p99 (us)", Format("%.0f", r.latency.p99_us)},
      {"latency max (us)", Format("%.0f", r.latency.max_us)},
      {"for reference, to a test node: median (us)", Format("%.0f", r.card_latency.p50_us)},
      {"for reference, to a test node: p99 (us)", Format("%.0f", r.card_latency.p99_us)},
      {"receive threads CPU/frame (us)", Format("%.2f", UsPerFrame(r.receive.cpu_ns, r.routed))},
      {"receive threads CPU (% of a CPU)",
       Format("%.1f %%", Ms(r.receive.cpu_ns) / 10 / r.seconds)},
      {"receive thread wake-ups/frame",
       Format("%.2f", r.routed ? 1.0 * r.receive.runs / r.routed : 0)},
      {"bench threads CPU/frame (us)",
       Format("%.2f", UsPerFrame(r.bench_threads.cpu_ns, r.routed))},
      {"card and rest CPU/frame (us)", Format("%.2f", UsPerFrame(r.rest.cpu_ns, r.routed))},
      {"whole process CPU/frame (us)", Format("%.2f", UsPerFrame(r.process_ns, r.routed))},
  };
}

void PrintFloods(const FloodResult& one, const FloodResult& four) {
  std::printf("Flood at 500 kbit/s, 8-byte frames, %d senders per port  %12s %12s\n",
              kSendersPerPort, "1 port", "4 ports");
  const std::vector<Row> a = Rows(one);
  const std::vector<Row> b = Rows(four);
  for (size_t i = 0; i < a.size(); ++i) {
    std::printf("  %-52s %12s %12s\n", a[i].first, a[i].second.c_str(), b[i].second.c_str());
  }
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  const Options options = ParseOptions(argc, argv);
  // The default card (four ports, each on a segment of its own) and the
  // trace kept in memory: the flood's order check reads the routing lines.
  unsetenv("VELKCAN_NETWORK");
  unsetenv("HYPERTRACE_FILE");
  setenv("HYPERTRACE_KEEP", "1", 1);
  std::printf("bench_receive: %s, %u CPUs\n\n", CpuModel().c_str(),
              std::thread::hardware_concurrency());
  dnm::DeviceNet_Initial();
  if (DNM_ActiveBoard(kBoard) != 0) return 1;
  std::vector<PortRig> rigs(kPorts);
  for (uint8_t port = 0; port < kPorts; ++port) {
    if (!SetUpPort(port, rigs[port])) return 1;
  }
  MeasureSilent(rigs, options.silent_seconds);
  const FloodResult one = RunFlood({rigs.begin(), rigs.begin() + 1}, options.flood_seconds);
  const FloodResult four = RunFlood(rigs, options.flood_seconds);
  PrintFloods(one, four);
  DNM_CloseBoard(kBoard);
  return 0;
}
