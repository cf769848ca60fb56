#include "IoConnection.h"

#include <algorithm>

namespace dnsim {
namespace {

constexpr int kWatchdogRateMultiplier = 4;

}  // namespace

IoConnection::IoConnection(uint16_t instance, SlaveContext& context, IoSizes sizes,
                           DeletedHandler on_watchdog_delete)
    : Connection(instance),
      context_(context),
      sizes_(sizes),
      on_watchdog_delete_(std::move(on_watchdog_delete)),
      watchdog_(context.timers, [this] { OnWatchdogExpired(); }) {}

void IoConnection::Establish() {
  Reset({ConnectionState::kConfiguring, 0, WatchdogAction::kTransitionToTimedOut, sizes_.produced,
         sizes_.consumed});
}

void IoConnection::Delete() {
  Connection::Delete();
  watchdog_.Stop();
}

bool IoConnection::Receive(uint8_t message, std::span<const uint8_t> data) {
  if (state() != ConnectionState::kEstablished) return false;
  RestartWatchdog();
  return Consume(message, data);
}

bool IoConnection::Respond(uint8_t group1_message, uint32_t& responses, size_t max_size) {
  Behaviour& behaviour = context_.behaviour;
  if (behaviour.io_silent || behaviour.silent) return false;
  const size_t size = MessageSize(max_size);
  const Bytes message = context_.image.Response(size, behaviour.inputs, responses++);
  const uint32_t id = Group1Id(group1_message, context_.mac);
  if (!NeedsIoFragments(size)) {
    SendFrame(id, message);
    return true;
  }
  const bool skip_count = behaviour.TakeFragmentedIoResponse();
  for (const Bytes& frame : SplitIoMessage(message, skip_count)) SendFrame(id, frame);
  return true;
}

size_t IoConnection::MessageSize(size_t max_size) const {
  return std::min<size_t>(context_.behaviour.io_length.value_or(produced_size()), max_size);
}

void IoConnection::SendFrame(uint32_t id, std::span<const uint8_t> data) {
  vcan::Frame frame;
  frame.id = id;
  frame.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), frame.data.begin());
  context_.outbox.Send(frame);
}

void IoConnection::OnRateChanged() {
  if (state() == ConnectionState::kConfiguring) set_state(ConnectionState::kEstablished);
  if (state() == ConnectionState::kEstablished) RestartWatchdog();
}

uint16_t IoConnection::ReportedProducedSize() const {
  return context_.behaviour.reported_produced_size.value_or(sizes_.produced);
}

uint16_t IoConnection::ReportedConsumedSize() const {
  return context_.behaviour.reported_consumed_size.value_or(sizes_.consumed);
}

void IoConnection::RestartWatchdog() {
  if (expected_packet_rate() == 0) {
    watchdog_.Stop();
    return;
  }
  watchdog_.Start(std::chrono::milliseconds(kWatchdogRateMultiplier * expected_packet_rate()));
}

void IoConnection::OnWatchdogExpired() {
  context_.counters.io_watchdog_expiries++;
  switch (watchdog_action()) {
    case WatchdogAction::kAutoReset:
      RestartWatchdog();
      return;
    case WatchdogAction::kAutoDelete:
      Delete();
      on_watchdog_delete_();
      return;
    default:
      set_state(ConnectionState::kTimedOut);
  }
}

// ---- Outputs ----

void OutputConnection::Delete() {
  IoConnection::Delete();
  reassembly_.Reset();
}

bool OutputConnection::ConsumeOutputs(std::span<const uint8_t> frame) {
  if (!NeedsIoFragments(consumed_size())) return TakeIfWhole(frame);
  switch (reassembly_.Take(frame, consumed_size())) {
    case IoReassembly::Outcome::kTaken:
      return true;
    case IoReassembly::Outcome::kComplete:
      return TakeIfWhole(reassembly_.message());
    case IoReassembly::Outcome::kDropped:
      return false;
  }
  return false;
}

bool OutputConnection::TakeIfWhole(std::span<const uint8_t> outputs) {
  return outputs.size() == consumed_size() && TakeOutputs(outputs);
}

// ---- Poll ----

bool PollConnection::TakeOutputs(std::span<const uint8_t> outputs) {
  context_.image.TakeOutputs(outputs);
  context_.counters.polls++;
  Respond(group1::kPollResponse, context_.counters.poll_responses);
  return true;
}

// ---- Bit-strobe ----

bool StrobeConnection::Consume(uint8_t /*message*/, std::span<const uint8_t> data) {
  if (data.size() != kConsumedSize) return false;
  context_.counters.strobes++;
  Respond(group1::kBitStrobeResponse, context_.counters.strobe_responses, kMaxProducedSize);
  return true;
}

}  // namespace dnsim
