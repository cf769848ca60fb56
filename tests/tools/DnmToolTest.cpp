// The dnm tool, run as a user runs it: a process on a network file, its output read back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ScanList.h"
#include "SharedTestSupport.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;

// 200 bytes in hex: high digits in turn from digits, the low digit low.
std::string Hex200(const std::string& digits, char low) {
  std::string hex;
  for (size_t i = 0; i < 200; ++i) hex += std::string{digits[i % digits.size()], low};
  return hex;
}

// The value of attribute 7 of the slave with MAC ID 5.
const std::string kValue200 = Hex200("0123456789ABCDEF", '5');

std::string Network(const std::string& capture) {
  return "boards 1\nsegment bus capture=" + capture + "\nport 0/1 segment=bus\n" +
         "slave segment=bus mac=5 vendor=77 product_code=5 revision=2.3 serial=0x1234 "
         "product=\"Tool Test Block\" produced=2 consumed=2 inputs=echo attr=7:" +
         kValue200 +
         "\nslave segment=bus mac=9 vendor=78 product_code=6 serial=99 product=\"Refusing Node\" "
         "error=get error_status=0x14\n"
         "slave segment=bus mac=40 faulted=1 vendor=901 serial=400040\n";
}

struct Result {
  int status;
  std::string out, err;
};

std::string ReadFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// Whether the file holds one JSON value (or with lines, one on each line), as Python's parser
// judges (where python3 is missing, the shell's 127, nothing is judged).
testing::AssertionResult Json(const fs::path& file, bool lines = false) {
  const std::string check = lines ? "python3 -m json.tool --json-lines " : "python3 -m json.tool ";
  const int status = std::system((check + file.string() + " >/dev/null 2>&1").c_str());
  if (WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 127))
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << ReadFile(file);
}

class DnmTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dnm-tool-test-" + std::to_string(getpid()));
    fs::remove_all(dir_);  // left by an earlier run that got the same process id
    fs::create_directories(dir_);
    std::ofstream(dir_ / "network.txt") << Network((dir_ / "bus.log").string());
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs dnm with the arguments (shell words) on the test's network, run by the prefix.
  Result Dnm(const std::string& args, bool with_network = true,
             const std::string& prefix = "") const {
    const std::string command =
        prefix + DNM_TEST_TOOL + " " + args +
        (with_network ? " --network " + (dir_ / "network.txt").string() : "") + " >" +
        (dir_ / "out").string() + " 2>" + (dir_ / "err").string();
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir_ / "out"),
            ReadFile(dir_ / "err")};
  }

  // The value of the fragmented Set_Attribute_Single to MAC ID 5, in hex, from the bus's log.
  std::string SetValueOnTheBus() const {
    std::map<int, std::string> fragments;  // by count: a resent one counts once
    std::istringstream log(ReadFile(dir_ / "bus.log"));
    for (std::string line; std::getline(log, line);) {
      const size_t frame = line.find(" 42C#80");
      if (frame == std::string::npos) continue;
      const std::string data = line.substr(frame + 5);
      const int protocol = std::stoi(data.substr(2, 2), nullptr, 16);
      const bool first = protocol == 0 && data.substr(4, 2) == "10";
      if (first || protocol >> 6 == 1 || protocol >> 6 == 2)
        fragments[protocol & 0x3F] = data.substr(first ? 12 : 4);
    }
    std::string value;
    for (const auto& fragment : fragments) value += fragment.second;
    return value;
  }

  fs::path dir_;
};

TEST_F(DnmTool, ScanFindsTheSlavesWithTheirIdentities) {
  const Result scan = Dnm("scan");
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_THAT(scan.out,
              HasSubstr("  5      77     7        5  2.3             4660  Tool Test Block\n"));
  EXPECT_THAT(scan.out, HasSubstr("\n  9  "));
  EXPECT_THAT(scan.out, Not(HasSubstr("\n 40 "))) << "a faulted node takes no part";
  // Started with stdout closed, dnm prints into nothing: not into the capture the card opens.
  std::system((std::string(DNM_TEST_TOOL) + " scan --network " +
               (dir_ / "network.txt").string() + " >&- 2>/dev/null")
                  .c_str());
  EXPECT_THAT(ReadFile(dir_ / "bus.log"), Not(HasSubstr("Tool Test Block")));
  EXPECT_THAT(Dnm("scan --io").out, HasSubstr("Tool Test Block\n     offers poll in 2 out 2, "
                                              "strobe in 2 out 8, cos/cyclic in 2 out 2\n"));
}

TEST_F(DnmTool, ScanSavesAListThatReadsBackWithTheOtherConnectionsToUncomment) {
  const fs::path saved = dir_ / "saved.txt";
  const Result scan = Dnm("scan --board 0 --port 0 --mac 2 --baud 500 --save " + saved.string());
  ASSERT_EQ(scan.status, 0) << scan.err;
  const std::string text = ReadFile(saved);
  const dnm::tool::ParsedScanList parsed = dnm::tool::ParseScanList(text, "saved");
  ASSERT_TRUE(parsed.errors.empty()) << parsed.errors[0].Text() << "\n" << text;
  ASSERT_EQ(parsed.list.ports.size(), 1u) << text;
  const dnm::tool::PortEntry& port = parsed.list.ports[0];
  EXPECT_EQ(port.mac, 2);
  ASSERT_EQ(port.devices.size(), 2u) << text;
  dnm::tool::DeviceEntry block;
  block.mac = 5;
  block.identity = {77, 7, 5, 0x1234};
  block.poll = dnm::tool::PollConnection{2, 2};
  EXPECT_TRUE(port.devices[0].SameAs(block)) << text;
  dnm::tool::DeviceEntry refusing;  // answers no Get_Attribute_Single: nothing known to check
  refusing.mac = 9;
  EXPECT_TRUE(port.devices[1].SameAs(refusing)) << text;

  std::string uncommented = text;
  for (size_t at; (at = uncommented.find("    # ")) != std::string::npos;)
    uncommented.erase(at + 4, 2);
  const dnm::tool::ParsedScanList all = dnm::tool::ParseScanList(uncommented, "all");
  ASSERT_TRUE(all.errors.empty()) << all.errors[0].Text() << "\n" << uncommented;
  block.strobe = dnm::tool::StrobeConnection{2};
  block.cos_cyclic = dnm::tool::CosCyclicConnection{false, 2, 2, 2500};
  EXPECT_TRUE(all.list.ports[0].devices[0].SameAs(block)) << uncommented;

  fs::remove(saved);
  fs::create_symlink(dir_ / "network.txt", saved);
  const Result link = Dnm("scan --save " + saved.string());
  EXPECT_EQ(link.status, 1);
  EXPECT_THAT(link.err, HasSubstr("is a symbolic link"));
  EXPECT_THAT(ReadFile(dir_ / "network.txt"), HasSubstr("Tool Test Block"));
}

TEST_F(DnmTool, BadInputOrARefusedLineExitsNonZeroAndGetSetAndIoCarryTheValues) {
  for (const char* command : {"scan", "get", "set", "io", "status", "faulted"}) {
    const Result help = Dnm(std::string(command) + " --help", false);
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("usage: dnm ") + command, 0), 0u) << help.out;
  }

  // The card leaves out lines it refuses and the library runs on; dnm stops, after the card's
  // messages in line order, although they come from reading, checking and applying the lines.
  std::ofstream(dir_ / "case.txt") << "boards 1\nsegment bus\nport 0/1 segment=bus\n"
                                      "slave segment=bus mac=5 product=Virtual IO Block\n"
                                      "slavee segment=bus mac=6\n"
                                      "port 0/9 segment=bus\n";
  const Result run = Dnm("scan --network " + (dir_ / "case.txt").string(), false);
  EXPECT_EQ(run.status, 2);
  const size_t quoted = run.err.find(
      ":4: 'IO' follows the option product; a value with blanks must be quoted: "
      "product=\"Virtual IO Block\"");
  const size_t keyword = run.err.find(":5: unknown keyword 'slavee'");
  const size_t port = run.err.find(":6: bad port '9'");
  EXPECT_TRUE(quoted < keyword && keyword < port && port != std::string::npos) << run.err;
  EXPECT_THAT(run.err, HasSubstr("the network description has 3 lines the virtual card refused"));

  // Each run is a new process with a new network, so what a set writes is read from the bus's
  // log, and a get reads the value the network file holds; live inputs echo the outputs written.
  const Result get = Dnm("get 5 0x64 1 7");
  ASSERT_EQ(get.status, 0) << get.err;
  std::string value = get.out;
  std::erase_if(value, [](char c) { return c == ' ' || c == '\n'; });
  EXPECT_EQ(value, kValue200);
  const std::string written = Hex200("FEDCBA9876543210", 'A');
  const Result set = Dnm("set 5 0x64 1 8 " + written);
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "wrote 200 bytes\n");
  EXPECT_EQ(SetValueOnTheBus(), written);
  const Result io = Dnm("io 5 --poll 2 2 --write A1B2 --count 8");
  ASSERT_EQ(io.status, 0) << io.err;
  EXPECT_THAT(io.out, HasSubstr("inputs A1 B2 | poll: established; no response 0"));
}

// Each misconfiguration a new user meets (beside a port on segment "bus"), told as what it is.
TEST_F(DnmTool, EachMisconfigurationIsToldWithWhatToCheck) {
  const char* const kSlave5 = "slave segment=bus mac=5 produced=2 consumed=2\n";
  const struct {
    std::string network;
    const char* args;
    const char* told;
  } cases[] = {
      {"", "scan", "dnm scan: no device answered\nhint: no frame came back: check the baud rate"},
      {"slave segment=bus mac=5 baud=250\n", "scan", "no device answered\nhint:"},
      {kSlave5, "get 12 1 1 1",
       "no device answers at MAC ID 12 (absent device); devices answer at 5\nhint: check the "
       "device's MAC ID"},
      {"slave segment=bus mac=6 error=allocate error_status=0x0C\n", "get 6 1 1 1",
       "MAC ID 6 answers but refuses: the device refused the allocation of the connection set: "
       "general status 0x0C (object state conflict), additional 0xFF\nhint: another master"},
      {std::string(kSlave5) + "dupmac segment=bus mac=0\n", "scan",
       "MAC ID 0 is taken\nhint: another node on the network holds MAC ID 0 (it answered the "
       "duplicate MAC ID check); give the master a free one with --mac\nDNM_Online failed: 1204 "
       "DNM_OnlineError"},
      // The cause leads, before the connection check's code, which may be a secondary one.
      {kSlave5, "io 5 --poll 4 2",
       "dnm io: MAC ID 5: the poll connection did not stand: the device produces 2 bytes, 4 "
       "configured as input ("},
  };
  for (const auto& c : cases) {
    std::ofstream(dir_ / "case.txt") << "boards 1\nsegment bus\nport 0/1 segment=bus\n"
                                     << c.network;
    const Result run =
        Dnm(std::string(c.args) + " --timeout 2 --network " + (dir_ / "case.txt").string(), false);
    EXPECT_EQ(run.status, 1) << c.args;
    EXPECT_THAT(run.err, HasSubstr(c.told)) << c.network << c.args;
    EXPECT_THAT(run.err, Not(HasSubstr("\r"))) << "a wait is said on a terminal only";
  }

  // On a terminal (script gives the run one) waits of a second or more are said while they last.
  if (std::system("command -v script >/dev/null") != 0) return;
  const std::string absent = std::string(DNM_TEST_TOOL) + " get 12 1 1 1 --timeout 2 --network " +
                             (dir_ / "case.txt").string();
  std::system(("script -qec '" + absent + "' /dev/null >" + (dir_ / "tty").string()).c_str());
  EXPECT_THAT(
      ReadFile(dir_ / "tty"),
      HasSubstr("dnm: waiting up to 2 s for the explicit connection of MAC ID 12...\r\033[K"));
}

// An error response is explained in words; faulted nodes are listed and given a new MAC ID, their
// serial numbers in decimal and hex.
TEST_F(DnmTool, AnErrorResponseIsExplainedAndFaultedNodesReaddressed) {
  const Result text = Dnm("get 9 1 1 1");
  EXPECT_EQ(text.status, 1);
  EXPECT_THAT(text.err, HasSubstr("DNM_GetAttributeEx failed: 1701 DNM_GetAttributeResponseError"));
  EXPECT_THAT(text.err, HasSubstr("general status 0x14 (attribute not supported), additional "
                                  "status 0xFF"));
  const Result version = Dnm("--version", false);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "dnm 1.1\nmaster library 1.1\n");

  const Result list = Dnm("faulted");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_THAT(list.out, HasSubstr("   901  400040 (0x00061AA8)\n"));
  const Result readdress = Dnm("faulted --readdress 901 0x61AA8 41");
  EXPECT_EQ(readdress.status, 0) << readdress.err;
  EXPECT_EQ(readdress.out, "vendor 901 serial number 400040 (0x00061AA8) answers at MAC ID 41\n");
}

// Every command with --json: exactly one JSON document on stdout (as Python's parser judges it),
// with the exit status, whatever went wrong; a usage error tells its text without.
TEST_F(DnmTool, EveryRunWithJsonPrintsOneJsonDocument) {
  const std::string refusing =
      "boards 1\nsegment bus\nport 0/1 segment=bus\n"
      "slave segment=bus mac=6 error=allocate error_status=0x0C\n";
  std::ofstream(dir_ / "refusing.txt") << refusing;
  const std::string on_refusing = " --network " + (dir_ / "refusing.txt").string();
  const std::string empty = " --network " + (dir_ / "empty.txt").string();
  std::ofstream(dir_ / "empty.txt") << "boards 1\nsegment bus\nport 0/1 segment=bus\n";
  const struct {
    std::string args;  // on the test's network unless they name one
    int status;
    std::string fragment;
  } cases[] = {
      {"scan", 0, R"("mac":5,"connected":true,"reason":null,"vendor_id":77)"},
      {"scan --io", 0, R"("connections":[{"connection":"poll","produced":2,"consumed":2})"},
      {"get 5 1 1 7 --as string", 0, R"("value":"Tool Test Block")"},
      {"status 5:poll=2/2", 0, R"("mac":5,"poll_period_ms":{"asked":100,"achieved":)"},
      {"get 9 1 1 1", 1,
       R"({"error":{"export":"DNM_GetAttributeEx","code":1701,"name":"DNM_GetAttributeResponseError","text":"MAC ID 9: )"},
      {"set 9 1 1 1 0100", 1, R"({"error":{"export":"DNM_SetAttribute","code":)"},
      {"get 5 1 1 7 --as u16", 1,
       R"({"error":{"export":null,"code":null,"name":null,"text":"the value (16 bytes: )"},
      {"get 12 1 1 1 --timeout 1", 1, "no device answers at MAC ID 12 (absent device)"},
      {"io 5 --poll 4 2 --timeout 2", 1,
       R"("text":"MAC ID 5: the poll connection did not stand: the device produces 2 bytes)"},
      {"status 5:poll=4/2 --timeout 2", 1,
       R"("error":{"export":null,"code":null,"name":null,"text":"not every connection stands: MAC ID 5 )"},
      {"faulted --readdress 901 999 41 --timeout 1", 1,
       "no node with vendor 901 serial number 999 (0x000003E7) answered at MAC ID 41"},
      {"scan" + empty, 1, R"("export":"DNM_GetAllDeviceMACID","code":0,)"},
      {"scan --save " + (dir_ / "none" / "list.txt").string(), 1,
       "cannot write " + (dir_ / "none" / "list.txt").string() + ": No such file or directory"},
      {"scan --save " + dir_.string(), 1, dir_.string() + " is a directory"},
      {"scan --timeout 1" + on_refusing, 0,
       R"("mac":6,"connected":false,"reason":"MAC ID 6 answers but refuses: the device refused)"},
      {"get 64 1 1 1", 2, R"x("text":"MAC ID 64 is out of range (0..63)","usage":"dnm get MAC )x"},
      {"io 5 --poll 2", 2, "option --poll needs 2 values"},
      {"get 5 1 1", 2, "missing attribute"},
      {"set 5 1 1 1 ABC", 2, "odd number of hex digits"},
      {"status", 2, "missing DEVICE or --file"},
      {"faulted --readdress 901 1 64", 2, "new MAC ID 64 is out of range"},
      {"frob", 2, R"("text":"unknown command 'frob'","usage":"dnm COMMAND)"},
      {"", 2, "no command given"},
      {"scan --network /nonexistent/network.txt", 2, "cannot read network file"},
      {"simulate", 2, "missing network file"},
      {"monitor", 2, "missing shared segment socket or CAN interface"},
      {"monitor --file " + dir_.string(), 2, "is a directory"},
      {"monitor x --mac 3", 2, "option --mac does not apply to dnm monitor"},
      {"run list.txt --http-write", 2, "--http-write needs --http ADDRESS:PORT"},
      {"run list.txt --mqtt-write", 2, "--mqtt-write needs --mqtt URL"},
      {"run list.txt --mqtt-user u --mqtt-password-file p", 2, "--mqtt-user needs --mqtt URL"},
      {"run list.txt --mqtt-min-interval 100", 2, "--mqtt-min-interval needs --mqtt URL"},
      {"run list.txt --modbus :1 --modbus :2", 2, "option --modbus is given twice"},
      {"run list.txt --http :1 --http-write --http :2", 2, "option --http is given twice"},
      {"run list.txt --mqtt mqtt://a --mqtt mqtt://b", 2, "option --mqtt is given twice"},
      {"monitor --kind bogus --file x", 2,
       "unknown kind 'bogus'; the kinds are dupmac, explicit, poll, strobe, cos, offline, other"},
      {"--version", 0, R"({"dnm":"1.1","library":"1.1","library_error":null})"},
      {"scan --help", 0, R"({"usage":"dnm scan [--io] [--save FILE]","help":)"},
      {"--help", 0, R"({"usage":"dnm COMMAND [ARGUMENTS] [OPTIONS]","help":"commands:\n)"},
  };
  for (const auto& c : cases) {
    const bool own_network = c.args.find("--network") != std::string::npos ||
                             c.args.rfind("monitor", 0) == 0 || c.args.rfind("simulate", 0) == 0;
    const bool network = !own_network && !c.args.empty() && c.args[0] != '-';
    const Result run = Dnm(c.args + " --json", network);
    EXPECT_EQ(run.status, c.status) << c.args << ": " << run.err;
    EXPECT_TRUE(Json(dir_ / "out")) << c.args;
    EXPECT_THAT(run.out, HasSubstr(c.fragment)) << c.args;
    if (c.status != 0) {
      EXPECT_THAT(run.out, HasSubstr(R"("exit_status":)" + std::to_string(c.status)))
          << c.args << " (a run that fails says so)";
    }
    if (c.status == 2) {  // without --json the same text, and the usage, on stderr
      const size_t text = run.out.find(R"("text":")") + 8;
      const Result plain = Dnm(c.args, network);
      EXPECT_EQ(plain.status, 2) << c.args;
      EXPECT_THAT(plain.err, HasSubstr(run.out.substr(text, run.out.find('"', text) - text)));
      EXPECT_THAT(plain.err, HasSubstr("usage: dnm")) << c.args;
    }
  }
}

// A stand-in host that greets the one process attaching, sends it the records and keeps it.
class OneRecordHost {
 public:
  OneRecordHost(const fs::path& path, std::vector<vcan::wire::Record> records) {
    fs::remove(path);
    listener_ = vcan::shared_test::Listen(path, 1);
    EXPECT_GE(listener_, 0) << path;
    records.insert(records.begin(), vcan::wire::Hello());
    serving_ = std::thread([this, records = std::move(records)] { Serve(records); });
  }
  ~OneRecordHost() {
    shutdown(listener_, SHUT_RDWR);
    serving_.join();
    close(listener_);
  }

 private:
  void Serve(const std::vector<vcan::wire::Record>& records) const {
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    vcan::wire::Bytes bytes{};
    bool peer_here = read(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    for (const vcan::wire::Record& record : records) {
      bytes = vcan::wire::Encode(record);
      peer_here = peer_here && write(fd, bytes.data(), bytes.size()) > 0;
    }
    while (peer_here && read(fd, bytes.data(), bytes.size()) > 0) {
    }
    close(fd);
  }

  int listener_;
  std::thread serving_;
};

// Frames lost on the way to the monitor are said where they happen, in the output (text and JSON
// lines) and on stderr, and the exit status tells; so are bad capture lines (bounded in length,
// time stamps that are numbers) and frames of formats DeviceNet does not use.
TEST_F(DnmTool, MonitorTellsWhatItCouldNotShow) {
  const vcan::wire::Record lost{.type = vcan::wire::Type::kLost, .tag = 1234, .frame = {}};
  const vcan::wire::Record carried{
      .type = vcan::wire::Type::kCarried,
      .frame = {.id = 0x41C, .len = 1},
      .end_ns = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch() /
                                      std::chrono::nanoseconds(1))};
  const fs::path socket_path = dir_ / "bus.sock";
  for (const char* json : {"", " --json"}) {
    const OneRecordHost host(socket_path, {lost, carried});
    const Result run =
        Dnm("monitor " + socket_path.string() + " --count 1" + json, false, "timeout 20 ");
    const bool lines = *json != '\0';
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_THAT(run.out, HasSubstr(lines ? R"("lost":1234,"text":"lost 1234 frames: the host)"
                                         : "  lost 1234 frames: the host of"));
    EXPECT_THAT(run.out, HasSubstr(lines ? R"("id":1052,"len":1,"data":"00")" : "41C#00"));
    EXPECT_THAT(run.err, HasSubstr("dnm monitor: lost 1234 frames: the host of " +
                                   socket_path.string() + " passed them over"));
    EXPECT_THAT(run.err, HasSubstr("dnm monitor: 1234 frames lost in all"));
    EXPECT_TRUE(!lines || Json(dir_ / "out", true));
  }

  std::ofstream(dir_ / "capture.log")
      << "(1.000000) bus 42C#000E640101\n(inf) bus 42C#000E640101\n\n(2.000000) bus 7FF#R2\n"
      << "(2.500000) bus 1ABCDEF0#00\n(2.600000) bus 123##1001122\n"
      << std::string(100000, '#') << "\n\x01\xff garbage\n(3.000000) bus 41C#00";
  const std::string capture = (dir_ / "capture.log").string();
  const Result text = Dnm("monitor --file " + capture, false);
  EXPECT_EQ(text.status, 1);
  EXPECT_THAT(text.out, HasSubstr("1.000000  42C#000E640101"));
  EXPECT_THAT(text.out, HasSubstr("2.000000  7FF#R2"));
  EXPECT_THAT(text.out, HasSubstr("3.000000  41C#00"));
  EXPECT_THAT(text.err, HasSubstr("dnm monitor: 3 bad lines of " + capture +
                                  " passed over (the first is line 2)"));
  EXPECT_THAT(text.err, HasSubstr("not shown: 1 extended frame and 1 FD frame (DeviceNet uses "
                                  "standard frames)"));
  const Result json = Dnm("monitor --file " + capture + " --json", false);
  EXPECT_EQ(json.status, 1);
  EXPECT_TRUE(Json(dir_ / "out", true));
  EXPECT_THAT(json.out, HasSubstr(R"("id":2047,"len":2,"data":"","rtr":true)"));
}

// A monitor started with SIGINT ignored, as a script's background job is, still ends on SIGINT,
// and on /dev/zero (one endless line) its memory stays small.
TEST_F(DnmTool, MonitorEndsOnSigintItWasStartedIgnoringAndReadsEndlessLinesInLittleMemory) {
  const std::string err = (dir_ / "err").string();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGINT, SIG_IGN);
    freopen(err.c_str(), "w", stderr);
    execl(DNM_TEST_TOOL, DNM_TEST_TOOL, "monitor", "--file", "/dev/zero", nullptr);
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const long rss_kb = std::stol(status.substr(status.find("VmRSS:") + 6));
  EXPECT_LT(rss_kb, 50 * 1024) << "kB resident after a second of /dev/zero";
  kill(pid, SIGINT);
  int wait_status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (waitpid(pid, &wait_status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wait_status, 0);
      FAIL() << "the monitor did not end on SIGINT within 20 s";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(WIFEXITED(wait_status));
  EXPECT_EQ(WEXITSTATUS(wait_status), 1) << "a line too long is a bad line";
  EXPECT_THAT(ReadFile(dir_ / "err"), HasSubstr("1 bad line of /dev/zero passed over"));
}

}  // namespace
