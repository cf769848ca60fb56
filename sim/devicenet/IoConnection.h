// An I/O connection of the predefined set: poll (instance 2), bit-strobe (3), change of state or
// cyclic (4). Allocating it puts it in the configuring state; a master's Set of the expected
// packet rate establishes it. The slave holds its attributes but exchanges no I/O messages yet;
// I/O data, its watchdog and the COS/cyclic production will live here.
#pragma once

#include "Connection.h"

namespace dnsim {

class IoConnection final : public Connection {
 public:
  IoConnection(uint16_t instance, uint16_t produced_size, uint16_t consumed_size)
      : Connection(instance), io_produced_size_(produced_size), io_consumed_size_(consumed_size) {}

  void Establish() {
    Reset({ConnectionState::kConfiguring, 0, WatchdogAction::kTransitionToTimedOut,
           io_produced_size_, io_consumed_size_});
  }

 private:
  void OnRateChanged() override {
    if (state() == ConnectionState::kConfiguring) set_state(ConnectionState::kEstablished);
  }

  const uint16_t io_produced_size_;
  const uint16_t io_consumed_size_;
};

}  // namespace dnsim
