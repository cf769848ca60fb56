#include "MasterSide.h"

#include <chrono>

namespace dnsim_test {

Master Master::OnPort(uint8_t mac, int32_t board, int32_t port) {
  return Master(mac, board, port, 0);
}

Master Master::OnNode(uint8_t mac, int32_t board, int32_t port) {
  const int32_t node = VCAN_AttachNode(board, port, 500);
  EXPECT_GT(node, 0);
  return Master(mac, board, port, node);
}

void Master::Send(uint32_t id, const Data& data) const {
  CANMsg msg{};
  msg.id = id;
  msg.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), msg.data);
  const int32_t result =
      node_ == 0 ? CAN_SendMsg(board_, port_, &msg) : VCAN_NodeSend(node_, &msg, 1000);
  EXPECT_EQ(result, CAN_NoError) << "sending on 0x" << std::hex << id;
}

std::optional<CANMsg> Master::Receive(uint32_t timeout_ms) const {
  if (node_ == 0) return vcan_test::ReceiveAtPort(board_, port_, timeout_ms);
  return vcan_test::ReceiveAtNode(node_, timeout_ms);
}

Data Master::ReceiveOn(uint32_t id, uint32_t timeout_ms) const {
  const auto msg = Receive(timeout_ms);
  if (!msg) {
    ADD_FAILURE() << "no frame on 0x" << std::hex << id;
    return {};
  }
  if (msg->id != id) {
    ADD_FAILURE() << "frame on 0x" << std::hex << msg->id << " instead of 0x" << id;
    return {};
  }
  return vcan_test::DataOf(*msg);
}

testing::AssertionResult Master::ExpectNothing(uint32_t timeout_ms) const {
  const auto msg = Receive(timeout_ms);
  if (!msg) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure();
  failure << "unexpected frame on 0x" << std::hex << msg->id << ":";
  for (uint8_t byte : vcan_test::DataOf(*msg)) failure << " " << static_cast<int>(byte);
  return failure;
}

void Master::Drain() const {
  while (Receive(100)) {
  }
}

Data Master::Unconnected(uint8_t slave, const Data& body) const {
  Data data{static_cast<uint8_t>(0x40 | mac_)};
  data.insert(data.end(), body.begin(), body.end());
  Send(UnconnectedId(slave), data);
  return ReceiveOn(ResponseId(slave));
}

Data Master::Explicit(uint8_t slave, const Data& body) const {
  Data data{mac_};
  data.insert(data.end(), body.begin(), body.end());
  Send(RequestId(slave), data);
  return ReceiveOn(ResponseId(slave));
}

testing::AssertionResult Master::Allocate(uint8_t slave, uint8_t choice) const {
  const Data answer = Unconnected(slave, {0x4B, 0x03, 0x01, choice, mac_});
  const Data success{static_cast<uint8_t>(0x40 | mac_), 0xCB, 0x00};
  if (answer == success) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "allocate of 0x" << std::hex << int{choice} << " refused";
}

Data Master::SendFragmented(uint8_t slave, const Data& body) const {
  return SendFragmented(RequestId(slave), mac_, ResponseId(slave), mac_ | 0x80, body);
}

Data Master::SendFragmented(uint32_t request_id, uint8_t header, uint32_t answer_id,
                            uint8_t ack_header, const Data& body) const {
  for (size_t offset = 0, count = 0; offset < body.size(); offset += 6, ++count) {
    const size_t size = std::min<size_t>(6, body.size() - offset);
    const uint8_t type = offset == 0 ? 0x00 : offset + size == body.size() ? 0x80 : 0x40;
    Data frame{static_cast<uint8_t>(header | 0x80), static_cast<uint8_t>(type | (count & 0x3F))};
    frame.insert(frame.end(), body.begin() + offset, body.begin() + offset + size);
    Send(request_id, frame);
    const Data ack{ack_header, static_cast<uint8_t>(0xC0 | (count & 0x3F)), 0x00};
    EXPECT_EQ(ReceiveOn(answer_id), ack) << "acknowledgement of fragment " << count;
  }
  return ReceiveOn(answer_id);
}

std::vector<Data> Master::ReceiveFragments(uint32_t answer_id, uint32_t ack_id,
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

Data BodyOf(const std::vector<Data>& fragments) {
  Data body;
  for (const Data& fragment : fragments)
    body.insert(body.end(), fragment.begin() + 2, fragment.end());
  return body;
}

Data GetRequest(uint8_t class_id, uint8_t instance, uint8_t attribute) {
  return {0x0E, class_id, instance, attribute};
}

Data SetRequest(uint8_t class_id, uint8_t instance, uint8_t attribute, const Data& value) {
  Data body{0x10, class_id, instance, attribute};
  body.insert(body.end(), value.begin(), value.end());
  return body;
}

Data Bytes(size_t count, uint8_t first) {
  Data bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

VCAN_SlaveState SlaveState(uint8_t slave, int32_t board, int32_t port) {
  VCAN_SlaveState state{};
  EXPECT_EQ(VCAN_SlaveGetState(board, port, slave, &state), 0);
  return state;
}

}  // namespace dnsim_test
