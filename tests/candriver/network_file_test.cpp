// The network description: which lines build what, and that bad lines are reported and skipped
// without harming the rest.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "CardTestSupport.h"

namespace vcan_test {
namespace {

namespace fs = std::filesystem;

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

// shared= lines that are refused, and the files at their paths, which stay as they were; a name
// without a slash lives in the user's private directory, never beside the description.
TEST(NetworkFile, SharedLinesThatCannotBeTheSegmentsAreRefusedAndTouchNothing) {
  // Short: a socket path holds at most 107 characters.
  const fs::path dir = fs::path(testing::TempDir()) / ("vs" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "private");
  fs::create_directories(dir / "a directory");
  std::ofstream(dir / "data.txt") << "precious";
  fs::create_symlink(dir / "data.txt", dir / "link");
  fs::create_symlink(dir / "planted", dir / "free.sock.lock");
  setenv("XDG_RUNTIME_DIR", (dir / "private").c_str(), 1);
  const std::string at = " shared=" + dir.string() + "/";
  const std::string network = TempPath("network.txt");
  umask(0);
  testing::internal::CaptureStderr();
  ASSERT_NO_FATAL_FAILURE(StartCard(
      "segment a" + at + "data.txt host=yes\n" +                            // 1 a regular file
      "segment b shared=\"" + dir.string() + "/a directory\" host=yes\n" +  // 2 a directory
      "segment c" + at + "link host=yes\n" +                                // 3 a symbolic link
      "segment d shared=" + network + " host=yes\n" +  // 4 the description itself
      "segment e shared=network.txt host=yes\n" +      // 5 good, in the private directory
      "segment f shared=" + dir.string() + "/private/velkcan/network.txt\n" +  // 6 e's path
      "segment g" + at + "free.sock host=yes\n" +                // 7 its lock a planted link
      "segment h shared=/no/such/directory/x.sock host=yes\n" +  // 8 cannot be hosted
      "segment i" + at + "i.sock host=maybe\n" +                 // 9 bad host value
      "segment j group=root\n" +                                 // 10 group without shared
      "segment k" + at + "k.sock group=no-such-group-here\n" +   // 11 unknown group
      "segment l shared=..\n"));                                 // 12 no name
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReportedLines(errors), (std::set<int>{1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12})) << errors;
  EXPECT_EQ(ReadFile((dir / "data.txt").string()), "precious");
  EXPECT_EQ(ReadFile(network).rfind("segment a", 0), 0u) << "the description was replaced";
  EXPECT_TRUE(fs::is_directory(dir / "a directory"));
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_FALSE(fs::exists(dir / "planted")) << "the lock was followed through the link";
  EXPECT_NE(errors.find("is a regular file, not a shared segment's socket"), std::string::npos);
  EXPECT_NE(errors.find("is segment e's already"), std::string::npos) << errors;
  struct stat info {};
  ASSERT_EQ(lstat((dir / "private" / "velkcan").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(lstat((dir / "private" / "velkcan" / "network.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "whatever the umask";
}

// A private directory that others may enter is not private: nothing is put there.
TEST(NetworkFile, APrivateDirectoryOthersCanEnterIsRefused) {
  const fs::path runtime = TempPath("runtime");
  fs::create_directories(runtime / "velkcan");
  fs::permissions(runtime / "velkcan", fs::perms{0755});
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  testing::internal::CaptureStderr();
  ASSERT_NO_FATAL_FAILURE(StartCard("segment plant shared=plant host=yes\n"));
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReportedLines(errors), std::set<int>{1}) << errors;
  EXPECT_NE(errors.find("(mode 0700); refused"), std::string::npos) << errors;
  EXPECT_FALSE(fs::exists(runtime / "velkcan" / "plant"));
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
