// The host side of a shared segment and the bridge to a SocketCAN interface, built from the
// card's objects: a reader that stalls, and frames both ways through the socketpair seam the
// SocketCAN backend's tests use. Segments here are leaked: their bus threads run until the
// process ends.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "BridgeNode.h"
#include "CardTestSupport.h"
#include "FakeSocketCan.h"
#include "PortNode.h"
#include "Segment.h"
#include "SharedSegment.h"
#include "SharedSocket.h"
#include "TestNode.h"

namespace vcan {
namespace {

using std::chrono::milliseconds;

std::string SocketPath(const char* name) {
  return testing::TempDir() + name + std::to_string(getpid()) + ".sock";
}

// One attached reader never reads while the host carries many frames: its share is dropped and
// counted and then reported, while the other attached reader gets every frame.
TEST(SharedHost, AStalledReaderLosesFramesNotTheBus) {
  constexpr uint32_t kFrames = 20000;
  auto* segment = new Segment("stall");
  const std::string path = SocketPath("stall");
  const auto host = ShareSegment(*segment, path);
  ASSERT_NE(host, nullptr);
  const int stalled = wire::Attach(path);
  const int reader = wire::Attach(path);
  ASSERT_GE(stalled, 0);
  ASSERT_GE(reader, 0);
  std::atomic<uint32_t> read{0};
  std::thread keeps_up([&] {
    while (read < kFrames) {
      const auto record = wire::ReadRecord(reader);
      if (!record) return;
      if (record->type == wire::Type::kCarried) read++;
    }
  });
  auto sender = std::make_shared<TestNode>("sender", *segment, 500'000);
  Frame frame{0x123, 2, false, {0xAB, 0xCD}};
  for (uint32_t i = 1; i <= kFrames; ++i) {
    host->OnCarried(frame, 500'000, *sender);
    // The bus is paced to the reader that keeps up, so that only the stalled one falls behind.
    while (i % 1000 == 0 && read < i) std::this_thread::sleep_for(milliseconds(1));
  }
  keeps_up.join();
  EXPECT_EQ(read, kFrames);
  EXPECT_GT(host->drops(), 0u);
  EXPECT_EQ(segment->Stats().overrun_drops, host->drops());
  uint64_t carried = 0;
  uint64_t lost = 0;
  while (carried + lost < kFrames) {
    const auto record = wire::ReadRecord(stalled);
    ASSERT_TRUE(record);
    if (record->type == wire::Type::kCarried) carried++;
    if (record->type == wire::Type::kLost) lost += record->tag;
  }
  EXPECT_EQ(carried + lost, kFrames);
  EXPECT_EQ(lost, host->drops());
  close(stalled);
  close(reader);
}

CANConfig OnlyId(uint32_t id) {
  CANConfig config{};
  config.acceptance_code[0] = static_cast<uint8_t>(id >> 3);
  config.acceptance_code[1] = static_cast<uint8_t>(id << 5);
  config.acceptance_mask[1] = 0x1F;
  config.acceptance_mask[2] = config.acceptance_mask[3] = 0xFF;
  config.baud_selector = 5;  // 250k, the interface's rate
  return config;
}

TEST(Bridge, CarriesFramesBothWaysAndKeepsTheFilters) {
  auto* segment = new Segment("bridged");
  auto node = std::make_shared<TestNode>("node", *segment, 250'000);
  auto port = std::make_shared<PortNode>(0, 1, *segment, 16);
  static FakeInterface interface;  // the bridge's thread outlives the test
  interface.running_bitrate = 250'000;
  fake = &interface;
  auto bridge = std::make_shared<BridgeNode>("bridge", *segment, "vcan0", kFakeSystem);
  for (const auto& attached : std::initializer_list<std::shared_ptr<Node>>{node, port, bridge})
    segment->Attach(attached);
  ASSERT_EQ(port->Configure(OnlyId(0x456)), CAN_NoError);
  ASSERT_EQ(port->GoOnBus(), CAN_NoError);
  bridge->Start();
  EXPECT_EQ(bridge->baud(), 250'000u) << "runs at the interface's bit rate";
  EXPECT_EQ(interface.filter_mask, uint32_t{CAN_EFF_FLAG}) << "every standard frame";

  ASSERT_EQ(node->Send(vcan_test::MakeFrame(0x123, {0xDE, 0xAD}), milliseconds(100)), CAN_NoError);
  can_frame raw{};
  ASSERT_EQ(read(interface.peer, &raw, sizeof raw), static_cast<ssize_t>(sizeof raw));
  EXPECT_EQ(raw.can_id, 0x123u);
  EXPECT_EQ(raw.can_dlc, 2);
  EXPECT_EQ(raw.data[1], 0xAD);

  PeerSends(CAN_EFF_FLAG | 0x456, {1});  // extended and error frames stay on the interface
  PeerSends(CAN_ERR_FLAG | 0x40, {0, 0, 0, 0, 0, 0, 0, 0});
  PeerSends(0x457, {2});
  PeerSends(0x456, {3, 4});
  CANMsg in{};
  ASSERT_EQ(node->Receive(in, milliseconds(2000)), CAN_NoError);
  EXPECT_EQ(in.id, 0x457u);
  ASSERT_EQ(node->Receive(in, milliseconds(2000)), CAN_NoError);
  EXPECT_EQ(in.id, 0x456u);
  EXPECT_EQ(in.data[1], 4);
  EXPECT_EQ(node->Receive(in, milliseconds(50)), CAN_ReceiveBufferEmpty);
  ASSERT_EQ(port->WaitForFrames(milliseconds(2000)), 1);
  ASSERT_EQ(port->Receive(in), CAN_NoError) << "the port's filter passes 0x456 alone";
  EXPECT_EQ(in.id, 0x456u);
  EXPECT_EQ(port->Receive(in), CAN_ReceiveBufferEmpty);
}

}  // namespace
}  // namespace vcan
