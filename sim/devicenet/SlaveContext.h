// What the parts of one slave share. All of it is guarded by the slave's lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "Behaviour.h"
#include "Outbox.h"
#include "ProcessImage.h"
#include "Protocol.h"
#include "Timers.h"

namespace dnsim {

struct SlaveCounters {
  std::array<uint32_t, kServiceKinds> requests{};  // by ServiceKind
  uint32_t watchdog_expiries = 0;
  std::optional<uint8_t> last_expiry_action;
  uint32_t ignored_frames = 0;  // requests to the slave it did not act on
  uint32_t polls = 0;           // poll commands taken
  uint32_t poll_responses = 0;
  uint32_t strobes = 0;  // bit-strobe commands taken
  uint32_t strobe_responses = 0;
  uint32_t io_ignored = 0;  // I/O command frames the slave did not act on
  uint32_t io_watchdog_expiries = 0;
  uint32_t cos_productions = 0;       // change of state / cyclic messages produced
  uint32_t cos_repeats = 0;           // productions due while the one before was unacknowledged
  uint32_t cos_acks_received = 0;     // the master's acknowledgements of productions
  uint32_t cos_outputs_received = 0;  // output messages taken on the connection (without poll)

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
  ProcessImage& image;
};

}  // namespace dnsim
