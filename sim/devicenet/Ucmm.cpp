#include "Ucmm.h"

#include <algorithm>

namespace dnsim {
namespace {

constexpr uint8_t kGroupSelect3 = 3;
constexpr uint8_t kSlaveSourceMessage = 0;
constexpr uint8_t kBodyFormat8Bit = 0x00;

Bytes OpenAnswer(uint8_t source_message, uint16_t instance) {
  Bytes body{kReplyFlag | kAllocate, kBodyFormat8Bit,
             static_cast<uint8_t>(source_message << 4 | kSlaveSourceMessage)};
  AppendLe(body, instance, 2);
  return body;
}

ServiceKind KindOf(uint8_t service) {
  if (service == kAllocate) return ServiceKind::kOpen;
  return service == kRelease ? ServiceKind::kClose : ServiceKind::kOther;
}

}  // namespace

void Ucmm::OnRequest(uint8_t master, std::span<const uint8_t> data) {
  if (data.size() < 2 || (data[0] & kFragmentFlag) != 0) return;
  const std::span<const uint8_t> request = data.subspan(1);
  const ServiceKind kind = KindOf(request[0]);
  context_.counters.Count(kind);
  if (kind == ServiceKind::kOther) {
    Answer(master, ErrorReply(kServiceNotSupported));
  } else if (context_.behaviour.Fails(kind)) {
    Answer(master, ErrorReply(context_.behaviour.error_status));
  } else {
    Answer(master, kind == ServiceKind::kOpen ? Open(master, request) : Close(master, request));
  }
}

Bytes Ucmm::Open(uint8_t master, std::span<const uint8_t> request) {
  if (request.size() < 3) return ErrorReply(kNotEnoughData);
  const uint8_t group = request[2] >> 4;
  const uint8_t source_message = request[2] & 0x0F;
  if (group != kGroupSelect3 || source_message > group3::kLastConnectionMessage) {
    return ErrorReply(kInvalidParameter);
  }
  const uint32_t consumed_id = Group3Id(source_message, master);
  if (ExplicitConnection* known = FindByConsumedId(consumed_id)) {
    if (known->established()) return OpenAnswer(source_message, known->instance());
    connections_.erase(known->instance());
  }
  if (connections_.size() >= kMaxConnections) return ErrorReply(kResourceUnavailable);
  const uint16_t instance = FreeInstance();
  auto connection = std::make_unique<ExplicitConnection>(
      instance, context_, [this](ExplicitConnection& ended) { OnWatchdogEnd(ended); });
  connection->Establish({consumed_id, Group3Id(kSlaveSourceMessage, context_.mac), master});
  connections_.emplace(instance, std::move(connection));
  return OpenAnswer(source_message, instance);
}

Bytes Ucmm::Close(uint8_t master, std::span<const uint8_t> request) {
  if (request.size() < 3) return ErrorReply(kNotEnoughData);
  const auto instance = static_cast<uint16_t>(request[1] | request[2] << 8);
  const auto it = connections_.find(instance);
  if (it == connections_.end()) return ErrorReply(kObjectDoesNotExist);
  if (it->second->endpoint().answer_mac != master) return ErrorReply(kObjectStateConflict);
  connections_.erase(it);
  return {kReplyFlag | kRelease};
}

// A connection that timed out stays, in that state, until its master closes or reopens it.
void Ucmm::OnWatchdogEnd(ExplicitConnection& connection) {
  if (connection.state() != ConnectionState::kTimedOut) connections_.erase(connection.instance());
}

bool Ucmm::Receive(uint32_t id, std::span<const uint8_t> data) {
  ExplicitConnection* connection = FindByConsumedId(id);
  if (connection == nullptr || !connection->established()) return false;
  connection->Receive(data);
  return true;
}

ExplicitConnection* Ucmm::FindByConsumedId(uint32_t id) {
  for (auto& [instance, connection] : connections_) {
    if (connection->endpoint().consumed_id == id) return connection.get();
  }
  return nullptr;
}

Connection* Ucmm::Find(uint16_t instance) {
  const auto it = connections_.find(instance);
  return it == connections_.end() ? nullptr : it->second.get();
}

uint16_t Ucmm::FreeInstance() const {
  uint16_t instance = kFirstInstance;
  while (connections_.contains(instance)) ++instance;
  return instance;
}

void Ucmm::Answer(uint8_t master, const Bytes& body) {
  vcan::Frame frame;
  frame.id = Group3Id(group3::kUnconnectedResponse, context_.mac);
  frame.data[0] = static_cast<uint8_t>(kXidFlag | master);
  std::copy(body.begin(), body.end(), frame.data.begin() + 1);
  frame.len = static_cast<uint8_t>(body.size() + 1);
  context_.outbox.Send(frame);
}

std::vector<UcmmConnectionStatus> Ucmm::Status() const {
  std::vector<UcmmConnectionStatus> status;
  for (const auto& [instance, connection] : connections_) {
    status.push_back({instance, connection->endpoint().answer_mac.value_or(0), connection->state(),
                      connection->expected_packet_rate(), connection->watchdog_action()});
  }
  return status;
}

}  // namespace dnsim
