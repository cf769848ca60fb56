// dnm run as a service runs it: a process on a network that dnm simulate hosts in another, its
// event lines read as they come, told to reload and to stop by signals.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SimulatorProcess.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;

// Waits for a line leave room for a few seconds of starvation on the shared machine: the
// slowest, a cable pulled for 10 s, takes about 20 s.
constexpr auto kLineWait = std::chrono::seconds(60);

std::string ReadFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

bool HasLibrary(const std::string& maps) {
  return maps.find("libVELKCANDNM") != std::string::npos;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// dnm run as a process of its own; killed when destroyed should it still run.
class RunProcess {
 public:
  // A pipe_size other than 0 makes stdout's pipe that small (in bytes).
  RunProcess(const std::vector<std::string>& args, const fs::path& err, int pipe_size = 0) {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    if (pipe_size != 0) {
      EXPECT_GE(fcntl(out[0], F_SETPIPE_SZ, pipe_size), pipe_size);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv{const_cast<char*>(DNM_TEST_TOOL), const_cast<char*>("run")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, DNM_TEST_TOOL, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
  }
  ~RunProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }
  RunProcess(const RunProcess&) = delete;
  RunProcess& operator=(const RunProcess&) = delete;

  // The first line since the mark that holds every one of texts; "" when none came within
  // kLineWait or the output ended.
  std::string WaitFor(const std::vector<std::string>& texts) {
    const auto deadline = std::chrono::steady_clock::now() + kLineWait;
    for (size_t next = mark_;;) {
      for (size_t end; (end = said_.find('\n', next)) != std::string::npos;) {
        const std::string line = said_.substr(next, end - next);
        next = end + 1;
        if (std::all_of(texts.begin(), texts.end(),
                        [&](const std::string& t) { return line.find(t) != std::string::npos; })) {
          matched_end_ = next;
          return line;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd readable{out_, POLLIN, 0};
      char buffer[4096];
      ssize_t got = 0;
      if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0 ||
          (got = read(out_, buffer, sizeof buffer)) <= 0)
        return "";
      said_.append(buffer, static_cast<size_t>(got));
    }
  }
  // Later waits look only at the lines after the one the last wait found.
  void Mark() { mark_ = matched_end_; }
  void Signal(int number) const { kill(pid_, number); }
  // Waits until the master library is being loaded, the slowest part of the start; false when
  // the process ended first or the load was not seen within kLineWait.
  bool AwaitLibraryLoad() const {
    const auto deadline = std::chrono::steady_clock::now() + kLineWait;
    const std::string maps = "/proc/" + std::to_string(pid_) + "/maps";
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream mapped(maps);
      if (!mapped) return false;
      if (std::ostringstream text; (text << mapped.rdbuf()) && HasLibrary(text.str())) return true;
      usleep(500);
    }
    return false;
  }
  // The exit status once it has ended (-1 when it did not exit within kLineWait: it is killed);
  // stdout is read meanwhile unless told not to.
  int Exit(bool read_out = true) {
    const auto deadline = std::chrono::steady_clock::now() + kLineWait;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      pollfd readable{out_, POLLIN, 0};
      char buffer[4096];
      const ssize_t got =
          poll(&readable, read_out ? 1 : 0, 100) > 0 ? read(out_, buffer, sizeof buffer) : 0;
      if (got > 0) said_.append(buffer, static_cast<size_t>(got));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& said() const { return said_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string said_;
  size_t mark_ = 0;  // where the lines waited for begin
  size_t matched_end_ = 0;
};

class RunCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dnm-run-test-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A shared segment with the slave lines, hosted by a simulator the caller starts.
  std::string Network(const std::string& slaves) const {
    return Write("net.txt", "segment bus shared=" + (dir_ / "bus.sock").string() + " capture=" +
                                (dir_ / "bus.log").string() + "\nport 0/1 segment=bus\n" + slaves);
  }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ / name) << text;
    return (dir_ / name).string();
  }
  // dnm with the arguments (on the network unless it is a monitor's): exit status, and stdout
  // then stderr.
  int Dnm(const std::string& args, std::string& said) const {
    const std::string network =
        args.rfind("monitor", 0) == 0 ? "" : " --network " + (dir_ / "net.txt").string();
    const std::string command = "timeout 60 " + std::string(DNM_TEST_TOOL) + " " + args + network +
                                " >" + (dir_ / "said").string() + " 2>&1";
    const int status = std::system(command.c_str());
    said = ReadFile(dir_ / "said");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::unique_ptr<RunProcess> Run(const std::string& list, std::vector<std::string> more = {},
                                  int pipe_size = 0) {
    more.insert(more.begin(), {list, "--network", (dir_ / "net.txt").string()});
    return std::make_unique<RunProcess>(more, dir_ / "err", pipe_size);
  }
  // The explicit requests of the bus's capture to the node, decoded.
  std::string ExplicitTo(int mac) const {
    std::string said;
    Dnm("monitor --file " + (dir_ / "bus.log").string() + " --node " + std::to_string(mac) +
            " --kind explicit",
        said);
    return said;
  }

  fs::path dir_;
};

const char kAllocate[] = "request from 0: Allocate_Master/Slave_Connection_Set";

TEST_F(RunCommand, ASavedScanRunsUnchangedAndSigtermReleasesEveryConnection) {
  const std::string net = Network(
      "slave segment=bus mac=5 vendor=77 product_code=5 serial=0x1234 produced=2 consumed=2\n"
      "slave segment=bus mac=6 vendor=78 strobe_produced=1 io=strobe\n"
      "slave segment=bus mac=7 vendor=79 produced=9 consumed=0\n");
  dnm_test::SimulatorProcess simulator(DNM_TEST_TOOL, net);
  std::string said;
  ASSERT_EQ(Dnm("scan --save " + (dir_ / "list.txt").string(), said), 0) << said;

  auto run = Run((dir_ / "list.txt").string());
  EXPECT_THAT(run->WaitFor({"Z port 0/0: online at 500 kbit/s as MAC ID 0"}),
              testing::MatchesRegex("20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6]"
                                    "[0-9][.][0-9][0-9][0-9]Z port 0/0: online .*"));
  for (const char* connected :
       {"mac 5: connected: poll in 2 out 2", "mac 6: connected: strobe in 1",
        "mac 7: connected: poll in 9 out 0"}) {
    EXPECT_THAT(run->WaitFor({connected}), Not("")) << connected << " in\n"
                                                    << run->said() << ReadFile(dir_ / "list.txt");
  }
  run->Signal(SIGTERM);
  EXPECT_EQ(run->Exit(), 0) << run->said();
  EXPECT_THAT(run->said(), HasSubstr("port 0/0: offline: every connection released\n"));
  EXPECT_THAT(run->said(), HasSubstr("scanner: stopped\n"));

  // Another master takes every slave at once: none is held by the scanner any more.
  ASSERT_EQ(Dnm("scan --mac 1", said), 0) << said;
  EXPECT_THAT(said, Not(HasSubstr("no explicit connection"))) << said;
  EXPECT_EQ(Count(said, "\n  "), 3u) << said;
}

TEST_F(RunCommand, OnlyTheRightIdentityStartsAndAPulledCableIsLostAndBack) {
  // MAC ID 7 (keyed with the simulator's default vendor ID) falls silent after 10 s (time for
  // the scanner to connect) for 10 s: longer than a poll waits for its answer.
  Network(
      "slave segment=bus mac=5 vendor=77 product_code=5 produced=2 consumed=2\n"
      "slave segment=bus mac=6 vendor=78 product_code=6 strobe_produced=1\n"
      "slave segment=bus mac=7 produced=4 consumed=4 silent_from=10000 back_at=20000\n"
      "slave segment=bus mac=8 error=get\n"
      "slave segment=bus mac=9 produced=4 consumed=2\n"
      "slave segment=bus mac=10 produced=4 consumed=2 silent_from=10000 back_at=20000\n"
      "slave segment=bus mac=11 silent_from=10000 back_at=20000\n"
      "slave segment=bus mac=12 vendor=78 product_code=6 silent_from=10000 back_at=20000\n");
  dnm_test::SimulatorProcess simulator(DNM_TEST_TOOL, (dir_ / "net.txt").string());
  const std::string list = Write("list.txt",
                                 "port 0/0 mac=0 baud=500\n"
                                 "  device 5 vendor=77 product_code=5\n    poll in=2 out=2\n"
                                 "  device 6 vendor=78 product_code=60\n    strobe in=1\n"
                                 "  device 7 vendor=7468\n    poll in=4 out=4\n"
                                 "  device 8 vendor=1\n    poll in=2 out=2\n"
                                 "  device 9\n    poll in=2 out=2\n"
                                 "  device 10\n    poll in=2 out=2\n"
                                 "  device 11\n"
                                 "  device 12 vendor=78 product_code=60\n");
  auto run = Run(list, {"--json"});
  const std::string mismatch = run->WaitFor({R"("event":"identity_mismatch")", R"("mac":6)"});
  EXPECT_THAT(mismatch, HasSubstr("product code 6, 60 expected; not started")) << run->said();
  const std::string unknown = run->WaitFor({R"("event":"identity_mismatch")", R"("mac":8)"});
  EXPECT_THAT(unknown, HasSubstr("identity unknown: vendor not read: DNM_GetAttributeEx gave 1701 "
                                 "DNM_GetAttributeResponseError; not started"));
  EXPECT_THAT(run->WaitFor({R"("event":"connected")", R"("mac":5)"}), Not("")) << run->said();
  const std::string lost = run->WaitFor({R"("event":"lost")", R"("mac":7)"});
  EXPECT_THAT(lost, HasSubstr(R"("cause":5,"text":")")) << run->said();
  EXPECT_THAT(lost, HasSubstr("lost after 2 missed answers")) << run->said();
  // A device with its explicit connection alone is told lost too, while it is.
  const std::string alone = run->WaitFor({R"("event":"lost")", R"("mac":11)"});
  EXPECT_THAT(alone, HasSubstr(R"("connection":"explicit","cause":5,)")) << run->said();
  run->Mark();
  EXPECT_THAT(run->WaitFor({R"("event":"connected")", R"("mac":7)"}), Not("")) << run->said();
  // Back after the loss, a device that still cannot run says why again: its newest event is true.
  EXPECT_THAT(run->WaitFor({R"("event":"size_mismatch")", R"("mac":10)"}), Not("")) << run->said();
  EXPECT_THAT(run->WaitFor({R"("event":"identity_mismatch")", R"("mac":12)"}), Not(""))
      << run->said();
  run->Signal(SIGINT);
  EXPECT_EQ(run->Exit(), 0) << run->said();
  Write("events.json", run->said());
  const int json = std::system(
      ("python3 -m json.tool --json-lines " + (dir_ / "events.json").string() + " >/dev/null 2>&1")
          .c_str());
  EXPECT_TRUE(WIFEXITED(json) && (WEXITSTATUS(json) == 0 || WEXITSTATUS(json) == 127))
      << "one JSON object a line (where python3 is missing, 127, nothing is judged)\n"
      << run->said();
  for (const char* unstarted : {R"("mac":6,"connection":null,"cause":0,"text":"connected)",
                                R"("mac":8,"connection":null,"cause":0,"text":"connected)"})
    EXPECT_THAT(run->said(), Not(HasSubstr(unstarted)));
  EXPECT_EQ(Count(run->said(), R"("mac":8)"), 1u) << "the same reason told again";
  // The library sets the connection up again and again; the reason is told once.
  EXPECT_THAT(run->said(), HasSubstr(R"("event":"size_mismatch","board":0,"port":0,"mac":9,)"
                                     R"("connection":"poll","cause":1,"text":"poll size mismatch: )"
                                     R"(the device produces 4 bytes, 2 configured as input"})"));
  EXPECT_EQ(Count(run->said(), R"("mac":9)"), 1u) << run->said();
  for (const char* twice : {R"("event":"size_mismatch","board":0,"port":0,"mac":10,)",
                            R"("event":"identity_mismatch","board":0,"port":0,"mac":12,)"})
    EXPECT_EQ(Count(run->said(), twice), 2u) << "before the loss and after\n" << run->said();

  const std::string to_6 = ExplicitTo(6);
  EXPECT_THAT(to_6, HasSubstr(std::string(kAllocate) + " class 0x03 instance 1 choice 0x01"));
  EXPECT_THAT(to_6, Not(HasSubstr("choice 0x05"))) << "bit-strobe allocated after a mismatch";
  EXPECT_EQ(Count(ExplicitTo(7), "Get_Attribute_Single class 0x01 instance 1 attribute 1"), 2u)
      << "the vendor ID read at the start and again when the device came back";
}

TEST_F(RunCommand, SighupAppliesOnlyWhatChangedAndARefusedFileLeavesTheListRunning) {
  Network(
      "slave segment=bus mac=5 produced=2 consumed=2 io=cos\n"
      "slave segment=bus mac=6 strobe_produced=1\n");
  dnm_test::SimulatorProcess simulator(DNM_TEST_TOOL, (dir_ / "net.txt").string());
  const std::string text =
      "port 0/0 mac=0 baud=500\n"
      "  device 5\n    cos in=2 out=2 heartbeat=2500\n"
      "  device 6\n    strobe in=1\n";
  const std::string list = Write("list.txt", text);
  // The smallest pipe, so that the events at the end fill it.
  auto run = Run(list, {}, 4096);
  for (const char* connected : {"mac 5: connected", "mac 6: connected"})
    ASSERT_THAT(run->WaitFor({connected}), Not("")) << run->said();
  const size_t allocations_to_6 = Count(ExplicitTo(6), kAllocate);
  ASSERT_GE(allocations_to_6, 1u);

  Write("list.txt", text + "  device 8 colour=blue\n");
  run->Mark();
  run->Signal(SIGHUP);
  EXPECT_THAT(
      run->WaitFor({"scanner: reload refused, the scan list run now stays: " + list + ":6:12: "}),
      Not(""))
      << run->said();

  Write("list.txt",
        "port 0/0 mac=0 baud=500\n"
        "  device 5\n    cos in=2 out=2 heartbeat=1000\n"
        "  device 6\n    strobe in=1\n");
  run->Mark();
  run->Signal(SIGHUP);
  EXPECT_THAT(run->WaitFor({"mac 5: changed: cos in 2 out 2 heartbeat 1000 ms"}), Not(""));
  EXPECT_THAT(run->WaitFor({"scanner: reloaded: 0 added, 0 removed, 1 changed, 1 unchanged"}),
              Not(""));
  EXPECT_THAT(run->WaitFor({"mac 5: connected"}), Not("")) << run->said();
  EXPECT_EQ(Count(ExplicitTo(6), kAllocate), allocations_to_6) << "an unchanged device re-made";

  // A device removed is released at once: another master takes it while the scanner runs on.
  Write("list.txt", "port 0/0 mac=0 baud=500\n  device 5\n    cos in=2 out=2 heartbeat=1000\n");
  run->Mark();
  run->Signal(SIGHUP);
  EXPECT_THAT(run->WaitFor({"scanner: reloaded: 0 added, 1 removed, 0 changed, 1 unchanged"}),
              Not(""));
  std::string said;
  EXPECT_EQ(Dnm("get 6 1 1 1 --mac 1 --as u16", said), 0) << said;

  // A port line changed: the port goes offline and online again with its devices.
  Write("list.txt", "port 0/0 mac=2 baud=500\n  device 5\n    cos in=2 out=2 heartbeat=1000\n");
  run->Mark();
  run->Signal(SIGHUP);
  for (const char* said_now :
       {"port 0/0: offline", "port 0/0: online at 500 kbit/s as MAC ID 2",
        "scanner: reloaded: 1 added, 1 removed, 0 changed, 0 unchanged", "mac 5: connected"}) {
    EXPECT_THAT(run->WaitFor({said_now}), Not("")) << said_now << " in\n" << run->said();
    run->Mark();
  }
  // A stdout nobody reads any more, filled with reload events, neither deafens the scanner to
  // SIGTERM nor keeps it from releasing its connections.
  for (int reload = 0; reload < 300; ++reload) {
    run->Signal(SIGHUP);
    usleep(3000);
  }
  run->Signal(SIGTERM);
  EXPECT_EQ(run->Exit(false), 0) << run->said();
  EXPECT_EQ(Dnm("get 5 1 1 1 --mac 1 --as u16", said), 0) << said;
  // The new heartbeat went to the device: Set_Attribute_Single of the expected packet rate.
  EXPECT_THAT(ReadFile(dir_ / "bus.log"), HasSubstr("10050409E803")) << "1000 ms, little-endian";
}

// A service manager's SIGHUP or SIGTERM may come while the master library still loads.
TEST_F(RunCommand, ASignalWhileStartingIsTakenAsLaterOnes) {
  Network("slave segment=bus mac=5\n");
  dnm_test::SimulatorProcess simulator(DNM_TEST_TOOL, (dir_ / "net.txt").string());
  const std::string list = Write("list.txt", "port 0/0 mac=0 baud=500\n  device 5\n");
  auto reloaded = Run(list);
  ASSERT_TRUE(reloaded->AwaitLibraryLoad()) << ReadFile(dir_ / "err");
  reloaded->Signal(SIGHUP);
  EXPECT_THAT(reloaded->WaitFor({"scanner: reloaded: 0 added, 0 removed, 0 changed, 1 unchanged"}),
              Not(""))
      << reloaded->said() << ReadFile(dir_ / "err");
  reloaded->Signal(SIGTERM);
  EXPECT_EQ(reloaded->Exit(), 0) << reloaded->said();

  // Stopped at once after its start, while the device's set may still be being allocated: its
  // release then can cross the allocation on the bus, so that a slave is freed only by its own
  // watchdog; what is checked here is the clean end.
  auto stopped = Run(list);
  ASSERT_TRUE(stopped->AwaitLibraryLoad()) << ReadFile(dir_ / "err");
  stopped->Signal(SIGTERM);
  EXPECT_EQ(stopped->Exit(), 0) << stopped->said() << ReadFile(dir_ / "err");
  EXPECT_THAT(stopped->said(), HasSubstr("scanner: stopped")) << stopped->said();
}

TEST_F(RunCommand, APortThatCannotGoOnlineOrARefusedFileEndsNonZero) {
  Network("slave segment=bus mac=5\n");
  dnm_test::SimulatorProcess simulator(DNM_TEST_TOOL, (dir_ / "net.txt").string());
  auto run = Run(Write("taken.txt", "port 0/0 mac=5 baud=500\n  device 6\n"));
  EXPECT_EQ(run->Exit(), 1) << run->said();
  EXPECT_THAT(run->said(), HasSubstr("Z port 0/0: cannot go online at 500 kbit/s as MAC ID 5: "
                                     "MAC ID 5 is taken by another node\n"));

  std::string said;
  const std::string refused = Write("refused.txt", "port 0/0 mac=64\n  device 3 speed=1\n");
  EXPECT_EQ(Dnm("run " + refused, said), 2);
  EXPECT_THAT(said, HasSubstr("dnm run: " + refused + ":1:"));
  EXPECT_THAT(said, HasSubstr("dnm run: " + refused + ":2:"));
  EXPECT_EQ(Dnm("run " + refused + " --mac 3", said), 2);
  EXPECT_THAT(said, HasSubstr("option --mac does not apply to dnm run: the scan list names the "
                              "ports"));
}

}  // namespace
