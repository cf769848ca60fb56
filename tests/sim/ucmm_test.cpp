// Explicit connections opened and closed through UCMM on message group 3.

#include <chrono>
#include <thread>

#include "MasterSide.h"

namespace dnsim_test {
namespace {

constexpr uint8_t kSlave = 12;
constexpr uint8_t kMaster = 1;
constexpr uint8_t kOtherMaster = 2;
constexpr uint32_t kUcmmAnswerId = Group3Id(5, kSlave);
constexpr uint32_t kSlaveAnswerId = Group3Id(0, kSlave);

class Ucmm : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StartOnline("slave segment=vcan0.1 mac=12 ucmm=1 vendor=0x0456\n"));
  }
  Data OpenClose(const Master& master, const Data& body) {
    Data data{static_cast<uint8_t>(0x40 | kSlave)};
    data.insert(data.end(), body.begin(), body.end());
    master.Send(Group3Id(6, master.mac()), data);
    return master.ReceiveOn(kUcmmAnswerId);
  }
  Data Open(const Master& master, uint8_t source_message = 0) {
    return OpenClose(master, {0x4B, 0x00, static_cast<uint8_t>(0x30 | source_message)});
  }
  Data Close(const Master& master, uint16_t instance) {
    return OpenClose(master, {0x4C, static_cast<uint8_t>(instance), 0x00});
  }
  Data Request(const Master& master, const Data& body, uint8_t source_message = 0) {
    Data data{kSlave};
    data.insert(data.end(), body.begin(), body.end());
    master.Send(Group3Id(source_message, master.mac()), data);
    return master.ReceiveOn(kSlaveAnswerId);
  }

  Master master_ = Master::OnPort(kMaster);
};

const Data kOpened7{0x40 | kMaster, 0xCB, 0x00, 0x00, 0x07, 0x00};

TEST_F(Ucmm, OpenServeAndCloseAndTheWatchdogDeletesOrKeepsItTimedOut) {
  EXPECT_EQ(Open(master_), kOpened7);
  VCAN_SlaveState state = SlaveState(kSlave);
  ASSERT_EQ(state.ucmm_count, 1);
  EXPECT_EQ(state.ucmm[0].instance, 7);
  EXPECT_EQ(state.ucmm[0].master_mac, kMaster);
  EXPECT_EQ(state.explicit_allocated, 0) << "UCMM leaves the predefined set alone";

  EXPECT_EQ(Request(master_, GetRequest(1, 1, 1)), (Data{kMaster, 0x8E, 0x56, 0x04}));
  EXPECT_EQ(Request(master_, GetRequest(5, 7, 1)), (Data{kMaster, 0x8E, 0x03}));

  EXPECT_EQ(Close(master_, 7), (Data{0x40 | kMaster, 0xCC}));
  EXPECT_EQ(SlaveState(kSlave).ucmm_count, 0);
  master_.Send(Group3Id(0, kMaster), {kSlave, 0x0E, 1, 1, 1});
  EXPECT_TRUE(master_.ExpectNothing(300)) << "closed";
  EXPECT_EQ(Close(master_, 7), (Data{0x40 | kMaster, 0x94, 0x16, 0xFF}));
  state = SlaveState(kSlave);
  EXPECT_EQ(state.requests[VCAN_SLAVE_OPEN], 1u);
  EXPECT_EQ(state.requests[VCAN_SLAVE_CLOSE], 2u);

  // The watchdog deletes the connection, or keeps it timed out.
  ASSERT_EQ(Open(master_), kOpened7);
  ASSERT_EQ(Request(master_, SetRequest(5, 7, 9, {50, 0})), (Data{kMaster, 0x90}));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(SlaveState(kSlave).ucmm_count, 0) << "auto delete";

  ASSERT_EQ(Open(master_), kOpened7);
  ASSERT_EQ(Request(master_, SetRequest(5, 7, 12, {0})), (Data{kMaster, 0x90}));
  ASSERT_EQ(Request(master_, SetRequest(5, 7, 9, {50, 0})), (Data{kMaster, 0x90}));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  state = SlaveState(kSlave);
  ASSERT_EQ(state.ucmm_count, 1);
  EXPECT_EQ(state.ucmm[0].state, 4);
  master_.Send(Group3Id(0, kMaster), {kSlave, 0x0E, 1, 1, 1});
  EXPECT_TRUE(master_.ExpectNothing(300));
  EXPECT_EQ(Open(master_), kOpened7) << "a timed-out connection is replaced";
  EXPECT_EQ(SlaveState(kSlave).ucmm[0].state, 3);
}

TEST_F(Ucmm, EachMasterAndMessageGetsItsOwnConnectionUpToFourAndBadOpensAreRefused) {
  const Master other = Master::OnNode(kOtherMaster);
  EXPECT_EQ(Open(master_), kOpened7);
  EXPECT_EQ(Open(master_), kOpened7) << "opening again returns the connection";
  EXPECT_EQ(Open(master_, 2), (Data{0x40 | kMaster, 0xCB, 0x00, 0x20, 0x08, 0x00}));
  other.Drain();
  EXPECT_EQ(Open(other), (Data{0x40 | kOtherMaster, 0xCB, 0x00, 0x00, 0x09, 0x00}));
  master_.Drain();

  EXPECT_EQ(Request(master_, GetRequest(3, 1, 1), 2), (Data{kMaster, 0x8E, kSlave}));
  other.Drain();
  EXPECT_EQ(Close(other, 7), (Data{0x40 | kOtherMaster, 0x94, 0x0C, 0xFF})) << "not its own";
  EXPECT_EQ(Close(other, 9), (Data{0x40 | kOtherMaster, 0xCC}));
  EXPECT_EQ(SlaveState(kSlave).ucmm_count, 2);
  master_.Drain();  // the answers to the other master

  const uint8_t header = 0x40 | kMaster;
  EXPECT_EQ(OpenClose(master_, {0x4B, 0x00, 0x20}), (Data{header, 0x94, 0x20, 0xFF}))
      << "group select 2";
  EXPECT_EQ(OpenClose(master_, {0x4B, 0x00, 0x35}), (Data{header, 0x94, 0x20, 0xFF}))
      << "source message 5 is no connection message";
  EXPECT_EQ(OpenClose(master_, {0x4B, 0x00}), (Data{header, 0x94, 0x13, 0xFF}));
  EXPECT_EQ(OpenClose(master_, {0x0E, 0x01, 0x01, 0x01}), (Data{header, 0x94, 0x08, 0xFF}));
  for (uint8_t message = 0; message < 4; ++message) ASSERT_EQ(Open(master_, message)[1], 0xCB);
  EXPECT_EQ(Open(master_, 4), (Data{header, 0x94, 0x02, 0xFF})) << "four connections at most";
  ASSERT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, "error=open error_status=0x1F"), 0);
  EXPECT_EQ(Open(master_, 0), (Data{header, 0x94, 0x1F, 0xFF}));
}

}  // namespace
}  // namespace dnsim_test
