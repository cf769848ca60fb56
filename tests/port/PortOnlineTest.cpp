// Bringing a port onto the network and off it, through the exports, with
// in-process nodes and simulated nodes on the virtual card.
#include <gtest/gtest.h>

#include <future>

#include "MasterLib.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

constexpr uint32_t kQuiet = 300;

class PortOnline : public ::testing::Test {
 protected:
  // Loads the library on the network, or on the default one.
  void Load(const char* network = nullptr) {
    if (network != nullptr) UseNetwork(network);
    lib_ = std::make_unique<MasterLib>();
    card_ = std::make_unique<VirtualCard>(*lib_);
    ASSERT_EQ(lib_->DNM_ActiveBoard(0), 0);
  }
  std::unique_ptr<MasterLib> lib_;
  std::unique_ptr<VirtualCard> card_;
};

// The check frame carries the port number, at the port's rate, also after the rate changes.
TEST_F(PortOnline, SilentNetworkTakesTwoChecksAndSendsTheCheckFrameTwiceAtThePortsRate) {
  Load();
  const int32_t node = card_->Attach(0, 0);
  lib_->ClearTrace();
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 5), 0);
  const auto frames = card_->Drain(node, kQuiet);
  ASSERT_EQ(frames.size(), 2u);
  for (const auto& frame : frames) EXPECT_EQ(FrameText(frame), "42F#005E7A01000000");
  EXPECT_EQ(lib_->LinesWith("----> DNM_DuplicateMACIDTimeout").size(), 1u);
  EXPECT_EQ(lib_->LinesWith("DNM_Online( ) ----> DNM_NoError").size(), 1u);
  EXPECT_TRUE(lib_->HasLine("DNM_Online()   Online Successful"));
  EXPECT_EQ(lib_->LinesWith("CheckDuplicMACIDResponse( )   Check Time=").size(), 2u);

  ASSERT_EQ(lib_->DNM_Online(0, 3, 0, 63), 0);
  EXPECT_EQ(lib_->DNM_ChangeBaudrate(0, 3, 3), DNM_BaudrateError);
  EXPECT_TRUE(lib_->HasLine("ChangeBaudrate()   Error!Baudrate 3 is out of range"));
  const int32_t slow = card_->Attach(0, 3, 125);
  ASSERT_EQ(lib_->DNM_ChangeBaudrate(0, 3, 2), 0);
  EXPECT_TRUE(lib_->HasLine("ChangeBaudrate()   Successful!Baudrate was changed!"));
  const auto checks = card_->Drain(slow, kQuiet);
  ASSERT_EQ(checks.size(), 2u);  // both checks at 125 kbit/s
  for (const auto& frame : checks) EXPECT_EQ(FrameText(frame), "5FF#035E7A01000000");
  EXPECT_EQ(card_->PortStats(0, 3).baud, 125000u);
}

TEST_F(PortOnline, MacIdAnsweredByAnotherNodeIsNeitherTakenNorChangedTo) {
  Load("dupmac segment=vcan0.1 mac=12 answer=1\n");
  lib_->ClearTrace();
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 12), DNM_OnlineError);
  EXPECT_TRUE(lib_->HasLine("DNM_Online( ) ----> DNM_OnlineError"));
  EXPECT_EQ(lib_->DNM_Offline(0, 0), DNM_MasterStateError);
  EXPECT_TRUE(lib_->LinesWith("CreateReciveThread").empty());
  ASSERT_EQ(lib_->DNM_Online(0, 0, 0, 2), 0);  // another MAC ID is free
  EXPECT_EQ(lib_->DNM_ChangeMACID(0, 0, 12), DNM_ChangeMACIDError);
  EXPECT_TRUE(lib_->HasLine("ChangeMACID() Change MAC ID Error!"));
  EXPECT_EQ(lib_->DNM_Offline(0, 0), DNM_MasterStateError);
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 2), 0);
}

TEST_F(PortOnline, NodeCheckingDuringTheSecondCheckKeepsThePortIdle) {
  Load("dupmac segment=vcan0.1 mac=7 answer=0 check=1 check_at=1300\n");
  lib_->ClearTrace();
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 7), DNM_OnlineError);
  EXPECT_EQ(lib_->LinesWith("----> DNM_DuplicateMACIDTimeout").size(), 1u);
  EXPECT_EQ(lib_->DNM_Offline(0, 0), DNM_MasterStateError);
}

// Offline then online resumes the threads that answer checks for the MAC ID, and a changed MAC
// ID is the one defended.
TEST_F(PortOnline, StateChecksOfflineOnlineAndChangedMacIdAnswerChecksForTheMacId) {
  Load();
  lib_->ClearTrace();
  EXPECT_EQ(lib_->DNM_Offline(0, 0), DNM_MasterStateError);
  EXPECT_TRUE(lib_->HasLine("Offline()   Error!Port 0 is not in Online state"));
  EXPECT_EQ(lib_->DNM_Online(0, 4, 0, 1), DNM_PortNumberError);
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 64), DNM_MACIDNumberError);
  EXPECT_EQ(lib_->DNM_Online(0, 0, 3, 1), DNM_BaudrateError);
  EXPECT_TRUE(lib_->HasLine("DNM_Online( )   Error!Baudrate 3 is out of range"));
  ASSERT_EQ(lib_->DNM_Online(0, 0, 0, 1), 0);
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 1), DNM_PortAlreadyOnline);
  EXPECT_TRUE(lib_->HasLine("DNM_Online( )   Error!Port 0 is already in Online state"));
  ASSERT_EQ(lib_->DNM_Offline(0, 0), 0);
  EXPECT_TRUE(lib_->HasLine("Offline()   API_CAN_Reset=0"));
  EXPECT_EQ(lib_->DNM_Offline(0, 0), DNM_MasterStateError);

  const int32_t node = card_->Attach(0, 0);
  ASSERT_EQ(lib_->DNM_Online(0, 0, 0, 1), 0);
  EXPECT_EQ(lib_->LinesWith("CANPort::CreateReciveThread( )   Port0 Created!").size(), 1u);
  card_->Drain(node, 50);
  lib_->ClearTrace();
  card_->Send(node, MakeFrame(0x40F, {0x00, 0x11, 0x22, 0x01, 0, 0, 0}));  // request for MAC 1
  card_->Send(node, MakeFrame(0x40F, {0x80, 0x01, 0x00, 0x05, 0, 0, 0}));  // a response: no answer
  card_->Send(node, MakeFrame(0x407, {0x00, 0x01, 0x00, 0x05, 0, 0, 0}));  // for MAC 0: not ours
  const auto frames = card_->Drain(node, kQuiet);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(FrameText(frames[0]), "40F#805E7A01000000");
  EXPECT_EQ(lib_->LinesWith("Send Duplicate MAC ID Response").size(), 1u);

  EXPECT_EQ(lib_->DNM_ChangeMACID(0, 0, 64), DNM_MACIDNumberError);
  EXPECT_TRUE(lib_->HasLine("ChangeMACID() Error!MAC ID 64 is out of range"));
  ASSERT_EQ(lib_->DNM_ChangeMACID(0, 0, 9), 0);
  EXPECT_TRUE(lib_->HasLine("ChangeMACID()   Successful!MAC ID was changed!"));
  card_->Drain(node, 50);                                         // the checks for the new MAC ID
  card_->Send(node, MakeFrame(0x40F, {0x00, 0, 0, 0, 0, 0, 0}));  // old MAC 1
  card_->Send(node, MakeFrame(0x44F, {0x00, 0, 0, 0, 0, 0, 0}));  // new MAC 9
  const auto changed = card_->Drain(node, kQuiet);
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(FrameText(changed[0]), "44F#805E7A01000000");
}

// Bits on the bus with stuff bits and interframe space: the check frame 42F#005E7A01000000
// takes 110, 3C3# 49, 000#0000000000000000 127 (24 stuff bits).
TEST_F(PortOnline, StatisticsCountFramesAndTheirBitsSinceThePortLastWentOnline) {
  Load();
  const int32_t node = card_->Attach(0, 0);
  DNM_PortStatistics statistics{};
  EXPECT_EQ(lib_->DNM_GetPortStatistics(0, 0, &statistics), DNM_MasterStateError);
  EXPECT_EQ(lib_->DNM_GetPortStatistics(0, 4, &statistics), DNM_PortNumberError);
  ASSERT_EQ(lib_->DNM_Online(0, 0, 0, 5), 0);
  EXPECT_EQ(lib_->DNM_GetPortStatistics(0, 0, nullptr), DNM_NullPointerError);
  ASSERT_EQ(lib_->DNM_GetPortStatistics(0, 0, &statistics), 0);
  EXPECT_EQ(statistics.frames_sent, 2u);
  EXPECT_EQ(statistics.bits_sent, 2u * 110);
  EXPECT_EQ(statistics.frames_received, 0u);
  card_->Drain(node, 50);

  card_->Fail("CAN_ReceiveMsg", CAN_ReceiveError, 1);
  card_->Send(node, MakeFrame(0x3C3, {}));
  card_->Send(node, MakeFrame(0x000, {0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(Eventually(
      [&] {
        return lib_->DNM_GetPortStatistics(0, 0, &statistics) == 0 &&
               statistics.frames_received == 2;
      },
      10000));
  EXPECT_EQ(statistics.bits_received, 49u + 127);
  EXPECT_EQ(statistics.error_frames, 1u);
  EXPECT_EQ(statistics.overruns, 0u);

  ASSERT_EQ(lib_->DNM_ChangeMACID(0, 0, 9), 0);
  ASSERT_EQ(lib_->DNM_GetPortStatistics(0, 0, &statistics), 0);
  EXPECT_EQ(statistics.frames_sent, 2u);  // the checks for the new MAC ID
  EXPECT_EQ(statistics.frames_received, 0u);
  EXPECT_EQ(statistics.error_frames, 0u);
}

TEST_F(PortOnline, DriverFailuresDuringOnlineArePassedOn) {
  Load();
  card_->Fail("CAN_Reset", 5, 1);
  lib_->ClearTrace();
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 1), 5);
  EXPECT_TRUE(
      lib_->HasLine("DNM_Onine( )----> API_CAN_Reset( ) --> CAN Message --> CAN_ResetError"));
  card_->Fail("CAN_SendMsg", 16, -1);  // a queue that stays full
  lib_->ClearTrace();
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 1), 16);
  EXPECT_TRUE(lib_->HasLine("CANPort::SendCmd( )   SendCmd return vlaue is 16"));
  EXPECT_TRUE(lib_->HasLine(
      "CANPort::SendCmd( )----> API_CAN_SendMsg( ) --> CAN Message --> CAN_TransmitBufferLocked"));
  EXPECT_TRUE(lib_->HasLine(
      "DNM_Online( )----> API_CAN_SendMsg( ) --> CAN Message --> CAN_TransmitBufferLocked"));
  EXPECT_EQ(lib_->DNM_Offline(0, 0), DNM_MasterStateError);
  card_->Fail("CAN_SendMsg", 0, 0);
  card_->Fail("CAN_SendMsg", 16, 1);  // full for a moment: waited out
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 1), 0);

  // Two threads bring one port online at once; then closing the board ends the ports.
  lib_->ClearTrace();
  auto online = [&] { return lib_->DNM_Online(0, 1, 0, 1); };
  auto first = std::async(std::launch::async, online);
  auto second = std::async(std::launch::async, online);
  const std::multiset<uint16_t> results = {first.get(), second.get()};
  EXPECT_EQ(results, (std::multiset<uint16_t>{0, DNM_PortAlreadyOnline}));
  EXPECT_EQ(lib_->LinesWith("CreateReciveThread( )").size(), 1u);

  ASSERT_EQ(lib_->DNM_Online(0, 2, 0, 1), 0);
  lib_->ClearTrace();
  ASSERT_EQ(lib_->DNM_CloseBoard(0), 0);
  EXPECT_TRUE(
      lib_->HasLine("CANPort::TerminateReceiveThread( )   Port 0 TerminatReceiveThread Success!"));
  EXPECT_TRUE(lib_->HasLine("CANPort::CloseReceiveHandle( )   Port 2 CloseHandle Success!"));
  EXPECT_EQ(card_->PortStats(0, 0).on_bus, 0);
}

}  // namespace
}  // namespace dnm::test
