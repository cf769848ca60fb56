// Activating and closing boards through the exports, each case in a fresh
// process with its own virtual card.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "MasterLib.h"

namespace dnm::test {
namespace {

// Activation writes one driver line and a second one is refused; closing tears down the ports,
// then reports success once.
TEST(BoardLifecycle, ActivationOnceClosingTearsDownThePortsAndReadsNeverWaitForEither) {
  MasterLib lib;
  lib.ClearTrace();
  ASSERT_EQ(lib.DNM_ActiveBoard(0), 0);
  EXPECT_EQ(lib.TraceLines(),
            std::vector<std::string>{
                "DNM_ActiveBoard( ) ----> API_CAN_ActiveBoard( ) --> CAN Message --> CAN_NoError"});

  lib.ClearTrace();
  EXPECT_EQ(lib.DNM_ActiveBoard(0), DNM_BoardAlreadyActive);
  EXPECT_EQ(lib.TraceLines(),
            std::vector<std::string>{"DNM_ActiveBoard()   Error!Board 0 is already Active!"});
  lib.ClearTrace();
  ASSERT_EQ(lib.DNM_CloseBoard(0), 0);
  std::vector<std::string> teardown;
  for (const auto& line : lib.TraceLines()) {
    if (line.rfind("Delete", 0) == 0 || line.rfind("DNM_CloseBoard", 0) == 0)
      teardown.push_back(line);
  }
  // Each port frees its own buffer before it goes.
  std::vector<std::string> expected;
  for (int port = 0; port < 4; ++port)
    expected.insert(expected.end(), {"Delete Buffer", "Delete CANPort"});
  expected.insert(expected.end(),
                  {"Delete CAN Card", "DNM_CloseBoard( )   Successfully! , CloseBoard=0"});
  EXPECT_EQ(teardown, expected);
  EXPECT_EQ(lib.DNM_CloseBoard(0), DNM_BoardAlreadyClose);
  EXPECT_TRUE(lib.HasLine("DNM_CloseBoard( )   Error!Board 0 is already Close!"));
  // Closed on both sides: it can be activated again.
  EXPECT_EQ(lib.DNM_ActiveBoard(0), 0);

  // Reads and checks do not wait for another thread's online or close: the port is not online,
  // the board not active, until it is over.
  const auto going_online = [&lib](uint8_t port) {  // returns while the port checks its MAC ID
    auto online =
        std::async(std::launch::async, [&lib, port] { return lib.DNM_Online(0, port, 0, 0); });
    const std::string check =
        "CheckDuplicMACIDResponse( )   ActiveBoard=0, port=" + std::to_string(port);
    for (int i = 0; i < 300 && !lib.HasLine(check); ++i)
      std::this_thread::sleep_for(milliseconds(10));
    return online;
  };
  auto online = going_online(0);
  auto start = Clock::now();
  EXPECT_EQ(lib.DNM_CheckPollConnectionStatus(0, 0, 3), DNM_MasterStateError);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_EQ(online.get(), 0);
  online = going_online(1);
  auto close = std::async(std::launch::async, [&] { return lib.DNM_CloseBoard(0); });
  std::this_thread::sleep_for(milliseconds(300));  // the close waits for the online
  start = Clock::now();
  EXPECT_EQ(lib.DNM_GetDeviceStatus(0, 0, 3), DNM_BoardNotActive);
  EXPECT_EQ(lib.DNM_GetPollNoResponse(0, 0, 3), 0u);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_EQ(online.get(), 0);
  EXPECT_EQ(close.get(), 0);
}

// Every board the card reports, up to eight, each on its own; none beyond.
TEST(BoardLifecycle, OnlyTheBoardsTheCardReportsAreServedEachOnItsOwn) {
  UseNetwork("boards 8\n");
  MasterLib lib;
  EXPECT_EQ(lib.DNM_TotalBoard(), 8);
  for (uint8_t b = 0; b < 8; ++b) EXPECT_EQ(lib.DNM_ActiveBoard(b), 0) << "board " << int{b};
  lib.ClearTrace();
  EXPECT_EQ(lib.DNM_ActiveBoard(8), DNM_BoardNumberError);
  EXPECT_EQ(lib.DNM_CloseBoard(255), DNM_BoardNumberError);
  const std::vector<std::string> expected = {"DNM_ActiveBoard()   Error!Board 8 is out of range",
                                             "DNM_CloseBoard( )   Error!Board 255 is out of range"};
  EXPECT_EQ(lib.TraceLines(), expected);
  ASSERT_EQ(lib.DNM_CloseBoard(0), 0);
  EXPECT_EQ(lib.DNM_ActiveBoard(1), DNM_BoardAlreadyActive);
  for (uint8_t b = 1; b < 8; ++b) EXPECT_EQ(lib.DNM_CloseBoard(b), 0) << "board " << int{b};
  // Board queries are forwarded to the card.
  EXPECT_EQ(lib.CAN_GetSystemFreq(7), 16000000u);
  EXPECT_EQ(lib.CAN_GetSystemFreq(8), 0u);
  EXPECT_EQ(lib.DNM_GetBoardInf(0, 0, 0, 0, 0, 0, 0), 4);  // ports of board 0
  EXPECT_EQ(lib.DNM_GetBoardInf(9, 0, 0, 0, 0, 0, 0), -1);
}

TEST(BoardLifecycle, DriverRefusalsOfActivationAndClosing) {
  UseNetwork(
      "fault entry=CAN_ActiveBoard code=5 times=1\n"
      "fault entry=CAN_CloseBoard code=2 times=1\n");
  MasterLib lib;
  lib.ClearTrace();
  EXPECT_EQ(lib.DNM_ActiveBoard(0), 5);
  const std::vector<std::string> expected = {
      "DNM_ActiveBoard( ) ----> API_CAN_ActiveBoard( ) --> CAN Message --> CAN_ResetError",
      "DNM_ActiveBoard( ) ----> API_CAN_ActiveBoard( )  --> CAN Message --> CAN_ResetError"};
  EXPECT_EQ(lib.TraceLines(), expected);
  EXPECT_EQ(lib.DNM_CloseBoard(0), DNM_BoardAlreadyClose);  // the refused board stays inactive
  ASSERT_EQ(lib.DNM_ActiveBoard(0), 0);                     // the fault was for one call only

  // A driver refusing to close still closes the library side.
  lib.ClearTrace();
  EXPECT_EQ(lib.DNM_CloseBoard(0), 2);
  EXPECT_TRUE(lib.HasLine(
      "DNM_CloseBoard( ) ----> API_CAN_CloseBoard( )  --> CAN Message --> CAN_ActiveBoardError"));
  EXPECT_EQ(lib.DNM_CloseBoard(0), DNM_BoardAlreadyClose);
}

}  // namespace
}  // namespace dnm::test
