// The scan list file of dnm run: what it reads, every line it refuses and where, and the text it
// writes back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "ScanList.h"

namespace dnm::tool {
namespace {

const char kHead[] = "port 0/0 mac=0 baud=500\n  device 3\n";

struct Refused {
  std::string text;
  size_t line, column;
  const char* message;  // a fragment of it
};

TEST(ScanListFile, RefusesEachFaultAtItsLineAndColumn) {
  const std::string head = kHead;
  const std::string long_line = "# " + std::string(254, 'x');
  // clang-format off
  const Refused cases[] = {
      {"", 1, 1, "no port line"},
      {"# only a comment\n", 1, 1, "no port line"},
      {"bus 0/0 mac=0 baud=500\n", 1, 1, "unknown line 'bus'"},
      {"port 0/0 mac=0\n", 1, 1, "without baud="},
      {"port 0/0 baud=500\n", 1, 1, "without mac="},
      {"port mac=0 baud=500\n", 1, 6, "expected BOARD/PORT"},
      {"port\n", 1, 1, "without BOARD/PORT"},
      {"port 8/0 mac=0 baud=500\n", 1, 6, "board 8 is out of range 0..7"},
      {"port 0/4 mac=0 baud=500\n", 1, 8, "port 4 is out of range 0..3"},
      {"port 0/ mac=0 baud=500\n", 1, 8, "port '' is not a whole decimal number"},
      {"port 0/0 mac=64 baud=500\n", 1, 14, "mac 64 is out of range 0..63"},
      {"port 0/0 mac=-1 baud=500\n", 1, 14, "not a whole decimal number"},
      {"port 0/0 mac=1x baud=500\n", 1, 14, "mac '1x' is not a whole decimal number"},
      {"port 0/0 mac=0x1 baud=500\n", 1, 14, "not a whole decimal number"},
      {"port 0/0 mac=99999999999 baud=500\n", 1, 14, "mac 99999999999 is out of range"},
      {"port 0/0 mac=4294967296 baud=500\n", 1, 14, "out of range"},
      {"port 0/0 mac=0 baud=1000\n", 1, 21, "baud '1000' is not one of 125, 250, 500"},
      {"port 0/0 mac=0 mac=1 baud=500\n", 1, 16, "duplicate key 'mac'"},
      {"port 0/0 mac=0 speed=500\n", 1, 16, "unknown key 'speed' on a port line; it takes mac, baud"},
      {"port 0/0 mac=0 baud=500 extra\n", 1, 25, "expected KEY=VALUE, not 'extra'"},
      {"port 0/0 mac=0 baud=500 =1\n", 1, 25, "expected KEY=VALUE"},
      {head + "port 0/0 mac=1 baud=250\n", 3, 6, "port 0/0 is already on line 1"},
      {"port 0/0 mac=0 baud=500\nport 0/1 mac=0 baud=500\nport 0/2 mac=0 baud=500\n"
       "port 0/3 mac=0 baud=500\nport 1/0 mac=0 baud=500\nport 1/1 mac=0 baud=500\n"
       "port 1/2 mac=0 baud=500\nport 1/3 mac=0 baud=500\nport 2/0 mac=0 baud=500\n",
       9, 1, "more than 8 ports"},
      {"scanner poll_period=100\nscanner strobe_period=500\n" + head, 2, 1,
       "a second scanner line (the first is on line 1)"},
      {head + "scanner poll_period=100\n", 3, 1, "before the first port line"},
      {"scanner poll_period=300\n" + head, 1, 21,
       "poll_period=300 is not a period the library keeps (1000/N ms); nearest: 250 or 500"},
      {"scanner strobe_period=3\n" + head, 1, 23, "nearest: 2 or 4"},
      {"scanner strobe_period=1001\n" + head, 1, 23, "nearest: 1000"},
      {"scanner poll_period=0\n" + head, 1, 21, "out of range 1..65535"},
      {"scanner rate=10\n" + head, 1, 9, "unknown key 'rate'"},
      {"device 3\nport 0/0 mac=0 baud=500\n", 1, 1, "device line without a port line above it"},
      {"port 0/0 mac=0 baud=500\n  poll in=1 out=1\n", 2, 3, "poll line without a device line"},
      {"port 0/0 mac=0 baud=500\n  device\n", 2, 3, "device line without its MAC ID"},
      {"port 0/0 mac=0 baud=500\n  device 64\n", 2, 10, "MAC ID 64 is out of range 0..63"},
      {"port 0/0 mac=5 baud=500\n  device 5\n", 2, 10, "MAC ID 5 is the port's own"},
      {head + "  device 3\n", 3, 10, "MAC ID 3 is already on line 2"},
      {head + "  device 4 route=group3\n", 3, 18, "route 'group3' is not one of group2, ucmm"},
      {head + "  device 4 watchdog=delete\n", 3, 21, "is not one of timeout, auto_delete"},
      {head + "  device 4 vendor=65536\n", 3, 19, "vendor 65536 is out of range 0..65535"},
      {head + "  device 4 serial=4294967296\n", 3, 19, "serial 4294967296 is out of range"},
      {head + "  device 4 product_code=1 product_code=1\n", 3, 27, "duplicate key"},
      {head + "  device 4 name=x\n", 3, 12, "unknown key 'name' on a device line"},
      {head + "    poll in=65 out=0\n", 3, 13, "in 65 is out of range 0..64"},
      {head + "    poll in=1\n", 3, 5, "poll line without out="},
      {head + "    poll in=1 out=1 rate=10\n", 3, 21, "unknown key 'rate' on a poll line"},
      {head + "    poll in=1 out=1\n    poll in=2 out=2\n", 4, 5,
       "a second poll connection for the device on line 2"},
      {head + "    strobe in=9\n", 3, 15, "in 9 is out of range 0..8"},
      {head + "    strobe in=1 out=8\n", 3, 17, "unknown key 'out' on a strobe line; it takes in"},
      {head + "    cos in=1 out=1\n    cyclic in=1 out=1\n", 4, 5, "a second cos or cyclic"},
      {head + "    cos in=1 out=65\n", 3, 18, "out 65 is out of range 0..64"},
      {head + "    cos in=1 out=1 rate=10\n", 3, 20, "unknown key 'rate' on a cos line"},
      {head + "    cyclic in=1 out=1 heartbeat=10\n", 3, 23, "unknown key 'heartbeat'"},
      {head + "    cyclic in=1 out=1 rate=65536\n", 3, 28, "rate 65536 is out of range 1..65535"},
      {head + "    cos in=1 out=1 heartbeat=0\n", 3, 30, "heartbeat 0 is out of range"},
      {head + long_line + "\n", 3, 256, "line longer than 255 characters"},
      {head + "  device 4\r\n", 3, 11, "CRLF line ends"},
      {head + "  device\r4\n", 3, 9, "control character 0x0D"},
      {head + "  device 4\x7f\n", 3, 11, "control character 0x7F"},
      {"port 0/0 mac=\xff\xc3\xa9 baud=500\n", 1, 14, "mac '\\xff\\xc3\\xa9' is not a whole"},
      {head + std::string("  device 4 \0", 12) + "\n", 3, 12, "NUL byte"},
  };
  // clang-format on
  for (const Refused& c : cases) {
    const ParsedScanList parsed = ParseScanList(c.text, "list.txt");
    ASSERT_EQ(parsed.errors.size(), 1u) << c.text;
    const ScanListError& error = parsed.errors[0];
    EXPECT_EQ(error.file, "list.txt");
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_EQ(error.column, c.column) << c.text;
    EXPECT_NE(error.message.find(c.message), std::string::npos) << c.text << error.message;
  }
}

TEST(ScanListFile, ReportsEveryRefusedLineWithoutFollowOnFaultsAndAMarkAsBlanks) {
  const ParsedScanList parsed = ParseScanList(
      "\xEF\xBB\xBFport 0/9 mac=0 baud=500\n"  // refused twice; its devices are still read
      "  device 0\n"
      "    poll in=1 out=1\n"
      "  device 70 vendor=1\n"  // refused: its connection lines are still read
      "    poll in=1 out=1\n"
      "    strobe in=9\n"
      "port 0/1 mac=1 baud=500\n"
      "  device 2 serial=x\n",
      "f");
  ASSERT_EQ(parsed.errors.size(), 5u);
  EXPECT_EQ(parsed.errors[0].Text(),
            "f:1:1: a byte order mark starts the file; save it without one");
  EXPECT_EQ(parsed.errors[1].Text(), "f:1:11: port 9 is out of range 0..3");
  EXPECT_EQ(parsed.errors[2].line, 4u);
  EXPECT_EQ(parsed.errors[3].line, 6u);
  EXPECT_EQ(parsed.errors[4].Text(), "f:8:19: serial 'x' is not a whole decimal number");
}

TEST(ScanListFile, ReadsEveryKeyAndTheDefaultsAndWritesTextThatReadsBackTheSame) {
  const ParsedScanList parsed = ParseScanList(
      "# a line of comment, then blank ones\n"
      "\n"
      "   \t\n"
      "scanner poll_period=10 strobe_period=1000  # exact periods\n"
      "port 1/2 mac=62 baud=125\n"
      "\tdevice 63 route=ucmm watchdog=auto_reset vendor=65535 device_type=0 product_code=7 "
      "serial=4294967295\n"
      "    poll in=64 out=0\n"
      "    strobe in=8\n"
      "    cyclic in=0 out=64 rate=65535\n"
      "port 0/0 mac=0 baud=250\n"
      "device 3\n"
      "cos in=2 out=1\n"
      "port 7/3 mac=0000000000000000000000000000000000000005 baud=500",  // leading zeros taken
      "f");
  ASSERT_TRUE(parsed.errors.empty()) << parsed.errors[0].Text();
  const ScanList& list = parsed.list;
  EXPECT_EQ(list.poll_period_ms, 10);
  EXPECT_EQ(list.strobe_period_ms, 1000);
  ASSERT_EQ(list.ports.size(), 3u);
  const PortEntry& first = list.ports[0];
  EXPECT_EQ(first.board, 1);
  EXPECT_EQ(first.port, 2);
  EXPECT_EQ(first.mac, 62);
  EXPECT_EQ(first.baud_code, 2);
  EXPECT_EQ(first.line, 5u);
  ASSERT_EQ(first.devices.size(), 1u);
  DeviceEntry expected;
  expected.mac = 63;
  expected.route = Route::kUcmm;
  expected.watchdog = WatchdogAction::kAutoReset;
  expected.identity = {65535, 0, 7, 4294967295u};
  expected.poll = PollConnection{64, 0};
  expected.strobe = StrobeConnection{8};
  expected.cos_cyclic = CosCyclicConnection{true, 0, 64, 65535};
  EXPECT_TRUE(first.devices[0].SameAs(expected));
  EXPECT_EQ(first.devices[0].line, 6u);
  const DeviceEntry& plain = list.ports[1].devices.at(0);
  EXPECT_EQ(plain.route, Route::kGroup2);
  EXPECT_EQ(plain.watchdog, WatchdogAction::kDeferredDelete);
  EXPECT_TRUE(plain.identity.Empty());
  EXPECT_EQ(plain.cos_cyclic, (CosCyclicConnection{false, 2, 1, 2500}));
  EXPECT_EQ(list.ports[1].baud_code, 1);
  EXPECT_EQ(list.ports[2].board, 7);
  EXPECT_EQ(list.ports[2].mac, 5);
  EXPECT_TRUE(list.ports[2].devices.empty());

  const std::string text = FormatScanList(list);
  const ParsedScanList again = ParseScanList(text, "again");
  ASSERT_TRUE(again.errors.empty()) << again.errors[0].Text() << "\n" << text;
  EXPECT_EQ(FormatScanList(again.list), text);
  EXPECT_EQ(std::tie(again.list.poll_period_ms, again.list.strobe_period_ms),
            std::tie(list.poll_period_ms, list.strobe_period_ms));
  ASSERT_EQ(again.list.ports.size(), list.ports.size());
  for (size_t p = 0; p < list.ports.size(); ++p) {
    const PortEntry &want = list.ports[p], &got = again.list.ports[p];
    EXPECT_EQ(std::tie(got.board, got.port, got.mac, got.baud_code),
              std::tie(want.board, want.port, want.mac, want.baud_code));
    ASSERT_EQ(got.devices.size(), want.devices.size());
    for (size_t d = 0; d < want.devices.size(); ++d)
      EXPECT_TRUE(got.devices[d].SameAs(want.devices[d])) << text;
  }
}

TEST(ScanListFile, ReadsAFileAndTheExampleAndRefusesOneItCannotTakeWhole) {
  const std::string path = ::testing::TempDir() + "scan_list_test.txt";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("port 0/0 mac=0 baud=500\n", file);
  std::fclose(file);
  const ParsedScanList small = ReadScanList(path);
  EXPECT_TRUE(small.errors.empty());
  EXPECT_EQ(small.list.ports.size(), 1u);
  file = std::fopen(path.c_str(), "ab");
  const std::string comments(1000, '#');
  for (int i = 0; i < 1100; ++i) std::fprintf(file, "%s\n", comments.c_str());
  std::fclose(file);
  const ParsedScanList example = ReadScanList(DNM_EXAMPLE_SCAN_LIST);
  ASSERT_TRUE(example.errors.empty()) << example.errors[0].Text();
  ASSERT_EQ(example.list.ports.at(0).devices.size(), 4u);
  EXPECT_EQ(example.list.ports[0].devices[1].strobe, StrobeConnection{2});
  EXPECT_EQ(example.list.ports[0].devices[2].cos_cyclic, (CosCyclicConnection{false, 2, 2, 2500}));
  // A FIFO nobody writes to is refused at once, not waited on.
  const std::string fifo = path + ".fifo";
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> unread[] = {
      {path, "larger than 1048576 bytes: not a scan list"},
      {path + ".missing", "cannot be read: No such file or directory"},
      {::testing::TempDir(), "is a directory"},
      {fifo, "is not a regular file"}};
  for (const auto& [name, why] : unread) {
    const ParsedScanList refused = ReadScanList(name);
    ASSERT_EQ(refused.errors.size(), 1u);
    EXPECT_EQ(refused.errors[0].Text(), name + ": " + why) << "no line 0 of a whole file";
    EXPECT_TRUE(refused.list.ports.empty());
  }
  std::remove(path.c_str());
  std::remove(fifo.c_str());
}

}  // namespace
}  // namespace dnm::tool
