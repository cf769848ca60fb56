// Measures dnm run's Modbus TCP server: 63 simulated slaves at 500 kbit/s, hosted by a dnm
// simulate process on a shared segment, each polled for 2 bytes of inputs whose first byte
// counts its poll responses, so that every response is an input change. dnm run serves them on
// 127.0.0.1 as a process of its own.
// - At a poll period of 100 ms and of 10 ms: the latency from the end of a poll response on the
//   bus (heard by a test node of this process) to a Modbus client's first read of its value, the
//   client reading every device's inputs back to back (libmodbus's client); p50 and p99 against
//   the goal of one poll period plus 10 ms, and the poll period achieved.
// - At 100 ms: the CPU of the dnm run process (from /proc) without a client, and with a client
//   reading all registers of every device (its inputs and its status block) 10 times a second:
//   of the whole process, and of its own threads (the library's, the scanner's, the server's:
//   all but the virtual card's, named vcan-*, which stand for the CAN adapter and the kernel);
//   goal under 2 % of a core for its own threads.
//
//   bench_modbus_latency [--seconds N]   (length of each measurement, default 10)
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchCommon.h"
#include "RegisterMap.h"
#include "vcan_test.h"

extern char** environ;

namespace bench {
namespace {

using dnm::tool::kDeviceSlotRegisters;
using dnm::tool::kStatusOffset;
using dnm::tool::kStatusRegisters;
constexpr uint16_t kPollResponseBase = 0x3C0;
constexpr double kCpuGoalPercent = 2;
constexpr double kLatencySlackMs = 10;
constexpr int kSetupTimeoutS = 120;

// A child process (dnm), ended with SIGTERM when destroyed, or when the benchmark ends otherwise
// (a signal), so that no simulator or scanner outlives it; its stdout goes to a file.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& out) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(127);
    execve(argv[0], argv.data(), environ);
    _exit(127);
  }
  ~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

// User and system time of a process so far, from /proc/PID/stat.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The virtual card's threads (the simulated bus and slaves, or the link to a shared segment)
// stand for a CAN adapter and the kernel; dnm run's own threads are all the others.
bool NameStartsWith(const std::filesystem::path& task, const std::string& prefix) {
  std::ifstream comm(task / "comm");
  std::string name;
  std::getline(comm, name);
  return name.rfind(prefix, 0) == 0;
}

// Time on a CPU so far of the process's threads alive now whose names start (or, with `named`
// false, do not start) with prefix, from /proc/PID/task/TID/schedstat.
double ThreadsCpuSeconds(pid_t pid, const std::string& prefix, bool named) {
  std::error_code error;
  uint64_t ns = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    if (NameStartsWith(task.path(), prefix) != named) continue;
    std::ifstream schedstat(task.path() / "schedstat");
    uint64_t on_cpu = 0;
    if (schedstat >> on_cpu) ns += on_cpu;
  }
  return static_cast<double>(ns) / 1e9;
}

struct CpuSeconds {
  double process = 0;
  double own = 0;     // without the card's threads
  double server = 0;  // the Modbus server's threads

  static CpuSeconds Of(pid_t pid) {
    return {ProcessCpuSeconds(pid), ThreadsCpuSeconds(pid, "vcan-", false),
            ThreadsCpuSeconds(pid, "modbus-", true)};
  }
};

struct CpuShare {  // % of a core
  double process = 0;
  double own = 0;
  double server = 0;
};

class Client {
 public:
  explicit Client(int port) : context_(modbus_new_tcp("127.0.0.1", port)) {}
  ~Client() {
    modbus_close(context_);
    modbus_free(context_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connect(const Child& server) {
    for (int tries = 0; tries < kSetupTimeoutS * 10 && server.Running(); ++tries) {
      if (modbus_connect(context_) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  bool Read(uint32_t address, int count, uint16_t* values) {
    return modbus_read_input_registers(context_, static_cast<int>(address), count, values) == count;
  }

 private:
  modbus_t* context_;
};

uint32_t DeviceBase(int mac) {
  return static_cast<uint32_t>(mac) * kDeviceSlotRegisters;
}

int DevicesConnected(Client& client) {
  int connected = 0;
  for (int mac = 1; mac <= kDevices; ++mac) {
    uint16_t status = 1;
    connected += client.Read(DeviceBase(mac) + kStatusOffset, 1, &status) && status == 0;
  }
  return connected;
}

double AverageAchievedPeriodMs(Client& client) {
  double sum = 0;
  for (int mac = 1; mac <= kDevices; ++mac) {
    uint16_t achieved = 0;
    client.Read(DeviceBase(mac) + kStatusOffset + dnm::tool::kPollPeriodAchieved, 1, &achieved);
    sum += achieved;
  }
  return sum / kDevices;
}

struct Files {
  std::filesystem::path dir;
  std::string network;
};

Files WriteNetwork() {
  Files files{std::filesystem::temp_directory_path() / ("bench_modbus_" + std::to_string(getpid())),
              {}};
  std::filesystem::create_directories(files.dir);
  files.network = (files.dir / "network.txt").string();
  std::ofstream network(files.network);
  network << "segment bus shared=" << (files.dir / "bus.sock").string()
          << "\nport 0/1 segment=bus\n";
  for (int mac = 1; mac <= kDevices; ++mac) {
    network << "slave segment=bus mac=" << mac << " io=poll produced=2 consumed=0 inputs=counter\n";
  }
  return files;
}

std::string WriteScanList(const Files& files, int period_ms) {
  const std::string path =
      (files.dir / ("scanlist-" + std::to_string(period_ms) + ".txt")).string();
  std::ofstream list(path);
  list << "scanner poll_period=" << period_ms << "\nport 0/0 mac=0 baud=500\n";
  for (int mac = 1; mac <= kDevices; ++mac) list << "  device " << mac << "\n    poll in=2 out=0\n";
  return path;
}

// A poll response on the bus, or the client's first read of a value.
struct Sighting {
  int mac;
  uint8_t counter;
  uint64_t at_us;
};

// Collects the poll responses a test node of this process hears, until stopped.
void WatchBus(int32_t node, const std::atomic<bool>& stop, std::vector<Sighting>& heard) {
  CANMsg frame{};
  while (!stop) {
    if (VCAN_NodeReceive(node, &frame, 50) != 0) continue;
    const int mac = static_cast<int>(frame.id) - kPollResponseBase;
    if (mac >= 1 && mac <= kDevices && frame.len == 2)
      heard.push_back({mac, frame.data[0], StampUs(frame)});
  }
}

// Reads every device's inputs back to back for seconds, noting each value when it first shows.
std::vector<Sighting> ReadBackToBack(Client& client, double seconds) {
  std::vector<Sighting> read;
  std::vector<int> last(kDevices + 1, -1);
  const uint64_t end = NowUs() + static_cast<uint64_t>(seconds * 1e6);
  while (NowUs() < end) {
    for (int mac = 1; mac <= kDevices; ++mac) {
      uint16_t value = 0;
      if (!client.Read(DeviceBase(mac), 1, &value)) continue;
      const int counter = value >> 8;
      if (counter != last[mac]) read.push_back({mac, static_cast<uint8_t>(counter), NowUs()});
      last[mac] = counter;
    }
  }
  return read;
}

// For each read, the time since the latest response of that value heard before it.
std::vector<double> LatenciesMs(const std::vector<Sighting>& heard,
                                const std::vector<Sighting>& read) {
  std::map<std::pair<int, uint8_t>, std::vector<uint64_t>> when;
  for (const Sighting& s : heard) when[{s.mac, s.counter}].push_back(s.at_us);
  std::vector<double> latencies;
  for (const Sighting& s : read) {
    const auto found = when.find({s.mac, s.counter});
    if (found == when.end()) continue;
    const auto after = std::upper_bound(found->second.begin(), found->second.end(), s.at_us);
    if (after == found->second.begin()) continue;
    latencies.push_back(static_cast<double>(s.at_us - *(after - 1)) / 1000.0);
  }
  return latencies;
}

// dnm run on the list, with its client connected and every device connected; nullptr if not.
struct Scanner {
  std::unique_ptr<Child> process;
  std::unique_ptr<Client> client;
};

Scanner StartScanner(const Files& files, const std::string& list, int port) {
  const std::string modbus = "127.0.0.1:" + std::to_string(port);
  Scanner scanner{
      std::make_unique<Child>(std::vector<std::string>{DNM_BENCH_TOOL, "run", list, "--network",
                                                       files.network, "--modbus", modbus},
                              (files.dir / "run.log").string()),
      std::make_unique<Client>(port)};
  if (!scanner.client->Connect(*scanner.process)) {
    std::printf("dnm run did not serve on %s (see %s)\n", modbus.c_str(),
                (files.dir / "run.log").c_str());
    return {};
  }
  const uint64_t start = NowUs();
  int connected = 0;
  while ((connected = DevicesConnected(*scanner.client)) < kDevices &&
         NowUs() - start < kSetupTimeoutS * 1000000ull) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::printf("%d of %d devices connected after %.1f s\n", connected, kDevices,
              static_cast<double>(NowUs() - start) / 1e6);
  if (connected < kDevices) return {};
  return scanner;
}

bool MeasureLatency(const Files& files, int period_ms, int port, double seconds, int32_t node) {
  std::printf("\npoll period %d ms:\n", period_ms);
  Scanner scanner = StartScanner(files, WriteScanList(files, period_ms), port);
  if (!scanner.client) return false;
  std::atomic<bool> stop{false};
  std::vector<Sighting> heard;
  std::thread watch(WatchBus, node, std::cref(stop), std::ref(heard));
  const std::vector<Sighting> read = ReadBackToBack(*scanner.client, seconds);
  // The last responses reach this process's node a little after they ended on the bus.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  watch.join();
  const std::vector<double> latencies = LatenciesMs(heard, read);
  const double achieved = AverageAchievedPeriodMs(*scanner.client);
  const double goal = period_ms + kLatencySlackMs;
  const double p99 = Percentile(latencies, 0.99);
  std::printf("  poll period achieved %.1f ms (average over the devices)\n", achieved);
  std::printf(
      "  changes read %zu of %zu responses on the bus; latency p50 %.2f ms, p99 %.2f ms "
      "(goal p99 under %.0f ms): %s\n",
      latencies.size(), heard.size(), Percentile(latencies, 0.5), p99, goal,
      !latencies.empty() && p99 < goal ? "met" : "MISSED");
  return !latencies.empty() && p99 < goal;
}

// The CPU share of one core the process used over seconds, while load runs beside it.
template <typename Load>
CpuShare CpuPercent(pid_t pid, double seconds, Load load) {
  const CpuSeconds before = CpuSeconds::Of(pid);
  const uint64_t start = NowUs();
  load(seconds);
  const double elapsed = static_cast<double>(NowUs() - start) / 1e6;
  const CpuSeconds after = CpuSeconds::Of(pid);
  return {Share(after.process - before.process, elapsed), Share(after.own - before.own, elapsed),
          Share(after.server - before.server, elapsed)};
}

constexpr int kRequestsPerPass = 2 * kDevices;

// Every register of every device (its inputs and its status block), 10 times a second.
void ReadAllTenTimesASecond(Client& client, double seconds) {
  uint16_t values[kStatusRegisters];
  const auto start = std::chrono::steady_clock::now();
  for (int pass = 0; pass < static_cast<int>(seconds * 10); ++pass) {
    std::this_thread::sleep_until(start + pass * std::chrono::milliseconds(100));
    for (int mac = 1; mac <= kDevices; ++mac) {
      client.Read(DeviceBase(mac), 1, values);
      client.Read(DeviceBase(mac) + kStatusOffset, kStatusRegisters, values);
    }
  }
}

bool MeasureCpu(const Files& files, int port, double seconds) {
  std::printf(
      "\nCPU of dnm run, poll period 100 ms (%% of a core; dnm run's own threads are all "
      "but the virtual card's, which stand for the CAN adapter and the kernel):\n");
  Scanner scanner = StartScanner(files, WriteScanList(files, 100), port);
  if (!scanner.client) return false;
  const pid_t pid = scanner.process->pid();
  const CpuShare idle = CpuPercent(pid, seconds, [](double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
  });
  const CpuShare served =
      CpuPercent(pid, seconds, [&](double s) { ReadAllTenTimesASecond(*scanner.client, s); });
  const double requests_per_s = 10.0 * kRequestsPerPass;
  std::printf("  without a client: whole process %.2f, its own threads %.2f\n", idle.process,
              idle.own);
  std::printf(
      "  with a client reading all %d registers of each device 10 times a second (%.0f "
      "requests/s): whole process %.2f, its own threads %.2f, of which the server's %.2f, "
      "%.1f us a request\n",
      1 + kStatusRegisters, requests_per_s, served.process, served.own, served.server,
      served.server / 100 / requests_per_s * 1e6);
  std::printf("  goal under %.0f %% for dnm run's own threads with the client: %s\n",
              kCpuGoalPercent, served.own < kCpuGoalPercent ? "met" : "MISSED");
  return served.own < kCpuGoalPercent;
}

int FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const double seconds = OptionValue(argc, argv, "--seconds", 10);
  const Files files = WriteNetwork();
  std::printf("dnm run's Modbus TCP server, %d simulated devices at 500 kbit/s, on %s\n", kDevices,
              CpuModel().c_str());
  Child simulator({DNM_BENCH_TOOL, "simulate", files.network},
                  (files.dir / "simulate.log").string());
  // This process attaches to the simulator's segment, once it listens, to hear the responses.
  setenv("VELKCAN_NETWORK", files.network.c_str(), 1);
  int32_t node = 0;
  for (int tries = 0; tries < 100 && node <= 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    char unhosted[256];
    if (VCAN_UnhostedSegment(unhosted, sizeof unhosted) == 0) node = VCAN_AttachNode(0, 1, 500);
  }
  if (node <= 0) {
    std::printf("no simulator hosts the segment (see %s)\n", files.dir.c_str());
    return 1;
  }
  bool met = MeasureLatency(files, 100, FreePort(), seconds, node);
  met = MeasureLatency(files, 10, FreePort(), seconds, node) && met;
  met = MeasureCpu(files, FreePort(), seconds) && met;
  std::filesystem::remove_all(files.dir);
  return met ? 0 : 1;
}
