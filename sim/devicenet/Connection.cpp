#include "Connection.h"

namespace dnsim {
namespace {

constexpr uint8_t kStateAttribute = 1;
constexpr uint8_t kProducedSizeAttribute = 7;
constexpr uint8_t kConsumedSizeAttribute = 8;
constexpr uint8_t kExpectedPacketRateAttribute = 9;
constexpr uint8_t kWatchdogActionAttribute = 12;

}  // namespace

Connection::Connection(uint16_t instance) : instance_(instance) {
  attributes_.ReadOnly(kStateAttribute, [this] { return Bytes{static_cast<uint8_t>(state_)}; })
      .ReadOnly(kProducedSizeAttribute, [this] { return Le(ReportedProducedSize(), 2); })
      .ReadOnly(kConsumedSizeAttribute, [this] { return Le(ReportedConsumedSize(), 2); })
      .Settable(
          kExpectedPacketRateAttribute, 2, [this] { return Le(expected_packet_rate_, 2); },
          [this](std::span<const uint8_t> value) { return SetRate(value); })
      .Settable(
          kWatchdogActionAttribute, 1,
          [this] { return Bytes{static_cast<uint8_t>(watchdog_action_)}; },
          [this](std::span<const uint8_t> value) { return SetWatchdogAction(value); });
}

void Connection::Delete() {
  state_ = ConnectionState::kNonExistent;
}

void Connection::Reset(const Setup& setup) {
  state_ = setup.state;
  expected_packet_rate_ = setup.expected_packet_rate;
  watchdog_action_ = setup.watchdog_action;
  produced_size_ = setup.produced_size;
  consumed_size_ = setup.consumed_size;
}

uint8_t Connection::SetRate(std::span<const uint8_t> value) {
  if (state_ == ConnectionState::kNonExistent) return kObjectStateConflict;
  expected_packet_rate_ = static_cast<uint16_t>(value[0] | value[1] << 8);
  OnRateChanged();
  return kSuccess;
}

uint8_t Connection::SetWatchdogAction(std::span<const uint8_t> value) {
  if (state_ == ConnectionState::kNonExistent) return kObjectStateConflict;
  const auto action = static_cast<WatchdogAction>(value[0]);
  if (value[0] > static_cast<uint8_t>(WatchdogAction::kDeferredDelete) || !Accepts(action)) {
    return kInvalidAttributeValue;
  }
  watchdog_action_ = action;
  return kSuccess;
}

}  // namespace dnsim
