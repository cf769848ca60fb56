// Duplicate MAC ID checks and the allocation of the predefined master/slave connection set.

#include "MasterSide.h"

namespace dnsim_test {
namespace {

constexpr uint8_t kSlave = 10;
constexpr uint8_t kMaster = 1;
constexpr uint8_t kOtherMaster = 2;
constexpr uint8_t kOk = 0x40 | kMaster;

Data AllocateBody(uint8_t choice, uint8_t allocator = kMaster) {
  return {0x4B, 0x03, 0x01, choice, allocator};
}
Data ReleaseBody(uint8_t choice) {
  return {0x4C, 0x03, 0x01, choice};
}
Data Error(uint8_t header, uint8_t status) {
  return {header, 0x94, status, 0xFF};
}

// The duplicate MAC ID answer has its own switch: a silent slave still defends its MAC ID, with
// its vendor and serial number, and answers no response or check for another MAC ID.
TEST(DupMac, AnswersChecksForItsMacOnlyWhateverTheSilenceUntilSwitchedOff) {
  ASSERT_NO_FATAL_FAILURE(
      StartOnline("slave segment=vcan0.1 mac=10 vendor=0x1234 serial=0x0A0B0C0D silent=1\n"));
  const Master master = Master::OnPort(kMaster);
  const Data check{0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00};

  master.Send(DupMacId(11), check);
  master.Send(DupMacId(kSlave), {0x80, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00});  // a response
  master.Send(UnconnectedId(kSlave), {kOk, 0x4B, 0x03, 0x01, 0x01, kMaster});
  master.Send(DupMacId(kSlave), check);
  EXPECT_EQ(master.ReceiveOn(DupMacId(kSlave)), (Data{0x80, 0x34, 0x12, 0x0D, 0x0C, 0x0B, 0x0A}))
      << "only the check is answered";
  EXPECT_TRUE(master.ExpectNothing(300));

  ASSERT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, "silent=0 dupmac=0"), 0);
  master.Send(DupMacId(kSlave), check);
  EXPECT_TRUE(master.ExpectNothing(300));
  EXPECT_TRUE(master.Allocate(kSlave, 0x01));
}

TEST(DupMac, SendsItsOwnCheckOnceAfterTheFirstTraffic) {
  ASSERT_NO_FATAL_FAILURE(
      StartOnline("slave segment=vcan0.1 mac=10 vendor=0x0102 serial=7 check=1 check_at=150\n"));
  const Master master = Master::OnPort(kMaster);
  EXPECT_TRUE(master.ExpectNothing(300)) << "no check before any traffic";

  master.Send(0x3FF, {});
  const auto check = master.Receive();
  ASSERT_TRUE(check);
  EXPECT_EQ(check->id, DupMacId(kSlave));
  EXPECT_EQ(vcan_test::DataOf(*check), (Data{0x00, 0x02, 0x01, 0x07, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(master.ExpectNothing(400));
}

class ConnectionSet : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StartOnline("slave segment=vcan0.1 mac=10 io=poll,cos,cyclic\n"));
  }
  const Master master = Master::OnPort(kMaster);
};

TEST_F(ConnectionSet, AllocationIsAnsweredAndShowsInTheSlavesObjects) {
  EXPECT_TRUE(master.Allocate(kSlave, 0x01));
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x03)), Error(kOk, 0x0B))
      << "a bit the same master holds: already allocated, nothing added";
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x02)), (Data{kOk, 0xCB, 0x00})) << "adds bits";

  EXPECT_EQ(HeldSet(kSlave), (std::vector<int>{1, kMaster, 0x03, 3}));
  EXPECT_EQ(SlaveState(kSlave).requests[VCAN_SLAVE_ALLOCATE], 3u);
  // Allocation information, identity status "owned", poll configuring, bit-strobe not offered:
  // its instance does not exist.
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(3, 1, 5)), (Data{kMaster, 0x8E, 0x03, kMaster}));
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(1, 1, 5)), (Data{kMaster, 0x8E, 0x01, 0x00}));
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(5, 2, 1)), (Data{kMaster, 0x8E, 0x01}));
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(5, 3, 1)), (Data{kMaster, 0x94, 0x16, 0xFF}));
  EXPECT_EQ(master.Explicit(kSlave, SetRequest(5, 2, 9, {0x20, 0x00})), (Data{kMaster, 0x90}));
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(5, 2, 1)), (Data{kMaster, 0x8E, 0x03}))
      << "the rate establishes an I/O connection";
}

TEST_F(ConnectionSet, AnotherMasterIsRefusedUntilTheSetIsReleased) {
  const Master other = Master::OnNode(kOtherMaster);
  const uint8_t other_header = 0x40 | kOtherMaster;
  EXPECT_TRUE(master.Allocate(kSlave, 0x02));
  other.Drain();

  EXPECT_EQ(other.Unconnected(kSlave, AllocateBody(0x01, kOtherMaster)), Error(other_header, 0x0C));
  EXPECT_EQ(other.Unconnected(kSlave, ReleaseBody(0x02)), Error(other_header, 0x0C));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0x02) << "the refused release changed nothing";
  master.Drain();

  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x02)), (Data{kOk, 0xCC}));
  other.Drain();
  EXPECT_TRUE(other.Allocate(kSlave, 0x01));
  EXPECT_EQ(SlaveState(kSlave).master_mac, kOtherMaster);
}

TEST_F(ConnectionSet, RequestsOtherThanTheSetAndUnofferedOrConflictingChoicesAreRefused) {
  EXPECT_EQ(master.Unconnected(kSlave, GetRequest(1, 1, 1)), Error(kOk, 0x08));
  EXPECT_EQ(master.Unconnected(kSlave, {0x4B, 0x01, 0x01, 0x01, kMaster}), Error(kOk, 0x08))
      << "allocate is a service of the DeviceNet object only";
  EXPECT_EQ(master.Unconnected(kSlave, {0x4B, 0x03, 0x02, 0x01, kMaster}), Error(kOk, 0x16));
  EXPECT_EQ(master.Unconnected(kSlave, {0x4B, 0x03, 0x01, 0x01}), Error(kOk, 0x13));
  EXPECT_EQ(master.Unconnected(kSlave, {0x4B, 0x03, 0x01, 0x01, kMaster, 0}), Error(kOk, 0x15));
  EXPECT_EQ(SlaveState(kSlave).requests[VCAN_SLAVE_OTHER], 1u);

  // Nothing of a refused choice is kept; the slave offers no bit-strobe (0x04).
  for (uint8_t choice : {0x00, 0x08, 0x40, 0x80, 0x30, 0x05}) {
    EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(choice)), Error(kOk, 0x20))
        << "choice 0x" << std::hex << int{choice};
  }
  EXPECT_TRUE(master.Allocate(kSlave, 0x10));
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x20)), Error(kOk, 0x20))
      << "cyclic while COS is held";
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x01, 64)), Error(kOk, 0x20));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0x10);
}

// The explicit connection serves allocate and release of the DeviceNet object too. A release
// naming a bit not held is a state conflict, though it still ends the bits it names that are held.
TEST_F(ConnectionSet, ReleaseEndsConnectionsAndRefusesBitsNotHeld) {
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x03)), Error(kOk, 0x0C)) << "nothing held";
  EXPECT_TRUE(master.Allocate(kSlave, 0x01));
  EXPECT_EQ(master.Explicit(kSlave, AllocateBody(0x02)), (Data{kMaster, 0xCB, 0x00}));
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x06)), Error(kOk, 0x0C));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0x01);
  EXPECT_EQ(master.Explicit(kSlave, ReleaseBody(0x01)), (Data{kMaster, 0xCC}))
      << "answered on the connection it ends";
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x01)), Error(kOk, 0x0C)) << "twice";
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x08)), Error(kOk, 0x20));

  EXPECT_EQ(HeldSet(kSlave), (std::vector<int>{0, -1, 0, 0}));
  master.Send(RequestId(kSlave), {kMaster, 0x0E, 0x01, 0x01, 0x01});
  EXPECT_TRUE(master.ExpectNothing(300)) << "no explicit connection, no answer";
  EXPECT_EQ(SlaveState(kSlave).ignored_frames, 1u);
}

TEST_F(ConnectionSet, LenientSetAllocatesAgainAndPassesOverBitsNotHeld) {
  ASSERT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, "lenient=1"), 0);
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x03)), (Data{kOk, 0xCC})) << "nothing held";
  EXPECT_TRUE(master.Allocate(kSlave, 0x01));
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x03)), (Data{kOk, 0xCB, 0x00}));
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x06)), (Data{kOk, 0xCC}));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0x01);
  ASSERT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, "lenient=0"), 0);
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x01)), Error(kOk, 0x0B)) << "strict again";
}

}  // namespace
}  // namespace dnsim_test
