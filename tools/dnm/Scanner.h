// The standing scanner of dnm run: brings the ports of a scan list online, adds, configures and
// starts its devices, checks each device's identity before its I/O starts, watches the
// connections and tells what changes as events; applies a reloaded list as a difference.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Connections.h"
#include "ScanList.h"
#include "ScannerView.h"
#include "VELKCANDNM.h"

namespace dnm::tool {

enum class EventKind : uint8_t {
  kOnline,            // a port went online
  kOnlineFailed,      // a port could not go online
  kOffline,           // a port went offline: the list no longer names it, or the scanner stops
  kConnected,         // every connection of a device stands
  kLost,              // a connection that stood no longer does
  kSetupFailed,       // a connection cannot be set up, for a cause not told before
  kSizeMismatch,      // the same, because the device's size differs from the list's
  kIdentityMismatch,  // the device answers with another identity; its I/O is not started
  kRefused,           // the library refused to add, configure or start a device
  kAdded,             // a reload added the device
  kRemoved,           // a reload removed the device
  kChanged,           // a reload changed the device: removed and added again
  kReloaded,          // a reload was applied
  kReloadRefused,     // a reloaded file has a refused line; the list run now stays
  kStopped,           // the scanner stopped: every device stopped, every board closed
  kDropped            // dnm run dropped event lines: its stdout was not read
};

struct Event {
  std::chrono::system_clock::time_point time;
  EventKind kind;
  int board = -1;  // -1 (and port, mac) where the event is not about one
  int port = -1;
  int mac = -1;
  std::string connection;  // "poll", "strobe"...; empty when not about one connection
  uint16_t cause = 0;      // DNM_GetSetupFailure's cause, 0 for none
  std::string text;
};

// "2026-12-08T01:02:03.456Z" (UTC, ms).
std::string UtcTime(std::chrono::system_clock::time_point time);

// "connected", "size_mismatch"...
const char* EventName(EventKind kind);
// "2026-12-08T01:02:03.456Z port 0/0 mac 3: connected: poll in 4 out 4" (UTC, ms).
std::string EventLine(const Event& event);
// One JSON object, without a line end.
std::string EventJson(const Event& event);

class Scanner : public ScannerView {
 public:
  // Keeps the last history events for Recent.
  explicit Scanner(ScanList list, size_t history = 256);
  ~Scanner() override;  // Stop
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Every event from now on goes to the subscriber, on the thread that calls Start, Watch,
  // Reload or Stop, until it is unsubscribed. Any thread may subscribe and unsubscribe, but not
  // a subscriber while it is called; a subscriber must not block (the scan waits for it).
  using SubscriberId = size_t;
  SubscriberId Subscribe(std::function<void(const Event&)> subscriber);
  // Once it returns, the subscriber is called no more.
  void Unsubscribe(SubscriberId id);
  std::vector<Event> Recent() const;

  // Sets the periods, brings every port online and starts its devices; false when a port
  // could not go online (an event says why), the others running on.
  bool Start();
  // One look at every device: turns what changed into events and goes on with identity checks.
  void Watch();
  // Applies what differs from the list run now; a list with refused lines is not applied.
  void Reload(const ParsedScanList& parsed);
  // Closes every board: the library releases every started device's connections first.
  void Stop();

  std::shared_ptr<const ScanList> List() const override;
  DeviceRun RunOf(size_t port_index, uint8_t mac) const override;

 private:
  static constexpr size_t kKinds = 5;  // explicit, poll, strobe, cos, cyclic (Kind's order)

  // Where the telling of a connection's loss stands, since it last stood.
  enum class Loss : uint8_t { kNone, kUntold, kTold };
  // What the last look saw of one connection.
  struct ConnectionLook {
    bool stood = false;
    Loss loss = Loss::kNone;
    uint16_t lost_status = 0;  // its status when it was lost
    std::chrono::steady_clock::time_point lost_at{};
    DNM_SetupFailure told{};  // the last failure told as an event
  };
  struct DeviceState {
    explicit DeviceState(DeviceEntry e) : entry(std::move(e)) {}
    DeviceEntry entry;
    DeviceRun run = DeviceRun::kStarting;
    bool io_configured = false;  // its I/O connections are configured
    bool identity_due = false;   // read the identity when the explicit connection stands:
                                 // after the start, and after a loss
    bool connected = false;      // told as connected since it last lost a connection
    std::string mismatch_told;   // the identity mismatch told last
    std::chrono::steady_clock::time_point next_identity_read{};
    std::array<ConnectionLook, kKinds> looks{};
  };
  struct PortState {
    PortEntry entry;
    bool online = false;
    std::vector<DeviceState> devices;
  };

  struct ReloadCounts {
    size_t added = 0, removed = 0, changed = 0, unchanged = 0;
  };

  bool BringOnline(PortState& port);
  void TakeOffline(PortState& port);
  void AddDevice(PortState& port, DeviceState& device);
  void AddOrMarkAbsent(PortState& port, DeviceState& device);
  void RemoveDevice(PortState& port, DeviceState& device);
  bool ConfigureIo(PortState& port, DeviceState& device);
  void StartIo(PortState& port, DeviceState& device);
  void CheckIdentity(PortState& port, DeviceState& device);
  void WatchDevice(PortState& port, DeviceState& device);
  void TellLoss(PortState& port, DeviceState& device, Kind kind_id,
                const DNM_SetupFailure& failure);
  static void NoteTold(DeviceState& device, Kind kind_id, const DNM_SetupFailure& failure);
  static bool AnotherToldDown(const DeviceState& device, Kind kind_id);
  bool LookAt(PortState& port, DeviceState& device, Kind kind);
  // True (after telling it) when code is a refusal; the device is then taken out again.
  bool Refused(PortState& port, DeviceState& device, const char* export_name, uint16_t code);
  void ApplyPeriods(const ScanList& list);
  void ReloadPort(PortState& port, const PortEntry& entry, ReloadCounts& counts);
  void CloseUnusedBoards();
  void SetRun(DeviceState& device, DeviceRun run);
  void PublishView();

  void Emit(EventKind kind, const PortEntry* port, int mac, std::string text,
            const std::string& connection = {}, uint16_t cause = 0);

  ScanList list_;
  std::vector<PortState> ports_;  // in the order of list_.ports
  std::array<bool, 8> boards_active_{};
  bool started_ = false;
  bool view_stale_ = false;  // a device's run changed since the view was published

  mutable std::mutex view_mutex_;  // guards view_list_ and view_runs_
  std::shared_ptr<const ScanList> view_list_;
  std::vector<std::array<DeviceRun, 64>> view_runs_;

  // Held while events are delivered (before events_mutex_), and to change subscribers_.
  std::mutex delivery_mutex_;
  mutable std::mutex events_mutex_;  // guards recent_, last_subscriber_; and subscribers_ with
                                     // delivery_mutex_ (either one to read it)
  std::vector<std::pair<SubscriberId, std::function<void(const Event&)>>> subscribers_;
  SubscriberId last_subscriber_ = 0;
  std::deque<Event> recent_;
  size_t history_;
};

}  // namespace dnm::tool
