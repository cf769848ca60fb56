// The master's side of a conversation with a simulated slave, for the slave's tests: frames
// sent and expected through a driver port (the card's driver entries) or a test node, and the
// DeviceNet requests the tests need most, written out byte by byte as a master sends them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "CardTestSupport.h"

namespace dnsim_test {

using Data = std::vector<uint8_t>;

inline constexpr uint32_t kAnswerTimeoutMs = 2000;

// Group 2 identifiers of a slave, group 3 identifiers of a sender.
constexpr uint32_t ResponseId(uint8_t slave) {
  return 0x403 + 8u * slave;
}
constexpr uint32_t RequestId(uint8_t slave) {
  return 0x404 + 8u * slave;
}
constexpr uint32_t UnconnectedId(uint8_t slave) {
  return 0x406 + 8u * slave;
}
constexpr uint32_t DupMacId(uint8_t mac) {
  return 0x407 + 8u * mac;
}
constexpr uint32_t Group3Id(uint8_t message, uint8_t source) {
  return 0x600 + 64u * message + source;
}

class Master {
 public:
  // A master on a driver port that is already on the bus (vcan_test::BringOnline).
  static Master OnPort(uint8_t mac, int32_t board = 0, int32_t port = 1);
  // A master played by a test node attached to the segment of (board, port).
  static Master OnNode(uint8_t mac, int32_t board = 0, int32_t port = 1);

  uint8_t mac() const { return mac_; }

  void Send(uint32_t id, const Data& data) const;
  std::optional<CANMsg> Receive(uint32_t timeout_ms = kAnswerTimeoutMs) const;
  // The data of the next frame, which must come on id; {} (and a failure) otherwise.
  Data ReceiveOn(uint32_t id, uint32_t timeout_ms = kAnswerTimeoutMs) const;
  testing::AssertionResult ExpectNothing(uint32_t timeout_ms) const;
  void Drain() const;

  // A request on the group-2-only unconnected port, with header 0x40 | mac; returns the answer.
  Data Unconnected(uint8_t slave, const Data& body) const;
  // A request on the slave's explicit connection, with header mac; returns the answer.
  Data Explicit(uint8_t slave, const Data& body) const;
  testing::AssertionResult Allocate(uint8_t slave, uint8_t choice) const;

  // A request in fragments with header mac | 0x80 (on the group 2 request identifier, or on
  // request_id), expecting an acknowledgement [ack_header, 0xC0 | count, 0] for each; returns
  // the answer that follows.
  Data SendFragmented(uint8_t slave, const Data& body) const;
  Data SendFragmented(uint32_t request_id, uint8_t header, uint32_t answer_id, uint8_t ack_header,
                      const Data& body) const;
  // Takes a fragmented answer on answer_id, acknowledging each fragment on ack_id with
  // [ack_header, 0xC0 | count, 0]; returns the frames as received.
  std::vector<Data> ReceiveFragments(uint32_t answer_id, uint32_t ack_id, uint8_t ack_header) const;

 private:
  Master(uint8_t mac, int32_t board, int32_t port, int32_t node)
      : mac_(mac), board_(board), port_(port), node_(node) {}

  uint8_t mac_;
  int32_t board_;
  int32_t port_;
  int32_t node_;  // 0: the driver port
};

// The body of a reassembled fragmented answer (service code onward).
Data BodyOf(const std::vector<Data>& fragments);

// Request bodies.
Data GetRequest(uint8_t class_id, uint8_t instance, uint8_t attribute);
Data SetRequest(uint8_t class_id, uint8_t instance, uint8_t attribute, const Data& value);
Data Bytes(size_t count, uint8_t first = 0);  // first, first + 1, ...

// The slave's state through the test interface (on board 0 port 1 unless told otherwise).
VCAN_SlaveState SlaveState(uint8_t slave, int32_t board = 0, int32_t port = 1);

}  // namespace dnsim_test
