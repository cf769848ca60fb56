// A driver port on a segment that a `dnm simulate` process hosts: a host that ends is a bus gone
// until a new one runs, a segment nobody hosts is said, another user neither reaches nor serves.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "CardTestSupport.h"
#include "SharedTestSupport.h"
#include "SimulatorProcess.h"

namespace {

using namespace vcan_test;
using vcan::shared_test::Connect;
namespace wire = vcan::wire;
using Host = dnm_test::SimulatorProcess;

// Whether the condition comes to hold within 5 s.
template <typename Condition>
bool Becomes(Condition holds) {
  for (int waited = 0; waited < 5000; waited += 10) {
    if (holds()) return true;
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
  ASSERT_TRUE(Becomes([] { return CAN_Status(0, 1) == CAN_ResetError; }));
  const CANMsg any = MakeFrame(0x44F, {0});
  EXPECT_EQ(CAN_SendMsg(0, 1, &any), CAN_TransmitIncomplete);

  Host again(DNM_TEST_TOOL, network);
  ASSERT_TRUE(Becomes([] { return CAN_Status(0, 1) == CAN_NoError; }));
  ASSERT_NO_FATAL_FAILURE(SlaveAnswers());
}

// Ports of a segment that no process hosts refuse to go on the bus, until a host comes.
TEST(SharedSegment, NoHostIsSaidAndRefusedUntilOneComes) {
  const std::string socket = TempPath("plant.sock");
  const std::string network =
      WriteTempFile("host.txt", "segment plant shared=" + socket + "\nslave segment=plant mac=9\n");
  testing::internal::CaptureStderr();
  ASSERT_NO_FATAL_FAILURE(
      StartCard("segment plant shared=" + socket + "\nport 0/1 segment=plant\n"));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("segment plant: no simulator hosts " + socket +
                      "; start one with: dnm simulate " + VCAN_NetworkPath()),
            std::string::npos)
      << said;
  char unhosted[256];
  EXPECT_EQ(VCAN_UnhostedSegment(unhosted, sizeof unhosted), static_cast<int32_t>(socket.size()));
  EXPECT_EQ(unhosted, socket);
  EXPECT_FALSE(std::filesystem::exists(socket)) << "this process hosted it";
  ASSERT_EQ(CAN_ActiveBoard(0), CAN_NoError);
  EXPECT_EQ(CAN_Init(0, 1), CAN_InitError);

  Host host(DNM_TEST_TOOL, network);
  ASSERT_TRUE(Becomes([&] { return VCAN_UnhostedSegment(unhosted, sizeof unhosted) == 0; }));
  ASSERT_NO_FATAL_FAILURE(BringOnline(0, 1));
  ASSERT_NO_FATAL_FAILURE(SlaveAnswers());
}

constexpr uid_t kOtherUser = 65534;

// The exit status of work run as another user (in the root group when asked) in a child process.
template <typename Work>
int AsOtherUser(Work work, bool in_root_group = false) {
  const pid_t child = fork();
  if (child == 0) {
    const gid_t root_group = 0;
    const bool became = setgroups(in_root_group ? 1 : 0, &root_group) == 0 &&
                        setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0;
    _exit(became ? work() : 99);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

// The socket is the user's alone; a process of another user that still gets to connect (the
// mode widened by hand) is refused without a greeting; and a host another user runs is refused
// by the attaching process, with the reason, not attached to.
TEST(SharedSegment, AnotherUserNeitherReachesNorServesTheSegment) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::filesystem::path dir = TempPath("shared");
  std::filesystem::create_directories(dir);
  chmod(dir.c_str(), 0777);
  const std::string mine = (dir / "mine.sock").string();
  const std::string theirs = (dir / "theirs.sock").string();
  // The other user's host holds the lock (a file of this user's) and listens.
  const std::string lock = theirs + ".lock";
  close(open(lock.c_str(), O_CREAT | O_RDWR, 0666));
  chmod(lock.c_str(), 0666);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t other_host = fork();
  if (other_host == 0) {
    const int held = open(lock.c_str(), O_RDWR);
    const bool up = setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0 &&
                    flock(held, LOCK_EX) == 0 && vcan::shared_test::Listen(theirs, 4) >= 0;
    (void)!write(ready[1], up ? "1" : "0", 1);
    pause();
    _exit(0);
  }
  char up = 0;
  ASSERT_EQ(read(ready[0], &up, 1), 1);
  ASSERT_EQ(up, '1');

  testing::internal::CaptureStderr();
  const std::string ours = (dir / "ours.sock").string();
  ASSERT_NO_FATAL_FAILURE(StartCard("segment a shared=" + mine + " host=yes\n" +
                                    "segment b shared=" + theirs + "\n" +
                                    "segment c shared=" + ours + " host=yes group=root\n"));
  const std::string said = testing::internal::GetCapturedStderr();
  kill(other_host, SIGKILL);
  waitpid(other_host, nullptr, 0);
  EXPECT_EQ(ReportedLines(said), std::set<int>{2}) << said;
  EXPECT_NE(said.find("the host of " + theirs + " runs as user 65534"), std::string::npos) << said;

  EXPECT_EQ(AsOtherUser([&] { return Connect(mine) < 0 && errno == EACCES ? 0 : 1; }), 0)
      << "the socket let another user connect";
  chmod(mine.c_str(), 0666);
  const auto greeted = [](const std::string& path) {
    return [path] {
      const int fd = Connect(path);
      wire::Bytes hello = wire::Encode(wire::Hello());
      if (fd < 0) return 2;
      send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
      // A refusal is a record too: served means greeted back.
      return read(fd, hello.data(), hello.size()) == sizeof hello && hello[0] == 1 ? 1 : 0;
    };
  };
  EXPECT_EQ(AsOtherUser(greeted(mine)), 0) << "the host served another user's process";
  EXPECT_EQ(AsOtherUser(greeted(ours), true), 1) << "a member of the group was not served";
  EXPECT_NE(AsOtherUser(greeted(ours)), 1) << "the group's socket served a non-member";
}

}  // namespace
