#include "Scanner.h"

#include <algorithm>
#include <ctime>
#include <string_view>

#include "Api.h"
#include "Connections.h"
#include "Explain.h"
#include "Json.h"
#include "Values.h"

namespace dnm::tool {

std::string UtcTime(std::chrono::system_clock::time_point time) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms.count() % 1000));
  return text;
}

namespace {

// The expected packet rate asked of a poll or bit-strobe connection. A group-2 device always
// receives 2500 ms; a UCMM one the low byte with the high byte kept only up to 3, so the longest
// it can be given is 0x03FF: 1023 ms, above the slowest poll period (1000 ms).
constexpr uint16_t kPollPacketRate = 0x03FF;
// How long a device whose identity could not be read waits before it is read again.
constexpr auto kIdentityRetry = std::chrono::seconds(2);
// The library notes a loss's cause as it sees the loss; three looks are room for a starved
// thread between the two.
constexpr auto kCauseWait = std::chrono::milliseconds(300);

const char* const kEventNames[] = {
    "online",        "online_failed",     "offline", "connected", "lost",    "setup_failed",
    "size_mismatch", "identity_mismatch", "refused", "added",     "removed", "changed",
    "reloaded",      "reload_refused",    "stopped", "dropped"};

std::string CodeText(const char* export_name, uint16_t code) {
  return std::string(export_name) + " gave " + std::to_string(code) + " " +
         api().DNM_GetErrorText(code);
}

std::string JsonNumberOr(int value, const char* absent) {
  return value < 0 ? absent : std::to_string(value);
}

bool SameFailure(const DNM_SetupFailure& a, const DNM_SetupFailure& b) {
  return a.cause == b.cause && a.request == b.request && a.device_size == b.device_size &&
         a.configured_size == b.configured_size && a.general_status == b.general_status &&
         a.additional_status == b.additional_status;
}

// The kinds of connection the device has configured now: the explicit one, and its I/O ones
// once they are configured.
std::vector<Kind> KindsOf(const DeviceEntry& entry, bool io_configured) {
  std::vector<Kind> kinds{Kind::kExplicit};
  if (!io_configured) return kinds;
  if (entry.poll) kinds.push_back(Kind::kPoll);
  if (entry.strobe) kinds.push_back(Kind::kStrobe);
  if (entry.cos_cyclic) kinds.push_back(entry.cos_cyclic->cyclic ? Kind::kCyclic : Kind::kCos);
  return kinds;
}

// "poll in 4 out 4, strobe in 2"; "explicit only".
std::string ConnectionsText(const DeviceEntry& entry) {
  std::vector<std::string> parts;
  if (entry.poll) {
    parts.push_back("poll in " + std::to_string(entry.poll->input) + " out " +
                    std::to_string(entry.poll->output));
  }
  if (entry.strobe) parts.push_back("strobe in " + std::to_string(entry.strobe->input));
  if (const auto& c = entry.cos_cyclic) {
    parts.push_back(std::string(c->cyclic ? "cyclic" : "cos") + " in " + std::to_string(c->input) +
                    " out " + std::to_string(c->output) + (c->cyclic ? " rate " : " heartbeat ") +
                    std::to_string(c->rate_ms) + " ms");
  }
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text.empty() ? "explicit only" : text;
}

struct Config {
  const char* export_name;
  uint16_t code;
};

// Configures the device's I/O connections; the first refusal, or {nullptr, 0}.
Config ConfigureConnections(uint8_t b, uint8_t p, const DeviceEntry& e) {
  const Api& a = api();
  if (e.poll) {
    const uint16_t code =
        a.DNM_ConfigPoll(b, p, e.mac, e.poll->input, e.poll->output, kPollPacketRate, 0);
    if (code != DNM_NoError) return {"DNM_ConfigPoll", code};
  }
  if (e.strobe) {
    const uint16_t code = a.DNM_ConfigBitStrobe(b, p, e.mac, e.strobe->input, kPollPacketRate, 0);
    if (code != DNM_NoError) return {"DNM_ConfigBitStrobe", code};
  }
  if (const auto& c = e.cos_cyclic) {
    const auto config = c->cyclic ? a.DNM_ConfigCyclic : a.DNM_ConfigCOS;
    const uint16_t code = config(b, p, e.mac, c->input, c->output, 0, c->rate_ms, 0);
    if (code != DNM_NoError) return {c->cyclic ? "DNM_ConfigCyclic" : "DNM_ConfigCOS", code};
  }
  return {nullptr, 0};
}

// The identity the list asks against the one the device answers with: what differs ("vendor
// 77, 901 expected"), or what could not be read.
struct IdentityCheck {
  bool read = true;
  std::string difference;  // empty: as asked
};

IdentityCheck CheckIdentityOf(uint8_t b, uint8_t p, const DeviceEntry& e) {
  struct Key {
    const char* name;
    uint8_t attribute;
    size_t width;
    std::optional<uint32_t> expected;
  };
  const ExpectedIdentity& id = e.identity;
  const Key keys[] = {{"vendor", kVendorId, 2, id.vendor},
                      {"device type", kDeviceType, 2, id.device_type},
                      {"product code", kProductCode, 2, id.product_code},
                      {"serial", kSerialNumber, 4, id.serial}};
  IdentityCheck check;
  for (const Key& key : keys) {
    if (!key.expected) continue;
    std::string why;
    const std::optional<uint32_t> read =
        ReadIdentityNumber(b, p, e.mac, key.attribute, key.width, &why);
    if (!read) return {false, std::string(key.name) + " not read: " + why};
    if (*read == *key.expected) continue;
    check.difference += (check.difference.empty() ? "" : ", ") + std::string(key.name) + " " +
                        std::to_string(*read) + ", " + std::to_string(*key.expected) + " expected";
  }
  return check;
}

}  // namespace

const char* EventName(EventKind kind) {
  return kEventNames[static_cast<size_t>(kind)];
}

std::string EventLine(const Event& event) {
  std::string subject = "scanner";
  if (event.board >= 0) {
    subject = "port " + std::to_string(event.board) + "/" + std::to_string(event.port);
    if (event.mac >= 0) subject += " mac " + std::to_string(event.mac);
  }
  return UtcTime(event.time) + " " + subject + ": " + event.text;
}

std::string EventJson(const Event& event) {
  return "{\"time\":" + JsonString(UtcTime(event.time)) +
         ",\"event\":" + JsonString(EventName(event.kind)) +
         ",\"board\":" + JsonNumberOr(event.board, "null") +
         ",\"port\":" + JsonNumberOr(event.port, "null") +
         ",\"mac\":" + JsonNumberOr(event.mac, "null") +
         ",\"connection\":" + (event.connection.empty() ? "null" : JsonString(event.connection)) +
         ",\"cause\":" + std::to_string(event.cause) + ",\"text\":" + JsonString(event.text) + "}";
}

Scanner::Scanner(ScanList list, size_t history) : list_(std::move(list)), history_(history) {
  for (const PortEntry& entry : list_.ports) {
    PortState port{entry, false, {}};
    for (const DeviceEntry& device : entry.devices) port.devices.emplace_back(device);
    ports_.push_back(std::move(port));
  }
  PublishView();
}

Scanner::~Scanner() {
  Stop();
}

Scanner::SubscriberId Scanner::Subscribe(std::function<void(const Event&)> subscriber) {
  const std::lock_guard delivery(delivery_mutex_);
  const std::lock_guard lock(events_mutex_);
  subscribers_.emplace_back(++last_subscriber_, std::move(subscriber));
  return last_subscriber_;
}

void Scanner::Unsubscribe(SubscriberId id) {
  const std::lock_guard delivery(delivery_mutex_);
  const std::lock_guard lock(events_mutex_);
  std::erase_if(subscribers_, [id](const auto& subscriber) { return subscriber.first == id; });
}

std::vector<Event> Scanner::Recent() const {
  const std::lock_guard lock(events_mutex_);
  return {recent_.begin(), recent_.end()};
}

void Scanner::Emit(EventKind kind, const PortEntry* port, int mac, std::string text,
                   const std::string& connection, uint16_t cause) {
  Event event{std::chrono::system_clock::now(),
              kind,
              port != nullptr ? port->board : -1,
              port != nullptr ? port->port : -1,
              mac,
              connection,
              cause,
              std::move(text)};
  // Delivered under delivery_mutex_, so that no subscriber is called once Unsubscribe returned.
  const std::lock_guard delivery(delivery_mutex_);
  {
    const std::lock_guard lock(events_mutex_);
    recent_.push_back(event);
    while (recent_.size() > history_) recent_.pop_front();
  }
  for (const auto& subscriber : subscribers_) subscriber.second(event);
}

std::shared_ptr<const ScanList> Scanner::List() const {
  const std::lock_guard lock(view_mutex_);
  return view_list_;
}

DeviceRun Scanner::RunOf(size_t port_index, uint8_t mac) const {
  const std::lock_guard lock(view_mutex_);
  if (port_index >= view_runs_.size() || mac >= 64) return DeviceRun::kAbsent;
  return view_runs_[port_index][mac];
}

void Scanner::PublishView() {
  std::vector<std::array<DeviceRun, 64>> runs(ports_.size());
  for (size_t i = 0; i < ports_.size(); ++i) {
    runs[i].fill(DeviceRun::kAbsent);
    for (const DeviceState& device : ports_[i].devices) runs[i][device.entry.mac] = device.run;
  }
  auto list = std::make_shared<const ScanList>(list_);
  const std::lock_guard lock(view_mutex_);
  view_list_ = std::move(list);
  view_runs_ = std::move(runs);
  view_stale_ = false;
}

void Scanner::ApplyPeriods(const ScanList& list) {
  api().DNM_SetPollFrequency(
      static_cast<uint16_t>(1000 / std::max<uint16_t>(list.poll_period_ms, 1)));
  api().DNM_SetBitStrobeFrequency(
      static_cast<uint16_t>(1000 / std::max<uint16_t>(list.strobe_period_ms, 1)));
}

bool Scanner::Start() {
  started_ = true;
  ApplyPeriods(list_);
  bool all_online = true;
  for (PortState& port : ports_) {
    const bool online = BringOnline(port);
    all_online = all_online && online;
    for (DeviceState& device : port.devices) AddOrMarkAbsent(port, device);
  }
  PublishView();
  return all_online;
}

bool Scanner::BringOnline(PortState& port) {
  const PortEntry& e = port.entry;
  if (!boards_active_[e.board]) {
    const uint16_t code = api().DNM_ActiveBoard(e.board);
    if (code != DNM_NoError) {
      Emit(EventKind::kOnlineFailed, &e, -1,
           "cannot activate board " + std::to_string(e.board) + ": " +
               CodeText("DNM_ActiveBoard", code));
      return false;
    }
    boards_active_[e.board] = true;
  }
  const std::string as =
      "at " + std::to_string(KbitOf(e.baud_code)) + " kbit/s as MAC ID " + std::to_string(e.mac);
  const uint16_t code = api().DNM_Online(e.board, e.port, e.baud_code, e.mac);
  if (code == DNM_OnlineError) {
    Emit(EventKind::kOnlineFailed, &e, -1,
         "cannot go online " + as + ": MAC ID " + std::to_string(e.mac) +
             " is taken by another node");
    return false;
  }
  if (code != DNM_NoError) {
    Emit(EventKind::kOnlineFailed, &e, -1,
         "cannot go online " + as + ": " + CodeText("DNM_Online", code));
    return false;
  }
  port.online = true;
  Emit(EventKind::kOnline, &e, -1, "online " + as);
  return true;
}

void Scanner::TakeOffline(PortState& port) {
  if (!port.online) return;
  for (DeviceState& device : port.devices) RemoveDevice(port, device);
  api().DNM_Offline(port.entry.board, port.entry.port);
  port.online = false;
  Emit(EventKind::kOffline, &port.entry, -1, "offline");
}

bool Scanner::Refused(PortState& port, DeviceState& device, const char* export_name,
                      uint16_t code) {
  if (code == DNM_NoError) return false;
  Emit(EventKind::kRefused, &port.entry, device.entry.mac,
       "refused: " + CodeText(export_name, code));
  // A device the library would not add may be another's entry: it is not taken out.
  if (std::string_view(export_name) != "DNM_AddDevice")
    api().DNM_RemoveDevice(port.entry.board, port.entry.port, device.entry.mac);
  SetRun(device, DeviceRun::kRefused);
  return true;
}

void Scanner::AddOrMarkAbsent(PortState& port, DeviceState& device) {
  if (port.online) {
    AddDevice(port, device);
  } else {
    SetRun(device, DeviceRun::kPortOffline);
  }
}

void Scanner::AddDevice(PortState& port, DeviceState& device) {
  const uint8_t b = port.entry.board, p = port.entry.port, mac = device.entry.mac;
  device.looks = {};
  device.connected = false;
  device.io_configured = false;
  if (Refused(port, device, "DNM_AddDevice",
              api().DNM_AddDevice(b, p, mac, device.entry.route == Route::kUcmm ? 1 : 0)) ||
      Refused(port, device, "DNM_ConfigExplicitMsg",
              api().DNM_ConfigExplicitMsg(b, p, mac, static_cast<uint32_t>(device.entry.watchdog))))
    return;
  // The electronic key: a device the list asks an identity of gets its I/O connections only
  // once it has answered with that identity.
  const bool keyed = !device.entry.identity.Empty();
  if (!keyed && !ConfigureIo(port, device)) return;
  if (Refused(port, device, "DNM_StartDevice", api().DNM_StartDevice(b, p, mac))) return;
  device.identity_due = keyed;
  SetRun(device, keyed ? DeviceRun::kStarting : DeviceRun::kRunning);
}

bool Scanner::ConfigureIo(PortState& port, DeviceState& device) {
  const Config config = ConfigureConnections(port.entry.board, port.entry.port, device.entry);
  if (config.export_name != nullptr && Refused(port, device, config.export_name, config.code))
    return false;
  device.io_configured = true;
  return true;
}

void Scanner::RemoveDevice(PortState& port, DeviceState& device) {
  if (device.run != DeviceRun::kRefused)
    api().DNM_RemoveDevice(port.entry.board, port.entry.port, device.entry.mac);
  SetRun(device, DeviceRun::kAbsent);
}

// A device that answered with its identity while only its explicit connection was configured:
// stopped, given its I/O connections and started again, which allocates them with the set.
void Scanner::StartIo(PortState& port, DeviceState& device) {
  const uint8_t b = port.entry.board, p = port.entry.port, mac = device.entry.mac;
  api().DNM_StopDevice(b, p, mac);
  if (!ConfigureIo(port, device)) return;
  if (Refused(port, device, "DNM_StartDevice", api().DNM_StartDevice(b, p, mac))) return;
  device.looks = {};
  SetRun(device, DeviceRun::kRunning);
}

// A device whose identity cannot be read is asked again a while later, and stays unstarted
// meanwhile; each new reason is told once.
void Scanner::CheckIdentity(PortState& port, DeviceState& device) {
  const IdentityCheck check = CheckIdentityOf(port.entry.board, port.entry.port, device.entry);
  if (!check.difference.empty() && check.difference != device.mismatch_told) {
    Emit(EventKind::kIdentityMismatch, &port.entry, device.entry.mac,
         (check.read ? "identity mismatch: " : "identity unknown: ") + check.difference +
             "; not started");
  }
  device.mismatch_told = check.difference;
  if (!check.read) {
    device.next_identity_read = std::chrono::steady_clock::now() + kIdentityRetry;
    return;
  }
  device.identity_due = false;
  if (check.difference.empty()) {
    if (!device.io_configured) StartIo(port, device);
    return;
  }
  // It keeps its explicit connection alone, so that its identity is read again when it comes
  // back after a loss (another device put in its place).
  if (device.io_configured) {
    RemoveDevice(port, device);
    AddDevice(port, device);
  }
  if (device.run != DeviceRun::kRefused) SetRun(device, DeviceRun::kIdentityMismatch);
}

// A connection's loss is told once, as it happens, with the cause the library noted. A loss
// whose cause is not noted within kCauseWait is told with the status it was lost with, unless
// another connection of the device was told lost or failing meanwhile: its set was released
// with that one, whose event tells why. A stop (the scanner's own, or the port's) is no loss.
bool Scanner::LookAt(PortState& port, DeviceState& device, Kind kind_id) {
  const ConnectionKind& kind = KindOf(kind_id);
  ConnectionLook& look = device.looks[static_cast<size_t>(kind_id)];
  const uint8_t b = port.entry.board, p = port.entry.port, mac = device.entry.mac;
  const uint16_t status = kind.check(b, p, mac);
  if (status == DNM_NoError) {
    if (look.loss == Loss::kUntold) TellLoss(port, device, kind_id, {});
    look = {.stood = true};
    return true;
  }
  // Another device may be put in the place of one that was lost.
  if (look.stood && kind_id == Kind::kExplicit && !device.entry.identity.Empty())
    device.identity_due = true;
  const DNM_SetupFailure failure = SetupFailureAt(b, p, mac, kind);
  if (look.stood) look = {.loss = Loss::kUntold, .lost_status = status,
                          .lost_at = std::chrono::steady_clock::now()};
  if (look.loss == Loss::kUntold) {
    if (failure.cause == DNM_SetupStopped) {
      look.loss = Loss::kTold;
    } else if (failure.cause != DNM_SetupNoFailure ||
               std::chrono::steady_clock::now() - look.lost_at >= kCauseWait) {
      TellLoss(port, device, kind_id, failure);
    }
    return false;
  }
  const bool known = failure.cause != DNM_SetupNoFailure && failure.cause != DNM_SetupStopped;
  if (!known || SameFailure(failure, look.told)) return false;
  // The cause of a loss already told, noted late: no failure to set it up.
  if (failure.cause == DNM_SetupLost) {
    look.told = failure;
    return false;
  }
  NoteTold(device, kind_id, failure);
  const bool sizes = failure.cause == DNM_SetupProducedSizeMismatch ||
                     failure.cause == DNM_SetupConsumedSizeMismatch;
  Emit(sizes ? EventKind::kSizeMismatch : EventKind::kSetupFailed, &port.entry, mac,
       std::string(kind.name) + (sizes ? " size mismatch: " : " cannot be set up: ") +
           SetupFailureWords(failure),
       kind.name, failure.cause);
  return false;
}

void Scanner::TellLoss(PortState& port, DeviceState& device, Kind kind_id,
                       const DNM_SetupFailure& failure) {
  ConnectionLook& look = device.looks[static_cast<size_t>(kind_id)];
  look.loss = Loss::kTold;
  const bool caused = failure.cause != DNM_SetupNoFailure;
  if (!caused && AnotherToldDown(device, kind_id)) {
    look.told = failure;
    return;
  }
  NoteTold(device, kind_id, failure);
  const ConnectionKind& kind = KindOf(kind_id);
  Emit(EventKind::kLost, &port.entry, device.entry.mac,
       std::string(kind.name) + " lost: " +
           (caused ? SetupFailureWords(failure) : ConnectionStatusWords(look.lost_status)),
       kind.name, failure.cause);
}

// Whether another connection of the device is down with its loss or failure told.
bool Scanner::AnotherToldDown(const DeviceState& device, Kind kind_id) {
  for (size_t other = 0; other < kKinds; ++other) {
    const ConnectionLook& them = device.looks[other];
    const bool told = them.loss == Loss::kTold || them.told.cause != DNM_SetupNoFailure;
    if (other != static_cast<size_t>(kind_id) && !them.stood && told) return true;
  }
  return false;
}

// A failure is told once while it lasts. Once anything else was told of the device, its other
// failures and its identity mismatch are news again: a device back after a loss tells why it
// still cannot run, and the newest event about it is true.
void Scanner::NoteTold(DeviceState& device, Kind kind_id, const DNM_SetupFailure& failure) {
  for (size_t index = 0; index < kKinds; ++index) {
    device.looks[index].told =
        index == static_cast<size_t>(kind_id) ? failure : DNM_SetupFailure{};
  }
  device.mismatch_told.clear();
}

void Scanner::WatchDevice(PortState& port, DeviceState& device) {
  if (device.run == DeviceRun::kRefused || device.run == DeviceRun::kAbsent ||
      device.run == DeviceRun::kPortOffline)
    return;
  // One call tells that a connected device still has every connection.
  if (device.connected &&
      api().DNM_GetDeviceStatus(port.entry.board, port.entry.port, device.entry.mac) == 0)
    return;
  bool all_stand = true;
  for (const Kind kind : KindsOf(device.entry, device.io_configured)) {
    all_stand = LookAt(port, device, kind) && all_stand;
  }
  if (device.identity_due && device.looks[0].stood &&
      std::chrono::steady_clock::now() >= device.next_identity_read) {
    CheckIdentity(port, device);
    return;
  }
  if (device.run != DeviceRun::kRunning) return;
  if (all_stand && !device.connected) {
    Emit(EventKind::kConnected, &port.entry, device.entry.mac,
         "connected: " + ConnectionsText(device.entry));
  }
  device.connected = all_stand;
}

void Scanner::Watch() {
  for (PortState& port : ports_) {
    if (!port.online) continue;
    for (DeviceState& device : port.devices) WatchDevice(port, device);
  }
  if (view_stale_) PublishView();
}

void Scanner::SetRun(DeviceState& device, DeviceRun run) {
  if (device.run == run) return;
  device.run = run;
  view_stale_ = true;
}

void Scanner::Reload(const ParsedScanList& parsed) {
  if (!parsed.errors.empty()) {
    for (const ScanListError& error : parsed.errors) {
      Emit(EventKind::kReloadRefused, nullptr, -1,
           "reload refused, the scan list run now stays: " + error.Text());
    }
    return;
  }
  const ScanList& next = parsed.list;
  if (next.poll_period_ms != list_.poll_period_ms ||
      next.strobe_period_ms != list_.strobe_period_ms)
    ApplyPeriods(next);
  const auto same_port = [](const PortEntry& a, const PortEntry& b) {
    return a.board == b.board && a.port == b.port;
  };
  ReloadCounts counts;
  for (PortState& port : ports_) {
    if (std::none_of(next.ports.begin(), next.ports.end(),
                     [&](const PortEntry& entry) { return same_port(entry, port.entry); })) {
      counts.removed += port.devices.size();
      TakeOffline(port);
      for (const DeviceState& device : port.devices)
        Emit(EventKind::kRemoved, &port.entry, device.entry.mac, "removed");
    }
  }
  std::vector<PortState> next_ports;
  for (const PortEntry& entry : next.ports) {
    const auto old = std::find_if(ports_.begin(), ports_.end(), [&](const PortState& port) {
      return same_port(port.entry, entry);
    });
    PortState port = old != ports_.end() ? std::move(*old) : PortState{entry, false, {}};
    ReloadPort(port, entry, counts);
    next_ports.push_back(std::move(port));
  }
  ports_ = std::move(next_ports);
  list_ = next;
  CloseUnusedBoards();
  PublishView();
  Emit(EventKind::kReloaded, nullptr, -1,
       "reloaded: " + std::to_string(counts.added) + " added, " + std::to_string(counts.removed) +
           " removed, " + std::to_string(counts.changed) + " changed, " +
           std::to_string(counts.unchanged) + " unchanged; poll period " +
           std::to_string(list_.poll_period_ms) + " ms, strobe period " +
           std::to_string(list_.strobe_period_ms) + " ms");
}

// A port whose line changed goes offline and online again with all its devices; on a port
// whose line stayed, only the devices that differ are removed and added.
void Scanner::ReloadPort(PortState& port, const PortEntry& entry, ReloadCounts& counts) {
  if (!port.online || port.entry.mac != entry.mac || port.entry.baud_code != entry.baud_code) {
    counts.removed += port.devices.size();
    TakeOffline(port);
    port = PortState{entry, false, {}};
    BringOnline(port);
    for (const DeviceEntry& device_entry : entry.devices)
      AddOrMarkAbsent(port, port.devices.emplace_back(device_entry));
    counts.added += entry.devices.size();
    return;
  }
  port.entry = entry;
  std::vector<DeviceState> devices;
  for (DeviceState& old : port.devices) {
    if (std::none_of(entry.devices.begin(), entry.devices.end(),
                     [&](const DeviceEntry& e) { return e.mac == old.entry.mac; })) {
      RemoveDevice(port, old);
      Emit(EventKind::kRemoved, &port.entry, old.entry.mac, "removed");
      ++counts.removed;
    }
  }
  for (const DeviceEntry& e : entry.devices) {
    const auto old = std::find_if(port.devices.begin(), port.devices.end(),
                                  [&](const DeviceState& d) { return d.entry.mac == e.mac; });
    if (old != port.devices.end() && old->entry.SameAs(e)) {
      old->entry = e;
      devices.push_back(std::move(*old));
      ++counts.unchanged;
      continue;
    }
    const bool changed = old != port.devices.end();
    if (changed) RemoveDevice(port, *old);
    Emit(changed ? EventKind::kChanged : EventKind::kAdded, &port.entry, e.mac,
         std::string(changed ? "changed" : "added") + ": " + ConnectionsText(e));
    ++(changed ? counts.changed : counts.added);
    AddDevice(port, devices.emplace_back(e));
  }
  port.devices = std::move(devices);
}

void Scanner::CloseUnusedBoards() {
  for (uint8_t board = 0; board < boards_active_.size(); ++board) {
    if (!boards_active_[board] ||
        std::any_of(ports_.begin(), ports_.end(),
                    [&](const PortState& port) { return port.entry.board == board; }))
      continue;
    api().DNM_CloseBoard(board);
    boards_active_[board] = false;
  }
}

void Scanner::Stop() {
  if (!started_) return;
  started_ = false;
  for (uint8_t board = 0; board < boards_active_.size(); ++board) {
    if (!boards_active_[board]) continue;
    api().DNM_CloseBoard(board);
    boards_active_[board] = false;
  }
  for (PortState& port : ports_) {
    if (!port.online) continue;
    port.online = false;
    Emit(EventKind::kOffline, &port.entry, -1, "offline: every connection released");
  }
  Emit(EventKind::kStopped, nullptr, -1, "stopped");
}

}  // namespace dnm::tool
