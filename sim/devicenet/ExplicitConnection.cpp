#include "ExplicitConnection.h"

#include <algorithm>

namespace dnsim {
namespace {

constexpr int kWatchdogRateMultiplier = 4;

}  // namespace

ExplicitConnection::ExplicitConnection(uint16_t instance, SlaveContext& context,
                                       EndedHandler on_watchdog_end)
    : Connection(instance),
      context_(context),
      on_watchdog_end_(std::move(on_watchdog_end)),
      fragmentation_(context, [this](const Bytes& data) { SendFrame(data); }),
      watchdog_(context.timers, [this] { OnWatchdogExpired(); }) {}

void ExplicitConnection::Establish(const ExplicitEndpoint& endpoint) {
  endpoint_ = endpoint;
  constexpr auto kSize = static_cast<uint16_t>(Fragmentation::kMaxMessageSize);
  Reset({ConnectionState::kEstablished, kDefaultExpectedPacketRate, WatchdogAction::kAutoDelete,
         kSize, kSize});
  fragmentation_.Abort();
  RestartWatchdog();
}

void ExplicitConnection::Delete() {
  Connection::Delete();
  fragmentation_.Abort();
  watchdog_.Stop();
}

void ExplicitConnection::RestartWatchdog() {
  if (expected_packet_rate() == 0) {
    watchdog_.Stop();
    return;
  }
  watchdog_.Start(std::chrono::milliseconds(kWatchdogRateMultiplier * expected_packet_rate()));
}

void ExplicitConnection::OnWatchdogExpired() {
  const WatchdogAction action = watchdog_action();
  context_.counters.watchdog_expiries++;
  context_.counters.last_expiry_action = static_cast<uint8_t>(action);
  if (action == WatchdogAction::kAutoReset) {
    RestartWatchdog();
    return;
  }
  Delete();
  if (action == WatchdogAction::kTransitionToTimedOut) set_state(ConnectionState::kTimedOut);
  if (action == WatchdogAction::kDeferredDelete) set_state(ConnectionState::kDeferredDelete);
  const EndedHandler handler = on_watchdog_end_;  // a copy: it may destroy this connection
  handler(*this);
}

// Fragments carry the fragment flag in the header; an acknowledgement belongs to an answer
// being sent, anything else is (part of) a request, which supersedes an answer still going out.
void ExplicitConnection::Receive(std::span<const uint8_t> data) {
  RestartWatchdog();
  if (data.size() < 2) return;
  const uint8_t header = data[0];
  if ((header & kFragmentFlag) == 0) {
    fragmentation_.StopSending();
    Serve(header, data.subspan(1), false);
    return;
  }
  if (FragmentTypeOf(data[1]) == FragmentType::kAck) {
    fragmentation_.OnAck(data);
    return;
  }
  fragmentation_.StopSending();
  if (auto request = fragmentation_.Receive(data, AnswerHeader(header))) {
    Serve(header, *request, true);
  }
}

void ExplicitConnection::Serve(uint8_t header, std::span<const uint8_t> request, bool fragmented) {
  const uint8_t answer_header = AnswerHeader(header);
  const Bytes answer = context_.server.Serve(request, answer_header & kMacMask);
  const bool plain_set_answer = answer == Bytes{kReplyFlag | kSetAttributeSingle};
  if (fragmented && plain_set_answer && context_.behaviour.fragmented_set_response) {
    SendFrame({static_cast<uint8_t>(answer_header | kFragmentFlag), answer[0]});
    return;
  }
  Answer(answer_header, answer);
}

void ExplicitConnection::Answer(uint8_t header, const Bytes& body) {
  if (Fragmentation::NeedsFragments(body.size())) {
    fragmentation_.Send(header, body);
    return;
  }
  Bytes data{header};
  data.insert(data.end(), body.begin(), body.end());
  SendFrame(data);
}

void ExplicitConnection::SendFrame(const Bytes& data) {
  vcan::Frame frame;
  frame.id = endpoint_.produced_id;
  frame.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), frame.data.begin());
  context_.outbox.Send(frame);
}

// The header of an answer: the request's XID bit and the master's MAC ID.
uint8_t ExplicitConnection::AnswerHeader(uint8_t request_header) const {
  const uint8_t mac = endpoint_.answer_mac.value_or(request_header & kMacMask);
  return static_cast<uint8_t>((request_header & kXidFlag) | mac);
}

}  // namespace dnsim
