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
#include <modbus.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RegisterMap.h"
#include "RunRig.h"

namespace bench {
namespace {

using dnm::tool::kDeviceSlotRegisters;
using dnm::tool::kStatusOffset;
using dnm::tool::kStatusRegisters;
constexpr double kCpuGoalPercent = 2;
constexpr double kLatencySlackMs = 10;
constexpr int kSetupTimeoutS = 120;

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
  BusWatch watch(node);
  const std::vector<Sighting> read = ReadBackToBack(*scanner.client, seconds);
  // The last responses reach this process's node a little after they ended on the bus.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::vector<Sighting> heard = watch.Stop();
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
  const CpuShare idle = CpuPercent(pid, "modbus-", seconds, [](double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
  });
  const CpuShare served =
      CpuPercent(pid, "modbus-", seconds,
                 [&](double s) { ReadAllTenTimesASecond(*scanner.client, s); });
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

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const double seconds = OptionValue(argc, argv, "--seconds", 10);
  std::printf("dnm run's Modbus TCP server, %d simulated devices at 500 kbit/s, on %s\n", kDevices,
              CpuModel().c_str());
  const Rig rig("bench_modbus");
  if (rig.node == 0) return 1;
  bool met = MeasureLatency(rig.files, 100, FreePort(), seconds, rig.node);
  met = MeasureLatency(rig.files, 10, FreePort(), seconds, rig.node) && met;
  met = MeasureCpu(rig.files, FreePort(), seconds) && met;
  return met ? 0 : 1;
}
