// What the web view shows of a running scanner. A sampler thread looks at every device every
// 100 ms and at every port once a second, keeping 10 minutes of each port's load; an identity
// reader reads each device's Identity object once its explicit connection stands; the scanner's
// events are kept in a ring of their own, numbered. Requests and live streams take the newest
// look: nothing here waits for a browser, and the scanner waits for nothing here but a short lock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "DeviceSample.h"
#include "Scanner.h"
#include "WebRequests.h"

namespace dnm::tool {

struct WebModelOptions {
  bool write = false;     // writes are allowed
  std::string scan_list;  // the file run
};

// One look at the network, as the stream sends it.
struct WebLook {
  uint64_t devices_version = 0;  // grows when anything in a device changed
  uint64_t ports_version = 0;    // grows with every look at the ports
  std::string devices;           // {"time":..,"devices":[..]}
  std::string ports;             // {"time":..,"ports":[..]}
  // Each device's JSON object and its failures, for /api/devices/N.
  struct Device {
    size_t port_index;
    uint8_t mac;
    std::string json;      // without its closing brace
    std::string failures;  // [..]
  };
  std::vector<Device> device_views;
  // Each port's JSON object without its closing brace, for /api/ports?history=1.
  struct Port {
    uint8_t board, port;
    std::string json;
  };
  std::vector<Port> port_views;
};

// What a live stream has sent so far.
struct StreamPosition {
  uint64_t devices_version = 0;
  uint64_t ports_version = 0;
  uint64_t event_seq = 0;  // the last event sent
};

class WebModel final : public WebBackend {
 public:
  static constexpr size_t kEventRing = 256;
  static constexpr size_t kHistory = 600;  // port samples, one a second

  WebModel(Scanner& scanner, OutputStore& outputs, WebModelOptions options);
  ~WebModel() override;  // ends its threads and its subscription
  WebModel(const WebModel&) = delete;
  WebModel& operator=(const WebModel&) = delete;

  bool WriteAllowed() const override { return options_.write; }
  const std::vector<std::string>& OwnNames() const override { return own_names_; }
  std::string Info() const override;
  std::string Ports(bool history) const override;
  std::string Devices() const override;
  std::optional<std::string> Device(DeviceRef device) const override;
  std::string Events(std::optional<uint64_t> after) const override;
  WriteOutcome WriteOutputs(DeviceRef device, std::optional<size_t> offset,
                            const std::vector<uint8_t>& bytes) override;
  WriteOutcome SetAttribute(DeviceRef device, const AttributeWrite& write) override;

  // Where a stream that starts now stands: it has seen no look and every event so far.
  StreamPosition StartPosition() const;
  // The stream's next messages after position, which they move on: waits until there is
  // something new, at most wait; "" when there is nothing yet or the model stops.
  std::string NextMessages(StreamPosition& position, std::chrono::milliseconds wait) const;
  // Every stream waiting in NextMessages returns; none waits again.
  void Stop();
  bool Stopping() const;

 private:
  struct PortMemory;
  struct DeviceMemory;
  using PortKey = std::tuple<uint8_t, uint8_t>;             // board, port
  using DeviceKey = std::tuple<uint8_t, uint8_t, uint8_t>;  // board, port, MAC ID
  struct HistorySample {
    int64_t t_ms;
    double bus_load;
    double frames_per_second;
  };

  struct Found {
    std::shared_ptr<const ScanList> list;
    const PortEntry* port;
    const DeviceEntry* device;
  };

  void RunSampler();
  void Sample(bool ports_due);
  void SampleDevices(const ScanList& list, WebLook& look);
  WebLook::Device LookAtDevice(const ScanList& list, size_t port_index, const DeviceEntry& device,
                               bool& changed);
  void SamplePorts(const ScanList& list);
  std::string PortJson(size_t index, const PortEntry& port, int64_t unix_ms);
  void RunIdentityReader();
  void ReadWantedIdentities();
  // The device's identity as JSON, "null" until read; asks for it to be read when the explicit
  // connection stands and it is not known, or stands again after a loss.
  std::string IdentityJson(const PortEntry& port, const DeviceEntry& device, bool stands,
                           bool stands_again);
  void Note(const Event& event);
  std::shared_ptr<const WebLook> Newest() const;
  std::string EventMessages(StreamPosition& position) const;  // mutex_ held
  std::optional<Found> Find(DeviceRef ref) const;

  Scanner& scanner_;
  OutputStore& outputs_;
  const WebModelOptions options_;
  const std::string started_;
  const std::vector<std::string> own_names_;
  Scanner::SubscriberId subscription_ = 0;

  // The sampler's own.
  std::map<DeviceKey, std::unique_ptr<DeviceMemory>> devices_;
  std::map<PortKey, std::unique_ptr<PortMemory>> ports_;
  uint64_t devices_version_ = 1;  // a stream starts from 0: it is sent the first look
  uint64_t ports_version_ = 1;
  std::string ports_json_;
  std::vector<WebLook::Port> port_views_;

  mutable std::mutex mutex_;  // guards look_, events_, next_seq_, stopping_, history_
  mutable std::condition_variable changed_;
  std::shared_ptr<const WebLook> look_;
  std::deque<std::pair<uint64_t, std::string>> events_;  // seq, the event's JSON
  uint64_t next_seq_ = 1;
  bool stopping_ = false;
  std::map<PortKey, std::deque<HistorySample>> history_;

  // Identities read, and the devices whose identity is wanted.
  struct CachedIdentity {
    DeviceEntry entry;
    bool wanted = false;
    std::string json;  // "" until read
    std::chrono::steady_clock::time_point next_try{};
  };
  mutable std::mutex identity_mutex_;  // guards identities_ and identity_wake_
  std::condition_variable identity_changed_;
  std::map<DeviceKey, CachedIdentity> identities_;
  bool identity_wake_ = false;

  std::atomic<bool> stop_{false};
  std::thread sampler_;
  std::thread identity_reader_;
};

}  // namespace dnm::tool
