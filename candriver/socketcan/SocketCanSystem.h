// What a SocketCAN port asks of the operating system beyond reading and writing its socket, as
// one table of functions: tests replace it to serve a port from a socketpair that carries
// struct can_frame records, on machines without kernel CAN support.
#pragma once

#include <cstdint>
#include <string>

namespace vcan {

struct SocketCanSystem {
  // A raw CAN socket bound to the interface, not receiving its own frames, receiving error
  // frames, with receive time stamps; or -errno.
  int (*open_socket)(const std::string& iface);
  // The kernel receive filter: frames whose identifier matches id under mask, and error frames.
  // 0 or -errno.
  int (*set_filter)(int fd, uint32_t id, uint32_t mask);
  // The interface's bit rate in bit/s; 0 when it cannot be read.
  uint32_t (*get_bitrate)(const std::string& iface);
  // Brings the interface down, sets the bit rate and brings it up again; 0 or -errno (-EPERM
  // when the process may not change the interface).
  int (*set_bitrate)(const std::string& iface, uint32_t bitrate);
};

// The real system: kernel CAN sockets, and the interface's bit timing through netlink.
const SocketCanSystem& KernelSocketCan();

}  // namespace vcan
