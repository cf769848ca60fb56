// External process nodes: the text protocol in both directions and the child's lifetime.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CardTestSupport.h"

namespace vcan_test {
namespace {

// Echoes each frame back with identifier + 1, after two lines that are not frames.
constexpr const char* kEchoPlusOne =
    "process segment=vcan0.1 exec=\"echo not-a-frame; echo 1234#00; "
    "while read -r line; do printf '%03X#%s\\n' $((0x${line%%#*} + 1)) \\\"${line#*#}\\\"; "
    "done\"\n";

TEST(ProcessNode, RoundTripThroughAnExternalProgram) {
  ASSERT_NO_FATAL_FAILURE(StartOnline(kEchoPlusOne));
  const CANMsg with_data = MakeFrame(0x123, {0xDE, 0xAD, 0xBE, 0xEF});
  const CANMsg without_data = MakeFrame(0x7EE, {});
  ASSERT_EQ(CAN_SendMsg(0, 1, &with_data), CAN_NoError);
  ASSERT_EQ(CAN_SendMsg(0, 1, &without_data), CAN_NoError);

  for (const CANMsg& sent : {with_data, without_data}) {
    const auto echoed = ReceiveAtPort(0, 1, 5000);
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->id, sent.id + 1);
    EXPECT_EQ(DataOf(*echoed), DataOf(sent));
  }
  EXPECT_EQ(CAN_WaitRxMsg(0, 1, 200), 0) << "a malformed line became a frame";
}

// The program is started by a child of this test, which then exits: the program must go too.
// It inherits a pipe's write end, so the pipe reports end of file once the program is gone.
TEST(ProcessNode, ProgramEndsWithTheCardsProcess) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  int release[2];
  ASSERT_EQ(pipe(release), 0);
  const std::string network =
      WriteTempFile("network.txt", "process segment=vcan0.1 exec=\"echo $$ >&" +
                                       std::to_string(pipe_fds[1]) + "; exec sleep 60\"\n");
  const pid_t card_process = fork();
  ASSERT_GE(card_process, 0);
  if (card_process == 0) {
    close(pipe_fds[0]);
    close(release[1]);
    setenv("VELKCAN_NETWORK", network.c_str(), 1);
    CAN_TotalBoard();
    char byte;
    (void)!read(release[0], &byte, 1);  // stay until the parent has the program's pid
    _exit(0);
  }
  close(pipe_fds[1]);
  close(release[0]);
  char pid_text[32] = {};
  pollfd readable{pipe_fds[0], POLLIN, 0};
  ASSERT_EQ(poll(&readable, 1, 5000), 1) << "the program did not start";
  ASSERT_GT(read(pipe_fds[0], pid_text, sizeof pid_text - 1), 0);
  EXPECT_GT(atoi(pid_text), 0);
  close(release[1]);
  ASSERT_EQ(waitpid(card_process, nullptr, 0), card_process);
  ASSERT_EQ(poll(&readable, 1, 5000), 1) << "the program outlived the card's process";
  char rest;
  EXPECT_EQ(read(pipe_fds[0], &rest, 1), 0);
  close(pipe_fds[0]);
}

// This process's standard error, led into a pipe while the object lives, so that a test can wait
// for a line that another thread writes.
class StderrPipe {
 public:
  StderrPipe() {
    EXPECT_EQ(pipe(fds_), 0);
    saved_ = dup(STDERR_FILENO);
    dup2(fds_[1], STDERR_FILENO);
  }
  ~StderrPipe() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(fds_[0]);
    close(fds_[1]);
  }
  // What came until `awaited` had come (or timeout_ms passed) and then nothing for quiet_ms.
  std::string ReadUntil(const std::string& awaited, int timeout_ms, int quiet_ms) {
    std::string text;
    pollfd readable{fds_[0], POLLIN, 0};
    for (bool seen = false;;) {
      if (poll(&readable, 1, seen ? quiet_ms : timeout_ms) != 1) return text;
      char buffer[4096];
      const ssize_t got = read(fds_[0], buffer, sizeof buffer);
      if (got <= 0) return text;
      text.append(buffer, static_cast<size_t>(got));
      seen = text.find(awaited) != std::string::npos;
    }
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

// A program that is missing, exits or is killed: reported once, with the line that made it and
// how it ended.
struct EndCase {
  const char* what;
  const char* command;
  const char* ending;
};

class ProcessNodeEnd : public testing::TestWithParam<EndCase> {};

TEST_P(ProcessNodeEnd, IsReportedOnceWithLineAndStatus) {
  StderrPipe errors;
  ASSERT_NO_FATAL_FAILURE(StartCard("# a comment line first\nprocess segment=vcan0.1 exec=\"" +
                                    std::string(GetParam().command) + "\"\n"));
  const std::string report = "network.txt:2: process node process@2 ended " +
                             std::string(GetParam().ending) + "; it sends no more frames";
  const std::string text = errors.ReadUntil(report, 5000, 300);
  const size_t first = text.find(report);
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_EQ(text.find(report, first + 1), std::string::npos) << "reported twice:\n" << text;
}

INSTANTIATE_TEST_SUITE_P(ProcessNode, ProcessNodeEnd,
                         testing::Values(EndCase{"Missing", "/nonexistent/program",
                                                 "with exit status 127"},
                                         EndCase{"Exits", "exit 3", "with exit status 3"},
                                         EndCase{"Killed", "kill -TERM $$", "by signal 15"}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace vcan_test
