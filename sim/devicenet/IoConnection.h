// The I/O connections of the predefined set: poll (instance 2), bit-strobe (3), change of state
// or cyclic (4, CosCyclicConnection.h). Allocating one puts it in the configuring state; a
// master's Set of the expected packet rate establishes it. An established connection takes the
// master's frames on its messages; poll and bit-strobe answer each command with the slave's
// inputs (ProcessImage) at once, on the slave's group 1 message; a message longer than eight
// bytes goes in fragments (IoFragments).
//
// The inactivity watchdog runs at four times the expected packet rate (none at rate 0) and
// restarts with every frame the connection receives. On expiry: auto reset restarts it; auto
// delete deletes the connection and tells the owner; transition to timed out leaves it in state
// 4, where it takes nothing until the master releases it. Deferred delete belongs to explicit
// connections and is refused here.
#pragma once

#include <functional>
#include <limits>
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

  // A frame on one of the connection's group 2 messages. False when it was not taken: the
  // connection is not established, or the frame is refused.
  bool Receive(uint8_t message, std::span<const uint8_t> data);

 protected:
  static constexpr size_t kAnySize = std::numeric_limits<size_t>::max();

  // Takes a frame of the established connection; false when refused.
  virtual bool Consume(uint8_t message, std::span<const uint8_t> data) = 0;
  void OnRateChanged() override;
  // Sends the inputs, at most max_size bytes, on the slave's group 1 message unless the slave
  // is told to keep quiet; responses counts the messages of the connection's kind. False when
  // nothing was sent.
  bool Respond(uint8_t group1_message, uint32_t& responses, size_t max_size = kAnySize);
  // The size of the message Respond sends: the produced size or the one the behaviour imposes.
  size_t MessageSize(size_t max_size = kAnySize) const;
  void SendFrame(uint32_t id, std::span<const uint8_t> data);

  SlaveContext& context_;

 private:
  bool Accepts(WatchdogAction action) const override {
    return action != WatchdogAction::kDeferredDelete;
  }
  uint16_t ReportedProducedSize() const override;
  uint16_t ReportedConsumedSize() const override;
  void RestartWatchdog();
  void OnWatchdogExpired();

  const IoSizes sizes_;
  const DeletedHandler on_watchdog_delete_;
  Timer watchdog_;
};

// A connection that takes the master's outputs: messages of the consumed size, in fragments
// when that is above eight. A fragment out of sequence drops the message under way; a message
// of another length than the consumed size is refused.
class OutputConnection : public IoConnection {
 public:
  using IoConnection::IoConnection;
  void Delete() override;

 protected:
  // One frame of an output message; false when refused.
  bool ConsumeOutputs(std::span<const uint8_t> frame);
  // A complete output message of the consumed size; false when refused.
  virtual bool TakeOutputs(std::span<const uint8_t> outputs) = 0;

 private:
  bool TakeIfWhole(std::span<const uint8_t> outputs);

  IoReassembly reassembly_;
};

// Poll commands on the slave's group 2 message 5 carry the outputs; each is answered.
class PollConnection final : public OutputConnection {
 public:
  using OutputConnection::OutputConnection;

 private:
  bool Consume(uint8_t /*message*/, std::span<const uint8_t> data) override {
    return ConsumeOutputs(data);
  }
  bool TakeOutputs(std::span<const uint8_t> outputs) override;
};

// Bit-strobe commands on group 2 message 0 of the master carry eight bytes, one bit per MAC
// ID; the slave answers every one of them, whatever its bit, with at most eight bytes.
class StrobeConnection final : public IoConnection {
 public:
  static constexpr uint16_t kConsumedSize = 8;
  static constexpr uint16_t kMaxProducedSize = 8;
  using IoConnection::IoConnection;

 private:
  bool Consume(uint8_t message, std::span<const uint8_t> data) override;
};

}  // namespace dnsim
