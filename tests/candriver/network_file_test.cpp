// The network description: which lines build what, and that bad lines are reported and skipped
// without harming the rest.

#include <gtest/gtest.h>

#include <filesystem>

#include "CardTestSupport.h"

namespace vcan_test {
namespace {

TEST(NetworkFile, BadLinesAreReportedWithLineNumberAndIgnored) {
  testing::internal::CaptureStderr();
  ASSERT_NO_FATAL_FAILURE(
      StartCard("boards 2   # two boards\n"                      // 1
                "frobnicate 1\n"                                 // 2 unknown keyword
                "segment net colour=blue\n"                      // 3 unknown option
                "port 0/5 segment=net\n"                         // 4 bad port
                "port 0/1 segment=nowhere\n"                     // 5 unknown segment
                "dupmac segment=vcan0.1 mac=64\n"                // 6 MAC out of range
                "process segment=vcan0.1 exec=\"unterminated\n"  // 7 open quote
                "fault entry=CAN_Nothing code=1\n"               // 8 unknown entry
                "boards 99\n"                                    // 9 too many boards
                "segment shared\n"                               // 10 good
                "port 0/2 segment=shared rxfifo=0\n"             // 11 rxfifo too small
                "port 0/3 segment=shared\n"                      // 12 good
                "port 1/3 segment=shared\n"                      // 13 good
                "dupmac segment=shared mac=3 baud=300\n"         // 14 bad baud
                "=oops\n"                                        // 15 no keyword
                "segment lossy loss=1.5\n"                       // 16 loss above 1
                "segment lossy2 loss=0.25\n"                     // 17 good
                "port 1/4 socketcan=can0 segment=shared\n"       // 18 both at once
                "port 1/2 capture=/tmp/never.log\n"));           // 19 capture needs socketcan
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReportedLines(errors), (std::set<int>{2, 3, 4, 5, 6, 7, 8, 9, 11, 14, 15, 16, 18, 19}))
      << errors;
  EXPECT_EQ(CAN_TotalBoard(), 2);
  EXPECT_EQ(SegmentOf(0, 1), "vcan0.1");
  EXPECT_EQ(SegmentOf(0, 2), "vcan0.2");
  EXPECT_EQ(SegmentOf(0, 3), "shared");
  EXPECT_EQ(SegmentOf(1, 3), "shared");
}

// A path that names no readable file: reported once, with the path and the reason, and the card
// is the default one. A directory opens like a file, so it must be caught on its own.
struct UnreadableCase {
  const char* what;
  bool make_directory;
  const char* reason;
};

class UnreadableNetworkFile : public testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableNetworkFile, IsReportedOnceAndGivesTheDefaultCard) {
  const std::string path = TempPath("network");
  if (GetParam().make_directory) {
    ASSERT_TRUE(std::filesystem::create_directory(path));
  }
  setenv("VELKCAN_NETWORK", path.c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(CAN_TotalBoard(), 1);
  EXPECT_EQ(CAN_TotalBoard(), 1);
  const std::string errors = testing::internal::GetCapturedStderr();
  const std::string report = "cannot read network description " + path + ": " + GetParam().reason;
  const size_t first = errors.find(report);
  EXPECT_NE(first, std::string::npos) << errors;
  EXPECT_EQ(errors.find(report, first + 1), std::string::npos) << "reported twice:\n" << errors;
  EXPECT_EQ(SegmentOf(0, 4), "vcan0.4");
}

INSTANTIATE_TEST_SUITE_P(NetworkFile, UnreadableNetworkFile,
                         testing::Values(UnreadableCase{"Missing", false, "No such file"},
                                         UnreadableCase{"Directory", true, "it is a directory"}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(NetworkFile, PortsJoinNamedSegmentsAcrossBoardsAndBeforeTheyAreDeclared) {
  ASSERT_NO_FATAL_FAILURE(
      StartCard("boards 2\n"
                "segment \"line a\"\n"
                "port 0/1 segment=\"line a\"\n"
                "port 1/4 segment=\"line a\"\n"
                "port 0/3 segment=vcan0.2\n"  // order of lines does not matter
                "segment vcan0.2\n"));
  EXPECT_EQ(SegmentOf(1, 4), "line a");
  EXPECT_EQ(SegmentOf(0, 2), "vcan0.2");
  EXPECT_EQ(SegmentOf(0, 3), "vcan0.2");
  for (auto [board, port] : {std::pair{0, 1}, {1, 4}, {0, 2}, {0, 3}})
    ASSERT_NO_FATAL_FAILURE(BringOnline(board, port));
  const CANMsg msg = MakeFrame(0x77, {1});
  ASSERT_EQ(CAN_SendMsg(0, 1, &msg), CAN_NoError);
  auto got = ReceiveAtPort(1, 4);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 0x77u);
  ASSERT_EQ(CAN_SendMsg(0, 3, &msg), CAN_NoError);
  EXPECT_TRUE(ReceiveAtPort(0, 2));
}

}  // namespace
}  // namespace vcan_test
