#include "SocketCanSystem.h"

#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#ifdef VCAN_HAVE_LIBSOCKETCAN
#include <libsocketcan.h>
#endif

namespace vcan {
namespace {

// Room for about 2000 frames (the kernel doubles the size asked and charges each frame about
// 1 KiB): a second of a busy 250 kbit/s bus while the reader is held up.
constexpr int kReceiveBuffer = 1 << 20;

int Fail(int fd) {
  const int error = errno;
  if (fd >= 0) close(fd);
  return -error;
}

// A privileged process may exceed the system's limit on socket buffers; others get up to it.
void SizeReceiveBuffer(int fd) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  }
}

// The kernel binds a socket to an interface that is down, and leaves ENETDOWN pending on it.
int PendingError(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

int OpenSocket(const std::string& iface) {
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) return Fail(fd);
  const int off = 0;
  const int on = 1;
  const can_err_mask_t errors = CAN_ERR_BUSOFF | CAN_ERR_CRTL | CAN_ERR_RESTARTED;
  if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &off, sizeof off) != 0 ||
      setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
    return Fail(fd);
  }
  SizeReceiveBuffer(fd);
  const unsigned index = if_nametoindex(iface.c_str());
  if (index == 0) return Fail(fd);
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(index);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return Fail(fd);
  if (const int error = PendingError(fd); error != 0) {
    close(fd);
    return -error;
  }
  return fd;
}

int SetFilter(int fd, uint32_t id, uint32_t mask) {
  const can_filter filter{id, mask};
  return setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) == 0 ? 0 : -errno;
}

ssize_t Receive(int fd, ReceivedFrame& received) {
  iovec io{&received.frame, sizeof received.frame};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(uint32_t))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT);
  if (got < 0) return -errno;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SCM_TIMESTAMP) {
      timeval stamp{};
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      received.stamp = stamp;
    } else if (c->cmsg_type == SO_RXQ_OVFL) {
      uint32_t drops = 0;
      std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
      received.drops = drops;
    }
  }
  return got;
}

// ---- The bit rate, read through netlink ----

const rtattr* FindAttribute(const void* data, size_t size, unsigned short type) {
  int left = static_cast<int>(size);
  for (auto* a = static_cast<const rtattr*>(data); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
    if ((a->rta_type & NLA_TYPE_MASK) == type) return a;
  }
  return nullptr;
}

const rtattr* FindNested(const rtattr* outer, unsigned short type) {
  return outer == nullptr ? nullptr : FindAttribute(RTA_DATA(outer), RTA_PAYLOAD(outer), type);
}

// The bit rate in a link description, when the link is a CAN controller ("can") with one.
uint32_t BitrateOfLink(const nlmsghdr& reply) {
  if (reply.nlmsg_type != RTM_NEWLINK) return 0;
  const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(&reply));
  const rtattr* info = FindAttribute(IFLA_RTA(link), IFLA_PAYLOAD(&reply), IFLA_LINKINFO);
  const rtattr* kind = FindNested(info, IFLA_INFO_KIND);
  if (kind == nullptr || std::string_view(static_cast<const char*>(RTA_DATA(kind))) != "can") {
    return 0;
  }
  const rtattr* timing = FindNested(FindNested(info, IFLA_INFO_DATA), IFLA_CAN_BITTIMING);
  if (timing == nullptr || RTA_PAYLOAD(timing) < sizeof(can_bittiming)) return 0;
  can_bittiming bittiming{};
  std::memcpy(&bittiming, RTA_DATA(timing), sizeof bittiming);
  return bittiming.bitrate;
}

uint32_t GetBitrate(const std::string& iface) {
  const unsigned index = if_nametoindex(iface.c_str());
  if (index == 0) return 0;
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return 0;
  struct {
    nlmsghdr header;
    ifinfomsg link;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.link.ifi_index = static_cast<int>(index);
  alignas(nlmsghdr) char reply[16384];
  ssize_t got = -1;
  if (send(fd, &request, sizeof request, 0) == sizeof request)
    got = recv(fd, reply, sizeof reply, 0);
  close(fd);
  const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
  if (got < 0 || !NLMSG_OK(header, static_cast<size_t>(got))) return 0;
  return BitrateOfLink(*header);
}

#ifdef VCAN_HAVE_LIBSOCKETCAN
int SetBitrate(const std::string& iface, uint32_t bitrate) {
  if (can_do_stop(iface.c_str()) != 0) return errno != 0 ? -errno : -EPERM;
  const int set = can_set_bitrate(iface.c_str(), bitrate);
  const int error = errno;
  can_do_start(iface.c_str());
  return set == 0 ? 0 : (error != 0 ? -error : -EPERM);
}
#else
int SetBitrate(const std::string&, uint32_t) {
  return -ENOTSUP;
}
#endif

}  // namespace

const SocketCanSystem& KernelSocketCan() {
  static const SocketCanSystem system{OpenSocket, SetFilter, GetBitrate, SetBitrate, Receive};
  return system;
}

}  // namespace vcan
