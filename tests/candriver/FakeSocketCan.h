// A SocketCAN interface as a fake system plays it, for the tests of the SocketCAN backend and of
// the bridge: a socketpair carries struct can_frame records in place of a kernel CAN socket.
#pragma once

#include <gtest/gtest.h>
#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

#include "SocketCanSystem.h"

namespace vcan {

// One per test. The port's reader thread reopens the interface, so what it reads is atomic.
struct FakeInterface {
  std::atomic<bool> present{true};
  std::atomic<int> peer{-1};  // the other end of the port's socket
  std::atomic<uint32_t> running_bitrate{0};
  std::atomic<int> set_result{0};
  std::atomic<uint32_t> bitrate_set{0};
  std::atomic<uint32_t> filter_mask{0};
  std::atomic<uint32_t> drops{0};  // the kernel's count of frames dropped on the socket
};
inline FakeInterface* fake = nullptr;

inline const SocketCanSystem kFakeSystem{
    [](const std::string&) {
      if (!fake->present) return -ENODEV;
      int ends[2];
      if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return -errno;
      fake->peer = ends[1];
      return ends[0];
    },
    [](int, uint32_t, uint32_t mask) {
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

// A frame from the other end of the interface.
inline void PeerSends(uint32_t can_id, std::initializer_list<uint8_t> data) {
  can_frame raw{};
  raw.can_id = can_id;
  raw.can_dlc = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), raw.data);
  ASSERT_EQ(write(fake->peer, &raw, sizeof raw), static_cast<ssize_t>(sizeof raw));
}

}  // namespace vcan
