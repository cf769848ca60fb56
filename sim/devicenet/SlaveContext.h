// What the parts of one slave share. All of it is guarded by the slave's lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "Behaviour.h"
#include "Outbox.h"
#include "Protocol.h"
#include "Timers.h"

namespace dnsim {

struct SlaveCounters {
  std::array<uint32_t, kServiceKinds> requests{};  // by ServiceKind
  uint32_t watchdog_expiries = 0;
  std::optional<uint8_t> last_expiry_action;
  uint32_t ignored_frames = 0;  // requests to the slave it did not act on

  void Count(ServiceKind kind) { requests[static_cast<size_t>(kind)]++; }
};

// Serves one explicit request (service code, path, data) and returns the reply body (reply
// service code and data, or an error response). requester is the MAC ID of the asking master.
class ExplicitServer {
 public:
  virtual Bytes Serve(std::span<const uint8_t> request, uint8_t requester) = 0;

 protected:
  ~ExplicitServer() = default;
};

struct SlaveContext {
  uint8_t mac;
  TimerSet& timers;
  Outbox& outbox;
  Behaviour& behaviour;
  SlaveCounters& counters;
  ExplicitServer& server;
};

}  // namespace dnsim
