// The dnm tool, run as a user runs it: a process of its own on a network
// file, its output and exit status read back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

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

// Whether the file holds one JSON value, as Python's parser judges (where python3 is missing,
// the shell's 127, nothing is judged).
testing::AssertionResult Json(const fs::path& file) {
  const int status =
      std::system(("python3 -m json.tool " + file.string() + " >/dev/null 2>&1").c_str());
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

  // Runs dnm with the arguments (shell words) on the test's network.
  Result Dnm(const std::string& args, bool with_network = true) const {
    const std::string command =
        std::string(DNM_TEST_TOOL) + " " + args +
        (with_network ? " --network " + (dir_ / "network.txt").string() : "") + " >" +
        (dir_ / "out").string() + " 2>" + (dir_ / "err").string();
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir_ / "out"),
            ReadFile(dir_ / "err")};
  }

  // The value of the Set_Attribute_Single the master (MAC ID 0) sent to MAC
  // ID 5 in fragments, from the bus's log ("(time) bus 42C#8000..."), in hex.
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

TEST_F(DnmTool, JsonOutputParsesAndScanFindsTheSlavesWithTheirIdentities) {
  const struct {
    const char* args;
    const char* fragment;
  } cases[] = {
      {"scan --json", R"("mac":5,"connected":true,"vendor_id":77)"},
      {"scan --io --json", R"("connections":[{"connection":"poll","produced":2,"consumed":2})"},
      {"get 5 1 1 7 --as string --json", R"("value":"Tool Test Block")"},
      {"status 5:poll=2/2 --json", R"("mac":5,"poll_period_ms":{"asked":100,"achieved":)"},
  };
  for (const auto& c : cases) {
    const Result run = Dnm(c.args);
    EXPECT_EQ(run.status, 0) << c.args << ": " << run.err;
    EXPECT_TRUE(Json(dir_ / "out")) << c.args;
    EXPECT_THAT(run.out, HasSubstr(c.fragment)) << c.args;
  }

  // A scan finds the slaves with their identities.
  const Result scan = Dnm("scan");
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_THAT(scan.out,
              HasSubstr("  5      77     7        5  2.3             4660  Tool Test Block\n"));
  EXPECT_THAT(scan.out, HasSubstr("\n  9  "));
  EXPECT_THAT(scan.out, Not(HasSubstr("\n 40 "))) << "a faulted node takes no part";
  EXPECT_THAT(Dnm("scan --io").out, HasSubstr("Tool Test Block\n     offers poll in 2 out 2, "
                                              "strobe in 2 out 8, cos/cyclic in 2 out 2\n"));
}

TEST_F(DnmTool, BadInputOrARefusedLineExitsNonZeroAndGetSetAndIoCarryTheValues) {
  const struct {
    const char* args;
    bool with_network;
    const char* message;
  } cases[] = {
      {"get 64 1 1 1", true, "MAC ID 64 is out of range"},
      {"frob", true, "unknown command 'frob'"},
      {"get 5 1 1", true, "missing attribute"},
      {"io 5 --poll 2", true, "option --poll needs 2 values"},
      {"set 5 1 1 1 ABC", true, "odd number of hex digits"},
      {"scan --network /nonexistent/network.txt", false, "cannot read network file"},
      {"", false, "usage: dnm COMMAND"},
  };
  for (const auto& c : cases) {
    const Result run = Dnm(c.args, c.with_network);
    EXPECT_EQ(run.status, 2) << c.args;
    EXPECT_THAT(run.err, HasSubstr(c.message)) << c.args;
    EXPECT_THAT(run.err, HasSubstr("usage: dnm")) << c.args;
  }
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

// Each misconfiguration a new user meets, with the network that brings it
// about (beside a port on segment "bus"), told as what it is.
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
       "MAC ID 0: DNM_Online failed: 1204 DNM_OnlineError\nMAC ID 0 is taken\nhint: another "
       "node on the network holds MAC ID 0"},
      {kSlave5, "io 5 --poll 4 2", "the device produces 2 bytes, 4 configured as input ("},
  };
  for (const auto& c : cases) {
    std::ofstream(dir_ / "case.txt") << "boards 1\nsegment bus\nport 0/1 segment=bus\n"
                                     << c.network;
    const Result run =
        Dnm(std::string(c.args) + " --timeout 2 --network " + (dir_ / "case.txt").string(), false);
    EXPECT_EQ(run.status, 1) << c.args;
    EXPECT_THAT(run.err, HasSubstr(c.told)) << c.network << c.args;
  }
}

// An error response is explained in words, and with --json the failure is a JSON object too.
TEST_F(DnmTool, AnErrorResponseIsExplainedAlsoInJsonAndFaultedNodesReaddressed) {
  const Result text = Dnm("get 9 1 1 1");
  EXPECT_EQ(text.status, 1);
  EXPECT_THAT(text.err, HasSubstr("DNM_GetAttributeEx failed: 1701 DNM_GetAttributeResponseError"));
  EXPECT_THAT(text.err, HasSubstr("general status 0x14 (attribute not supported), additional "
                                  "status 0xFF"));
  const Result get = Dnm("get 9 1 1 1 --json");
  EXPECT_EQ(get.status, 1);
  EXPECT_TRUE(Json(dir_ / "out"));
  EXPECT_EQ(get.out.rfind(R"({"error":{"export":"DNM_GetAttributeEx","code":1701,)"
                          R"("name":"DNM_GetAttributeResponseError","text":"MAC ID 9: )",
                          0),
            0u)
      << get.out;
  EXPECT_THAT(get.err, HasSubstr("1701"));
  const Result version = Dnm("--version", false);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "dnm 1.1\nmaster library 1.1\n");

  // Faulted nodes are listed and given a new MAC ID.
  const Result list = Dnm("faulted");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_THAT(list.out, HasSubstr("   901      400040\n"));
  const Result readdress = Dnm("faulted --readdress 901 400040 41");
  EXPECT_EQ(readdress.status, 0) << readdress.err;
  EXPECT_EQ(readdress.out, "vendor 901 serial number 400040 answers at MAC ID 41\n");
  const Result nobody = Dnm("faulted --readdress 901 999 41 --timeout 1");
  EXPECT_EQ(nobody.status, 1);
  EXPECT_THAT(nobody.err,
              HasSubstr("no node with vendor 901 serial number 999 answered at MAC ID 41"));
}

}  // namespace
