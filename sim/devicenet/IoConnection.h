// The I/O connections of the predefined set: poll (instance 2), bit-strobe (3), change of state
// or cyclic (4). Allocating one puts it in the configuring state; a master's Set of the expected
// packet rate establishes it. An established connection takes the master's commands and answers
// each with the slave's inputs (ProcessImage) at once, on the slave's group 1 message; a
// response longer than eight bytes goes in fragments (IoFragments).
//
// The inactivity watchdog runs at four times the expected packet rate (none at rate 0) and
// restarts with every command frame the connection receives. On expiry: auto reset restarts it;
// auto delete deletes the connection and tells the owner; transition to timed out leaves it in
// state 4, where it takes no command until the master releases it. Deferred delete belongs to
// explicit connections and is refused here.
#pragma once

#include <functional>
#include <span>

#include "Connection.h"
#include "IoFragments.h"
#include "SlaveContext.h"

namespace dnsim {

struct IoSizes {
  uint16_t produced = 0;
  uint16_t consumed = 0;
};

class IoConnection : public Connection {
 public:
  using DeletedHandler = std::function<void()>;

  // on_watchdog_delete runs when the watchdog deleted the connection.
  IoConnection(uint16_t instance, SlaveContext& context, IoSizes sizes,
               DeletedHandler on_watchdog_delete);

  // Allocated: configuring until the expected packet rate is set.
  void Establish();
  void Delete() override;

  // A command frame on the connection. False when it was not taken: the connection is not
  // established, or the command is refused.
  bool Receive(std::span<const uint8_t> data);

 protected:
  // Takes a command frame of the established connection; false when refused. The change of
  // state or cyclic connection takes none.
  virtual bool Consume(std::span<const uint8_t> /*data*/) { return false; }
  // Sends the inputs, at most max_size bytes, on the slave's group 1 message unless the slave is
  // told to keep quiet; responses counts the connection kind's responses.
  void Respond(uint8_t group1_message, size_t max_size, uint32_t& responses);

  SlaveContext& context_;

 private:
  void OnRateChanged() override;
  bool Accepts(WatchdogAction action) const override {
    return action != WatchdogAction::kDeferredDelete;
  }
  uint16_t ReportedProducedSize() const override;
  uint16_t ReportedConsumedSize() const override;
  void RestartWatchdog();
  void OnWatchdogExpired();
  void SendFrame(uint32_t id, std::span<const uint8_t> data);

  const IoSizes sizes_;
  const DeletedHandler on_watchdog_delete_;
  Timer watchdog_;
};

// Poll commands on the slave's group 2 message 5 carry the outputs, in fragments when the
// consumed size is above eight; one of another length than the consumed size is refused.
class PollConnection final : public IoConnection {
 public:
  using IoConnection::IoConnection;
  void Delete() override;

 private:
  bool Consume(std::span<const uint8_t> data) override;
  bool Take(std::span<const uint8_t> outputs);

  IoReassembly reassembly_;
};

// Bit-strobe commands on group 2 message 0 of the master carry eight bytes, one bit per MAC
// ID; the slave answers every one of them, whatever its bit, with at most eight bytes.
class StrobeConnection final : public IoConnection {
 public:
  static constexpr uint16_t kConsumedSize = 8;
  static constexpr uint16_t kMaxProducedSize = 8;
  using IoConnection::IoConnection;

 private:
  bool Consume(std::span<const uint8_t> data) override;
};

}  // namespace dnsim
