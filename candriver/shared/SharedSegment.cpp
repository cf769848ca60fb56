#include "SharedSegment.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Node.h"
#include "SharedSocket.h"

namespace vcan {
namespace {

// Stands in the host's segment for one node of an attached process: the frames that node sends
// queue here and compete in arbitration. What it hears reaches its process through the tap.
class RemoteNode final : public Node {
 public:
  RemoteNode(std::string name, Segment& segment, const void* link, uint32_t tag)
      : Node(std::move(name), segment, kDefaultBaud), link_(link), tag_(tag) {}

  void OnFrame(const Frame&) override {}
  void Offer(const Frame& frame, uint32_t baud) {
    set_baud(baud);
    Transmit(frame, Clock::now());
  }
  const void* link() const { return link_; }
  uint32_t tag() const { return tag_; }

 private:
  static constexpr uint32_t kDefaultBaud = 500'000;
  const void* const link_;
  const uint32_t tag_;
};

uint64_t Nanoseconds(TimePoint time) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
}

std::string PeerName(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return "attached";
  return "pid" + std::to_string(peer.pid);
}

}  // namespace

struct SharedHost::Link {
  explicit Link(int socket) : fd(socket), name(PeerName(socket)) {}
  ~Link() { close(fd); }
  const int fd;
  const std::string name;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<wire::Record> out;
  size_t others = 0;  // records in out that are other nodes' frames (the bounded ones)
  uint64_t unreported_drops = 0;
  bool closed = false;
  std::map<uint32_t, std::shared_ptr<RemoteNode>> proxies;  // reader thread's alone
};

// ---- Host ----

SharedHost::SharedHost(Segment& segment, int listen_fd, SharedAccess access)
    : segment_(segment), listen_fd_(listen_fd), access_(access) {}

void SharedHost::Start() {
  std::thread([self = shared_from_this()] { self->AcceptLoop(); }).detach();
}

void SharedHost::AcceptLoop() {
  for (;;) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;  // EINTR, or a peer that left before it was taken
    if (!access_.Admits(fd)) {
      close(fd);
      continue;
    }
    auto link = std::make_shared<Link>(fd);
    std::thread([self = shared_from_this(), link] { self->Serve(link); }).detach();
  }
}

// The reader of one attached process: its greeting, then its nodes' frames.
void SharedHost::Serve(const std::shared_ptr<Link>& link) {
  const auto hello = wire::ReadRecord(link->fd);
  if (!hello || !wire::IsHello(*hello)) return;
  // Listed before the greeting goes back: every frame carried after the attached process
  // returned from its handshake reaches it (the writer starts once the greeting is out).
  {
    std::lock_guard lock(mutex_);
    links_.push_back(link);
  }
  if (!wire::WriteRecord(link->fd, wire::Hello())) {
    shutdown(link->fd, SHUT_RDWR);
    Remove(link);
    return;
  }
  std::thread([self = shared_from_this(), link] { self->Feed(link); }).detach();
  while (const auto record = wire::ReadRecord(link->fd)) Take(*link, *record);
  Remove(link);
}

void SharedHost::Take(Link& link, const wire::Record& record) {
  if (record.type != wire::Type::kSend && record.type != wire::Type::kDrop) return;
  auto& proxy = link.proxies[record.tag];
  if (!proxy) {
    proxy = std::make_shared<RemoteNode>(link.name + "." + std::to_string(record.tag), segment_,
                                         &link, record.tag);
    segment_.Attach(proxy);
  }
  if (record.type == wire::Type::kSend) {
    proxy->Offer(record.frame, record.baud);
  } else {
    segment_.DropPending(*proxy);
  }
}

void SharedHost::Remove(const std::shared_ptr<Link>& link) {
  {
    std::lock_guard lock(mutex_);
    std::erase(links_, link);
  }
  for (const auto& [tag, proxy] : link->proxies) segment_.Detach(*proxy);
  {
    std::lock_guard lock(link->mutex);
    link->closed = true;
  }
  link->cv.notify_all();
}

// The writer of one attached process. A write blocks while the process does not read; the bus
// goes on meanwhile and OnCarried drops what does not fit in the queue.
void SharedHost::Feed(const std::shared_ptr<Link>& link) {
  for (;;) {
    wire::Record record;
    {
      std::unique_lock lock(link->mutex);
      link->cv.wait(
          lock, [&] { return link->closed || !link->out.empty() || link->unreported_drops > 0; });
      if (link->closed) return;
      if (link->out.empty()) {
        record.type = wire::Type::kLost;
        record.tag = static_cast<uint32_t>(std::min<uint64_t>(link->unreported_drops, UINT32_MAX));
        link->unreported_drops -= record.tag;
      } else {
        record = link->out.front();
        link->out.pop_front();
        if ((record.flags & wire::kFlagOwn) == 0) link->others--;
      }
    }
    if (!wire::WriteRecord(link->fd, record)) {
      shutdown(link->fd, SHUT_RDWR);  // ends the reader, which removes the link
      return;
    }
  }
}

void SharedHost::OnCarried(const Frame& frame, uint32_t baud, const Node& sender) {
  const auto* remote = dynamic_cast<const RemoteNode*>(&sender);
  wire::Record record;
  record.type = wire::Type::kCarried;
  record.baud = baud;
  record.frame = frame;
  record.end_ns = Nanoseconds(frame.end);
  std::lock_guard lock(mutex_);
  for (const auto& link : links_) {
    wire::Record copy = record;
    const bool own = remote != nullptr && remote->link() == link.get();
    if (own) {
      copy.flags = wire::kFlagOwn;
      copy.tag = remote->tag();
    }
    {
      std::lock_guard link_lock(link->mutex);
      if (!own && link->others >= kLinkQueueCapacity) {
        link->unreported_drops++;
        drops_++;
        continue;
      }
      link->out.push_back(copy);
      if (!own) link->others++;
    }
    link->cv.notify_one();
  }
}

// ---- Attached ----

SharedUplink::SharedUplink(Segment& segment, std::string path, int fd, SharedAccess access)
    : segment_(segment),
      path_(std::move(path)),
      access_(access),
      fd_(fd),
      connected_(fd >= 0) {}

void SharedUplink::Start() {
  std::thread([this, fd = fd_] { ReadLoop(fd); }).detach();
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
    while (const auto record = fd >= 0 ? wire::ReadRecord(fd) : std::nullopt) {
      if (record->type == wire::Type::kLost) drops_ += record->tag;
      if (record->type != wire::Type::kCarried) continue;
      Frame frame = record->frame;
      frame.end = TimePoint(std::chrono::nanoseconds(record->end_ns));
      const bool own = (record->flags & wire::kFlagOwn) != 0;
      segment_.Deliver(frame, record->baud, own ? std::optional(record->tag) : std::nullopt);
    }
    if (fd >= 0) HostGone();
    fd = Reattach();
  }
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

int SharedUplink::Reattach() {
  for (;;) {
    std::this_thread::sleep_for(kRetryPeriod);
    const int fd = wire::Attach(path_, access_);
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
