// Duplicate MAC ID checks and the allocation of the predefined master/slave connection set.

#include "MasterSide.h"

namespace dnsim_test {
namespace {

using vcan_test::BringOnline;
using vcan_test::StartCard;

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

TEST(DupMac, AnswersChecksForItsMacOnlyWithVendorAndSerial) {
  ASSERT_NO_FATAL_FAILURE(
      StartCard("slave segment=vcan0.1 mac=10 vendor=0x1234 serial=0x0A0B0C0D\n"));
  ASSERT_NO_FATAL_FAILURE(BringOnline(0, 1));
  const Master master = Master::OnPort(kMaster);

  master.Send(DupMacId(11), {0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00});
  master.Send(DupMacId(kSlave), {0x80, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00});  // a response
  EXPECT_TRUE(master.ExpectNothing(300));

  master.Send(DupMacId(kSlave), {0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00});
  EXPECT_EQ(master.ReceiveOn(DupMacId(kSlave)), (Data{0x80, 0x34, 0x12, 0x0D, 0x0C, 0x0B, 0x0A}));
}

// The duplicate MAC ID answer has its own switch: a silent slave still defends its MAC ID.
TEST(DupMac, SilenceAndTheDupMacSwitchAreIndependent) {
  ASSERT_NO_FATAL_FAILURE(StartCard("slave segment=vcan0.1 mac=10 silent=1\n"));
  ASSERT_NO_FATAL_FAILURE(BringOnline(0, 1));
  const Master master = Master::OnPort(kMaster);
  const Data check{0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00};

  master.Send(UnconnectedId(kSlave), {kOk, 0x4B, 0x03, 0x01, 0x01, kMaster});
  master.Send(DupMacId(kSlave), check);
  EXPECT_EQ(master.ReceiveOn(DupMacId(kSlave)).at(0), 0x80) << "only the check is answered";
  EXPECT_TRUE(master.ExpectNothing(300));

  ASSERT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, "silent=0 dupmac=0"), 0);
  master.Send(DupMacId(kSlave), check);
  EXPECT_TRUE(master.ExpectNothing(300));
  EXPECT_TRUE(master.Allocate(kSlave, 0x01));
}

TEST(DupMac, SendsItsOwnCheckOnceAfterTheFirstTraffic) {
  ASSERT_NO_FATAL_FAILURE(
      StartCard("slave segment=vcan0.1 mac=10 vendor=0x0102 serial=7 check=1 check_at=150\n"));
  ASSERT_NO_FATAL_FAILURE(BringOnline(0, 1));
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
    ASSERT_NO_FATAL_FAILURE(StartCard(description_));
    ASSERT_NO_FATAL_FAILURE(BringOnline(0, 1));
  }
  std::string description_ = "slave segment=vcan0.1 mac=10 io=poll,strobe,cos,cyclic\n";
};

TEST_F(ConnectionSet, AllocationIsAnsweredAndShowsInTheSlavesObjects) {
  const Master master = Master::OnPort(kMaster);
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x03)), (Data{kOk, 0xCB, 0x00}));

  const VCAN_SlaveState state = SlaveState(kSlave);
  EXPECT_EQ(state.explicit_allocated, 1);
  EXPECT_EQ(state.master_mac, kMaster);
  EXPECT_EQ(state.allocated_choice, 0x03);
  EXPECT_EQ(state.requests[VCAN_SLAVE_ALLOCATE], 1u);
  // Allocation information, identity status "owned", poll configuring, bit-strobe not there.
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(3, 1, 5)), (Data{kMaster, 0x8E, 0x03, kMaster}));
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(1, 1, 5)), (Data{kMaster, 0x8E, 0x01, 0x00}));
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(5, 2, 1)), (Data{kMaster, 0x8E, 0x01}));
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(5, 3, 1)), (Data{kMaster, 0x8E, 0x00}));
  EXPECT_EQ(master.Explicit(kSlave, SetRequest(5, 2, 9, {0x20, 0x00})), (Data{kMaster, 0x90}));
  EXPECT_EQ(master.Explicit(kSlave, GetRequest(5, 2, 1)), (Data{kMaster, 0x8E, 0x03}))
      << "the rate establishes an I/O connection";
}

TEST_F(ConnectionSet, RepeatedAllocationBySameMasterSucceedsAndAddsBits) {
  const Master master = Master::OnPort(kMaster);
  EXPECT_TRUE(master.Allocate(kSlave, 0x01));
  EXPECT_TRUE(master.Allocate(kSlave, 0x01));
  EXPECT_TRUE(master.Allocate(kSlave, 0x03));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0x03);
}

TEST_F(ConnectionSet, AnotherMasterIsRefusedUntilTheSetIsReleased) {
  const Master master = Master::OnPort(kMaster);
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

TEST_F(ConnectionSet, UnsupportedOrConflictingChoicesAreInvalidParameters) {
  const Master master = Master::OnPort(kMaster);
  for (uint8_t choice : {0x00, 0x08, 0x40, 0x80, 0x30}) {
    EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(choice)), Error(kOk, 0x20))
        << "choice 0x" << std::hex << int{choice};
  }
  EXPECT_TRUE(master.Allocate(kSlave, 0x10));
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x20)), Error(kOk, 0x20))
      << "cyclic while COS is held";
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x01, 64)), Error(kOk, 0x20));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0x10);
}

TEST(ConnectionSetIo, ChoicesTheSlaveDoesNotOfferAreRefused) {
  ASSERT_NO_FATAL_FAILURE(StartCard("slave segment=vcan0.1 mac=10 io=poll\n"));
  ASSERT_NO_FATAL_FAILURE(BringOnline(0, 1));
  const Master master = Master::OnPort(kMaster);
  EXPECT_EQ(master.Unconnected(kSlave, AllocateBody(0x05)), Error(kOk, 0x20));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0x00) << "nothing of a refused choice";
  EXPECT_TRUE(master.Allocate(kSlave, 0x03));
}

TEST_F(ConnectionSet, ReleaseEndsConnectionsAndPassesOverBitsNotHeld) {
  const Master master = Master::OnPort(kMaster);
  EXPECT_TRUE(master.Allocate(kSlave, 0x03));
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x06)), (Data{kOk, 0xCC}));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0x01);
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x01)), (Data{kOk, 0xCC}));
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x01)), (Data{kOk, 0xCC})) << "twice";
  EXPECT_EQ(master.Unconnected(kSlave, ReleaseBody(0x08)), Error(kOk, 0x20));

  const VCAN_SlaveState state = SlaveState(kSlave);
  EXPECT_EQ(state.master_mac, -1);
  EXPECT_EQ(state.explicit_state, 0);
  master.Send(RequestId(kSlave), {kMaster, 0x0E, 0x01, 0x01, 0x01});
  EXPECT_TRUE(master.ExpectNothing(300)) << "no explicit connection, no answer";
  EXPECT_EQ(SlaveState(kSlave).ignored_frames, 1u);
}

// The explicit connection serves allocate and release of the DeviceNet object too.
TEST_F(ConnectionSet, ReleaseOverTheExplicitConnectionIsAnsweredThere) {
  const Master master = Master::OnPort(kMaster);
  EXPECT_TRUE(master.Allocate(kSlave, 0x01));
  EXPECT_EQ(master.Explicit(kSlave, AllocateBody(0x02)), (Data{kMaster, 0xCB, 0x00}));
  EXPECT_EQ(master.Explicit(kSlave, ReleaseBody(0x03)), (Data{kMaster, 0xCC}));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0x00);
}

TEST_F(ConnectionSet, UnconnectedRequestsOtherThanTheSetAreRefused) {
  const Master master = Master::OnPort(kMaster);
  EXPECT_EQ(master.Unconnected(kSlave, GetRequest(1, 1, 1)), Error(kOk, 0x08));
  EXPECT_EQ(master.Unconnected(kSlave, {0x4B, 0x01, 0x01, 0x01, kMaster}), Error(kOk, 0x08))
      << "allocate is a service of the DeviceNet object only";
  EXPECT_EQ(master.Unconnected(kSlave, {0x4B, 0x03, 0x02, 0x01, kMaster}), Error(kOk, 0x16));
  EXPECT_EQ(master.Unconnected(kSlave, {0x4B, 0x03, 0x01, 0x01}), Error(kOk, 0x13));
  EXPECT_EQ(master.Unconnected(kSlave, {0x4B, 0x03, 0x01, 0x01, kMaster, 0}), Error(kOk, 0x15));
  EXPECT_EQ(SlaveState(kSlave).requests[VCAN_SLAVE_OTHER], 1u);
}

}  // namespace
}  // namespace dnsim_test
