// A driver port of this process on a segment that a `dnm simulate` process hosts: frames reach
// the host's slave and come back; when the host ends the port reports a bus that is gone, as a
// vanished SocketCAN interface does, and it works again once a new host runs.
#include <chrono>
#include <thread>

#include "CardTestSupport.h"
#include "SimulatorProcess.h"

namespace {

using namespace vcan_test;
using Host = dnm_test::SimulatorProcess;

bool StatusBecomes(int32_t want) {
  for (int waited = 0; waited < 5000; waited += 10) {
    if (CAN_Status(0, 1) == want) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The slave with MAC ID 9 answers a duplicate MAC ID check for its MAC ID.
void SlaveAnswers() {
  const CANMsg check = MakeFrame(0x44F, {0x00, 0xE8, 0x03, 1, 0, 0, 0});
  ASSERT_EQ(CAN_SendMsg(0, 1, &check), CAN_NoError);
  const auto answer = ReceiveAtPort(0, 1, 5000);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->id, 0x44Fu);
  EXPECT_EQ(answer->data[0], 0x80);
}

TEST(SharedSegment, AHostThatEndsIsABusGoneUntilItReturns) {
  const std::string socket = TempPath("plant.sock");
  const std::string network =
      WriteTempFile("host.txt", "segment plant shared=" + socket + "\nslave segment=plant mac=9\n");
  Host host(DNM_TEST_TOOL, network);
  ASSERT_NO_FATAL_FAILURE(StartCard("segment plant shared=" + socket +
                                    "\nport 0/1 segment=plant\nslave segment=plant mac=9\n"));
  char described[256];
  VCAN_DescribeCard(described, sizeof described);
  EXPECT_NE(std::string(described).find("attached to its host): no simulated nodes"),
            std::string::npos)
      << "the slave lives in the host: " << described;
  ASSERT_NO_FATAL_FAILURE(BringOnline(0, 1));
  ASSERT_NO_FATAL_FAILURE(SlaveAnswers());

  host.End();
  ASSERT_TRUE(StatusBecomes(CAN_ResetError));
  const CANMsg any = MakeFrame(0x44F, {0});
  EXPECT_EQ(CAN_SendMsg(0, 1, &any), CAN_TransmitIncomplete);

  Host again(DNM_TEST_TOOL, network);
  ASSERT_TRUE(StatusBecomes(CAN_NoError));
  ASSERT_NO_FATAL_FAILURE(SlaveAnswers());
}

}  // namespace
