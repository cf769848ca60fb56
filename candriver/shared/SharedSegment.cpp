#include "SharedSegment.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "BitTiming.h"
#include "SharedSocket.h"
#include "ThreadName.h"

namespace vcan {
namespace {

// A carried frame's end as this process's clock: nanoseconds below 2^62 (146 years of uptime),
// so that no time arithmetic on it overflows.
constexpr uint64_t kEndLimitNs = uint64_t{1} << 62;

}  // namespace

SharedUplink::SharedUplink(Segment& segment, std::string path, int fd, SharedAccess access)
    : segment_(segment), path_(std::move(path)), access_(access), fd_(fd), connected_(fd >= 0) {}

void SharedUplink::Start() {
  std::thread([this, fd = fd_] {
    NameThisThread("vcan-link");
    ReadLoop(fd);
  }).detach();
}

bool SharedUplink::Send(uint32_t tag, const Frame& frame, uint32_t baud) {
  wire::Record record;
  record.type = wire::Type::kSend;
  record.tag = tag;
  record.baud = baud;
  record.frame = frame;
  // Called by the segment under its lock, for a driver entry that must not block: a host that
  // does not read (stopped) fills the socket, and the frame then finds the transmit queue full.
  std::lock_guard lock(write_mutex_);
  return fd_ >= 0 && wire::WriteRecord(fd_, record, false);
}

void SharedUplink::Drop(uint32_t tag) {
  wire::Record record;
  record.type = wire::Type::kDrop;
  record.tag = tag;
  std::lock_guard lock(write_mutex_);
  if (fd_ >= 0) wire::WriteRecord(fd_, record, false);
}

// Takes the host's records until it is gone, then attaches again as soon as it is back (or
// first comes, for a segment that had no host).
void SharedUplink::ReadLoop(int fd) {
  for (;;) {
    while (const auto record = fd >= 0 ? wire::ReadRecord(fd) : std::nullopt) Take(*record);
    if (fd >= 0) HostGone();
    fd = Reattach();
    if (fd < 0) return;
  }
}

void SharedUplink::Take(const wire::Record& record) {
  switch (record.type) {
    case wire::Type::kCarried:
      return TakeCarried(record);
    case wire::Type::kLost:
      drops_ += record.tag;
      return;
    case wire::Type::kRefused:
      return TakeRefused(record);
    default:
      return;
  }
}

// A rate the card does not run at or an end beyond any clock is no frame a host carried.
void SharedUplink::TakeCarried(const wire::Record& record) {
  if (!SupportedBaud(record.baud) || record.end_ns >= kEndLimitNs) {
    drops_++;
    return;
  }
  Frame frame = record.frame;
  frame.end = TimePoint(std::chrono::nanoseconds(record.end_ns));
  const bool own = (record.flags & wire::kFlagOwn) != 0;
  segment_.Deliver(frame, record.baud, own ? std::optional(record.tag) : std::nullopt);
}

// A frame the host refused leaves its node's transmit queue; each reason is told once.
void SharedUplink::TakeRefused(const wire::Record& record) {
  segment_.Refused(record.tag);
  const uint8_t why = record.frame.data[0];
  const uint32_t bit = why < 32 ? 1u << why : 1u;
  if ((refusals_told_.fetch_or(bit) & bit) != 0) return;
  std::fprintf(stderr,
               "VELKCAN: segment %s: the host of shared segment %s refused a frame of node %u: "
               "%s\n",
               segment_.name().c_str(), path_.c_str(), record.tag,
               wire::RefusalText(static_cast<wire::Refusal>(why)));
}

void SharedUplink::HostGone() {
  {
    std::lock_guard lock(write_mutex_);
    close(fd_);
    fd_ = -1;
    connected_.store(false);
  }
  segment_.LinkLost();
  std::fprintf(stderr,
               "VELKCAN: segment %s: the host of shared segment %s is gone; its ports are off "
               "the bus until it is back\n",
               segment_.name().c_str(), path_.c_str());
}

// The socket, or -1 when the host refuses this process for good.
int SharedUplink::Reattach() {
  int told = 0;
  for (;;) {
    std::this_thread::sleep_for(kRetryPeriod);
    const int fd = wire::Attach(path_, access_);
    const bool for_good = fd == -EACCES || fd == -EPROTONOSUPPORT;
    const char* refusal = fd < 0 ? wire::RefusalTextOfError(-fd) : nullptr;
    if (refusal != nullptr && fd != told) {
      std::fprintf(stderr, "VELKCAN: segment %s: the host of shared segment %s refused it: %s%s\n",
                   segment_.name().c_str(), path_.c_str(), refusal,
                   for_good ? "; not trying again" : "; trying again");
      told = fd;
    }
    if (for_good) return -1;
    if (fd < 0) continue;
    {
      std::lock_guard lock(write_mutex_);
      fd_ = fd;
      connected_.store(true);
    }
    std::fprintf(stderr, "VELKCAN: segment %s: shared segment %s is back\n",
                 segment_.name().c_str(), path_.c_str());
    return fd;
  }
}

}  // namespace vcan
