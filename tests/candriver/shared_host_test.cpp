// The host and attached side of a shared segment, and the bridge to a SocketCAN interface (over
// the socketpair seam of the SocketCAN tests). Segments are leaked: their threads run on.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "BridgeNode.h"
#include "CardTestSupport.h"
#include "FakeSocketCan.h"
#include "PortNode.h"
#include "Segment.h"
#include "SharedSegment.h"
#include "SharedSocket.h"
#include "SharedTestSupport.h"
#include "TestNode.h"

namespace vcan {
namespace {

using namespace shared_test;
using std::chrono::milliseconds;

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
  ASSERT_TRUE(stalled >= 0 && reader >= 0);
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

// A raw attached process whose reads give up after 5 s: a record that never comes fails the test.
int AttachRaw(const std::string& path) {
  const int fd = wire::Attach(path);
  if (fd >= 0) SetReadTimeout(fd, timeval{5, 0});
  return fd;
}

bool SendRaw(int fd, uint32_t tag, uint32_t baud) {
  return wire::WriteRecord(fd, SendRecord(tag, baud));
}

// The next record of that type, skipping others; nullopt when none comes.
std::optional<wire::Record> NextOfType(int fd, wire::Type type) {
  while (const auto record = wire::ReadRecord(fd)) {
    if (record->type == type) return record;
  }
  return std::nullopt;
}

void ExpectRefusal(int fd, wire::Refusal why, uint32_t tag) {
  const auto refused = NextOfType(fd, wire::Type::kRefused);
  ASSERT_TRUE(refused);
  EXPECT_EQ(wire::RefusalOf(*refused), why);
  EXPECT_EQ(refused->tag, tag);
}

// A send at a rate the card does not run at is refused with the reason and the node's tag (at
// 0 bit/s it divided by zero and ended the host), and the host carries the next frame as ever.
TEST(SharedHost, RefusesASendAtARateTheCardDoesNotSupport) {
  auto* segment = new Segment("rates");
  const std::string path = SocketPath("rates");
  ASSERT_NE(ShareSegment(*segment, path), nullptr);
  const int fd = AttachRaw(path);
  for (const uint32_t baud : {0u, 1u, 1'000'000u, 499'999u}) {
    SCOPED_TRACE(baud);
    ASSERT_TRUE(SendRaw(fd, 7, baud));
    ExpectRefusal(fd, wire::Refusal::kRate, 7);
  }
  ASSERT_TRUE(SendRaw(fd, 7, 125'000));
  const auto carried = NextOfType(fd, wire::Type::kCarried);
  ASSERT_TRUE(carried);
  EXPECT_EQ(carried->flags, wire::kFlagOwn);
  EXPECT_EQ(carried->baud, 125'000u);
  EXPECT_EQ(segment->Stats().frames, 1u);
  close(fd);
}

// A rate that slipped past the checks is timed as the slowest supported: no division by zero, no
// bus held for minutes.
TEST(Segment, TimesAnUnsupportedRateAsTheSlowestSupported) {
  for (const uint32_t baud : {0u, 1u}) {
    SCOPED_TRACE(baud);
    auto* segment = new Segment("slipped");
    auto sender = std::make_shared<TestNode>("sender", *segment, baud);
    auto receiver = std::make_shared<TestNode>("receiver", *segment, baud);
    segment->Attach(sender);
    segment->Attach(receiver);
    ASSERT_EQ(sender->Send(vcan_test::MakeFrame(0x123, {1, 2, 3, 4, 5, 6, 7, 8}), milliseconds(0)),
              CAN_NoError);
    CANMsg in{};
    ASSERT_EQ(receiver->Receive(in, milliseconds(2000)), CAN_NoError);
    EXPECT_EQ(segment->Stats().busy, std::chrono::microseconds(1080));
  }
}

// An attached segment with one node at 500k whose frames go to a host that never reads.
struct AttachedSide {
  explicit AttachedSide(const std::string& path = "unused") {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, host_end), 0);
    uplink = std::make_shared<SharedUplink>(*segment, path, host_end[1], SharedAccess::OwnerOnly());
    segment->SetUplink(uplink);
    segment->Attach(node);  // tag 1
  }
  ~AttachedSide() { close(host_end[0]); }
  Segment* segment = new Segment("attached");
  int host_end[2] = {-1, -1};
  std::shared_ptr<SharedUplink> uplink;
  std::shared_ptr<TestNode> node = std::make_shared<TestNode>("node", *segment, 500'000);
};

wire::Record Carried(uint32_t baud, uint64_t end_ns) {
  return {.type = wire::Type::kCarried,
          .baud = baud,
          .frame = {0x321, 1, false, {0x5A}},
          .end_ns = end_ns};
}

// A carried record with a rate the card does not support or an end no clock reaches is dropped
// and counted (at 0 bit/s it divided by zero in every attached process); a sound one arrives.
TEST(SharedUplink, DropsACarriedRecordItCannotTrust) {
  AttachedSide side;
  const uint64_t now = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
  for (const auto& [baud, end] :
       {std::pair{0u, now}, {1u, now}, {500'000u, UINT64_MAX}, {500'000u, now}})
    side.uplink->Take(Carried(baud, end));
  CANMsg in{};
  ASSERT_EQ(side.node->Receive(in, milliseconds(2000)), CAN_NoError);
  EXPECT_EQ(in.id, 0x321u);
  EXPECT_EQ(side.node->Receive(in, milliseconds(50)), CAN_ReceiveBufferEmpty);
  EXPECT_EQ(side.uplink->drops(), 3u);
}

// A frame the host refused is never reported carried: it leaves the node's transmit queue, or
// a node refused 64 times could never send again.
TEST(SharedUplink, AFrameTheHostRefusedLeavesTheTransmitQueue) {
  AttachedSide side;
  const CANMsg frame = vcan_test::MakeFrame(0x100, {1});
  for (size_t i = 0; i < Segment::kTxQueueCapacity; ++i) {
    ASSERT_EQ(side.node->Send(frame, milliseconds(0)), CAN_NoError);
  }
  ASSERT_EQ(side.node->Send(frame, milliseconds(0)), CAN_TransmitBufferLocked);
  side.uplink->Take(wire::Refused(wire::Refusal::kNodes, 1));
  EXPECT_EQ(side.node->Send(frame, milliseconds(0)), CAN_NoError);
}

// A host whose bus is held keeps every proxy busy: a process may have 64 nodes with frames
// queued, a 65th is refused; once the frames are carried, an idle proxy makes way for it.
TEST(SharedHost, CapsTheBusyNodesOfAProcess) {
  auto* segment = new Segment("nodes");
  const std::string path = SocketPath("nodes");
  ASSERT_NE(ShareSegment(*segment, path), nullptr);
  const int fd = AttachRaw(path);
  segment->Hold(true);
  const auto last = static_cast<uint32_t>(SharedHost::kMaxNodesPerLink);
  for (uint32_t tag = 1; tag <= last; ++tag) ASSERT_TRUE(SendRaw(fd, tag, 500'000));
  ASSERT_TRUE(SendRaw(fd, last + 1, 500'000));
  ExpectRefusal(fd, wire::Refusal::kNodes, last + 1);
  segment->Hold(false);
  for (uint32_t carried = 0; carried < last; ++carried) {
    ASSERT_TRUE(NextOfType(fd, wire::Type::kCarried));
  }
  ASSERT_TRUE(SendRaw(fd, last + 1, 500'000));
  const auto own = NextOfType(fd, wire::Type::kCarried);
  ASSERT_TRUE(own);
  EXPECT_EQ(own->tag, last + 1);
  close(fd);
}

// Process A sends as node 77 and leaves while its frame is on a slow bus; B attaches at once.
// The host told links apart by an address B could be given, and B got A's frame as its own.
TEST(SharedHost, AFrameOfALinkThatLeftIsNobodysOwn) {
  auto* segment = new Segment("identity");
  const std::string path = SocketPath("identity");
  ASSERT_NE(ShareSegment(*segment, path), nullptr);
  auto listener = std::make_shared<TestNode>("listener", *segment, 125'000);
  segment->Attach(listener);
  for (int i = 0; i < 30; ++i) {
    const int a = AttachRaw(path);
    ASSERT_TRUE(SendRaw(a, 77, 125'000));
    std::this_thread::sleep_for(std::chrono::microseconds(300));  // on the bus for 1080 us
    close(a);
    const int b = AttachRaw(path);
    ASSERT_GE(b, 0);
    SetReadTimeout(b, timeval{0, 20'000});
    while (const auto record = wire::ReadRecord(b)) {
      EXPECT_EQ(record->flags & wire::kFlagOwn, 0) << "try " << i << ": tag " << record->tag;
    }
    close(b);
  }
}

// A hello of another protocol version is answered with the reason, and the connection closed.
TEST(SharedHost, RefusesAGreetingOfAnotherVersion) {
  auto* segment = new Segment("version");
  const std::string path = SocketPath("version");
  ASSERT_NE(ShareSegment(*segment, path), nullptr);
  const int fd = Connect(path);
  wire::Record hello = wire::Hello();
  hello.tag = wire::kVersion + 1;
  ASSERT_TRUE(wire::WriteRecord(fd, hello));
  const auto answer = wire::ReadRecord(fd);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->type, wire::Type::kRefused);
  EXPECT_EQ(wire::RefusalOf(*answer), wire::Refusal::kVersion);
  EXPECT_FALSE(wire::ReadRecord(fd));
  close(fd);
}

// A host that takes greetings for a while and refuses each for one reason; counts them.
int RefusingHost(const std::string& path, wire::Refusal why, milliseconds serving) {
  unlink(path.c_str());
  const int listener = Listen(path, 8);
  EXPECT_GE(listener, 0);
  int greetings = 0;
  const auto end = Clock::now() + serving;
  for (pollfd waiting{listener, POLLIN, 0}; Clock::now() < end;) {
    if (poll(&waiting, 1, 10) != 1) continue;
    const int fd = accept(listener, nullptr, nullptr);
    if (wire::ReadRecord(fd)) greetings++;
    wire::WriteRecord(fd, wire::Refused(why, 0));
    close(fd);
  }
  close(listener);
  unlink(path.c_str());
  return greetings;
}

// An attached process whose new host refuses it stops trying as another user or version, and
// goes on every 200 ms as one too many.
TEST(SharedUplink, StopsReattachingWhereTryingAgainCannotHelp) {
  for (const auto& [why, tries_again] : {std::pair{wire::Refusal::kDenied, false},
                                         {wire::Refusal::kVersion, false},
                                         {wire::Refusal::kFull, true}}) {
    const std::string path = SocketPath("refusing" + std::to_string(static_cast<int>(why)));
    AttachedSide side(path);
    side.uplink->Start();
    shutdown(side.host_end[0], SHUT_RDWR);  // the host is gone
    const int greetings = RefusingHost(path, why, milliseconds(1000));
    EXPECT_TRUE(tries_again ? greetings >= 2 : greetings == 1) << path << ": " << greetings;
  }
}

CANConfig OnlyId(uint32_t id) {  // at 250k, the interface's rate
  const auto high = static_cast<uint8_t>(id >> 3);
  const auto low = static_cast<uint8_t>(id << 5);
  return CANConfig{{high, low, 0, 0}, {0, 0x1F, 0xFF, 0xFF}, 5, 0, 0};
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
