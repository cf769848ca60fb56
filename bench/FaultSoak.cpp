// A fault soak: 62 simulated slaves on one port, each with an explicit connection and I/O of
// every kind: poll; poll and bit-strobe; poll and cyclic; change of state without poll. Under
// injected faults for a given time: frames lost at a rate, slaves power-cycled and pulled off
// the bus, a slave answering garbage, driver send failures and receive overruns, a flood of
// stray frames, and every 20 s a change of the whole port: the master's MAC ID changed, the
// port stopped and started, the board closed and opened again. Meanwhile a reader reads every
// slave's serial number over and over. Prints the connections lost and recovered, the slowest
// recovery, the counters, attribute reads per second and wrong values, how long each port change
// call took, CPU, memory and threads at start and end. Names, with the device, the connections
// concerned, the fault last injected into its slave and the times, every device reported
// standing while its slave had not held its connections for longer than the loss-detection time
// and every recovery slower than kRecoveryBound. Exits non-zero on any of those, when a value
// read was wrong, a connection did not come back after the faults ended, or resident memory
// after the close is more than kMemoryAllowanceKiB above the start.
//
//   dnm_soak [--seconds N] [--loss P] [--only K]   (default 120 s, P = 0.0005, every fault)
//
// --only K injects one kind of fault: 0 power cycles, 1 slaves off the bus, 2 garbage answers,
// 3 full transmit queues and refused driver sends, 4 receive overruns, 5 stray-frame floods, 6 port-wide changes.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchCommon.h"
#include "api/Library.h"
#include "vcan_test.h"

namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t SerialOf(uint8_t mac) {
  return 0x5A000000u + mac;
}

// MAC ID 63 stays free for the master to change to.
constexpr uint8_t kSlaves = 62;
// The longest a lost connection may be reported as standing: two unanswered polls of 5 s.
constexpr auto kDetection = std::chrono::seconds(12);
// The longest a device may take, from the master seeing it lost, to stand again: its slave back
// (4 s off the bus at most), a failed set-up step retried after 3 s, a poll answer awaited 5 s,
// a few times over.
constexpr auto kRecoveryBound = std::chrono::seconds(30);
// How far above the start resident memory may stay once the board is closed and freed heap
// given back: what the card and its slaves keep of the run (frame records, counters).
constexpr long kMemoryAllowanceKiB = 1024;
const Clock::time_point g_start = Clock::now();

double SecondsAt(Clock::time_point when) {
  return std::chrono::duration<double>(when - g_start).count();
}
constexpr uint16_t kProductionMs = 1000;
std::atomic<uint8_t> g_master{kMasterMac};

// What each slave's device is configured with beside its explicit connection.
enum Io { kPollOnly, kPollAndStrobe, kPollAndCyclic, kCosWithoutPoll };
constexpr Io IoOf(uint8_t mac) {
  return static_cast<Io>(mac % 4);
}
constexpr const char* kIoNames[] = {"poll", "poll and bit-strobe", "poll and cyclic",
                                    "COS without poll"};

void ConfigureDevices() {
  for (uint8_t mac = 1; mac <= kSlaves; ++mac) {
    DNM_AddDevice(kBoard, kPort, mac, 0);
    DNM_ConfigExplicitMsg(kBoard, kPort, mac, 3);
    const Io io = IoOf(mac);
    if (io != kCosWithoutPoll) DNM_ConfigPoll(kBoard, kPort, mac, 4, 4, 0, 0);
    if (io == kPollAndStrobe) DNM_ConfigBitStrobe(kBoard, kPort, mac, 4, 0, 0);
    if (io == kPollAndCyclic) DNM_ConfigCyclic(kBoard, kPort, mac, 4, 4, 0, kProductionMs, 0);
    if (io == kCosWithoutPoll) DNM_ConfigCOS(kBoard, kPort, mac, 4, 4, 0, kProductionMs, 0);
  }
}

bool BringUp() {
  if (DNM_ActiveBoard(kBoard) != 0 || DNM_Online(kBoard, kPort, kBaud500k, g_master) != 0) {
    return false;
  }
  ConfigureDevices();
  return DNM_StartCommunicate(kBoard, kPort) == 0;
}

// The connections its device is configured with that the slave does not hold for the master:
// empty when it holds them all.
std::string SlaveLacks(uint8_t mac) {
  VCAN_SlaveState s{};
  if (VCAN_SlaveGetState(kBoard, kCardPort, mac, &s) != 0) return "its state unknown";
  if (s.master_mac < 0) return "any connection";
  if (s.master_mac != g_master) {
    return "any connection (its set held for MAC ID " + std::to_string(s.master_mac) + ")";
  }
  const Io io = IoOf(mac);
  const std::pair<bool, const char*> lacks[] = {
      {s.explicit_state != 3, "explicit"},
      {io != kCosWithoutPoll && s.poll_state != 3, "poll"},
      {io == kPollAndStrobe && s.strobe_state != 3, "bit-strobe"},
      {io == kPollAndCyclic && s.cos_state != 3, "cyclic"},
      {io == kCosWithoutPoll && s.cos_state != 3, "COS"}};
  std::string named;
  for (const auto& [lacking, kind] : lacks) {
    if (lacking) named += (named.empty() ? "" : ", ") + std::string(kind);
  }
  return named;
}

std::string WriteNetwork(double loss) {
  const std::string path = "/tmp/dnm_soak_" + std::to_string(getpid()) + ".net";
  std::ofstream file(path);
  file << "segment vcan0.1 loss=" << loss << "\n";
  for (int mac = 1; mac <= kSlaves; ++mac) {
    file << "slave segment=vcan0.1 mac=" << mac << " serial=" << SerialOf(mac)
         << " produced=4 consumed=4 inputs=echo\n";
  }
  return path;
}

// A field of /proc/self/status in KiB: VmRSS resident now, VmHWM its peak.
long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return 0;
}

struct Snapshot {
  size_t threads;
  long resident_kib;
  uint64_t cpu_ns;
  static Snapshot Take() { return {ThreadIds().size(), StatusKiB("VmRSS:"), ProcessCpuNs()}; }
};

// How long the calls of each kind of port change took, in s.
std::array<std::vector<double>, 3> g_change_calls;
constexpr const char* kChangeNames[] = {"DNM_ChangeMACID", "stop, 300 ms, start",
                                        "close, activate, online, start"};

// What was last done to each slave, so that a lost connection can be put down to its cause.
enum Cause {
  kFrameLoss,
  kPowerCycle,
  kOffTheBus,
  kGarbage,
  kMacChange,
  kStopStart,
  kCloseReopen,
  kCauseCount
};
constexpr const char* kCauseNames[kCauseCount] = {
    "frame loss or no slave fault", "power cycle", "off the bus for 4 s", "garbage answers",
    "master MAC ID changed",        "port stopped and started", "board closed and opened"};
std::array<std::atomic<int>, kSlaves + 1> g_last_fault{};
// The fault last injected into each slave and when, kept for the report.
struct Injected {
  std::atomic<int> cause{kFrameLoss};
  std::atomic<Clock::rep> at{0};
};
std::array<Injected, kSlaves + 1> g_injected{};

void NoteFault(size_t mac, Cause cause) {
  g_last_fault[mac] = cause;
  g_injected[mac].cause = cause;
  g_injected[mac].at = Clock::now().time_since_epoch().count();
}

// "MAC ID 17 (poll and bit-strobe)", with the fault last injected into its slave.
std::string DeviceAndFault(uint8_t mac) {
  const Injected& injected = g_injected[mac];
  char text[160];
  const Clock::rep at = injected.at.load();
  if (at == 0) {
    std::snprintf(text, sizeof text, "MAC ID %d (%s), no fault injected", mac, kIoNames[IoOf(mac)]);
  } else {
    std::snprintf(text, sizeof text, "MAC ID %d (%s), last fault: %s at %.1f s", mac,
                  kIoNames[IoOf(mac)], kCauseNames[injected.cause.load()],
                  SecondsAt(Clock::time_point(Clock::duration(at))));
  }
  return text;
}

// Watches every device's status: a device is lost when it stops giving 0 and recovered when it
// gives 0 again. Each loss is put down to the fault last injected into its slave (taken when the
// loss is seen), or to frame loss when none was.
class Recoveries {
 public:
  void Look() {
    const auto now = Clock::now();
    for (uint8_t mac = 1; mac <= kSlaves; ++mac) {
      const bool up = DNM_GetDeviceStatus(kBoard, kPort, mac) == DNM_NoError;
      const std::string lacks = LookAtSlave(mac, up, now);
      auto& down = down_[mac];
      if (!up && !down) {
        down = Down{now, g_last_fault[mac].exchange(kFrameLoss), {}};
        lost_++;
      } else if (!up && down->slave_when_slow.empty() && now - down->since > kRecoveryBound) {
        down->slave_when_slow = lacks.empty() ? "nothing" : lacks;
      } else if (up && down) {
        durations_[down->cause].push_back(now - down->since);
        if (now - down->since > kRecoveryBound) NoteSlowRecovery(mac, *down, now);
        down.reset();
        recovered_++;
      }
    }
  }
  // The devices still down, each with what its slave lacks.
  void PrintStillDown() const {
    for (uint8_t mac = 1; mac <= kSlaves; ++mac) {
      if (!down_[mac]) continue;
      std::printf("    down since %.1f s, lost to %s, its slave without %s; %s\n",
                  SecondsAt(down_[mac]->since), kCauseNames[down_[mac]->cause],
                  SlaveLacks(mac).c_str(), DeviceAndFault(mac).c_str());
    }
  }
  int StillDown() const {
    int count = 0;
    for (const auto& down : down_) count += down.has_value();
    return count;
  }
  int lost() const { return lost_; }
  int false_standing() const { return false_standing_; }
  size_t slow() const { return slow_; }
  // One line per episode of false "standing" samples and per slow recovery, in time order.
  void PrintNamed() {
    for (uint8_t mac = 1; mac <= kSlaves; ++mac) EndEpisode(mac);
    std::sort(named_.begin(), named_.end());
    for (const auto& [at, line] : named_) std::printf("    %s\n", line.c_str());
  }
  int recovered() const { return recovered_; }
  double slowest_s() const {
    Clock::duration slowest{};
    for (const auto& list : durations_) {
      for (const auto& d : list) slowest = std::max(slowest, d);
    }
    return Seconds(slowest);
  }
  void PrintByCause() {
    for (int cause = 0; cause < kCauseCount; ++cause) {
      auto& list = durations_[cause];
      if (list.empty()) continue;
      std::sort(list.begin(), list.end());
      std::printf("    %-28s %6zu  median %5.1f s  95%% %5.1f s  max %5.1f s\n", kCauseNames[cause],
                  list.size(), Seconds(list[list.size() / 2]), Seconds(list[list.size() * 95 / 100]),
                  Seconds(list.back()));
    }
  }

 private:
  struct Down {
    Clock::time_point since;
    int cause;
    std::string slave_when_slow;  // what the slave lacked once the recovery was overdue
  };
  static double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

  // A device reported standing while its slave has not held its connections for longer than
  // the loss-detection time: the master reports what it no longer gets. Samples in a row of
  // one device make one episode. Returns what the slave lacks.
  std::string LookAtSlave(uint8_t mac, bool up, Clock::time_point now) {
    auto& since = slave_down_since_[mac];
    const std::string lacks = SlaveLacks(mac);
    if (lacks.empty()) {
      since.reset();
    } else if (!since) {
      since = now;
    } else if (up && now - *since > kDetection) {
      false_standing_++;
      Episode& episode = episodes_[mac];
      if (episode.samples == 0) episode = {now, now, 0, *since, lacks, DeviceAndFault(mac)};
      episode.samples++;
      episode.last = now;
      return lacks;
    }
    EndEpisode(mac);
    return lacks;
  }

  void EndEpisode(uint8_t mac) {
    Episode& episode = episodes_[mac];
    if (episode.samples == 0) return;
    char text[400];
    std::snprintf(text, sizeof text,
                  "%.1f s to %.1f s: reported standing in %d samples, slave without %s since "
                  "%.1f s; %s",
                  SecondsAt(episode.first), SecondsAt(episode.last), episode.samples,
                  episode.lacks.c_str(), SecondsAt(episode.slave_down), episode.device.c_str());
    named_.emplace_back(SecondsAt(episode.first), text);
    episode = {};
  }

  void NoteSlowRecovery(uint8_t mac, const Down& down, Clock::time_point now) {
    slow_++;
    char text[400];
    std::snprintf(text, sizeof text,
                  "%.1f s: recovered after %.1f s (bound %.0f s), lost at %.1f s to %s, its "
                  "slave then without %s; %s",
                  SecondsAt(now), Seconds(now - down.since), Seconds(kRecoveryBound),
                  SecondsAt(down.since), kCauseNames[down.cause], down.slave_when_slow.c_str(),
                  DeviceAndFault(mac).c_str());
    named_.emplace_back(SecondsAt(now), text);
  }

  struct Episode {
    Clock::time_point first, last;
    int samples = 0;
    Clock::time_point slave_down;
    std::string lacks, device;
  };
  std::array<Episode, kSlaves + 1> episodes_{};
  std::vector<std::pair<double, std::string>> named_;
  size_t slow_ = 0;

  std::array<std::optional<Down>, kSlaves + 1> down_{};
  std::array<std::optional<Clock::time_point>, kSlaves + 1> slave_down_since_{};
  int false_standing_ = 0;
  std::array<std::vector<Clock::duration>, kCauseCount> durations_{};
  int lost_ = 0;
  int recovered_ = 0;
};

void BlameAll(Cause cause) {
  for (size_t mac = 0; mac < g_last_fault.size(); ++mac) NoteFault(mac, cause);
}

// A change of the whole port, in turn: the master's MAC ID, a stop and start, a close and
// reopen of the board. False when the port did not come back.
bool ChangePortNow(int turn) {
  switch (turn % 3) {
    case 0:
      BlameAll(kMacChange);
      g_master = g_master == kMasterMac ? 63 : kMasterMac;
      return DNM_ChangeMACID(kBoard, kPort, g_master) == 0;
    case 1:
      BlameAll(kStopStart);
      DNM_StopCommunicate(kBoard, kPort);
      std::this_thread::sleep_for(milliseconds(300));
      return DNM_StartCommunicate(kBoard, kPort) == 0;
    default:
      BlameAll(kCloseReopen);
      DNM_CloseBoard(kBoard);
      return BringUp();
  }
}

// Changes the port as ChangePortNow, noting how long its calls took.
bool ChangePort(int turn) {
  const auto start = Clock::now();
  const bool back = ChangePortNow(turn);
  g_change_calls[static_cast<size_t>(turn % 3)].push_back(
      std::chrono::duration<double>(Clock::now() - start).count());
  return back;
}

void PrintChangeCalls() {
  for (size_t kind = 0; kind < g_change_calls.size(); ++kind) {
    std::vector<double>& took = g_change_calls[kind];
    if (took.empty()) continue;
    std::sort(took.begin(), took.end());
    std::printf("    %-30s %4zu  median %5.2f s  longest %5.2f s\n", kChangeNames[kind], took.size(),
                took[took.size() / 2], took.back());
  }
}

// Injects one fault after another until the end.
void InjectFaults(Clock::time_point end, int only, std::atomic<uint64_t>& injected,
                  std::atomic<int>& port_failures) {
  std::mt19937 rng(42);
  const int32_t flood_node = VCAN_AttachNode(kBoard, kCardPort, 500);
  auto any_slave = [&] { return static_cast<int32_t>(1 + rng() % kSlaves); };
  auto next_port_change = Clock::now() + std::chrono::seconds(20);
  int port_changes = 0;
  auto fault_slave = [&](Cause cause, const char* behaviour) {
    const int32_t mac = any_slave();
    NoteFault(static_cast<size_t>(mac), cause);
    VCAN_SlaveSetBehaviour(kBoard, kCardPort, mac, behaviour);
  };
  while (Clock::now() < end) {
    std::this_thread::sleep_for(milliseconds(500 + rng() % 1500));
    if ((only < 0 || only == 6) && Clock::now() >= next_port_change) {
      if (!ChangePort(port_changes++)) port_failures++;
      next_port_change = Clock::now() + std::chrono::seconds(20);
      injected++;
      continue;
    }
    const auto kind = rng() % 6;
    if (only == 6) continue;
    switch (only >= 0 ? static_cast<unsigned>(only) : kind) {
      case 0:
        fault_slave(kPowerCycle, "power_cycle=1 power_check=1");
        break;
      case 1:
        fault_slave(kOffTheBus, "back_at=4000");
        break;
      case 2:  // garbage: stray frames on its answer identifier and a short first fragment
        fault_slave(kGarbage, "stray=30 frag_short=1 frag_skip=2");
        break;
      case 3:
        // A full transmit queue for a moment (waited out), or a send the driver refuses.
        VCAN_FailEntry("CAN_SendMsg", rng() % 2 ? CAN_TransmitBufferLocked : CAN_TransmitIncomplete,
                       1 + static_cast<int32_t>(rng() % 5));
        break;
      case 4:
        VCAN_FailEntry("CAN_ReceiveMsg", CAN_DataOverrun, 1);
        break;
      case 5:
        for (int i = 0; i < 200; ++i) {
          CANMsg stray{};
          stray.id = rng() % 0x800;
          stray.len = static_cast<uint8_t>(rng() % 9);
          for (auto& byte : stray.data) byte = static_cast<uint8_t>(rng());
          VCAN_NodeSend(flood_node, &stray, 100);
        }
        break;
    }
    injected++;
  }
  VCAN_DetachNode(flood_node);
}

struct Reads {
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> failed{0};
  std::atomic<uint64_t> wrong{0};
};

// Reads every slave's serial number in turn and checks it against the slave's own.
void ReadSerials(Clock::time_point end, Reads& reads) {
  for (uint8_t mac = 1; Clock::now() < end; mac = static_cast<uint8_t>(mac % kSlaves + 1)) {
    uint8_t data[64] = {};
    uint32_t length = 0;
    if (DNM_GetAttribute(kBoard, kPort, mac, 1, 1, 6, data, &length) != DNM_NoError) {
      reads.failed++;
      std::this_thread::sleep_for(milliseconds(10));  // refused at once while the board reopens
      continue;
    }
    const uint32_t serial = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    reads.done++;
    if (length != 4 || serial != SerialOf(mac)) reads.wrong++;
  }
}

using CounterSums = std::vector<std::pair<const char*, uint64_t>>;

// Taken before the board closes, which takes the devices and their counters away.
CounterSums SumCounters() {
  const std::pair<const char*, CounterGetter> counters[] = {
      {"explicit no response", DNM_GetExplicitMsgNoResponse},
      {"explicit error response", DNM_GetExplicitMsgErrorResponse},
      {"poll no response", DNM_GetPollNoResponse},
      {"poll error response", DNM_GetPollErrorResponse},
      {"poll fragment error", DNM_GetPollFragmentError},
      {"poll send error", DNM_GetPollSendError},
      {"bit-strobe no response", DNM_GetBitStrobeNoResponse},
      {"COS/cyclic no input", DNM_GetCOS_CyclicWithPollNoResponse},
      {"COS/cyclic fragment error", DNM_GetCOS_CyclicWithPollFragmentError},
      {"COS/cyclic output no ack", DNM_GetCOS_CyclicWithoutPollACKNoResponse}};
  CounterSums sums;
  for (const auto& [name, get] : counters) sums.emplace_back(name, SumOverDevices(get));
  return sums;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = OptionValue(argc, argv, "--seconds", 120);
  const double loss = OptionValue(argc, argv, "--loss", 0.0005);
  const int only = static_cast<int>(OptionValue(argc, argv, "--only", -1));
  const std::string network = WriteNetwork(loss);
  setenv("VELKCAN_NETWORK", network.c_str(), 1);
  unsetenv("HYPERTRACE_FILE");
  dnm::DeviceNet_Initial();
  if (!BringUp()) {
    std::printf("the board or port did not come up\n");
    return 1;
  }
  const Snapshot start = Snapshot::Take();
  std::printf(
      "fault soak: %d slaves with explicit and poll, bit-strobe, cyclic or COS connections, "
      "%.0f s, frame loss %g\n",
      kSlaves, seconds, loss);
  Recoveries recoveries;
  const auto setup_start = Clock::now();
  while (Clock::now() - setup_start < std::chrono::seconds(60) &&
         (recoveries.Look(), recoveries.lost() > recoveries.recovered())) {
    std::this_thread::sleep_for(milliseconds(100));
  }
  std::printf("  all connections up after %.1f s\n",
              std::chrono::duration<double>(Clock::now() - setup_start).count());
  recoveries = Recoveries();

  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
  std::atomic<uint64_t> injected{0};
  std::atomic<int> port_failures{0};
  Reads reads;
  std::thread faults([&] { InjectFaults(end, only, injected, port_failures); });
  std::thread reader([&] { ReadSerials(end, reads); });
  long peak_kib = start.resident_kib;
  while (Clock::now() < end) {
    recoveries.Look();
    peak_kib = std::max(peak_kib, StatusKiB("VmRSS:"));
    std::this_thread::sleep_for(milliseconds(100));
  }
  faults.join();
  reader.join();
  // The faults have ended: every connection must come back.
  for (int i = 0; i < 300 && (recoveries.Look(), recoveries.StillDown() > 0); ++i) {
    std::this_thread::sleep_for(milliseconds(100));
  }
  const Snapshot before_close = Snapshot::Take();
  const CounterSums counters = SumCounters();
  DNM_CloseBoard(kBoard);
  std::this_thread::sleep_for(milliseconds(500));
  const Snapshot end_state = Snapshot::Take();
  malloc_trim(0);  // freed heap that the allocator kept for reuse is not held by anyone
  const long trimmed_kib = StatusKiB("VmRSS:");
  // The kernel's high-water mark is brought up to date only now and then.
  peak_kib = std::max({peak_kib, before_close.resident_kib, StatusKiB("VmHWM:")});

  std::printf("  faults injected                %10llu\n",
              static_cast<unsigned long long>(injected.load()));
  std::printf("  connections lost, recovered    %10d %d\n", recoveries.lost(), recoveries.recovered());
  std::printf("  still down 30 s after the end  %10d\n", recoveries.StillDown());
  recoveries.PrintStillDown();
  std::printf("  reported standing, slave not   %10d\n", recoveries.false_standing());
  std::printf("  recoveries slower than %2.0f s   %10zu\n",
              std::chrono::duration<double>(kRecoveryBound).count(), recoveries.slow());
  recoveries.PrintNamed();
  std::printf("  port changes that failed       %10d\n", port_failures.load());
  std::printf("  port change calls:\n");
  PrintChangeCalls();
  std::printf("  slowest recovery (s)           %10.1f\n", recoveries.slowest_s());
  std::printf("  recoveries by the slave's last fault:\n");
  recoveries.PrintByCause();
  std::printf("  attribute reads/s              %10.1f\n", static_cast<double>(reads.done) / seconds);
  std::printf("  attribute reads failed         %10llu\n", static_cast<unsigned long long>(reads.failed.load()));
  std::printf("  attribute values wrong         %10llu\n", static_cast<unsigned long long>(reads.wrong.load()));
  std::printf("  counters summed over the devices:\n");
  for (const auto& [name, sum] : counters) {
    std::printf("    %-26s %10llu\n", name, static_cast<unsigned long long>(sum));
  }
  std::printf("  CPU during the soak (%% of one core) %6.1f\n",
              Share(static_cast<double>(before_close.cpu_ns - start.cpu_ns), seconds * 1e9));
  std::printf("  threads: start %zu, before close %zu, after close %zu\n", start.threads,
              before_close.threads, end_state.threads);
  const long kept_kib = trimmed_kib - start.resident_kib;
  std::printf(
      "  resident memory (KiB): start %ld, peak %ld, before close %ld, after close %ld, with "
      "freed heap given back %ld (%+ld, allowed %+ld)\n",
      start.resident_kib, peak_kib, before_close.resident_kib, end_state.resident_kib, trimmed_kib,
      kept_kib, kMemoryAllowanceKiB);
  std::remove(network.c_str());
  const bool sound = reads.wrong == 0 && recoveries.StillDown() == 0 &&
                     recoveries.false_standing() == 0 && recoveries.slow() == 0 &&
                     port_failures == 0 && end_state.threads <= start.threads &&
                     kept_kib <= kMemoryAllowanceKiB;
  std::printf("%s\n", sound ? "soak passed" : "SOAK FAILED");
  return sound ? 0 : 1;
}
