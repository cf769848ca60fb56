// The SocketCAN backend of a driver port, served by a socketpair that carries struct can_frame
// records in place of a kernel CAN socket: frames both ways, filters, error frames, the kernel's
// drop counter, a vanished interface, the bit rate check and the capture. Where the environment
// names a kernel CAN interface (VCAN_KERNEL_IFACE, and VCAN_KERNEL_PEER for the other end of its
// bus when that is another interface), the same tests run through the kernel as root, which
// takes the interface down and up and puts a tbf qdisc on it: scripts/run-kernel-can-tests.sh.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <utility>

#include "FakeSocketCan.h"
#include "SocketCanPort.h"

namespace vcan {
namespace {

using std::chrono::milliseconds;

CANConfig Config(uint8_t selector, uint32_t code = 0, uint32_t mask = 0x7FF) {
  // The acceptance filter takes the identifier from the first 11 bits of bytes 0 and 1.
  CANConfig config{};
  config.acceptance_code[0] = static_cast<uint8_t>(code >> 3);
  config.acceptance_code[1] = static_cast<uint8_t>(code << 5);
  config.acceptance_mask[0] = static_cast<uint8_t>(mask >> 3);
  config.acceptance_mask[1] = static_cast<uint8_t>((mask << 5) | 0x1F);
  config.acceptance_mask[2] = config.acceptance_mask[3] = 0xFF;
  config.baud_selector = selector;
  return config;
}

int KernelPeer(const char* iface) {
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  const sockaddr_can address{
      .can_family = AF_CAN, .can_ifindex = static_cast<int>(if_nametoindex(iface)), .can_addr = {}};
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << iface;
  return fd;
}

void Shell(const std::string& command) {
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The parameter: whether the port is on the kernel interface the environment names.
class SocketCan : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    fake = &interface_;
    if (!Kernel()) {
      port_ = std::make_unique<SocketCanPort>("0/1", "can0", kFakeSystem, 64);
      return;
    }
    interface_.peer = KernelPeer(peer_iface_);
    port_ = std::make_unique<SocketCanPort>("0/1", iface_, KernelSocketCan(), 64);
  }
  void TearDown() override {
    port_.reset();
    if (interface_.peer >= 0) close(interface_.peer);
    if (Kernel()) Shell(std::string("ip link set dev ") + iface_ + " up");
    fake = nullptr;
  }
  bool Kernel() const { return GetParam(); }
  void InterfaceGoes() {
    if (Kernel()) return Shell(std::string("ip link set dev ") + iface_ + " down");
    interface_.present = false;
    close(interface_.peer.exchange(-1));  // the adapter is unplugged
  }
  void InterfaceReturns() {
    if (!Kernel()) return void(interface_.present = true);
    Shell(std::string("ip link set dev ") + iface_ + " up");
    close(interface_.peer.exchange(KernelPeer(peer_iface_)));  // it saw the link go down
  }

  // Waits until the port holds count frames (the reader thread takes them one by one).
  int32_t FramesBecome(int32_t count) {
    // A wait returns at once while any frame is pending, so the limit is kept by the clock.
    const auto limit = std::chrono::steady_clock::now() + milliseconds(2000);
    while (port_->PendingCount() < count && std::chrono::steady_clock::now() < limit) {
      if (port_->PendingCount() == 0)
        port_->WaitForFrames(milliseconds(5));
      else
        std::this_thread::sleep_for(milliseconds(1));
    }
    return port_->PendingCount();
  }
  // Waits until the port's status is want (error frames are taken on the reader thread).
  bool StatusBecomes(int32_t want, int limit_ms = 2000) {
    for (int waited = 0; waited < limit_ms; waited += 5) {
      if (port_->Status() == want) return true;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
  }

  const char* iface_ = std::getenv("VCAN_KERNEL_IFACE");
  const char* peer_iface_ =
      std::getenv("VCAN_KERNEL_PEER") ? std::getenv("VCAN_KERNEL_PEER") : iface_;
  FakeInterface interface_;
  std::unique_ptr<SocketCanPort> port_;
};

// The kernel cases exist only where the environment names an interface.
INSTANTIATE_TEST_SUITE_P(, SocketCan,
                         ::testing::ValuesIn(std::getenv("VCAN_KERNEL_IFACE")
                                                 ? std::vector{false, true}
                                                 : std::vector{false}),
                         [](const auto& info) { return info.param ? "Kernel" : "StandIn"; });

TEST_P(SocketCan, CarriesFramesBothWaysWithTheirStamps) {
  EXPECT_EQ(port_->Status(), CAN_ResetError);
  EXPECT_EQ(port_->Send(CANMsg{}), CAN_TransmitIncomplete);  // not on the bus yet
  ASSERT_EQ(port_->Configure(Config(6)), CAN_NoError);
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  EXPECT_EQ(port_->Status(), CAN_NoError);

  PeerSends(0x40F, {0x80, 0x01, 0x02});
  PeerSends(0x12345 | CAN_EFF_FLAG, {0x01});  // extended frames are not DeviceNet's
  PeerSends(0x123 | CAN_RTR_FLAG, {});
  ASSERT_EQ(FramesBecome(2), 2);
  CANMsg record{};
  ASSERT_EQ(port_->Receive(record), CAN_NoError);
  EXPECT_EQ(record.id, 0x40Fu);
  EXPECT_EQ(record.len, 3);
  EXPECT_EQ(std::vector<uint8_t>(record.data, record.data + 3), (std::vector<uint8_t>{0x80, 1, 2}));
  uint64_t stamp = 0;
  std::memcpy(&stamp, record.stamp, sizeof stamp);
  EXPECT_GT(stamp, 0u);
  ASSERT_EQ(port_->Receive(record), CAN_NoError);
  EXPECT_EQ(record.id, 0x123u);
  EXPECT_EQ(record.rtr, 1);
  EXPECT_EQ(port_->Receive(record), CAN_ReceiveBufferEmpty);

  CANMsg out{};
  out.id = 0x7EF;
  out.len = 2;
  out.data[0] = 0x3F;
  out.data[1] = 0x4C;
  ASSERT_EQ(port_->Send(out), CAN_NoError);
  can_frame raw{};
  ASSERT_EQ(read(interface_.peer, &raw, sizeof raw), static_cast<ssize_t>(sizeof raw));
  EXPECT_EQ(raw.can_id, 0x7EFu);
  EXPECT_EQ(raw.can_dlc, 2);
  EXPECT_EQ(raw.data[1], 0x4C);
  out.id = 0x800;  // beyond 11 bits
  EXPECT_EQ(port_->Send(out), CAN_DriverError);
  EXPECT_EQ(port_->Stats().sent, 1u);

  // Accept 0x400..0x407 only: the low three bits are "don't care".
  ASSERT_EQ(port_->Configure(Config(6, 0x400, 0x007)), CAN_NoError);
  EXPECT_EQ(interface_.filter_mask.load(), Kernel() ? 0 : 0x7F8u | CAN_EFF_FLAG);
  PeerSends(0x408, {1});
  PeerSends(0x405, {2});
  ASSERT_EQ(FramesBecome(1), 1);
  ASSERT_EQ(port_->Receive(record), CAN_NoError);
  EXPECT_EQ(record.id, 0x405u);
}

TEST_P(SocketCan, ErrorFramesGiveTheControllersState) {
  const struct {
    const char* name;
    uint32_t flags;
    uint8_t controller_state;
    int32_t status;
  } cases[] = {
      {"bus-off", CAN_ERR_BUSOFF, 0, CAN_ResetError},
      {"restarted", CAN_ERR_RESTARTED, 0, CAN_NoError},
      {"error passive", CAN_ERR_CRTL, CAN_ERR_CRTL_RX_PASSIVE, CAN_ReceiveError},
      {"error active again", CAN_ERR_CRTL, CAN_ERR_CRTL_ACTIVE, CAN_NoError},
      {"controller overrun", CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW, CAN_DataOverrun},
  };
  if (Kernel() && std::string(peer_iface_) != iface_) GTEST_SKIP() << "error frames need vcan";
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  for (const auto& error : cases) {
    SCOPED_TRACE(error.name);
    PeerSends(CAN_ERR_FLAG | error.flags, {0, error.controller_state, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(StatusBecomes(error.status));
  }
  CANMsg record{};
  EXPECT_EQ(port_->Send(record), CAN_NoError);
  // The overrun is reported once, where the frames were lost, then the frames follow.
  PeerSends(0x10, {});
  ASSERT_EQ(FramesBecome(1), 1);
  EXPECT_EQ(port_->Receive(record), CAN_DataOverrun);
  EXPECT_EQ(port_->Receive(record), CAN_NoError);
  PeerSends(CAN_ERR_FLAG | CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(StatusBecomes(CAN_ResetError));
  EXPECT_EQ(port_->Send(record), CAN_TransmitIncomplete);
}

TEST_P(SocketCan, AVanishedInterfaceIsReportedAndTheReturnedOneUsed) {
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  testing::internal::CaptureStderr();
  InterfaceGoes();
  ASSERT_TRUE(StatusBecomes(CAN_ResetError));
  CANMsg record{};
  EXPECT_EQ(port_->Send(record), CAN_TransmitIncomplete);
  EXPECT_TRUE(port_->IsOnBus());  // still wanted on the bus: it comes back by itself

  std::this_thread::sleep_for(milliseconds(2500));  // the port tries to reopen it meanwhile
  InterfaceReturns();
  ASSERT_TRUE(StatusBecomes(CAN_NoError, 3000));
  PeerSends(0x20, {7});
  EXPECT_EQ(FramesBecome(1), 1);
  EXPECT_EQ(port_->Send(record), CAN_NoError);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.find("is gone"), said.rfind("is gone")) << said;  // once each
  EXPECT_EQ(said.find("can0 is back"), said.rfind("can0 is back")) << said;

  port_->GoOffBus();  // a reset closes the socket
  EXPECT_EQ(port_->Status(), CAN_ResetError);
  InterfaceGoes();  // an interface that is down cannot be opened
  EXPECT_EQ(port_->GoOnBus(), CAN_InitError);
}

TEST_P(SocketCan, TheBaudSelectorIsComparedWithTheInterface) {
  const struct {
    const char* name;
    uint32_t running;
    int set_result;
    int32_t code;
    uint32_t set_to;
    uint32_t bitrate;
  } cases[] = {
      {"unknown rate (vcan)", 0, 0, CAN_NoError, 0, 500'000},
      {"same rate", 500'000, 0, CAN_NoError, 0, 500'000},
      {"changed", 250'000, 0, CAN_NoError, 500'000, 500'000},
      {"may not change", 250'000, -EPERM, CAN_SetBaudRateError, 500'000, 250'000},
  };
  if (Kernel()) GTEST_SKIP() << "the stand-in's rates";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    interface_.running_bitrate = c.running;
    interface_.set_result = c.set_result;
    interface_.bitrate_set = 0;
    EXPECT_EQ(port_->Configure(Config(6)), c.code);
    EXPECT_EQ(interface_.bitrate_set, c.set_to);
    EXPECT_EQ(port_->BitRate(), c.bitrate);
  }
  EXPECT_EQ(port_->Configure(Config(9)), CAN_SetBaudRateError);
}

// Each selector changes a controller's rate in turn; the stand-in's runs at 250 kbit/s.
TEST_P(SocketCan, ARateChangeLeavesThePortUsableAtOnce) {
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  interface_.running_bitrate = 250'000;
  testing::internal::CaptureStderr();
  for (const uint8_t selector : {5, 6}) {
    ASSERT_EQ(port_->Configure(Config(selector)), CAN_NoError);
    CANMsg record{};
    EXPECT_EQ(port_->Send(record), CAN_NoError);
    PeerSends(0x30, {selector});
    EXPECT_EQ(FramesBecome(1), 1);
    port_->ClearFifo();
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_P(SocketCan, FramesTheKernelDroppedAreReportedOnceAsAnOverrun) {
  if (Kernel()) GTEST_SKIP() << "the stand-in's drop counter";
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  PeerSends(0x10, {});
  interface_.drops = 3;
  PeerSends(0x11, {});
  PeerSends(0x12, {});  // the same count: nothing more was lost
  ASSERT_EQ(FramesBecome(3), 3);
  CANMsg record{};
  for (const int32_t code :
       {CAN_DataOverrun, CAN_NoError, CAN_NoError, CAN_NoError, CAN_ReceiveBufferEmpty}) {
    EXPECT_EQ(port_->Receive(record), code);
  }
}

// A received frame is logged before the port's answer to it, each line with its own time.
TEST_P(SocketCan, TheCaptureIsInTimeOrder) {
  const std::string path = testing::TempDir() + "socketcan_capture.log";
  std::remove(path.c_str());
  port_ = std::make_unique<SocketCanPort>("0/1", Kernel() ? iface_ : "can0",
                                          Kernel() ? KernelSocketCan() : kFakeSystem, 64,
                                          Capture::Open(path));
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  CANMsg record{};
  for (int round = 0; round < 20; ++round) {
    PeerSends(0x40F, {1});
    ASSERT_EQ(FramesBecome(1), 1);
    ASSERT_EQ(port_->Receive(record), CAN_NoError);
    record.id = 0x7EF;
    ASSERT_EQ(port_->Send(record), CAN_NoError);
  }
  port_.reset();  // writes what waits
  std::ifstream file(path);
  double time = 0, previous = 0;
  std::string iface, frame;
  for (int line = 0; line < 40; ++line) {
    char open = 0, close = 0;
    ASSERT_TRUE(file >> open >> time >> close >> iface >> frame) << "line " << line;
    EXPECT_EQ(frame, line % 2 == 0 ? "40F#01" : "7EF#01") << "line " << line;
    EXPECT_LE(std::exchange(previous, time), time) << "line " << line;
  }
}

TEST_P(SocketCan, AFullTransmitQueueIsTheCardsQueueFullCode) {
  if (Kernel())
    Shell(std::string("tc qdisc replace dev ") + iface_ +
          " root tbf rate 10kbit burst 1kb limit 1kb");
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  CANMsg record{};
  record.len = 8;
  int32_t code = CAN_NoError;
  for (int sent = 0; sent < 1'000'000 && code == CAN_NoError; ++sent) code = port_->Send(record);
  EXPECT_EQ(code, CAN_TransmitBufferLocked);
  if (Kernel()) Shell(std::string("tc qdisc del dev ") + iface_ + " root");
}

}  // namespace
}  // namespace vcan
