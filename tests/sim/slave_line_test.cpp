// The `slave` line of the network description: what is refused, and slaves beside each other.

#include "MasterSide.h"

namespace dnsim_test {
namespace {

TEST(SlaveLine, BadLinesAreReportedAndLeaveNoSlave) {
  testing::internal::CaptureStderr();
  ASSERT_NO_FATAL_FAILURE(
      StartCard("slave segment=vcan0.1\n"         // 1 no mac
                "slave segment=vcan0.1 mac=64\n"  // 2
                "slave segment=vcan0.1 mac=1 product=\"123456789012345678901234567890123\"\n"
                "slave segment=vcan0.1 mac=2 attr=1:ABC\n"                   // 4 odd digits
                "slave segment=vcan0.1 mac=3 attr=0:AB\n"                    // 5 attribute 0
                "slave segment=vcan0.1 mac=4 io=poll,serial\n"               // 6
                "slave segment=vcan0.1 mac=5 colour=red\n"                   // 7
                "slave segment=vcan0.1 mac=6 silent_from=900 back_at=100\n"  // 8
                "slave segment=nowhere mac=7\n"                              // 9
                "slave segment=vcan0.1 mac=8 revision=2\n"                   // 10
                "slave segment=vcan0.1 mac=9 name=first\n"                   // 11 good
                "slave segment=vcan0.1 mac=9\n"));                           // 12 taken
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(vcan_test::ReportedLines(errors), (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12}))
      << errors;
  VCAN_SlaveState state{};
  for (int mac = 1; mac <= 8; ++mac) EXPECT_EQ(VCAN_SlaveGetState(0, 1, mac, &state), -1) << mac;
  EXPECT_EQ(VCAN_SlaveGetState(0, 1, 9, &state), 0);
}

// Slaves of one segment each answer for their own MAC ID only (and UCMM only when capable); a
// slave on another segment is not heard.
TEST(SlaveLine, SlavesSideBySideAnswerOnlyForThemselves) {
  ASSERT_NO_FATAL_FAILURE(
      StartOnline("segment plant\n"
                  "port 0/1 segment=plant\n"
                  "slave segment=plant mac=2 serial=2\n"
                  "slave segment=plant mac=3 serial=3 ucmm=1\n"
                  "slave segment=vcan0.2 mac=2 serial=22\n"));
  const Master master = Master::OnPort(0);
  master.Send(DupMacId(2), {0, 1, 0, 1, 0, 0, 0});
  EXPECT_EQ(master.ReceiveOn(DupMacId(2)).at(3), 2);
  EXPECT_TRUE(master.ExpectNothing(200));

  EXPECT_TRUE(master.Allocate(3, 0x01));
  EXPECT_EQ(SlaveState(2).allocated_choice, 0);
  EXPECT_EQ(SlaveState(3).allocated_choice, 1);
  master.Send(Group3Id(6, 0), {0x40 | 2, 0x4B, 0x00, 0x30});
  EXPECT_TRUE(master.ExpectNothing(300)) << "a slave without UCMM ignores group 3";
  EXPECT_EQ(SlaveState(2).ignored_frames, 1u);
  VCAN_SlaveState state{};
  EXPECT_EQ(VCAN_SlaveGetState(0, 2, 2, &state), 0);
  EXPECT_EQ(VCAN_SlaveGetState(0, 2, 3, &state), -1);

  EXPECT_EQ(vcan_test::SegmentStats(0, 1).nodes, 3u) << "the port and two slaves";
}

}  // namespace
}  // namespace dnsim_test
