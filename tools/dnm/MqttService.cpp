#include "MqttService.h"

#include <stdexcept>

#ifdef DNM_MQTT

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "Api.h"
#include "CommandLine.h"
#include "Json.h"
#include "MqttPayload.h"
#include "RegisterMap.h"
#include "ScanList.h"

namespace dnm::tool {
namespace {

using Clock = std::chrono::steady_clock;

// How often the publisher looks at every device's inputs and at the events queued, and how
// often it publishes the counters and the scanner's own state.
constexpr auto kSamplePeriod = std::chrono::milliseconds(5);
constexpr auto kCountersPeriod = std::chrono::seconds(5);
constexpr int kKeepAliveS = 10;
// Reconnection: 1 s, growing up to 30 s while the broker stays away.
constexpr unsigned kReconnectFirstS = 1;
constexpr unsigned kReconnectLastS = 30;
constexpr unsigned kMaxInflight = 20;  // QoS 1 messages not yet acknowledged by the broker
// Messages handed to libmosquitto and not yet written to the broker: libmosquitto queues without
// bound, so beyond these a message is counted as not published instead.
constexpr int kMaxOutstanding = 1000;
constexpr size_t kMaxQueuedEvents = 1024;
// How long the scanner's "stopped" may take to reach the broker when dnm run ends.
constexpr auto kStopWait = std::chrono::seconds(2);
constexpr size_t kMaxPassword = 65535;
constexpr int kQosState = 1;
constexpr int kQosData = 0;

// MQTT 5 until a broker refuses it as a protocol version; then 3.1.1 for good.
enum class Protocol { kMqtt5, kFallingBack, kMqtt311 };

// The errors after which libmosquitto's thread ends instead of reconnecting (a malformed packet,
// a failed TLS handshake, ...): the publisher thread starts it again.
bool EndsNetworkThread(int code) {
  switch (code) {
    case MOSQ_ERR_NOMEM: case MOSQ_ERR_PROTOCOL: case MOSQ_ERR_INVAL: case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS: case MOSQ_ERR_PAYLOAD_SIZE: case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH: case MOSQ_ERR_ACL_DENIED: case MOSQ_ERR_UNKNOWN: case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY:
      return true;
    default:
      return false;
  }
}

// A device (board, port, MAC ID) or a port (MAC ID -1).
using Key = std::tuple<int, int, int>;

std::string Now() {
  return UtcTime(std::chrono::system_clock::now());
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

std::string ReadPassword(const std::string& path) {
  // Room for the longest password, its "\r\n", and one byte more to tell a longer line.
  std::string text;
  const std::string why = ReadRegularFile(path, text, kMaxPassword + 3);
  if (!why.empty())
    throw std::runtime_error("--mqtt-password-file " + path + ": " + why);
  if (text.empty()) throw std::runtime_error("--mqtt-password-file " + path + ": is empty");
  std::string password = text.substr(0, text.find('\n'));
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.size() > kMaxPassword)
    throw std::runtime_error("the MQTT password in " + path + " is longer than 65535 bytes");
  return password;
}

// libmosquitto opens them itself, and would wait for ever on a FIFO.
void JudgeCertificateFile(const char* option, const std::string& path) {
  std::string nothing;
  const std::string why = path.empty() ? "" : ReadRegularFile(path, nothing, 0);
  if (!why.empty()) throw std::runtime_error(std::string(option) + " " + path + ": " + why);
}

void JudgeOptions(const MqttOptions& options, const BrokerAddress& broker) {
  if (!broker.tls && !(options.ca_file + options.cert_file + options.key_file).empty())
    throw UsageError("--mqtt-cafile, --mqtt-cert and --mqtt-key are for mqtts:// only");
  if (options.cert_file.empty() != options.key_file.empty())
    throw UsageError("--mqtt-cert and --mqtt-key go together");
  if (!options.cert_file.empty() && options.ca_file.empty())
    throw UsageError("--mqtt-cert needs --mqtt-cafile");
  if (!options.password_file.empty() && options.user.empty())
    throw UsageError("--mqtt-password-file needs --mqtt-user");
}

// libmosquitto names no keep-alive timeout ("Unknown error."): before the broker's CONNACK it is
// the connection's.
std::string FailureText(int code, bool was_connected) {
  if (code != MOSQ_ERR_KEEPALIVE) return mosquitto_strerror(code);
  return (was_connected ? "no answer within " : "no CONNACK within ") + std::to_string(kKeepAliveS) +
         " s";
}

const char* OrNull(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

std::string DevicePart(const DeviceAddress& at) {
  return "\"board\":" + std::to_string(at.board) + ",\"port\":" + std::to_string(at.port) +
         ",\"mac\":" + std::to_string(at.mac);
}

std::string InputsJson(const DeviceAddress& at, const char* kind,
                       const std::vector<uint8_t>& bytes) {
  return "{\"time\":" + JsonString(Now()) + "," + DevicePart(at) + ",\"kind\":" + JsonString(kind) +
         ",\"hex\":\"" + LowerHex(bytes) + "\",\"bytes\":" + JsonByteList(bytes) + "}";
}

std::string CountersMessage(const DeviceAddress& at, const DeviceSample& sample) {
  return "{\"time\":" + JsonString(Now()) + "," + DevicePart(at) +
         ",\"device_status\":" + std::to_string(sample.device_status) +
         ",\"poll_period_achieved_ms\":" + std::to_string(sample.poll_period_achieved_ms) +
         ",\"counters\":" + CountersJson(sample.counters) + "}";
}

class Publisher final : public MqttService {
 public:
  Publisher(const MqttOptions& options, const BrokerAddress& broker, Scanner& scanner,
            OutputStore& outputs);
  ~Publisher() override;
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

 private:
  // What was last published of a device's inputs, one entry per configured connection.
  struct InputsSeen {
    std::vector<std::vector<uint8_t>> published;
    Clock::time_point last{};
    unsigned generation = 0;
  };
  struct RetainedState {
    std::string topic;
    std::string payload;
    bool removed = false;  // kept only until it is sent
  };

  void Configure(const MqttOptions& options, const BrokerAddress& broker);
  static void OnConnect(mosquitto*, void* self, int code);
  static void OnDisconnect(mosquitto*, void* self, int code);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  void Subscribe();
  std::string RefusalText(int code) const;
  void FallBackToMqtt311();
  void StopNetwork();
  void StartNetwork();
  void RestartEndedNetwork();
  void SayUnreachable(int code);

  // False, counted as not published, unless connected with room in libmosquitto's queue.
  bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
               int* mid = nullptr);
  std::string ScannerState(const char* state) const;
  void Queue(const Event& event);
  void Run();
  void PublishEvents();
  void PublishWithDevices(const Event& event);
  void PublishState(const Event& event);
  void PublishStopped();
  void Republish();
  void SendUnsent();
  void SampleInputs(Clock::time_point now);
  void PublishCounters();
  void Write(const mosquitto_message& message);
  void Refuse(const std::string& errors_topic, const std::string& topic, const std::string& why);
  void SayOnce(const std::string& text);

  Scanner& scanner_;
  OutputStore& outputs_;
  const std::string host_;
  const std::string prefix_;
  const std::string broker_name_;
  const Clock::duration min_interval_;
  const bool write_;
  mosquitto* client_ = nullptr;

  std::atomic<Protocol> protocol_{Protocol::kMqtt5};
  std::atomic<bool> connected_{false};
  std::atomic<bool> republish_{false};
  std::atomic<bool> network_ended_{false};  // libmosquitto's thread ended on an error
  std::atomic<int> outstanding_{0};
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> not_published_{0};

  std::mutex mutex_;  // guards the members up to said_
  std::condition_variable wake_;
  bool stopping_ = false;
  std::deque<Event> events_;
  int last_sent_mid_ = 0;
  std::string said_;  // the last connection notice on stderr

  // The publisher thread's own.
  Clock::time_point restart_at_{};
  std::chrono::seconds restart_wait_{kReconnectFirstS};
  std::map<Key, RetainedState> states_;
  std::set<Key> unsent_;  // states not handed to libmosquitto, sent again while connected
  std::map<Key, InputsSeen> inputs_;
  unsigned generation_ = 0;

  Scanner::SubscriberId subscription_ = 0;
  std::thread thread_;
};

Publisher::Publisher(const MqttOptions& options, const BrokerAddress& broker, Scanner& scanner,
                     OutputStore& outputs)
    : scanner_(scanner),
      outputs_(outputs),
      host_(HostName()),
      prefix_(TopicPrefix(options.prefix, host_, *scanner.List())),
      broker_name_(broker.host + ":" + std::to_string(broker.port)),
      min_interval_(std::chrono::milliseconds(options.min_interval_ms)),
      write_(options.write) {
  static std::once_flag initialized;
  std::call_once(initialized, [] { mosquitto_lib_init(); });
  const std::string id = ("dnm-" + host_).substr(0, 40) + "-" + std::to_string(getpid());
  client_ = mosquitto_new(id.c_str(), true, this);
  if (client_ == nullptr) throw std::runtime_error("MQTT: cannot make a client");
  try {
    Configure(options, broker);
  } catch (...) {
    mosquitto_destroy(client_);
    throw;
  }
  if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
    mosquitto_destroy(client_);
    throw std::runtime_error("MQTT: cannot start libmosquitto's thread");
  }
  subscription_ = scanner_.Subscribe([this](const Event& event) { Queue(event); });
  thread_ = std::thread([this] { Run(); });
  SayUnreachable(mosquitto_connect_async(client_, broker.host.c_str(), broker.port, kKeepAliveS));
}

// Refused or unreachable now, the network thread tries again.
void Publisher::SayUnreachable(int code) {
  if (code != MOSQ_ERR_SUCCESS)
    SayOnce("cannot reach " + broker_name_ + ": " + mosquitto_strerror(code) + "; trying again");
}

void Publisher::Configure(const MqttOptions& options, const BrokerAddress& broker) {
  // MQTT 5 first: a retained message that comes while subscribed would otherwise lose its flag.
  if (mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5) != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("MQTT: this libmosquitto cannot speak MQTT 5");
  mosquitto_connect_callback_set(client_, OnConnect);
  mosquitto_disconnect_callback_set(client_, OnDisconnect);
  mosquitto_publish_callback_set(client_, OnPublish);
  mosquitto_message_callback_set(client_, OnMessage);
  // A failed TLS handshake is told only there.
  mosquitto_log_callback_set(client_, [](mosquitto*, void* self, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr)
      static_cast<Publisher*>(self)->SayOnce(std::string(text) + "; trying again");
  });
  mosquitto_reconnect_delay_set(client_, kReconnectFirstS, kReconnectLastS, true);
  mosquitto_max_inflight_messages_set(client_, kMaxInflight);
  const std::string will = "{\"state\":\"dead\",\"host\":" + JsonString(host_) +
                           ",\"pid\":" + std::to_string(getpid()) + "}";
  const std::string topic = prefix_ + "/state";
  if (mosquitto_will_set(client_, topic.c_str(), static_cast<int>(will.size()), will.data(),
                         kQosState, true) != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("MQTT: cannot set the last will on " + topic);
  if (!options.user.empty()) {
    const std::string password =
        options.password_file.empty() ? "" : ReadPassword(options.password_file);
    if (mosquitto_username_pw_set(client_, options.user.c_str(),
                                  options.password_file.empty() ? nullptr : password.c_str()) !=
        MOSQ_ERR_SUCCESS)
      throw UsageError("--mqtt-user: not a user name the broker can be given");
  }
  if (!broker.tls) return;
  // Without a CA file the system's authorities are trusted, and there is nothing to set.
  JudgeCertificateFile("--mqtt-cafile", options.ca_file);
  JudgeCertificateFile("--mqtt-cert", options.cert_file);
  JudgeCertificateFile("--mqtt-key", options.key_file);
  if (options.ca_file.empty()) {
    mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    return;
  }
  const int code = mosquitto_tls_set(client_, OrNull(options.ca_file), nullptr,
                                     OrNull(options.cert_file), OrNull(options.key_file), nullptr);
  if (code != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("mqtts: cannot use the certificate files given: " +
                             std::string(mosquitto_strerror(code)));
}

Publisher::~Publisher() {
  if (subscription_ != 0) scanner_.Unsubscribe(subscription_);
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  PublishStopped();
  int mid = 0;
  if (Publish(prefix_ + "/state", ScannerState("stopped"), kQosState, true, &mid)) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, kStopWait, [&] { return last_sent_mid_ == mid || !connected_; });
  }
  StopNetwork();
  mosquitto_destroy(client_);
}

void Publisher::OnConnect(mosquitto*, void* self, int code) {
  pthread_setname_np(pthread_self(), "mqtt-network");  // libmosquitto's thread
  auto& publisher = *static_cast<Publisher*>(self);
  if (code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && publisher.protocol_ == Protocol::kMqtt5) {
    publisher.protocol_ = Protocol::kFallingBack;  // the publisher thread reconnects
    return;
  }
  if (code != 0) {
    publisher.SayOnce(publisher.broker_name_ + " refused the connection: " +
                      publisher.RefusalText(code) + "; trying again");
    return;
  }
  publisher.Subscribe();
  publisher.outstanding_ = 0;
  publisher.republish_ = true;  // before connected_: an event published between would go twice
  publisher.connected_ = true;
  publisher.SayOnce("connected to " + publisher.broker_name_ + ", publishing under " +
                    publisher.prefix_);
}

// Under MQTT 5 the broker keeps a retained write's flag for us; under 3.1.1 only the retained copies
// handed to a new subscription carry it.
void Publisher::Subscribe() {
  const std::string filter = OutputsSetFilter(prefix_);
  const int code =
      protocol_ == Protocol::kMqtt311
          ? mosquitto_subscribe(client_, nullptr, filter.c_str(), kQosData)
          : mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), kQosData,
                                   MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
  if (code != MOSQ_ERR_SUCCESS)
    SayOnce("cannot subscribe to " + filter + ": " + mosquitto_strerror(code) +
            "; no write is taken until the next connection");
}

// A CONNACK's code is a reason code under MQTT 5, a return code under 3.1.1.
std::string Publisher::RefusalText(int code) const {
  return protocol_ == Protocol::kMqtt311 ? mosquitto_connack_string(code)
                                         : mosquitto_reason_string(code);
}

// libmosquitto's thread ends on a CONNACK of another version: the publisher thread starts another.
void Publisher::FallBackToMqtt311() {
  StopNetwork();
  protocol_ = Protocol::kMqtt311;
  SayOnce(broker_name_ + " refused MQTT 5 as an unsupported protocol version; speaking MQTT 3.1.1");
  if (mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311) !=
      MOSQ_ERR_SUCCESS) {
    SayOnce("this libmosquitto cannot speak MQTT 3.1.1; not publishing");
    return;
  }
  network_ended_ = false;
  StartNetwork();
}

// Also where the thread still runs: the disconnection ends it first.
void Publisher::StopNetwork() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
}

void Publisher::StartNetwork() {
  SayUnreachable(mosquitto_reconnect_async(client_));
  if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS)
    SayOnce("cannot start libmosquitto's thread again; not publishing");
}

// Waits as libmosquitto does between its own tries: 1 s, doubling up to 30 s while the broker
// keeps failing so, from 1 s again once connected.
void Publisher::RestartEndedNetwork() {
  if (connected_) restart_wait_ = std::chrono::seconds(kReconnectFirstS);
  if (!network_ended_) return;
  const auto now = Clock::now();
  if (restart_at_ == Clock::time_point{}) restart_at_ = now + restart_wait_;
  if (now < restart_at_) return;
  restart_at_ = {};
  restart_wait_ = std::min(restart_wait_ * 2, std::chrono::seconds(kReconnectLastS));
  network_ended_ = false;
  StopNetwork();
  StartNetwork();
}

void Publisher::OnDisconnect(mosquitto*, void* self, int code) {
  auto& publisher = *static_cast<Publisher*>(self);
  bool was_connected = false;
  {
    const std::lock_guard lock(publisher.mutex_);  // the stop's wait sees it
    was_connected = publisher.connected_.exchange(false);
  }
  publisher.wake_.notify_all();
  if (code == 0 || publisher.protocol_ == Protocol::kFallingBack) return;  // asked for, or told
  if (EndsNetworkThread(code)) publisher.network_ended_ = true;
  if (was_connected) {
    publisher.SayOnce("lost " + publisher.broker_name_ + ": " + FailureText(code, true) +
                      "; scanning on, reconnecting");
  } else if (code != MOSQ_ERR_CONN_REFUSED) {  // a refusal is told with its reason on connecting
    publisher.SayOnce("cannot reach " + publisher.broker_name_ + ": " + FailureText(code, false) +
                      "; trying again");
  }
}

void Publisher::OnPublish(mosquitto*, void* self, int mid) {
  auto& publisher = *static_cast<Publisher*>(self);
  // Messages resent after a reconnection were no longer counted.
  for (int now = publisher.outstanding_; now > 0;) {
    if (publisher.outstanding_.compare_exchange_weak(now, now - 1)) break;
  }
  {
    const std::lock_guard lock(publisher.mutex_);
    publisher.last_sent_mid_ = mid;
  }
  publisher.wake_.notify_all();
}

void Publisher::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  if (message != nullptr && message->topic != nullptr)
    static_cast<Publisher*>(self)->Write(*message);
}

bool Publisher::Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                        int* mid) {
  if (!connected_) {
    ++not_published_;
    return false;
  }
  if (outstanding_.fetch_add(1) >= kMaxOutstanding) {
    --outstanding_;
    ++not_published_;
    return false;
  }
  const int code = mosquitto_publish(client_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
  if (code != MOSQ_ERR_SUCCESS) {
    --outstanding_;
    ++not_published_;
    return false;
  }
  ++published_;
  return true;
}

std::string Publisher::ScannerState(const char* state) const {
  return "{\"time\":" + JsonString(Now()) + ",\"state\":" + JsonString(state) +
         ",\"host\":" + JsonString(host_) + ",\"pid\":" + std::to_string(getpid()) +
         ",\"published\":" + std::to_string(published_) +
         ",\"not_published\":" + std::to_string(not_published_) + "}";
}

void Publisher::Queue(const Event& event) {
  if (event.port < 0) return;  // the scanner's own state is published apart
  const std::lock_guard lock(mutex_);
  if (events_.size() == kMaxQueuedEvents) {
    events_.pop_front();
    ++not_published_;
  }
  events_.push_back(event);
}

void Publisher::Run() {
  pthread_setname_np(pthread_self(), "mqtt-publish");
  auto next_counters = Clock::now() + kCountersPeriod;
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, kSamplePeriod, [this] { return stopping_; })) {
    lock.unlock();
    if (protocol_ == Protocol::kFallingBack) FallBackToMqtt311();
    RestartEndedNetwork();
    // Once connected_ is seen, republish_ was set before it: the states go out first.
    if (connected_ && republish_.exchange(false)) Republish();
    if (connected_) SendUnsent();
    PublishEvents();
    const auto now = Clock::now();
    SampleInputs(now);
    if (now >= next_counters) {
      PublishCounters();
      next_counters = now + kCountersPeriod;
    }
    lock.lock();
  }
}

void Publisher::PublishEvents() {
  std::deque<Event> events;
  {
    const std::lock_guard lock(mutex_);
    events.swap(events_);
  }
  for (const Event& event : events) PublishWithDevices(event);
}

// A port offline holds none of its devices' connections: their states say so.
void Publisher::PublishWithDevices(const Event& event) {
  PublishState(event);
  if (event.kind != EventKind::kOffline || event.mac >= 0) return;
  std::vector<int> macs;
  for (const auto& [key, state] : states_) {
    const auto& [board, port, mac] = key;
    if (board == event.board && port == event.port && mac >= 0) macs.push_back(mac);
  }
  for (const int mac : macs) {
    Event device = event;
    device.mac = mac;
    PublishState(device);
  }
}

void Publisher::PublishState(const Event& event) {
  PortEntry port;
  port.board = static_cast<uint8_t>(event.board);
  port.port = static_cast<uint8_t>(event.port);
  const std::string topic =
      (event.mac < 0 ? PortTopic(prefix_, port)
                     : DeviceTopic(prefix_, port, static_cast<uint8_t>(event.mac))) +
      "/state";
  const Key key{event.board, event.port, event.mac};
  RetainedState state{topic, EventJson(event), event.kind == EventKind::kRemoved};
  const bool sent = Publish(state.topic, state.payload, kQosState, true);
  if (sent) {
    unsent_.erase(key);
  } else {
    unsent_.insert(key);
  }
  if (sent && state.removed) {
    states_.erase(key);
  } else {
    states_[key] = std::move(state);
  }
}

// dnm run ends: the states retained of its ports, and so of their devices, are no longer true.
// The servers stop before the scanner, whose own offline events would come too late.
void Publisher::PublishStopped() {
  PublishEvents();
  std::vector<Event> ports;
  for (const auto& [key, state] : states_) {
    const auto& [board, port, mac] = key;
    if (mac >= 0 || board < 0) continue;
    ports.push_back({std::chrono::system_clock::now(), EventKind::kOffline, board, port, -1, {}, 0,
                     "offline: dnm run stopped"});
  }
  for (const Event& offline : ports) PublishWithDevices(offline);
}

void Publisher::Republish() {
  Publish(prefix_ + "/state", ScannerState("running"), kQosState, true);
  unsent_.clear();
  for (const auto& [key, state] : states_) {
    if (!Publish(state.topic, state.payload, kQosState, true)) unsent_.insert(key);
  }
}

// A state libmosquitto's queue had no room for is the newest truth all the same.
void Publisher::SendUnsent() {
  for (auto key = unsent_.begin(); key != unsent_.end();) {
    const auto state = states_.find(*key);
    if (state != states_.end()) {
      if (!Publish(state->second.topic, state->second.payload, kQosState, true)) return;
      if (state->second.removed) states_.erase(state);
    }
    key = unsent_.erase(key);
  }
}

void Publisher::SampleInputs(Clock::time_point now) {
  const std::shared_ptr<const ScanList> list = scanner_.List();
  ++generation_;
  for (size_t index = 0; index < list->ports.size(); ++index) {
    const PortEntry& port = list->ports[index];
    for (const DeviceEntry& device : port.devices) {
      if (scanner_.RunOf(index, device.mac) != DeviceRun::kRunning) continue;
      const DeviceAddress at = AddressOf(port, device);
      InputsSeen& seen = inputs_[Key{at.board, at.port, at.mac}];
      seen.generation = generation_;
      if (now - seen.last < min_interval_) continue;
      const std::vector<const ConnectionKind*> kinds = ConfiguredKinds(device);
      seen.published.resize(kinds.size());
      bool changed = false;
      for (size_t i = 0; i < kinds.size(); ++i) {
        if (InputSize(device, kinds[i]->kind) == 0) continue;
        ConnectionSample sample = SampleConnection(at, device, *kinds[i]);
        if (!sample.inputs_valid || sample.inputs == seen.published[i]) continue;
        changed = true;
        if (Publish(DeviceTopic(prefix_, port, at.mac) + "/inputs",
                    InputsJson(at, kinds[i]->name, sample.inputs), kQosData, false))
          seen.published[i] = std::move(sample.inputs);
      }
      if (changed) seen.last = now;
    }
  }
  std::erase_if(inputs_, [this](const auto& entry) { return entry.second.generation != generation_; });
}

void Publisher::PublishCounters() {
  Publish(prefix_ + "/state", ScannerState("running"), kQosState, true);
  const std::shared_ptr<const ScanList> list = scanner_.List();
  for (size_t index = 0; index < list->ports.size(); ++index) {
    const PortEntry& port = list->ports[index];
    for (const DeviceEntry& device : port.devices) {
      const DeviceRun run = scanner_.RunOf(index, device.mac);
      if (run != DeviceRun::kRunning) continue;
      Publish(DeviceTopic(prefix_, port, device.mac) + "/counters",
              CountersMessage(AddressOf(port, device), SampleDevice(port, device, run)), kQosData,
              false);
    }
  }
}

void Publisher::Write(const mosquitto_message& message) {
  const std::string topic(message.topic);
  const std::string_view payload(message.payload != nullptr && message.payloadlen > 0
                                     ? static_cast<const char*>(message.payload)
                                     : "",
                                 message.payload != nullptr && message.payloadlen > 0
                                     ? static_cast<size_t>(message.payloadlen)
                                     : 0);
  const std::shared_ptr<const ScanList> list = scanner_.List();
  const TopicDevice found = DeviceOfOutputsSet(prefix_, topic, *list);
  const std::string errors =
      found.device == nullptr ? prefix_ + "/errors"
                              : DeviceTopic(prefix_, *found.port, found.device->mac) + "/errors";
  if (!write_)
    return Refuse(errors, topic, "writes are off: dnm run was started without --mqtt-write");
  if (message.retain)
    return Refuse(errors, topic, "a retained write is not applied: it would be again at every "
                                 "reconnection");
  if (found.device == nullptr) return Refuse(errors, topic, "no device of the scan list run now");
  const uint16_t size = OutputSize(*found.device);
  if (size == 0) return Refuse(errors, topic, "the device has no outputs");
  const OutputsRequest request = ParseOutputsRequest(payload, size);
  if (!request.error.empty()) return Refuse(errors, topic, request.error);
  const uint16_t code =
      outputs_.Write(*found.port, *found.device, 0, request.bytes.data(), request.bytes.size());
  if (code != DNM_NoError)
    Refuse(errors, topic,
           "not written: " + std::to_string(code) + " " + api().DNM_GetErrorText(code));
}

void Publisher::Refuse(const std::string& errors_topic, const std::string& topic,
                       const std::string& why) {
  Publish(errors_topic,
          "{\"time\":" + JsonString(Now()) + ",\"topic\":" + JsonString(topic) +
              ",\"error\":" + JsonString(why) + "}",
          kQosData, false);
}

void Publisher::SayOnce(const std::string& text) {
  {
    const std::lock_guard lock(mutex_);
    if (said_ == text) return;
    said_ = text;
  }
  std::fprintf(stderr, "dnm run: MQTT: %s\n", text.c_str());
}

}  // namespace

std::unique_ptr<MqttService> MqttService::Start(const MqttOptions& options, Scanner& scanner,
                                                OutputStore& outputs) {
  const BrokerAddress broker = ParseBrokerUrl(options.url);
  JudgeOptions(options, broker);
  return std::make_unique<Publisher>(options, broker, scanner, outputs);
}

}  // namespace dnm::tool

#else  // built without libmosquitto

namespace dnm::tool {

std::unique_ptr<MqttService> MqttService::Start(const MqttOptions&, Scanner&, OutputStore&) {
  throw std::runtime_error(
      "this dnm was built without MQTT: libmosquitto was not found when it was configured "
      "(Debian: apt-get install libmosquitto-dev, then configure again)");
}

}  // namespace dnm::tool

#endif
