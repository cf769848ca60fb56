// One instance of the Connection class (class 5) and the attributes every connection has. The
// predefined master/slave set has instances 1 (explicit), 2 (poll), 3 (bit-strobe) and 4
// (change of state or cyclic); explicit connections opened through UCMM get instances from 7.
#pragma once

#include <cstdint>

#include "Attributes.h"

namespace dnsim {

enum class ConnectionState : uint8_t {
  kNonExistent = 0,
  kConfiguring = 1,
  kEstablished = 3,
  kTimedOut = 4,
  kDeferredDelete = 5,
};

enum class WatchdogAction : uint8_t {
  kTransitionToTimedOut = 0,
  kAutoDelete = 1,
  kAutoReset = 2,
  kDeferredDelete = 3,
};

class Connection {
 public:
  explicit Connection(uint16_t instance);
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  uint16_t instance() const { return instance_; }
  ConnectionState state() const { return state_; }
  uint16_t expected_packet_rate() const { return expected_packet_rate_; }
  WatchdogAction watchdog_action() const { return watchdog_action_; }
  uint16_t produced_size() const { return produced_size_; }
  uint16_t consumed_size() const { return consumed_size_; }
  AttributeSet& attributes() { return attributes_; }

  virtual void Delete();

 protected:
  struct Setup {
    ConnectionState state;
    uint16_t expected_packet_rate;
    WatchdogAction watchdog_action;
    uint16_t produced_size;
    uint16_t consumed_size;
  };
  void Reset(const Setup& setup);
  void set_state(ConnectionState state) { state_ = state; }

  // After a master set the expected packet rate.
  virtual void OnRateChanged() {}
  // Whether a master may set this watchdog timeout action.
  virtual bool Accepts(WatchdogAction) const { return true; }
  // What Get of attributes 7 and 8 answers.
  virtual uint16_t ReportedProducedSize() const { return produced_size_; }
  virtual uint16_t ReportedConsumedSize() const { return consumed_size_; }

 private:
  uint8_t SetRate(std::span<const uint8_t> value);
  uint8_t SetWatchdogAction(std::span<const uint8_t> value);

  const uint16_t instance_;
  ConnectionState state_ = ConnectionState::kNonExistent;
  uint16_t expected_packet_rate_ = 0;  // ms
  WatchdogAction watchdog_action_ = WatchdogAction::kTransitionToTimedOut;
  uint16_t produced_size_ = 0;
  uint16_t consumed_size_ = 0;
  AttributeTable attributes_;
};

}  // namespace dnsim
