// dnm simulate hosting a shared segment for dnm commands in other processes, and dnm monitor
// decoding its capture; descriptions it refuses end it; without it a command fails.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "SimulatorProcess.h"

namespace {

namespace fs = std::filesystem;

class SharedSimulation : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dnm-simulate-test-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "net.txt")
        << "segment bus shared=" << (dir_ / "bus.sock").string()
        << " capture=" << (dir_ / "bus.log").string() << "\n"
        << "port 0/1 segment=bus\n"
           "slave segment=bus mac=5 product=\"Shared Block\" produced=2 consumed=2 inputs=echo\n";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // dnm with the arguments, after the limit (a command that ends it should it run on): its exit
  // status, and what it said on stdout and stderr.
  int Run(const std::string& args, std::string& said, const char* limit = "timeout 20 ") const {
    const std::string command =
        limit + std::string(DNM_TEST_TOOL) + " " + args + " >" + (dir_ / "said").string() + " 2>&1";
    const int status = std::system(command.c_str());
    said = Read("said");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ / name) << text;
    return (dir_ / name).string();
  }
  std::string Read(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(dir_ / name).rdbuf();
    return text.str();
  }

  // What dnm with the arguments said; the exit status must be 0.
  std::string Dnm(const std::string& args, bool network = true) const {
    std::string said;
    EXPECT_EQ(Run(args + (network ? " --network " + (dir_ / "net.txt").string() : ""), said, ""), 0)
        << args << ": " << said;
    return said;
  }

  fs::path dir_;
};

TEST_F(SharedSimulation, CommandsInOtherProcessesShareOneBus) {
  dnm_test::SimulatorProcess simulator(DNM_TEST_TOOL, (dir_ / "net.txt").string());
  EXPECT_NE(simulator.said().find("slave@5"), std::string::npos) << simulator.said();

  // A monitor attached to the segment sees the scan's first request to the slave.
  const std::string monitor = "timeout 30 " + std::string(DNM_TEST_TOOL) + " monitor " +
                              (dir_ / "bus.sock").string() + " --node 5 --kind explicit --count 1";
  ASSERT_EQ(std::system((monitor + " >" + (dir_ / "live").string() + " &").c_str()), 0);
  EXPECT_NE(Dnm("scan").find("Shared Block"), std::string::npos);
  const std::string live = Read("live");
  EXPECT_NE(live.find("explicit request from 0: Allocate_Master/Slave_Connection_Set"),
            std::string::npos)
      << live;
  EXPECT_EQ(Dnm("set 5 0x64 1 1 \"DE AD BE EF\""), "wrote 4 bytes\n");
  EXPECT_EQ(Dnm("get 5 0x64 1 1"), "DE AD BE EF\n");
  EXPECT_NE(Dnm("io 5 --poll 2 2 --write A1B2 --count 8").find("inputs A1 B2 | poll: established"),
            std::string::npos);

  const std::string log = "--file " + (dir_ / "bus.log").string();
  const std::string explicit_to_5 = Dnm("monitor " + log + " --node 5 --kind explicit", false);
  for (const char* said : {
           "explicit request from 0: request fragment 0 (first), 6 bytes: Set_Attribute_Single "
           "class 0x64 instance 1 attribute 1, 2 bytes",
           "explicit request from 0: Get_Attribute_Single class 0x64 instance 1 attribute 1",
           "explicit response to 0: Get_Attribute_Single response, 4 bytes",
       }) {
    EXPECT_NE(explicit_to_5.find(said), std::string::npos) << said << " in\n" << explicit_to_5;
  }
  EXPECT_EQ(Dnm("monitor " + log + " --kind other", false), "")
      << "every frame of the master and the slave is one the decoder knows";
  const std::string json = Dnm("monitor " + log + " --kind poll --json --count 2", false);
  EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 2) << json;
  EXPECT_NE(json.find(R"("group":2,"message":5,"mac":5,"mac_is":"destination","kind":"poll")"),
            std::string::npos)
      << json;
}

// Each description ends the simulator with exit status 2 and the reason, and whatever is at a
// shared path that is not a socket stays as it was.
TEST_F(SharedSimulation, RefusedLinesEndTheSimulator) {
  const std::string bus = (dir_ / "bus.sock").string();
  const std::string kept = Write("kept.txt", "precious");
  const std::pair<std::string, const char*> cases[] = {
      // (network description, reason)
      {Write("a.txt", "segment bus shared=" + bus + " colour=blue\n"), "unknown option 'colour'"},
      {Write("b.txt", "segment bus shared=" + (dir_ / "none" / "x.sock").string() +
                          "\nslave segment=bus mac=5\n"),
       "x.sock.lock: No such file or directory"},
      {Write("c.txt", "segment bus shared=" + kept + "\n"),
       "is a regular file, not a shared segment's socket"},
      {Write("d.txt", "segment a shared=" + bus + "\nsegment b shared=" + bus + "\n"),
       "is segment a's already"},
  };
  for (const auto& [network, reason] : cases) {
    std::string said;
    EXPECT_EQ(Run("simulate " + network, said), 2) << network << ": " << said;
    EXPECT_NE(said.find(reason), std::string::npos) << network << ": " << said;
    EXPECT_NE(said.find("line the virtual card refused"), std::string::npos) << said;
  }
  EXPECT_EQ(Read("kept.txt"), "precious");
}

// Without a simulator a command does not host the segment itself: two started together both
// fail, neither attaching to the other. A second simulator names the first, and --list shows it.
TEST_F(SharedSimulation, ASegmentHasOneHostAndItIsNamed) {
  const std::string network = (dir_ / "net.txt").string();
  // Each says on stderr, and then its exit status, into a file of its own (f).
  const std::string get = "timeout 20 " + std::string(DNM_TEST_TOOL) + " get 5 1 1 7 --network " +
                          network + " 2>$f; echo $? >>$f";
  const std::string both = "cd " + dir_.string() + "; (f=one; " + get + ") & (f=two; " + get + ")";
  ASSERT_EQ(std::system((both + "; wait").c_str()), 0);
  const std::string no_host = "dnm: no simulator hosts " + (dir_ / "bus.sock").string() +
                              "; start one with: dnm simulate " + network + "\n1\n";
  for (const char* name : {"one", "two"}) {
    EXPECT_NE(Read(name).find(no_host), std::string::npos) << Read(name);
  }

  dnm_test::SimulatorProcess simulator(DNM_TEST_TOOL, network);
  const std::string pid = simulator.said().substr(simulator.said().find(", process ") + 10);
  const std::string first = pid.substr(0, pid.find('\n'));
  std::string said;
  EXPECT_EQ(Run("simulate " + network, said), 2) << said;
  EXPECT_NE(said.find("hosted already, by process " + first), std::string::npos) << said;
  EXPECT_EQ(Run("simulate --list", said), 0);
  // "here" is the simulator's own word: seen from another process its host is named.
  EXPECT_NE(said.find("process " + first + ": " + network + "\n  segment bus (shared=" +
                      (dir_ / "bus.sock").string() + ", hosted by process " + first + "): "),
            std::string::npos)
      << said;
  EXPECT_EQ(Run("simulate --list --json", said), 0);
  EXPECT_NE(
      said.find("{\"network\":\"" + network + "\",\"pid\":" + first +
                ",\"segments\":[{\"name\":\"bus\",\"shared\":\"" + (dir_ / "bus.sock").string() +
                "\",\"host\":\"hosted by process " + first + "\",\"socketcan\":null,\"nodes\":[\"slave@5\"]}]}"),
      std::string::npos)
      << said;
  simulator.End();
  EXPECT_EQ(Run("simulate --list", said), 0);
  EXPECT_EQ(said.find("process " + first), std::string::npos) << "an ended simulator listed";
}

}  // namespace
