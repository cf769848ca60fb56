// Measures what keeping idle explicit connections alive costs on the bus:
// 63 simulated slaves on one segment, each connected over the predefined
// master/slave set, then left without application traffic. Prints the
// share of the bus the master's keep-alives and their answers take, at each
// baud rate, and checks that no slave's inactivity watchdog expired.
//
//   bench_keepalive [--seconds N]   (idle time per rate, default 30)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "VELKCANDNM.h"
#include "api/Library.h"
#include "platform/Platform.h"
#include "vcan_test.h"

namespace {

constexpr uint8_t kMaster = 0;
constexpr int kSlaves = 63;

struct Rate {
  uint8_t code;
  uint32_t kbit;
};
constexpr Rate kRates[] = {{0, 500}, {1, 250}, {2, 125}};

// One network description with three segments, one per rate, each on its
// own port, with 63 slaves each.
std::string WriteNetwork() {
  std::string path = "/tmp/bench_keepalive_" + std::to_string(getpid()) + ".net";
  std::ofstream file(path);
  for (int p = 0; p < 3; ++p) {
    for (int mac = 1; mac <= kSlaves; ++mac) {
      file << "slave segment=vcan0." << p + 1 << " mac=" << mac << " baud=" << kRates[p].kbit
           << "\n";
    }
  }
  return path;
}

bool AllEstablished(uint8_t port) {
  for (uint8_t mac = 1; mac <= kSlaves; ++mac) {
    if (DNM_CheckExplicitMsgConnectionStatus(0, port, mac) != 0) return false;
  }
  return true;
}

void Measure(uint8_t port, const Rate& rate, double seconds) {
  if (DNM_Online(0, port, rate.code, kMaster) != 0) {
    std::printf("port %d: online failed\n", port);
    return;
  }
  for (uint8_t mac = 1; mac <= kSlaves; ++mac) {
    DNM_AddDevice(0, port, mac, 0);
    DNM_ConfigExplicitMsg(0, port, mac, 1);
    DNM_StartDevice(0, port, mac);
  }
  for (int i = 0; i < 300 && !AllEstablished(port); ++i) dnm::platform::SleepMs(100);
  // Start counting once the set-up traffic is over.
  dnm::platform::SleepMs(1000);
  const int32_t driver_port = port + 1;
  VCAN_ResetSegmentStats(0, driver_port);
  const uint32_t start = dnm::platform::GetTickCount();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double elapsed_us = (dnm::platform::GetTickCount() - start) * 1000.0;
  VCAN_SegmentStats stats{};
  VCAN_GetSegmentStats(0, driver_port, &stats);
  uint32_t expiries = 0;
  for (int mac = 1; mac <= kSlaves; ++mac) {
    VCAN_SlaveState state{};
    VCAN_SlaveGetState(0, driver_port, mac, &state);
    expiries += state.watchdog_expiries;
  }
  std::printf(
      "%3u kbit/s: %d idle devices, %.1f frames/s, bus load %.2f %%, %s, %u watchdog "
      "expiries\n",
      rate.kbit, kSlaves, stats.frames / (elapsed_us / 1e6),
      100.0 * static_cast<double>(stats.busy_us) / elapsed_us,
      AllEstablished(port) ? "all connections up" : "SOME CONNECTIONS DOWN", expiries);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
  }
  const std::string network = WriteNetwork();
  setenv("VELKCAN_NETWORK", network.c_str(), 1);
  unsetenv("HYPERTRACE_FILE");
  dnm::DeviceNet_Initial();
  if (DNM_ActiveBoard(0) != 0) return 1;
  std::printf("keep-alive cost, %.0f s idle per rate\n", seconds);
  for (uint8_t port = 0; port < 3; ++port) Measure(port, kRates[port], seconds);
  DNM_CloseBoard(0);
  std::remove(network.c_str());
  return 0;
}
