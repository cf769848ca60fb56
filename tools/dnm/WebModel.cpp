#include "WebModel.h"

#include <netdb.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "Api.h"
#include "Explain.h"
#include "Json.h"

namespace dnm::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDevicePeriod = std::chrono::milliseconds(100);
constexpr unsigned kDeviceLooksPerPortLook = 10;
constexpr auto kIdentityRetry = std::chrono::seconds(5);
constexpr auto kIdentityIdle = std::chrono::seconds(1);

const char* RunName(DeviceRun run) {
  switch (run) {
    case DeviceRun::kRunning:
      return "running";
    case DeviceRun::kIdentityMismatch:
      return "identity_mismatch";
    case DeviceRun::kRefused:
      return "refused";
    case DeviceRun::kPortOffline:
      return "port_offline";
    case DeviceRun::kStarting:
    case DeviceRun::kAbsent:
      break;
  }
  return "starting";
}

bool IsSizeMismatch(uint16_t cause) {
  return cause == DNM_SetupProducedSizeMismatch || cause == DNM_SetupConsumedSizeMismatch;
}

// A failure of its own: a connection released with the device's other ones was stopped for
// theirs, which they tell.
DNM_SetupFailure OwnFailure(const DNM_SetupFailure& failure) {
  return failure.cause == DNM_SetupStopped ? DNM_SetupFailure{} : failure;
}

// What the scanner tells of a device that never connected: a connection of another size than
// the list's, one that cannot be set up, or nothing yet.
const char* SetupStateName(const DeviceSample& sample) {
  bool failed = false;
  for (const ConnectionSample& connection : sample.connections) {
    if (connection.status == DNM_NoError) continue;
    if (IsSizeMismatch(connection.failure.cause)) return "size_mismatch";
    failed = failed || OwnFailure(connection.failure).cause != DNM_SetupNoFailure;
  }
  return failed ? "setup_failed" : "starting";
}

// What the page shows: the scanner's verdict, and for a device it runs whether every connection
// stands, one that stood no longer does, or why none has stood yet.
const char* StateName(const DeviceSample& sample, bool connected, bool connected_once) {
  if (sample.run != DeviceRun::kRunning) return RunName(sample.run);
  if (connected) return "connected";
  return connected_once ? "lost" : SetupStateName(sample);
}

const char* CauseName(uint16_t cause) {
  static constexpr const char* kNames[] = {
      "none",   "produced_size_mismatch", "consumed_size_mismatch", "refused", "no_answer", "lost",
      "stopped"};
  return cause < std::size(kNames) ? kNames[cause] : "unknown";
}

std::string Number(uint64_t value) {
  return std::to_string(value);
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

template <typename T>
std::string NumberOrNull(const std::optional<T>& value) {
  return value ? Number(*value) : "null";
}

std::string Bool(bool value) {
  return value ? "true" : "false";
}

int64_t UnixMs(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::string TimeMember(std::chrono::system_clock::time_point time) {
  return "{\"time\":" + JsonString(UtcTime(time));
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

// The machine's host name and the fully qualified name the resolver gives for it, lowercase.
std::vector<std::string> MachineNames() {
  const std::string host = Lowercase(HostName());
  std::vector<std::string> names{host};
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return names;
  if (found->ai_canonname != nullptr) {
    const std::string canonical = Lowercase(found->ai_canonname);
    if (canonical != host) names.push_back(canonical);
  }
  freeaddrinfo(found);
  return names;
}

std::string ExpectedIdentityJson(const ExpectedIdentity& identity) {
  if (identity.Empty()) return "null";
  std::string json;
  const auto add = [&json](const char* key, const auto& value) {
    if (value) json += std::string(json.empty() ? "{" : ",") + "\"" + key + "\":" + Number(*value);
  };
  add("vendor", identity.vendor);
  add("device_type", identity.device_type);
  add("product_code", identity.product_code);
  add("serial", identity.serial);
  return json + "}";
}

std::optional<uint16_t> RateOf(const DeviceEntry& device, Kind kind) {
  if ((kind == Kind::kCos || kind == Kind::kCyclic) && device.cos_cyclic)
    return device.cos_cyclic->rate_ms;
  return std::nullopt;
}

// A connection's JSON object without its age and closing brace.
std::string ConnectionBody(const DeviceEntry& device, const ConnectionSample& sample) {
  const Kind kind = sample.kind->kind;
  const DNM_SetupFailure failure = OwnFailure(sample.failure);
  return "{\"kind\":" + JsonString(sample.kind->name) + ",\"status\":" + Number(sample.status) +
         ",\"status_text\":" + JsonString(ConnectionStatusWords(sample.status)) +
         ",\"established\":" + Bool(sample.status == DNM_NoError) +
         ",\"cause\":" + JsonString(CauseName(failure.cause)) +
         ",\"cause_text\":" + JsonString(SetupFailureWords(failure)) +
         ",\"input_size\":" + Number(InputSize(device, kind)) +
         ",\"output_size\":" + Number(OutputSize(device, kind)) + ",\"inputs\":" +
         (sample.inputs_valid && !sample.inputs.empty() ? JsonString(LowerHex(sample.inputs))
                                                        : std::string("null")) +
         ",\"rate_ms\":" + NumberOrNull(RateOf(device, kind));
}

std::string FailureJson(const ConnectionSample& sample) {
  const DNM_SetupFailure& f = sample.failure;
  return "{\"kind\":" + JsonString(sample.kind->name) +
         ",\"cause\":" + JsonString(CauseName(f.cause)) + ",\"request\":" + Number(f.request) +
         ",\"device_size\":" + Number(f.device_size) +
         ",\"configured_size\":" + Number(f.configured_size) +
         ",\"general_status\":" + Number(f.general_status) +
         ",\"additional_status\":" + Number(f.additional_status) +
         ",\"missed_answers\":" + Number(f.missed_answers) + ",\"age_ms\":" + Number(f.age_ms) +
         "}";
}

std::string JoinedFailures(const DeviceSample& sample) {
  std::string json;
  for (const ConnectionSample& connection : sample.connections) {
    if (connection.failure.cause == DNM_SetupNoFailure) continue;
    json += (json.empty() ? "" : ",") + FailureJson(connection);
  }
  return "[" + json + "]";
}

std::string IdentityOf(const Identity& identity) {
  return "{\"vendor\":" + Number(*identity.vendor) +
         ",\"device_type\":" + Number(*identity.device_type) +
         ",\"product_code\":" + Number(*identity.product_code) +
         ",\"serial\":" + Number(*identity.serial) +
         ",\"product_name\":" + JsonString(identity.product_name) +
         ",\"revision\":" + JsonString(identity.revision) + "}";
}

WriteOutcome NoSuchDevice(DeviceRef ref) {
  return {404, "no device " + std::to_string(ref.mac) + " on port " +
                   std::to_string(ref.port_index) + " in the list run now"};
}

std::string CodeText(const char* export_name, uint16_t code) {
  return std::string(export_name) + " gave " + std::to_string(code) + " " +
         api().DNM_GetErrorText(code);
}

}  // namespace

// What the sampler saw of a device at its last look.
struct WebModel::DeviceMemory {
  DeviceEntry entry;
  bool connected_once = false;  // every connection stood at some look
  bool explicit_stood = false;  // at the last look
  struct Connection {
    uint16_t status;
    uint16_t cause;
    Clock::time_point since;
  };
  std::vector<Connection> connections;  // as SampleDevice orders them
  std::string shown;                    // the last look's JSON without the ages

  // The connections' JSON without their ages and with them, noting what changed since.
  std::pair<std::string, std::string> ConnectionsJson(const DeviceEntry& device,
                                                      const DeviceSample& sample);
};

std::pair<std::string, std::string> WebModel::DeviceMemory::ConnectionsJson(
    const DeviceEntry& device, const DeviceSample& sample) {
  const auto now = Clock::now();
  connections.resize(sample.connections.size(), {0xFFFF, 0xFFFF, now});
  std::string shown, aged;
  for (size_t i = 0; i < sample.connections.size(); ++i) {
    const ConnectionSample& connection = sample.connections[i];
    Connection& seen = connections[i];
    if (seen.status != connection.status || seen.cause != connection.failure.cause)
      seen = {connection.status, connection.failure.cause, now};
    const std::string body = ConnectionBody(device, connection);
    const auto since =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - seen.since).count();
    shown += (i == 0 ? "" : ",") + body + "}";
    aged +=
        (i == 0 ? "" : ",") + body + ",\"since_ms\":" + Number(static_cast<uint64_t>(since)) + "}";
  }
  return {shown, aged};
}

// What the sampler saw of a port at its last look.
struct WebModel::PortMemory {
  bool sampled = false;
  DNM_PortStatistics last{};
  Clock::time_point at{};
  double bus_load = 0;
  double frames_per_second = 0;
};

WebModel::WebModel(Scanner& scanner, OutputStore& outputs, WebModelOptions options)
    : scanner_(scanner),
      outputs_(outputs),
      options_(std::move(options)),
      started_(UtcTime(std::chrono::system_clock::now())),
      own_names_(MachineNames()) {
  subscription_ = scanner.Subscribe([this](const Event& event) { Note(event); });
  Sample(true);
  sampler_ = std::thread([this] { RunSampler(); });
  identity_reader_ = std::thread([this] { RunIdentityReader(); });
}

WebModel::~WebModel() {
  Stop();
  sampler_.join();
  identity_reader_.join();
  scanner_.Unsubscribe(subscription_);
}

void WebModel::Stop() {
  stop_ = true;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  {
    const std::lock_guard lock(identity_mutex_);
    identity_wake_ = true;
  }
  identity_changed_.notify_all();
}

bool WebModel::Stopping() const {
  return stop_;
}

// ---- The sampler ----

void WebModel::RunSampler() {
  pthread_setname_np(pthread_self(), "web-sampler");
  auto next = Clock::now();
  for (unsigned look = 1;; ++look) {
    next += kDevicePeriod;
    const auto now = Clock::now();
    if (now > next + kDevicePeriod) next = now + kDevicePeriod;  // starved: no catching up
    {
      std::unique_lock lock(mutex_);
      if (changed_.wait_until(lock, next, [this] { return stopping_; })) return;
    }
    Sample(look % kDeviceLooksPerPortLook == 0);
  }
}

void WebModel::Sample(bool ports_due) {
  const std::shared_ptr<const ScanList> list = scanner_.List();
  auto look = std::make_shared<WebLook>();
  SampleDevices(*list, *look);
  if (ports_due) SamplePorts(*list);
  look->devices_version = devices_version_;
  look->ports_version = ports_version_;
  look->ports = ports_json_;
  look->port_views = port_views_;
  {
    const std::lock_guard lock(mutex_);
    look_ = std::move(look);
  }
  changed_.notify_all();
}

void WebModel::SampleDevices(const ScanList& list, WebLook& look) {
  bool changed = false;
  std::set<DeviceKey> present;
  std::string devices;
  for (size_t index = 0; index < list.ports.size(); ++index) {
    const PortEntry& port = list.ports[index];
    for (const DeviceEntry& device : port.devices) {
      present.insert({port.board, port.port, device.mac});
      look.device_views.push_back(LookAtDevice(list, index, device, changed));
      devices += (devices.empty() ? "" : ",") + look.device_views.back().json + "}";
    }
  }
  for (auto at = devices_.begin(); at != devices_.end();) {
    const bool gone = present.count(at->first) == 0;
    changed = changed || gone;
    at = gone ? devices_.erase(at) : std::next(at);
  }
  if (changed) ++devices_version_;
  look.devices = TimeMember(std::chrono::system_clock::now()) + ",\"devices\":[" + devices + "]}";
}

WebLook::Device WebModel::LookAtDevice(const ScanList& list, size_t port_index,
                                       const DeviceEntry& device, bool& changed) {
  const PortEntry& port = list.ports[port_index];
  const DeviceRun run = scanner_.RunOf(port_index, device.mac);
  const DeviceSample sample = SampleDevice(port, device, run);
  auto& memory = devices_[{port.board, port.port, device.mac}];
  if (!memory || !memory->entry.SameAs(device)) memory = std::make_unique<DeviceMemory>();
  memory->entry = device;

  const bool connected = run == DeviceRun::kRunning && sample.device_status == DNM_NoError;
  memory->connected_once = memory->connected_once || connected;
  const bool explicit_stands = sample.connections[0].status == DNM_NoError;
  const std::string identity =
      IdentityJson(port, device, explicit_stands, explicit_stands && !memory->explicit_stood);
  memory->explicit_stood = explicit_stands;

  const auto [connections, aged] = memory->ConnectionsJson(device, sample);
  const std::string head =
      "{\"port_index\":" + Number(port_index) + ",\"board\":" + Number(port.board) +
      ",\"port\":" + Number(port.port) + ",\"mac\":" + Number(device.mac) +
      ",\"run\":" + JsonString(RunName(run)) +
      ",\"state\":" + JsonString(StateName(sample, connected, memory->connected_once)) +
      ",\"identity\":" + identity +
      ",\"expected_identity\":" + ExpectedIdentityJson(device.identity) + ",\"connections\":[";
  const std::string tail =
      "],\"outputs\":" +
      (OutputSize(device) > 0 ? JsonString(LowerHex(outputs_.Last(port, device)))
                              : std::string("null")) +
      ",\"poll_period_ms\":" + (device.poll ? Number(list.poll_period_ms) : std::string("null")) +
      ",\"poll_period_achieved_ms\":" + Number(sample.poll_period_achieved_ms) +
      ",\"counters\":" + CountersJson(sample.counters);
  std::string shown = head + connections + tail;
  if (shown != memory->shown) {
    memory->shown = std::move(shown);
    changed = true;
  }
  return {port_index, device.mac, head + aged + tail, JoinedFailures(sample)};
}

void WebModel::SamplePorts(const ScanList& list) {
  const int64_t unix_ms = UnixMs(std::chrono::system_clock::now());
  std::string ports;
  std::vector<WebLook::Port> views;
  std::set<PortKey> present;
  for (size_t index = 0; index < list.ports.size(); ++index) {
    const PortEntry& port = list.ports[index];
    present.insert({port.board, port.port});
    views.push_back({port.board, port.port, PortJson(index, port, unix_ms)});
    ports += (ports.empty() ? "" : ",") + views.back().json + "}";
  }
  std::erase_if(ports_, [&](const auto& entry) { return present.count(entry.first) == 0; });
  {
    const std::lock_guard lock(mutex_);
    std::erase_if(history_, [&](const auto& entry) { return present.count(entry.first) == 0; });
  }
  ports_json_ = TimeMember(std::chrono::system_clock::now()) + ",\"ports\":[" + ports + "]}";
  port_views_ = std::move(views);
  ++ports_version_;
}

std::string WebModel::PortJson(size_t index, const PortEntry& port, int64_t unix_ms) {
  DNM_PortStatistics now{};
  const bool online = api().DNM_GetPortStatistics(port.board, port.port, &now) == DNM_NoError;
  auto& memory = ports_[{port.board, port.port}];
  if (!memory) memory = std::make_unique<PortMemory>();
  const auto at = Clock::now();
  const double seconds = std::chrono::duration<double>(at - memory->at).count();
  // Counts that went back were started again: the port went online anew.
  const bool comparable = online && memory->sampled && seconds > 0 &&
                          now.frames_received >= memory->last.frames_received &&
                          now.frames_sent >= memory->last.frames_sent &&
                          now.bits_received >= memory->last.bits_received &&
                          now.bits_sent >= memory->last.bits_sent;
  if (comparable) {
    const uint64_t frames = now.frames_received + now.frames_sent - memory->last.frames_received -
                            memory->last.frames_sent;
    const uint64_t bits =
        now.bits_received + now.bits_sent - memory->last.bits_received - memory->last.bits_sent;
    memory->frames_per_second = static_cast<double>(frames) / seconds;
    memory->bus_load =
        std::min(1.0, static_cast<double>(bits) / (seconds * 1000.0 * KbitOf(port.baud_code)));
  } else {
    memory->frames_per_second = 0;
    memory->bus_load = 0;
  }
  memory->sampled = online;
  memory->last = now;
  memory->at = at;
  {
    const std::lock_guard lock(mutex_);
    auto& history = history_[{port.board, port.port}];
    history.push_back({unix_ms, memory->bus_load, memory->frames_per_second});
    while (history.size() > kHistory) history.pop_front();
  }
  return "{\"index\":" + Number(index) + ",\"board\":" + Number(port.board) +
         ",\"port\":" + Number(port.port) + ",\"mac\":" + Number(port.mac) +
         ",\"baud\":" + Number(KbitOf(port.baud_code)) + ",\"online\":" + Bool(online) +
         ",\"bus_load\":" + Fixed(memory->bus_load, 4) +
         ",\"frames_per_second\":" + Fixed(memory->frames_per_second, 1) +
         ",\"frames_received\":" + Number(now.frames_received) +
         ",\"frames_sent\":" + Number(now.frames_sent) +
         ",\"error_frames\":" + Number(now.error_frames) + ",\"overruns\":" + Number(now.overruns);
}

// ---- Identities ----

std::string WebModel::IdentityJson(const PortEntry& port, const DeviceEntry& device, bool stands,
                                   bool stands_again) {
  const std::lock_guard lock(identity_mutex_);
  CachedIdentity& cached = identities_[{port.board, port.port, device.mac}];
  if (!cached.entry.SameAs(device)) cached = {device, false, "", {}};
  if (stands && (cached.json.empty() || stands_again) && !cached.wanted) {
    cached.wanted = true;
    identity_wake_ = true;
    identity_changed_.notify_one();
  }
  return cached.json.empty() ? "null" : cached.json;
}

void WebModel::RunIdentityReader() {
  pthread_setname_np(pthread_self(), "web-identity");
  while (!Stopping()) {
    {
      std::unique_lock lock(identity_mutex_);
      identity_changed_.wait_for(lock, kIdentityIdle, [this] { return identity_wake_; });
      identity_wake_ = false;
    }
    ReadWantedIdentities();
  }
}

void WebModel::ReadWantedIdentities() {
  std::vector<std::pair<DeviceKey, DeviceEntry>> due;
  {
    const std::lock_guard lock(identity_mutex_);
    const auto now = Clock::now();
    for (const auto& [key, cached] : identities_)
      if (cached.wanted && now >= cached.next_try) due.emplace_back(key, cached.entry);
  }
  for (const auto& [key, entry] : due) {
    const auto [board, port, mac] = key;
    const Identity identity = ReadIdentity(board, port, mac, [this] { return !Stopping(); });
    const bool read =
        identity.vendor && identity.device_type && identity.product_code && identity.serial;
    const std::lock_guard lock(identity_mutex_);
    const auto cached = identities_.find(key);
    if (cached == identities_.end() || !cached->second.entry.SameAs(entry)) continue;
    if (read) {
      cached->second.json = IdentityOf(identity);
      cached->second.wanted = false;
    } else {
      cached->second.next_try = Clock::now() + kIdentityRetry;
    }
  }
}

// ---- Events ----

void WebModel::Note(const Event& event) {
  const std::string json = EventJson(event);
  {
    const std::lock_guard lock(mutex_);
    const uint64_t seq = next_seq_++;
    events_.emplace_back(seq, "{\"seq\":" + Number(seq) + "," + json.substr(1));
    while (events_.size() > kEventRing) events_.pop_front();
  }
  changed_.notify_all();
}

std::string WebModel::Events(std::optional<uint64_t> after) const {
  const std::lock_guard lock(mutex_);
  std::string json;
  for (const auto& [seq, text] : events_) {
    if (after && seq <= *after) continue;
    json += (json.empty() ? "" : ",") + text;
  }
  return "{\"events\":[" + json + "]}";
}

// ---- Reads ----

std::shared_ptr<const WebLook> WebModel::Newest() const {
  const std::lock_guard lock(mutex_);
  return look_;
}

std::string WebModel::Info() const {
  return "{\"version\":" + JsonString(DNM_TOOL_VERSION) + ",\"write\":" + Bool(options_.write) +
         ",\"scan_list\":" + JsonString(options_.scan_list) +
         ",\"host\":" + JsonString(HostName()) + ",\"started\":" + JsonString(started_) + "}";
}

std::string WebModel::Ports(bool history) const {
  const std::shared_ptr<const WebLook> look = Newest();
  if (!history) return look->ports;
  decltype(history_) histories;
  {
    const std::lock_guard lock(mutex_);
    histories = history_;
  }
  std::string ports;
  for (const WebLook::Port& port : look->port_views) {
    std::string samples;
    const auto found = histories.find({port.board, port.port});
    if (found != histories.end()) {
      for (const HistorySample& sample : found->second) {
        samples += std::string(samples.empty() ? "" : ",") +
                   "{\"t\":" + std::to_string(sample.t_ms) +
                   ",\"bus_load\":" + Fixed(sample.bus_load, 4) +
                   ",\"frames_per_second\":" + Fixed(sample.frames_per_second, 1) + "}";
      }
    }
    ports += (ports.empty() ? "" : ",") + port.json + ",\"history\":[" + samples + "]}";
  }
  return TimeMember(std::chrono::system_clock::now()) + ",\"ports\":[" + ports + "]}";
}

std::string WebModel::Devices() const {
  return Newest()->devices;
}

std::optional<std::string> WebModel::Device(DeviceRef device) const {
  const std::shared_ptr<const WebLook> look = Newest();
  for (const WebLook::Device& view : look->device_views) {
    if (view.port_index == device.port_index && view.mac == device.mac)
      return view.json + ",\"failures\":" + view.failures + "}";
  }
  return std::nullopt;
}

// ---- The stream ----

StreamPosition WebModel::StartPosition() const {
  const std::lock_guard lock(mutex_);
  return {0, 0, next_seq_ - 1};
}

std::string WebModel::NextMessages(StreamPosition& position, std::chrono::milliseconds wait) const {
  std::unique_lock lock(mutex_);
  const auto fresh = [&] {
    return stopping_ || look_->devices_version != position.devices_version ||
           look_->ports_version != position.ports_version ||
           (!events_.empty() && events_.back().first > position.event_seq);
  };
  changed_.wait_for(lock, wait, fresh);
  if (stopping_) return "";
  std::string messages = EventMessages(position);
  const std::shared_ptr<const WebLook> look = look_;
  lock.unlock();
  if (look->devices_version != position.devices_version) {
    messages += "event: devices\ndata: " + look->devices + "\n\n";
    position.devices_version = look->devices_version;
  }
  if (look->ports_version != position.ports_version) {
    messages += "event: ports\ndata: " + look->ports + "\n\n";
    position.ports_version = look->ports_version;
  }
  return messages;
}

std::string WebModel::EventMessages(StreamPosition& position) const {
  if (events_.empty() || events_.back().first <= position.event_seq) return "";
  const uint64_t oldest = events_.front().first;
  if (position.event_seq + 1 < oldest) {
    const uint64_t dropped = oldest - 1 - position.event_seq;
    position.event_seq = events_.back().first;
    return "event: dropped\ndata: {\"dropped\":" + Number(dropped) + "}\n\n";
  }
  std::string messages;
  for (const auto& [seq, text] : events_) {
    if (seq <= position.event_seq) continue;
    messages += "event: event\ndata: " + text + "\n\n";
  }
  position.event_seq = events_.back().first;
  return messages;
}

// ---- Writes ----

std::optional<WebModel::Found> WebModel::Find(DeviceRef ref) const {
  Found found{scanner_.List(), nullptr, nullptr};
  if (ref.port_index >= found.list->ports.size()) return std::nullopt;
  found.port = &found.list->ports[ref.port_index];
  for (const DeviceEntry& device : found.port->devices)
    if (device.mac == ref.mac) found.device = &device;
  if (found.device == nullptr) return std::nullopt;
  return found;
}

WriteOutcome WebModel::WriteOutputs(DeviceRef ref, std::optional<size_t> offset,
                                    const std::vector<uint8_t>& bytes) {
  const auto found = Find(ref);
  if (!found) return NoSuchDevice(ref);
  const uint16_t size = OutputSize(*found->device);
  if (size == 0) return {400, "the device has no outputs in the list"};
  if (offset && *offset >= size)
    return {400, "offset " + std::to_string(*offset) + " is out of range: the device has " +
                     std::to_string(size) + " bytes of outputs"};
  if (bytes.empty()) return {400, "hex is 1 to 64 bytes as hex digits, two a byte"};
  if (!offset && bytes.size() != size)
    return {400, "the device's outputs are " + std::to_string(size) + " bytes, not " +
                     std::to_string(bytes.size())};
  const uint16_t code =
      outputs_.Write(*found->port, *found->device, offset.value_or(0), bytes.data(), bytes.size());
  if (code == OutputStore::kOutsideOutputs)
    return {400, "offset and size are outside the device's " + std::to_string(size) +
                     " bytes of outputs"};
  if (code != DNM_NoError) return {409, CodeText(OutputKind(*found->device)->write_name, code)};
  return {};
}

WriteOutcome WebModel::SetAttribute(DeviceRef ref, const AttributeWrite& write) {
  const auto found = Find(ref);
  if (!found) return NoSuchDevice(ref);
  const uint16_t code = api().DNM_SetAttribute(
      found->port->board, found->port->port, ref.mac, write.class_id, write.instance,
      write.attribute, write.value.data(), static_cast<uint32_t>(write.value.size()));
  if (code != DNM_NoError) return {409, CodeText("DNM_SetAttribute", code)};
  return {};
}

}  // namespace dnm::tool
