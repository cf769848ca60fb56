// Measures dnm run's MQTT publisher against the distribution's mosquitto broker: 63 simulated
// slaves at 500 kbit/s polled every 10 ms, each response an input change (RunRig.h), dnm run
// publishing them at the default --mqtt-min-interval of 100 ms, and a subscriber of this process
// (libmosquitto) on every device's inputs. Against goals:
// - the messages per device per second, within the rate limit (at most 10);
// - for every poll response heard on the bus, the time until the subscriber has seen its value or
//   a newer one: p99 under 200 ms (and, for each message, the age of its value when it came);
// - the CPU of dnm run's MQTT threads, the publisher's (its sampling of the devices through the
//   library included) and libmosquitto's: under 5 % of a core; beside it the whole process's and
//   that of its own threads (all but the virtual card's, named vcan-*, which stand for the CAN
//   adapter and the kernel), the scan at 10 ms included.
//
//   bench_mqtt_latency [--seconds N]   (length of the measurement, default 10)
#include <mosquitto.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "RunRig.h"

namespace bench {
namespace {

constexpr int kPollPeriodMs = 10;
constexpr int kMinIntervalMs = 100;
constexpr double kRateGoal = 1000.0 / kMinIntervalMs;
constexpr double kStalenessGoalMs = 200;
constexpr double kCpuGoalPercent = 5;
constexpr int kSetupTimeoutS = 120;
// The responses of the last moments may not have been published yet when the measurement ends.
constexpr uint64_t kTailUs = 500000;
const char kPrefix[] = "bench";

// A subscriber to every device's inputs, noting each message with the time it came.
class Subscriber {
 public:
  explicit Subscriber(int port) : client_(mosquitto_new(nullptr, true, this)) {
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_connect_callback_set(client_, [](mosquitto* client, void*, int code) {
      if (code == 0) {
        mosquitto_subscribe(client, nullptr,
                            (std::string(kPrefix) + "/port/0-0/device/+/inputs").c_str(), 0);
      }
    });
    mosquitto_loop_start(client_);
    mosquitto_connect_async(client_, "127.0.0.1", port, 10);
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  std::vector<Sighting> Take() {
    const std::lock_guard lock(mutex_);
    return std::exchange(seen_, {});
  }
  int DevicesSeen() {
    const std::lock_guard lock(mutex_);
    std::vector<bool> seen(kDevices + 1);
    for (const Sighting& s : seen_) seen[static_cast<size_t>(s.mac)] = true;
    return static_cast<int>(std::count(seen.begin(), seen.end(), true));
  }

 private:
  // bench/port/0-0/device/MAC/inputs, {...,"bytes":[COUNTER,...]}
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    int mac = 0;
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<size_t>(std::max(message->payloadlen, 0)));
    const size_t bytes = payload.find("\"bytes\":[");
    if (std::sscanf(message->topic, "bench/port/0-0/device/%d/inputs", &mac) != 1 || mac < 1 ||
        mac > kDevices || bytes == std::string::npos)
      return;
    const int counter = std::atoi(payload.c_str() + bytes + 9);
    if (counter < 0 || counter > 255) return;
    auto& subscriber = *static_cast<Subscriber*>(self);
    const std::lock_guard lock(subscriber.mutex_);
    subscriber.seen_.push_back({mac, static_cast<uint8_t>(counter), NowUs()});
  }

  mosquitto* client_;
  std::mutex mutex_;
  std::vector<Sighting> seen_;
};

// For every response heard up to until_us, the time until a message of its value or a newer one
// came.
std::vector<double> StalenessMs(const std::vector<Sighting>& heard,
                                const std::vector<Sighting>& seen, uint64_t until_us) {
  const std::vector<uint64_t> bus = BusTimes(heard, seen);
  // Per device, in the order the messages came: the newest bus time seen so far, and when.
  std::map<int, std::vector<std::pair<uint64_t, uint64_t>>> newest;
  for (size_t i = 0; i < seen.size(); ++i) {
    auto& line = newest[seen[i].mac];
    const uint64_t so_far = line.empty() ? 0 : line.back().first;
    line.emplace_back(std::max(so_far, bus[i]), seen[i].at_us);
  }
  std::vector<double> staleness;
  for (const Sighting& h : heard) {
    if (h.at_us > until_us) continue;
    const auto& line = newest[h.mac];
    const auto covered = std::lower_bound(line.begin(), line.end(), std::make_pair(h.at_us, 0ul));
    if (covered != line.end())
      staleness.push_back(static_cast<double>(covered->second - h.at_us) / 1000.0);
  }
  return staleness;
}

bool Measure(const Files& files, int32_t node, double seconds) {
  const int port = FreePort();
  const std::string config = (files.dir / "mosquitto.conf").string();
  std::ofstream(config) << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                        << "persistence false\n";
  Child broker({"/usr/sbin/mosquitto", "-c", config}, (files.dir / "mosquitto.log").string());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Child scanner({DNM_BENCH_TOOL, "run", WriteScanList(files, kPollPeriodMs), "--network",
                 files.network, "--mqtt", "mqtt://127.0.0.1:" + std::to_string(port),
                 "--mqtt-prefix", kPrefix},
                (files.dir / "run.log").string());
  Subscriber subscriber(port);
  const uint64_t start = NowUs();
  while (subscriber.DevicesSeen() < kDevices && scanner.Running() && broker.Running() &&
         NowUs() - start < kSetupTimeoutS * 1000000ull)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int devices = subscriber.DevicesSeen();
  std::printf("inputs of %d of %d devices seen after %.1f s\n", devices, kDevices,
              static_cast<double>(NowUs() - start) / 1e6);
  if (devices < kDevices) {
    std::printf("(see %s)\n", files.dir.c_str());
    return false;
  }
  subscriber.Take();
  BusWatch watch(node);
  const uint64_t from = NowUs();
  const CpuShare cpu = CpuPercent(scanner.pid(), "mqtt-", seconds, [](double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
  });
  const uint64_t until = NowUs();
  std::vector<Sighting> heard = watch.Stop();
  const std::vector<Sighting> seen = subscriber.Take();
  std::erase_if(heard, [&](const Sighting& h) { return h.at_us < from; });

  std::vector<int> messages(kDevices + 1);
  for (const Sighting& s : seen) ++messages[static_cast<size_t>(s.mac)];
  const double elapsed = static_cast<double>(until - from) / 1e6;
  const double most = *std::max_element(messages.begin() + 1, messages.end()) / elapsed;
  const double fewest = *std::min_element(messages.begin() + 1, messages.end()) / elapsed;
  const std::vector<double> staleness = StalenessMs(heard, seen, until - kTailUs);
  const std::vector<double> ages = LatenciesMs(heard, seen);
  const double p99 = Percentile(staleness, 0.99);
  const bool rate_met = most <= kRateGoal * 1.05;  // the measurement's edges
  const bool staleness_met = !staleness.empty() && p99 < kStalenessGoalMs;
  const bool cpu_met = cpu.server < kCpuGoalPercent;
  std::printf("  %zu poll responses on the bus (%.0f a device a second), %zu messages\n",
              heard.size(), static_cast<double>(heard.size()) / kDevices / elapsed, seen.size());
  std::printf("  messages a device a second: %.1f to %.1f (goal at most %.0f): %s\n", fewest, most,
              kRateGoal, rate_met ? "met" : "MISSED");
  std::printf(
      "  from a response on the bus to a message of its value or a newer one: p50 %.1f ms, "
      "p99 %.1f ms, most %.1f ms (goal p99 under %.0f ms): %s\n",
      Percentile(staleness, 0.5), p99, Percentile(staleness, 1), kStalenessGoalMs,
      staleness_met ? "met" : "MISSED");
  std::printf("  age of a message's value when it came: p50 %.1f ms, p99 %.1f ms\n",
              Percentile(ages, 0.5), Percentile(ages, 0.99));
  std::printf(
      "  CPU of dnm run (%% of a core): whole process %.2f, its own threads %.2f, of which the "
      "MQTT threads' (the publisher's and libmosquitto's) %.2f (goal under %.0f %%): %s\n",
      cpu.process, cpu.own, cpu.server, kCpuGoalPercent, cpu_met ? "met" : "MISSED");
  return rate_met && staleness_met && cpu_met;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const double seconds = OptionValue(argc, argv, "--seconds", 10);
  if (!std::filesystem::exists("/usr/sbin/mosquitto")) {
    std::printf("no /usr/sbin/mosquitto: scripts/need-packages.sh mqtt installs it\n");
    return 1;
  }
  std::printf(
      "dnm run's MQTT publisher, %d simulated devices at 500 kbit/s polled every %d ms, "
      "--mqtt-min-interval %d ms, mosquitto on 127.0.0.1, on %s\n",
      kDevices, kPollPeriodMs, kMinIntervalMs, CpuModel().c_str());
  const Rig rig("bench_mqtt");
  if (rig.node == 0) return 1;
  mosquitto_lib_init();
  const bool met = Measure(rig.files, rig.node, seconds);
  mosquitto_lib_cleanup();
  return met ? 0 : 1;
}
