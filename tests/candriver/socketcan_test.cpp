// The SocketCAN backend of a driver port, served by a socketpair that carries struct can_frame
// records in place of a kernel CAN socket: frames both ways, filters, error frames, the kernel's
// drop counter, a vanished interface, the bit rate check and the capture.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "SocketCanPort.h"
#include "SocketCanSystem.h"

namespace vcan {
namespace {

using std::chrono::milliseconds;

// The interface as the fake system plays it; one per test. The port's reader thread reopens
// the interface, so what it reads is atomic.
struct FakeInterface {
  std::atomic<bool> present{true};
  std::atomic<int> peer{-1};  // the other end of the port's socket
  std::atomic<uint32_t> running_bitrate{0};
  std::atomic<int> set_result{0};
  std::atomic<uint32_t> bitrate_set{0};
  std::atomic<uint32_t> filter_id{0};
  std::atomic<uint32_t> filter_mask{0};
  std::atomic<uint32_t> drops{0};  // the kernel's count of frames dropped on the socket
};
FakeInterface* fake = nullptr;

const SocketCanSystem kFakeSystem{
    [](const std::string&) {
      if (!fake->present) return -ENODEV;
      int ends[2];
      if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return -errno;
      fake->peer = ends[1];
      return ends[0];
    },
    [](int, uint32_t id, uint32_t mask) {
      fake->filter_id = id;
      fake->filter_mask = mask;
      return 0;
    },
    [](const std::string&) { return fake->running_bitrate.load(); },
    [](const std::string&, uint32_t bitrate) {
      fake->bitrate_set = bitrate;
      // The interface went down and up: a socket bound to it has failed.
      if (const int peer = fake->peer.exchange(-1); peer >= 0) close(peer);
      return fake->set_result.load();
    },
    [](int fd, ReceivedFrame& received) {
      received.drops = fake->drops.load();
      return KernelSocketCan().receive(fd, received);
    },
};

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

class SocketCan : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &interface_;
    port_ = std::make_unique<SocketCanPort>("0/1", "can0", kFakeSystem, 64);
  }
  void TearDown() override {
    port_.reset();
    if (interface_.peer >= 0) close(interface_.peer);
    fake = nullptr;
  }

  void PeerSends(uint32_t can_id, std::initializer_list<uint8_t> data) {
    can_frame raw{};
    raw.can_id = can_id;
    raw.can_dlc = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), raw.data);
    ASSERT_EQ(write(interface_.peer, &raw, sizeof raw), static_cast<ssize_t>(sizeof raw));
  }
  void PeerSendsError(uint32_t flags, uint8_t controller_state = 0) {
    can_frame raw{};
    raw.can_id = CAN_ERR_FLAG | flags;
    raw.can_dlc = CAN_ERR_DLC;
    raw.data[1] = controller_state;
    ASSERT_EQ(write(interface_.peer, &raw, sizeof raw), static_cast<ssize_t>(sizeof raw));
  }
  // Waits until the port holds count frames (the reader thread takes them one by one).
  int32_t FramesBecome(int32_t count) {
    // A wait returns at once while any frame is pending, so the limit is kept by the clock.
    const auto limit = std::chrono::steady_clock::now() + milliseconds(2000);
    while (port_->PendingCount() < count && std::chrono::steady_clock::now() < limit) {
      if (port_->PendingCount() == 0) port_->WaitForFrames(milliseconds(5));
      else std::this_thread::sleep_for(milliseconds(1));
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

  FakeInterface interface_;
  std::unique_ptr<SocketCanPort> port_;
};

TEST_F(SocketCan, CarriesFramesBothWaysWithTheirStamps) {
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
}

TEST_F(SocketCan, FiltersInTheKernelAndInThePort) {
  // Accept 0x400..0x407 only: the low three bits are "don't care".
  ASSERT_EQ(port_->Configure(Config(6, 0x400, 0x007)), CAN_NoError);
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  EXPECT_EQ(interface_.filter_id.load(), 0x400u);
  EXPECT_EQ(interface_.filter_mask.load(), 0x7F8u | CAN_EFF_FLAG);
  PeerSends(0x408, {1});
  PeerSends(0x405, {2});
  ASSERT_EQ(FramesBecome(1), 1);
  CANMsg record{};
  ASSERT_EQ(port_->Receive(record), CAN_NoError);
  EXPECT_EQ(record.id, 0x405u);
  EXPECT_EQ(port_->Stats().filtered, 1u);
}

struct ErrorCase {
  const char* name;
  uint32_t flags;
  uint8_t controller_state;
  int32_t status;
};

TEST_F(SocketCan, ErrorFramesGiveTheControllersState) {
  const ErrorCase cases[] = {
      {"bus-off", CAN_ERR_BUSOFF, 0, CAN_ResetError},
      {"restarted", CAN_ERR_RESTARTED, 0, CAN_NoError},
      {"error passive", CAN_ERR_CRTL, CAN_ERR_CRTL_RX_PASSIVE, CAN_ReceiveError},
      {"error active again", CAN_ERR_CRTL, CAN_ERR_CRTL_ACTIVE, CAN_NoError},
      {"controller overrun", CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW, CAN_DataOverrun},
  };
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  for (const ErrorCase& error : cases) {
    SCOPED_TRACE(error.name);
    PeerSendsError(error.flags, error.controller_state);
    EXPECT_TRUE(StatusBecomes(error.status));
  }
  CANMsg record{};
  EXPECT_EQ(port_->Send(record), CAN_NoError);
  // The overrun is reported once, where the frames were lost, then the frames follow.
  PeerSends(0x10, {});
  ASSERT_EQ(FramesBecome(1), 1);
  EXPECT_EQ(port_->Receive(record), CAN_DataOverrun);
  EXPECT_EQ(port_->Receive(record), CAN_NoError);
  PeerSendsError(CAN_ERR_BUSOFF);
  ASSERT_TRUE(StatusBecomes(CAN_ResetError));
  EXPECT_EQ(port_->Send(record), CAN_TransmitIncomplete);
}

TEST_F(SocketCan, AVanishedInterfaceIsReportedAndTheReturnedOneUsed) {
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  testing::internal::CaptureStderr();
  interface_.present = false;
  close(interface_.peer);  // the adapter is unplugged
  interface_.peer = -1;
  ASSERT_TRUE(StatusBecomes(CAN_ResetError));
  CANMsg record{};
  EXPECT_EQ(port_->Send(record), CAN_TransmitIncomplete);
  EXPECT_TRUE(port_->IsOnBus());  // still wanted on the bus: it comes back by itself

  interface_.present = true;
  ASSERT_TRUE(StatusBecomes(CAN_NoError, 3000));
  PeerSends(0x20, {7});
  EXPECT_EQ(FramesBecome(1), 1);
  EXPECT_EQ(port_->Send(record), CAN_NoError);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.find("is gone"), said.rfind("is gone")) << said;  // once each
  EXPECT_EQ(said.find("can0 is back"), said.rfind("can0 is back")) << said;
  EXPECT_NE(said.find("can0 is back"), std::string::npos) << said;

  port_->GoOffBus();  // a reset closes the socket
  EXPECT_EQ(port_->Status(), CAN_ResetError);
  interface_.present = false;
  EXPECT_EQ(port_->GoOnBus(), CAN_InitError);
}

struct BitRateCase {
  const char* name;
  uint32_t running;
  int set_result;
  int32_t code;
  uint32_t set_to;
  uint32_t bitrate;
};

TEST_F(SocketCan, TheBaudSelectorIsComparedWithTheInterface) {
  const BitRateCase cases[] = {
      {"unknown rate (vcan)", 0, 0, CAN_NoError, 0, 500'000},
      {"same rate", 500'000, 0, CAN_NoError, 0, 500'000},
      {"changed", 250'000, 0, CAN_NoError, 500'000, 500'000},
      {"may not change", 250'000, -EPERM, CAN_SetBaudRateError, 500'000, 250'000},
  };
  for (const BitRateCase& c : cases) {
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

TEST_F(SocketCan, ARateChangeLeavesThePortUsableAtOnce) {
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  interface_.running_bitrate = 250'000;
  testing::internal::CaptureStderr();
  ASSERT_EQ(port_->Configure(Config(6)), CAN_NoError);
  CANMsg record{};
  EXPECT_EQ(port_->Send(record), CAN_NoError);
  PeerSends(0x30, {1});
  EXPECT_EQ(FramesBecome(1), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(SocketCan, FramesTheKernelDroppedAreReportedOnceAsAnOverrun) {
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  PeerSends(0x10, {});
  interface_.drops = 3;
  PeerSends(0x11, {});
  ASSERT_EQ(FramesBecome(2), 2);
  PeerSends(0x12, {});  // the same count: nothing more was lost
  ASSERT_EQ(FramesBecome(3), 3);
  CANMsg record{};
  for (const int32_t code : {CAN_DataOverrun, CAN_NoError, CAN_NoError, CAN_NoError,
                             CAN_ReceiveBufferEmpty}) {
    EXPECT_EQ(port_->Receive(record), code);
  }
}

// A received frame is logged before the port's answer to it, each line with its own time.
TEST_F(SocketCan, TheCaptureIsInTimeOrder) {
  const std::string path = testing::TempDir() + "socketcan_capture.log";
  std::remove(path.c_str());
  port_ = std::make_unique<SocketCanPort>("0/1", "can0", kFakeSystem, 64, Capture::Open(path));
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
  double time = 0;
  double previous = 0;
  std::string iface;
  std::string frame;
  for (int line = 0; line < 40; ++line) {
    char open = 0;
    char close = 0;
    ASSERT_TRUE(file >> open >> time >> close >> iface >> frame) << "line " << line;
    EXPECT_EQ(frame, line % 2 == 0 ? "40F#01" : "7EF#01") << "line " << line;
    EXPECT_LE(previous, time) << "line " << line;
    previous = time;
  }
}

TEST_F(SocketCan, AFullTransmitQueueIsTheCardsQueueFullCode) {
  ASSERT_EQ(port_->GoOnBus(), CAN_NoError);
  CANMsg record{};
  record.len = 8;
  int32_t code = CAN_NoError;
  for (int sent = 0; sent < 1'000'000 && code == CAN_NoError; ++sent) code = port_->Send(record);
  EXPECT_EQ(code, CAN_TransmitBufferLocked);
}

// On a machine with kernel CAN support and a vcan0 interface, the real socket calls.
TEST(KernelSocketCan, OpensVcan0WhereTheKernelHasIt) {
  const int probe = socket(PF_CAN, SOCK_RAW, CAN_RAW);
  if (probe < 0) GTEST_SKIP() << "no kernel CAN support here (socket(PF_CAN): " << strerror(errno) << ")";
  close(probe);
  const int fd = KernelSocketCan().open_socket("vcan0");
  if (fd == -ENODEV) GTEST_SKIP() << "no vcan0 interface (ip link add dev vcan0 type vcan)";
  ASSERT_GE(fd, 0) << strerror(-fd);
  EXPECT_EQ(KernelSocketCan().set_filter(fd, 0x400, 0x7F8 | CAN_EFF_FLAG), 0);
  close(fd);
}

}  // namespace
}  // namespace vcan
