#include "SocketCanPort.h"

#include <linux/can.h>
#include <linux/can/error.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "BitTiming.h"
#include "ThreadName.h"

namespace vcan {
namespace {

enum class ReadResult { kFrame, kEmpty, kGone };

// The kernel filter of an acceptance filter: the identifier bits that must match, standard
// frames only (a mask bit of the acceptance filter means "don't care", of the kernel "compare").
can_filter KernelFilter(const AcceptanceFilter& filter) {
  const uint32_t compare = ~filter.mask & kMaxStandardId;
  return can_filter{filter.code & compare, compare | CAN_EFF_FLAG};
}

can_frame RawFrame(const Frame& frame) {
  can_frame raw{};
  raw.can_id = frame.id | (frame.rtr ? CAN_RTR_FLAG : 0);
  raw.can_dlc = frame.len;
  std::memcpy(raw.data, frame.data.data(), frame.len);
  return raw;
}

// A receive time stamp (wall clock) on the monotonic clock of the driver records.
TimePoint MonotonicOf(const timeval& stamp) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const auto age = std::chrono::seconds(now.tv_sec - stamp.tv_sec) +
                   std::chrono::nanoseconds(now.tv_nsec) - std::chrono::microseconds(stamp.tv_usec);
  return Clock::now() - std::max<Clock::duration>(age, Clock::duration::zero());
}

}  // namespace

SocketCanPort::SocketCanPort(std::string name, std::string iface, const SocketCanSystem& system,
                             size_t rx_capacity, std::unique_ptr<Capture> capture)
    : FifoPort(rx_capacity),
      name_(std::move(name)),
      iface_(std::move(iface)),
      system_(system),
      capture_(capture ? std::make_unique<CaptureWriter>(std::move(capture), iface_) : nullptr),
      wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  reader_ = std::thread([this] {
    NameThisThread("vcan-socket-rx");
    ReaderLoop();
  });
}

SocketCanPort::~SocketCanPort() {
  stopping_.store(true);
  WakeReader();
  reader_.join();
  std::lock_guard lock(mutex_);
  RetireSocket();
  for (int fd : retired_) close(fd);
  close(wake_fd_);
}

// ---- Driver entries ----

void SocketCanPort::GoOffBus() {
  {
    std::lock_guard lock(mutex_);
    on_bus_.store(false);
    gone_ = false;
    RetireSocket();
    fifo_.Clear();
  }
  bus_off_.store(false);
  error_passive_.store(false);
  WakeReader();
}

int32_t SocketCanPort::GoOnBus() {
  if (on_bus_.load()) return CAN_NoError;
  const int fd = OpenSocket();
  if (fd < 0) {
    std::fprintf(stderr, "VELKCAN: port %s: cannot open CAN interface %s: %s\n", name_.c_str(),
                 iface_.c_str(), std::strerror(-fd));
    return CAN_InitError;
  }
  {
    std::lock_guard lock(mutex_);
    InstallSocket(fd);
    gone_ = false;
    on_bus_.store(true);
  }
  WakeReader();
  return CAN_NoError;
}

int32_t SocketCanPort::Configure(const CANConfig& config) {
  const auto baud = BaudFromSelector(config.baud_selector);
  if (!baud) return CAN_SetBaudRateError;
  const AcceptanceFilter filter = AcceptanceFilter::FromConfig(config);
  fifo_.SetFilter(filter);
  {
    std::lock_guard lock(mutex_);
    filter_ = filter;
    const can_filter kernel = KernelFilter(filter);
    if (socket_ >= 0) system_.set_filter(socket_, kernel.can_id, kernel.can_mask);
  }
  const uint32_t running = system_.get_bitrate(iface_);
  if (running == 0 || running == *baud) {
    bitrate_.store(*baud);
    return CAN_NoError;
  }
  if (const int error = ChangeBitRate(*baud); error != 0) {
    std::fprintf(stderr,
                 "VELKCAN: port %s: CAN interface %s runs at %u bit/s, not the %u bit/s asked, "
                 "and cannot be changed (%s); set it with: ip link set %s type can bitrate %u\n",
                 name_.c_str(), iface_.c_str(), running, *baud, std::strerror(-error),
                 iface_.c_str(), *baud);
    bitrate_.store(running);
    return CAN_SetBaudRateError;
  }
  bitrate_.store(*baud);
  return CAN_NoError;
}

int32_t SocketCanPort::Send(const CANMsg& record) {
  auto frame = FrameFromRecord(record);
  if (!frame) return CAN_DriverError;
  if (bus_off_.load()) return CAN_TransmitIncomplete;
  const can_frame raw = RawFrame(*frame);
  std::lock_guard lock(mutex_);
  if (!on_bus_.load() || socket_ < 0) return CAN_TransmitIncomplete;
  if (send(socket_, &raw, sizeof raw, MSG_DONTWAIT | MSG_NOSIGNAL) == sizeof raw) {
    sent_++;
    frame->end = Clock::now();
    Log(*frame);
    return CAN_NoError;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return CAN_TransmitBufferLocked;
  return CAN_TransmitIncomplete;
}

int32_t SocketCanPort::Status() const {
  if (!on_bus_.load() || bus_off_.load()) return CAN_ResetError;
  {
    std::lock_guard lock(mutex_);
    if (socket_ < 0) return CAN_ResetError;
  }
  if (fifo_.overrun_pending()) return CAN_DataOverrun;
  return error_passive_.load() ? CAN_ReceiveError : CAN_NoError;
}

// ---- Sockets ----

int SocketCanPort::OpenSocket() {
  const int fd = system_.open_socket(iface_);
  if (fd < 0) return fd;
  std::lock_guard lock(mutex_);
  const can_filter kernel = KernelFilter(filter_);
  system_.set_filter(fd, kernel.can_id, kernel.can_mask);
  return fd;
}

void SocketCanPort::InstallSocket(int fd) {
  RetireSocket();
  socket_ = fd;
  socket_number_++;
}

void SocketCanPort::RetireSocket() {
  if (socket_ >= 0) retired_.push_back(socket_);
  socket_ = -1;
}

// Taking the interface down to change its rate leaves ENETDOWN pending on a socket bound to it,
// so the port's socket is set aside first and a fresh one opened on the interface that is up
// again: the port is usable at once.
int SocketCanPort::ChangeBitRate(uint32_t bitrate) {
  bool had_socket = false;
  {
    std::lock_guard lock(mutex_);
    had_socket = socket_ >= 0;
    RetireSocket();
  }
  WakeReader();
  const int error = system_.set_bitrate(iface_, bitrate);
  if (!had_socket) return error;
  const int fd = OpenSocket();
  bool lost = false;
  {
    std::lock_guard lock(mutex_);
    if (fd >= 0 && on_bus_.load()) {
      InstallSocket(fd);
    } else if (fd >= 0) {
      retired_.push_back(fd);
    } else {
      lost = on_bus_.load() && !gone_;
      gone_ = gone_ || lost;
    }
  }
  if (lost) SayGone(-fd);
  WakeReader();
  return error;
}

void SocketCanPort::WakeReader() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
}

int SocketCanPort::CurrentSocket() {
  std::lock_guard lock(mutex_);
  for (int fd : retired_) close(fd);
  retired_.clear();
  if (reading_number_ != socket_number_) {
    reading_number_ = socket_number_;
    drops_seen_ = 0;  // each socket counts its drops from zero
  }
  return socket_;
}

// ---- Reader thread ----

// Sleeps in poll() until the socket has frames or the port changes; while the interface is
// gone, wakes once a second to open it again.
void SocketCanPort::ReaderLoop() {
  while (!stopping_.load()) {
    const int fd = CurrentSocket();
    bool reopen_due = false;
    {
      std::lock_guard lock(mutex_);
      reopen_due = gone_ && on_bus_.load();
    }
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
    const int timeout_ms = reopen_due ? static_cast<int>(kReopenPeriod.count() * 1000) : -1;
    const int ready = poll(fds, fd >= 0 ? 2 : 1, timeout_ms);
    if (ready < 0) continue;  // EINTR
    if ((fds[0].revents & POLLIN) != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t taken = read(wake_fd_, &count, sizeof count);
      continue;
    }
    if (ready == 0 && reopen_due) {
      TryReopen();
      continue;
    }
    // A burst is taken in one go; the socket is read until it is empty.
    while (fd >= 0 && !stopping_.load() && ReadOne(fd)) {
    }
  }
}

bool SocketCanPort::ReadOne(int fd) {
  ReceivedFrame received;
  const ssize_t got = system_.receive(fd, received);
  if (got == -EAGAIN || got == -EWOULDBLOCK || got == -EINTR) return false;
  if (got <= 0) {
    InterfaceGone(fd, got == 0 ? ENODEV : static_cast<int>(-got));
    return false;
  }
  CountDrops(received);
  if (got != sizeof received.frame) return true;  // not a classic CAN frame
  const TimePoint stamp = received.stamp ? MonotonicOf(*received.stamp) : Clock::now();
  if ((received.frame.can_id & CAN_ERR_FLAG) != 0) {
    TakeErrorFrame(received.frame);
  } else {
    TakeFrame(received.frame, stamp);
  }
  return true;
}

// The kernel counts the frames it dropped because the socket's queue was full; a new count is
// reported once, as the controller's overrun is.
void SocketCanPort::CountDrops(const ReceivedFrame& received) {
  if (!received.drops || *received.drops == drops_seen_) return;
  drops_seen_ = *received.drops;
  if (on_bus_.load()) fifo_.NoteOverrun();
}

void SocketCanPort::TakeFrame(const can_frame& raw, TimePoint received) {
  if ((raw.can_id & CAN_EFF_FLAG) != 0 || !on_bus_.load()) return;
  Frame frame;
  frame.id = raw.can_id & CAN_SFF_MASK;
  frame.rtr = (raw.can_id & CAN_RTR_FLAG) != 0;
  frame.len = std::min<uint8_t>(raw.can_dlc, kMaxDataLength);
  if (!frame.rtr) std::memcpy(frame.data.data(), raw.data, frame.len);
  frame.end = received;
  Log(frame);  // before the frame can be answered
  fifo_.Put(frame);
}

void SocketCanPort::TakeErrorFrame(const can_frame& raw) {
  if ((raw.can_id & CAN_ERR_BUSOFF) != 0) bus_off_.store(true);
  if ((raw.can_id & CAN_ERR_RESTARTED) != 0) {
    bus_off_.store(false);
    error_passive_.store(false);
  }
  if ((raw.can_id & CAN_ERR_CRTL) == 0) return;
  const uint8_t state = raw.data[1];
  if ((state & (CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW)) != 0 && on_bus_.load()) {
    fifo_.NoteOverrun();
  }
  if ((state & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) != 0) {
    error_passive_.store(true);
  }
  if ((state & CAN_ERR_CRTL_ACTIVE) != 0) error_passive_.store(false);
}

void SocketCanPort::InterfaceGone(int fd, int error) {
  {
    std::lock_guard lock(mutex_);
    if (!on_bus_.load() || gone_ || fd != socket_) return;
    gone_ = true;
    RetireSocket();
  }
  SayGone(error);
}

void SocketCanPort::SayGone(int error) const {
  std::fprintf(stderr,
               "VELKCAN: port %s: CAN interface %s is gone (%s); the port is off the bus until "
               "it is back\n",
               name_.c_str(), iface_.c_str(), std::strerror(error));
}

void SocketCanPort::TryReopen() {
  const int fd = OpenSocket();
  if (fd < 0) return;
  {
    std::lock_guard lock(mutex_);
    if (!gone_ || !on_bus_.load()) {
      retired_.push_back(fd);
      return;
    }
    InstallSocket(fd);
    gone_ = false;
  }
  std::fprintf(stderr, "VELKCAN: port %s: CAN interface %s is back\n", name_.c_str(),
               iface_.c_str());
}

void SocketCanPort::Log(const Frame& frame) {
  if (capture_) capture_->Add(frame);
}

}  // namespace vcan
