// An explicit messaging connection of the slave: the predefined set's instance 1 (requests on
// group 2 message 4, answers on message 3) or one opened through UCMM (requests on the master's
// group 3 message, answers on the slave's group 3 message 0).
//
// Requests are served by the slave's ExplicitServer; answers longer than one frame are sent in
// fragments. The inactivity watchdog runs at four times the expected packet rate (none while the
// rate is 0) and restarts with every frame the connection receives, acknowledgements included.
// On expiry the watchdog timeout action applies: auto reset keeps the connection; the others end
// it (timed out, deleted, or deferred delete, which the owner resolves) and tell the owner.
#pragma once

#include <functional>
#include <optional>
#include <span>

#include "Connection.h"
#include "Fragmentation.h"
#include "SlaveContext.h"

namespace dnsim {

struct ExplicitEndpoint {
  uint32_t consumed_id = 0;
  uint32_t produced_id = 0;
  // The MAC ID that answers carry in their header: the master's for UCMM connections; for the
  // predefined connection nullopt, meaning the one the request carried.
  std::optional<uint8_t> answer_mac;
};

class ExplicitConnection final : public Connection {
 public:
  static constexpr uint16_t kDefaultExpectedPacketRate = 2500;  // ms
  using EndedHandler = std::function<void(ExplicitConnection&)>;

  // on_watchdog_end runs when the watchdog ended the connection; it may destroy it.
  ExplicitConnection(uint16_t instance, SlaveContext& context, EndedHandler on_watchdog_end);

  void Establish(const ExplicitEndpoint& endpoint);
  void Delete() override;

  bool established() const { return state() == ConnectionState::kEstablished; }
  const ExplicitEndpoint& endpoint() const { return endpoint_; }

  // A frame on the consumed identifier, while established.
  void Receive(std::span<const uint8_t> data);

 private:
  void OnRateChanged() override { RestartWatchdog(); }
  void RestartWatchdog();
  void OnWatchdogExpired();
  void Serve(uint8_t header, std::span<const uint8_t> request, bool fragmented);
  void Answer(uint8_t header, const Bytes& body);
  void SendFrame(const Bytes& data);
  uint8_t AnswerHeader(uint8_t request_header) const;

  SlaveContext& context_;
  const EndedHandler on_watchdog_end_;
  ExplicitEndpoint endpoint_;
  Fragmentation fragmentation_;
  Timer watchdog_;
};

}  // namespace dnsim
