// The master's side of a conversation with a simulated slave, for the slave's tests: frames
// sent and expected through a driver port (the card's driver entries) or a test node, and the
// DeviceNet requests the tests need most, written out byte by byte as a master sends them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "CardTestSupport.h"

namespace dnsim_test {

using Data = std::vector<uint8_t>;
using std::chrono::milliseconds;
using vcan_test::BringOnline;
using vcan_test::StartCard;
using vcan_test::StartOnline;

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
  static Master OnPort(uint8_t mac, int32_t board = 0, int32_t port = 1) {
    return Master(mac, board, port, 0);
  }
  // A master played by a test node attached to the segment of (board, port).
  static Master OnNode(uint8_t mac, int32_t board = 0, int32_t port = 1) {
    const int32_t node = VCAN_AttachNode(board, port, 500);
    EXPECT_GT(node, 0);
    return Master(mac, board, port, node);
  }

  uint8_t mac() const { return mac_; }

  void Send(uint32_t id, const Data& data) const {
    const CANMsg msg = vcan_test::MakeFrame(id, data);
    const int32_t result =
        node_ == 0 ? CAN_SendMsg(board_, port_, &msg) : VCAN_NodeSend(node_, &msg, 1000);
    EXPECT_EQ(result, CAN_NoError) << "sending on 0x" << std::hex << id;
  }
  std::optional<CANMsg> Receive(uint32_t timeout_ms = kAnswerTimeoutMs) const {
    if (node_ == 0) return vcan_test::ReceiveAtPort(board_, port_, timeout_ms);
    return vcan_test::ReceiveAtNode(node_, timeout_ms);
  }
  // The data of the next frame, which must come on id; {} (and a failure) otherwise.
  Data ReceiveOn(uint32_t id, uint32_t timeout_ms = kAnswerTimeoutMs) const {
    const auto msg = Receive(timeout_ms);
    if (msg && msg->id == id) return vcan_test::DataOf(*msg);
    if (!msg)
      ADD_FAILURE() << "no frame on 0x" << std::hex << id;
    else
      ADD_FAILURE() << "frame on 0x" << std::hex << msg->id << " instead of 0x" << id;
    return {};
  }
  testing::AssertionResult ExpectNothing(uint32_t timeout_ms) const {
    const auto msg = Receive(timeout_ms);
    if (!msg) return testing::AssertionSuccess();
    testing::AssertionResult failure = testing::AssertionFailure();
    failure << "unexpected frame on 0x" << std::hex << msg->id << ":";
    for (uint8_t byte : vcan_test::DataOf(*msg)) failure << " " << static_cast<int>(byte);
    return failure;
  }
  void Drain() const {
    while (Receive(100)) {
    }
  }

  // A request on the group-2-only unconnected port, with header 0x40 | mac; returns the answer.
  Data Unconnected(uint8_t slave, const Data& body) const {
    return Request(UnconnectedId(slave), static_cast<uint8_t>(0x40 | mac_), slave, body);
  }
  // A request on the slave's explicit connection, with header mac; returns the answer.
  Data Explicit(uint8_t slave, const Data& body) const {
    return Request(RequestId(slave), mac_, slave, body);
  }
  testing::AssertionResult Allocate(uint8_t slave, uint8_t choice) const {
    const Data success{static_cast<uint8_t>(0x40 | mac_), 0xCB, 0x00};
    if (Unconnected(slave, {0x4B, 0x03, 0x01, choice, mac_}) == success)
      return testing::AssertionSuccess();
    return testing::AssertionFailure() << "allocate of 0x" << std::hex << int{choice} << " refused";
  }

  // A request in fragments with header mac | 0x80 on the slave's group 2 request identifier,
  // expecting an acknowledgement [mac | 0x80, 0xC0 | count, 0] for each; returns the answer that
  // follows.
  Data SendFragmented(uint8_t slave, const Data& body) const {
    const uint8_t header = mac_ | 0x80;
    for (size_t offset = 0, count = 0; offset < body.size(); offset += 6, ++count) {
      const size_t size = std::min<size_t>(6, body.size() - offset);
      const uint8_t type = offset == 0 ? 0x00 : offset + size == body.size() ? 0x80 : 0x40;
      Data frame{header, static_cast<uint8_t>(type | (count & 0x3F))};
      frame.insert(frame.end(), body.begin() + offset, body.begin() + offset + size);
      Send(RequestId(slave), frame);
      const Data ack{header, static_cast<uint8_t>(0xC0 | (count & 0x3F)), 0x00};
      EXPECT_EQ(ReceiveOn(ResponseId(slave)), ack) << "acknowledgement of fragment " << count;
    }
    return ReceiveOn(ResponseId(slave));
  }
  // Takes a fragmented answer on answer_id, acknowledging each fragment on ack_id with
  // [ack_header, 0xC0 | count, 0]; returns the frames as received.
  std::vector<Data> ReceiveFragments(uint32_t answer_id, uint32_t ack_id,
                                     uint8_t ack_header) const {
    std::vector<Data> fragments;
    for (;;) {
      Data fragment = ReceiveOn(answer_id);
      if (fragment.size() < 2 || (fragment[0] & 0x80) == 0) return fragments;
      const uint8_t type = fragment[1] & 0xC0;
      Send(ack_id, {ack_header, static_cast<uint8_t>(0xC0 | (fragment[1] & 0x3F)), 0x00});
      fragments.push_back(std::move(fragment));
      if (type == 0x80) return fragments;
    }
  }

 private:
  Master(uint8_t mac, int32_t board, int32_t port, int32_t node)
      : mac_(mac), board_(board), port_(port), node_(node) {}

  Data Request(uint32_t id, uint8_t header, uint8_t slave, const Data& body) const {
    Data data{header};
    data.insert(data.end(), body.begin(), body.end());
    Send(id, data);
    return ReceiveOn(ResponseId(slave));
  }

  uint8_t mac_;
  int32_t board_;
  int32_t port_;
  int32_t node_;  // 0: the driver port
};

// The body of a reassembled fragmented answer (service code onward).
inline Data BodyOf(const std::vector<Data>& fragments) {
  Data body;
  for (const Data& fragment : fragments)
    body.insert(body.end(), fragment.begin() + 2, fragment.end());
  return body;
}

// Request bodies.
inline Data GetRequest(uint8_t class_id, uint8_t instance, uint8_t attribute) {
  return {0x0E, class_id, instance, attribute};
}
inline Data SetRequest(uint8_t class_id, uint8_t instance, uint8_t attribute, const Data& value) {
  Data body{0x10, class_id, instance, attribute};
  body.insert(body.end(), value.begin(), value.end());
  return body;
}
inline Data Bytes(size_t count, uint8_t first = 0) {  // first, first + 1, ...
  Data bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// A slave line of the network description on segment vcan0.1, and one for each row of a table
// (with fields slave and options), the same extra options added to each.
inline std::string SlaveLine(uint8_t mac, const std::string& options) {
  return "slave segment=vcan0.1 mac=" + std::to_string(mac) + " " + options + "\n";
}
template <typename Case, size_t N>
std::string Slaves(const Case (&cases)[N], const std::string& extra = "") {
  std::string description;
  for (const Case& c : cases) description += SlaveLine(c.slave, c.options + extra);
  return description;
}

// The slave's state through the test interface (on board 0 port 1 unless told otherwise).
inline VCAN_SlaveState SlaveState(uint8_t slave, int32_t board = 0, int32_t port = 1) {
  VCAN_SlaveState state{};
  EXPECT_EQ(VCAN_SlaveGetState(board, port, slave, &state), 0);
  return state;
}
// The predefined set as the slave holds it: explicit connection allocated, holding master, choice
// bits held and the explicit connection's state.
inline std::vector<int> HeldSet(uint8_t slave) {
  const VCAN_SlaveState s = SlaveState(slave);
  return {s.explicit_allocated, s.master_mac, s.allocated_choice, s.explicit_state};
}

}  // namespace dnsim_test
