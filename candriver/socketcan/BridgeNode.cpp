#include "BridgeNode.h"

#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "BitTiming.h"
#include "Segment.h"
#include "ThreadName.h"

namespace vcan {
namespace {

// The interface's bit rate when the card can run at it, else 500 kbit/s.
uint32_t BaudOf(const SocketCanSystem& system, const std::string& iface) {
  const uint32_t running = system.get_bitrate(iface);
  return BaudFromKbit(running / 1000).value_or(kBaud500k);
}

}  // namespace

BridgeNode::BridgeNode(std::string name, Segment& segment, std::string iface,
                       const SocketCanSystem& system)
    : Node(std::move(name), segment, BaudOf(system, iface)),
      iface_(std::move(iface)),
      system_(system) {}

void BridgeNode::Start() {
  const int fd = system_.open_socket(iface_);
  if (fd < 0) {
    throw std::runtime_error("cannot open CAN interface " + iface_ + ": " + std::strerror(-fd));
  }
  system_.set_filter(fd, 0, CAN_EFF_FLAG);  // every standard frame
  {
    std::lock_guard lock(mutex_);
    fd_ = fd;
  }
  std::thread([self = std::static_pointer_cast<BridgeNode>(shared_from_this()), fd] {
    NameThisThread("vcan-bridge");
    self->ReadLoop(fd);
  }).detach();
}

void BridgeNode::OnFrame(const Frame& frame) {
  can_frame raw{};
  raw.can_id = frame.id | (frame.rtr ? CAN_RTR_FLAG : 0);
  raw.can_dlc = frame.len;
  std::memcpy(raw.data, frame.data.data(), frame.len);
  std::lock_guard lock(mutex_);
  if (fd_ < 0 || send(fd_, &raw, sizeof raw, MSG_DONTWAIT | MSG_NOSIGNAL) != sizeof raw) drops_++;
}

void BridgeNode::ReadLoop(int fd) {
  for (;;) {
    while (ReadOne(fd)) {
    }
    {
      std::lock_guard lock(mutex_);
      fd_ = -1;
    }
    close(fd);
    std::fprintf(stderr, "VELKCAN: segment %s: CAN interface %s is gone; the bridge waits for it\n",
                 segment().name().c_str(), iface_.c_str());
    fd = Reopen();
  }
}

// Frames from the interface wait for room in the bridge's transmit queue, which slows the
// reading to the segment's pace; error frames and extended frames stay on the interface.
bool BridgeNode::ReadOne(int fd) {
  can_frame raw{};
  const ssize_t got = read(fd, &raw, sizeof raw);
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) return false;
  if (got != sizeof raw || (raw.can_id & (CAN_ERR_FLAG | CAN_EFF_FLAG)) != 0) return true;
  Frame frame;
  frame.id = raw.can_id & CAN_SFF_MASK;
  frame.rtr = (raw.can_id & CAN_RTR_FLAG) != 0;
  frame.len = std::min<uint8_t>(raw.can_dlc, kMaxDataLength);
  if (!frame.rtr) std::memcpy(frame.data.data(), raw.data, frame.len);
  Transmit(frame, std::nullopt);
  return true;
}

int BridgeNode::Reopen() {
  for (;;) {
    std::this_thread::sleep_for(kReopenPeriod);
    const int fd = system_.open_socket(iface_);
    if (fd < 0) continue;
    system_.set_filter(fd, 0, CAN_EFF_FLAG);
    {
      std::lock_guard lock(mutex_);
      fd_ = fd;
    }
    std::fprintf(stderr, "VELKCAN: segment %s: CAN interface %s is back\n",
                 segment().name().c_str(), iface_.c_str());
    return fd;
  }
}

}  // namespace vcan
