#include "SocketCanSystem.h"

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifdef VCAN_HAVE_LIBSOCKETCAN
#include <libsocketcan.h>
#endif

namespace vcan {
namespace {

int Fail(int fd) {
  const int error = errno;
  if (fd >= 0) close(fd);
  return -error;
}

int OpenSocket(const std::string& iface) {
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) return Fail(fd);
  const int off = 0;
  const int on = 1;
  const can_err_mask_t errors = CAN_ERR_BUSOFF | CAN_ERR_CRTL | CAN_ERR_RESTARTED;
  if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &off, sizeof off) != 0 ||
      setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) != 0) {
    return Fail(fd);
  }
  const unsigned index = if_nametoindex(iface.c_str());
  if (index == 0) return Fail(fd);
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(index);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return Fail(fd);
  return fd;
}

int SetFilter(int fd, uint32_t id, uint32_t mask) {
  const can_filter filter{id, mask};
  return setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) == 0 ? 0 : -errno;
}

#ifdef VCAN_HAVE_LIBSOCKETCAN
uint32_t GetBitrate(const std::string& iface) {
  can_bittiming timing{};
  return can_get_bittiming(iface.c_str(), &timing) == 0 ? timing.bitrate : 0;
}

int SetBitrate(const std::string& iface, uint32_t bitrate) {
  if (can_do_stop(iface.c_str()) != 0) return errno != 0 ? -errno : -EPERM;
  const int set = can_set_bitrate(iface.c_str(), bitrate);
  const int error = errno;
  can_do_start(iface.c_str());
  return set == 0 ? 0 : (error != 0 ? -error : -EPERM);
}
#else
uint32_t GetBitrate(const std::string&) {
  return 0;
}

int SetBitrate(const std::string&, uint32_t) {
  return -ENOTSUP;
}
#endif

}  // namespace

const SocketCanSystem& KernelSocketCan() {
  static const SocketCanSystem system{OpenSocket, SetFilter, GetBitrate, SetBitrate};
  return system;
}

}  // namespace vcan
