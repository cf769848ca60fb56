// What a SocketCAN port asks of the operating system beyond writing its socket, as one table of
// functions: tests replace it to serve a port from a socketpair that carries struct can_frame
// records, on machines without kernel CAN support.
#pragma once

#include <linux/can.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vcan {

// One record read from a port's socket, with what the kernel says about it.
struct ReceivedFrame {
  can_frame frame{};
  std::optional<timeval> stamp;   // the kernel's receive time (wall clock)
  std::optional<uint32_t> drops;  // frames the socket has dropped since it was opened
};

struct SocketCanSystem {
  // A raw CAN socket bound to the interface, not receiving its own frames, receiving error
  // frames, with receive time stamps, a drop counter and a receive buffer sized for bursts; or
  // -errno (-ENETDOWN for an interface that is down).
  int (*open_socket)(const std::string& iface);
  // The kernel receive filter: frames whose identifier matches id under mask, and error frames.
  // 0 or -errno.
  int (*set_filter)(int fd, uint32_t id, uint32_t mask);
  // The interface's bit rate in bit/s; 0 when it has none (vcan) or it cannot be read.
  uint32_t (*get_bitrate)(const std::string& iface);
  // Brings the interface down, sets the bit rate and brings it up again; 0 or -errno (-EPERM
  // when the process may not change the interface).
  int (*set_bitrate)(const std::string& iface, uint32_t bitrate);
  // Reads one record without waiting: its length, 0 when the peer is gone, or -errno (-EAGAIN
  // when nothing waits).
  ssize_t (*receive)(int fd, ReceivedFrame& received);
};

// The real system: kernel CAN sockets, and the interface's bit timing through netlink.
const SocketCanSystem& KernelSocketCan();

}  // namespace vcan
