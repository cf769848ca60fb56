#include "VirtualCard.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace dnm::test {

// The card's entry of that name, called through the card the library loaded.
#define CARD_ENTRY(name) Get<decltype(&name)>(#name)

CANMsg MakeFrame(uint32_t id, std::vector<uint8_t> data) {
  CANMsg msg{};
  msg.id = id;
  msg.len = static_cast<uint8_t>(data.size());
  for (size_t i = 0; i < data.size() && i < 8; ++i) msg.data[i] = data[i];
  return msg;
}

std::string FrameText(const CANMsg& msg) {
  char text[40];
  int at = std::snprintf(text, sizeof text, "%03X#", msg.id);
  for (int i = 0; i < msg.len && i < 8; ++i)
    at += std::snprintf(text + at, sizeof text - at, "%02X", msg.data[i]);
  return text;
}

VirtualCard::VirtualCard(const MasterLib& lib) : card_(lib.card_handle()) {}

VirtualCard::VirtualCard() : card_(dlopen("libVELKCAN.so", RTLD_NOW | RTLD_NOLOAD)) {}

int32_t VirtualCard::Attach(uint8_t board, uint8_t port, uint32_t kbit) const {
  const int32_t node = CARD_ENTRY(VCAN_AttachNode)(board, port + 1, kbit);
  EXPECT_GT(node, 0);
  return node;
}

void VirtualCard::Send(int32_t node, const CANMsg& msg) const {
  EXPECT_EQ(CARD_ENTRY(VCAN_NodeSend)(node, &msg, 1000), 0);
}

bool VirtualCard::Receive(int32_t node, CANMsg& msg, uint32_t timeout_ms) const {
  return CARD_ENTRY(VCAN_NodeReceive)(node, &msg, timeout_ms) == 0;
}

std::vector<CANMsg> VirtualCard::Drain(int32_t node, uint32_t quiet_ms) const {
  std::vector<CANMsg> frames;
  CANMsg msg{};
  while (Receive(node, msg, quiet_ms)) frames.push_back(msg);
  return frames;
}

void VirtualCard::Fail(const char* entry, int32_t code, int32_t times) const {
  ASSERT_EQ(code == 0 ? CARD_ENTRY(VCAN_ClearFault)(entry)
                      : CARD_ENTRY(VCAN_FailEntry)(entry, code, times),
            0);
}

void VirtualCard::Hold(uint8_t board, uint8_t port, bool hold) const {
  CARD_ENTRY(VCAN_HoldSegment)(board, port + 1, hold ? 1 : 0);
}

VCAN_PortStats VirtualCard::PortStats(uint8_t board, uint8_t port) const {
  VCAN_PortStats stats{};
  CARD_ENTRY(VCAN_GetPortStats)(board, port + 1, &stats);
  return stats;
}

VCAN_SlaveState VirtualCard::SlaveState(uint8_t board, uint8_t port, uint8_t mac) const {
  VCAN_SlaveState state{};
  EXPECT_EQ(CARD_ENTRY(VCAN_SlaveGetState)(board, port + 1, mac, &state), 0);
  return state;
}

void VirtualCard::SlaveBehaviour(uint8_t board, uint8_t port, uint8_t mac,
                                 const char* options) const {
  EXPECT_EQ(CARD_ENTRY(VCAN_SlaveSetBehaviour)(board, port + 1, mac, options), 0) << options;
}

}  // namespace dnm::test
