// The host of a shared segment: one event thread serves every connection (see SharedSegment.h).
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <stdexcept>
#include <thread>

#include "BitTiming.h"
#include "Node.h"
#include "SharedSegment.h"
#include "SharedSocket.h"
#include "ThreadName.h"

namespace vcan {
namespace {

// epoll keys; connections count on from kFirstLinkId and never reuse one.
constexpr uint64_t kListenKey = 0;
constexpr uint64_t kWakeKey = 1;
constexpr uint64_t kFirstLinkId = 2;
constexpr size_t kReadChunk = 64 * wire::kRecordSize;  // what one turn reads of one connection
constexpr size_t kWriteChunk = 64 * wire::kRecordSize;
constexpr int kAcceptsPerTurn = 64;

uint64_t Nanoseconds(TimePoint time) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
}

std::string PeerName(int fd) {
  const auto peer = SharedAccess::Peer(fd);
  return peer ? "pid" + std::to_string(peer->pid) : "attached";
}

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

[[noreturn]] void FailToServe() {
  throw std::runtime_error(std::string("cannot serve a shared segment: ") + std::strerror(errno));
}

}  // namespace

// Stands in the host's segment for one node of an attached process: the frames that node sends
// queue here and compete in arbitration. What it hears reaches its process through the tap.
class SharedHost::Proxy final : public Node {
 public:
  Proxy(std::string name, Segment& segment, uint64_t link, uint32_t tag)
      : Node(std::move(name), segment, kBaud500k), link_(link), tag_(tag) {}

  void OnFrame(const Frame&) override {}
  SubmitResult Offer(const Frame& frame, uint32_t baud) {
    set_baud(baud);
    return Transmit(frame, Clock::now());
  }
  uint64_t link() const { return link_; }
  uint32_t tag() const { return tag_; }

  // Frames offered and not yet carried or dropped, under the host's mutex_. One on the bus
  // while its node drops the rest is carried after all, so this may come out low, never high.
  mutable size_t queued = 0;

 private:
  const uint64_t link_;
  const uint32_t tag_;
};

struct SharedHost::Link {
  Link(uint64_t key, int socket)
      : id(key),
        fd(socket),
        name(PeerName(socket)),
        greeting_deadline(Clock::now() + kGreetingTimeout) {}
  ~Link() { close(fd); }
  const uint64_t id;
  const int fd;
  const std::string name;
  const TimePoint greeting_deadline;

  // The event thread's alone.
  bool greeted = false;
  bool watching_writes = false;
  std::array<uint8_t, kReadChunk> in{};
  size_t in_size = 0;
  std::array<uint8_t, kWriteChunk> writing{};  // records taken from out, being written
  size_t writing_size = 0;
  size_t written = 0;
  std::map<uint32_t, std::shared_ptr<Proxy>> proxies;

  // Under the host's mutex_.
  std::deque<wire::Bytes> out;
  size_t others = 0;  // records in out that are not its own frames (the bounded ones)
  size_t own = 0;
  uint64_t unreported_drops = 0;
};

SharedHost::SharedHost(Segment& segment, int listen_fd, SharedAccess access)
    : segment_(segment), listen_fd_(listen_fd), access_(access), next_id_(kFirstLinkId) {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) FailToServe();
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.u64 = kWakeKey;
  if (wake_fd_ < 0 || epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake) != 0) FailToServe();
  if (listen_fd_ >= 0) {
    SetNonBlocking(listen_fd_);
    ResumeAccepting();
  }
}

void SharedHost::Start() {
  std::thread([self = shared_from_this()] {
    NameThisThread("vcan-host");
    self->Run();
  }).detach();
}

void SharedHost::Adopt(int fd) {
  {
    std::lock_guard lock(mutex_);
    adopted_.push_back(fd);
  }
  Wake();
}

void SharedHost::Wake() {
  if (wake_pending_.exchange(true)) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
}

void SharedHost::Run() {
  std::array<epoll_event, 64> events{};
  for (;;) {
    const int n = epoll_wait(epoll_fd_, events.data(), events.size(), WaitMilliseconds());
    for (int i = 0; i < n; ++i) OnEvent(events[i].data.u64, events[i].events);
    ExpireGreetings();
    if (accept_paused_ && Clock::now() >= accept_paused_until_) ResumeAccepting();
  }
}

// Until the next greeting falls due or accepting resumes; -1: no deadline.
int SharedHost::WaitMilliseconds() const {
  std::optional<TimePoint> next;
  if (accept_paused_) next = accept_paused_until_;
  for (const auto& [id, link] : connections_) {
    if (!link->greeted && (!next || link->greeting_deadline < *next)) {
      next = link->greeting_deadline;
    }
  }
  if (!next) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
  return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

void SharedHost::OnEvent(uint64_t key, uint32_t events) {
  if (key == kListenKey) return AcceptAll();
  if (key == kWakeKey) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(wake_fd_, &count, sizeof count);
    // Cleared after the read, before the queues are taken: a Wake from here on writes again.
    wake_pending_.store(false);
    TakeAdopted();
    return FlushAll();
  }
  const auto it = connections_.find(key);
  if (it == connections_.end()) return;  // closed earlier in this turn
  const std::shared_ptr<Link> link = it->second;
  const bool readable = (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
  if ((readable && !Receive(*link)) || !Flush(*link)) Close(link->id);
}

void SharedHost::AcceptAll() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      Admit(fd, true);
    } else if (errno != EINTR && errno != ECONNABORTED) {
      // Out of descriptors (EMFILE, ENFILE) the connection stays pending: retrying at once
      // would spin until one is freed.
      if (errno != EAGAIN && errno != EWOULDBLOCK) PauseAccepting();
      return;
    }
  }
}

void SharedHost::PauseAccepting() {
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, listen_fd_, nullptr);
  accept_paused_ = true;
  accept_paused_until_ = Clock::now() + kAcceptPause;
}

void SharedHost::ResumeAccepting() {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kListenKey;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &event) != 0) FailToServe();
  accept_paused_ = false;
}

void SharedHost::Admit(int fd, bool check_access) {
  std::optional<wire::Refusal> refusal;
  if (check_access && !access_.Admits(fd)) {
    refusal = wire::Refusal::kDenied;
  } else if (connections_.size() >= kMaxLinks) {
    refusal = wire::Refusal::kFull;
  }
  if (refusal) {
    wire::WriteRecord(fd, wire::Refused(*refusal, 0), false);  // closed next: no wait
    close(fd);
    return;
  }
  auto link = std::make_shared<Link>(next_id_++, fd);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = link->id;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) return;  // the link closes fd
  connections_.emplace(link->id, std::move(link));
}

void SharedHost::TakeAdopted() {
  std::vector<int> adopted;
  {
    std::lock_guard lock(mutex_);
    adopted.swap(adopted_);
  }
  for (const int fd : adopted) {
    SetNonBlocking(fd);
    Admit(fd, false);
  }
}

void SharedHost::ExpireGreetings() {
  const TimePoint now = Clock::now();
  std::vector<uint64_t> late;
  for (const auto& [id, link] : connections_) {
    if (!link->greeted && link->greeting_deadline <= now) late.push_back(id);
  }
  for (const uint64_t id : late) Close(id);
}

// What the socket has, in whole records; false when the connection is to be closed (end of
// file, an error, a malformed record, a failed greeting).
bool SharedHost::Receive(Link& link) {
  const ssize_t n =
      recv(link.fd, link.in.data() + link.in_size, link.in.size() - link.in_size, MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (n == 0) return false;
  link.in_size += static_cast<size_t>(n);
  size_t at = 0;
  for (; link.in_size - at >= wire::kRecordSize; at += wire::kRecordSize) {
    wire::Bytes bytes;
    std::memcpy(bytes.data(), link.in.data() + at, bytes.size());
    const auto record = wire::Decode(bytes);
    if (!record || !TakeRecord(link, *record)) return false;
  }
  std::memmove(link.in.data(), link.in.data() + at, link.in_size - at);
  link.in_size -= at;
  return true;
}

bool SharedHost::TakeRecord(Link& link, const wire::Record& record) {
  if (!link.greeted) return Greet(link, record);
  if (record.type == wire::Type::kSend) TakeSend(link, record);
  if (record.type == wire::Type::kDrop) TakeDrop(link, record.tag);
  return true;
}

// Listed before the greeting goes back, which is queued first: every frame carried after the
// attached process returned from its handshake reaches it.
bool SharedHost::Greet(Link& link, const wire::Record& record) {
  if (!wire::IsGreeting(record)) return false;
  if (!wire::IsHello(record)) {
    wire::WriteRecord(link.fd, wire::Refused(wire::Refusal::kVersion, 0), false);
    return false;
  }
  link.greeted = true;
  std::lock_guard lock(mutex_);
  link.out.push_back(wire::Encode(wire::Hello()));
  link.others++;
  links_.push_back(connections_.at(link.id));
  return true;
}

void SharedHost::TakeSend(Link& link, const wire::Record& record) {
  if (!SupportedBaud(record.baud)) return Refuse(link, wire::Refusal::kRate, record.tag);
  const auto proxy = ProxyFor(link, record.tag);
  if (!proxy) return Refuse(link, wire::Refusal::kNodes, record.tag);
  {
    std::lock_guard lock(mutex_);
    if (link.own >= kOwnBacklog) return LoseLocked(link);
    proxy->queued++;
  }
  if (proxy->Offer(record.frame, record.baud) == SubmitResult::kQueued) return;
  std::lock_guard lock(mutex_);
  if (proxy->queued > 0) proxy->queued--;
  LoseLocked(link);
}

void SharedHost::TakeDrop(Link& link, uint32_t tag) {
  const auto it = link.proxies.find(tag);
  if (it == link.proxies.end()) return;
  segment_.DropPending(*it->second);
  std::lock_guard lock(mutex_);
  it->second->queued = 0;
}

// The node's proxy, made when it first sends; nullptr when the process has as many proxies as
// it may and each has frames queued.
std::shared_ptr<SharedHost::Proxy> SharedHost::ProxyFor(Link& link, uint32_t tag) {
  if (const auto it = link.proxies.find(tag); it != link.proxies.end()) return it->second;
  if (link.proxies.size() >= kMaxNodesPerLink && !RetireIdleProxy(link)) return nullptr;
  auto proxy =
      std::make_shared<Proxy>(link.name + "." + std::to_string(tag), segment_, link.id, tag);
  segment_.Attach(proxy);
  link.proxies.emplace(tag, proxy);
  return proxy;
}

bool SharedHost::RetireIdleProxy(Link& link) {
  std::shared_ptr<Proxy> idle;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(link.proxies.begin(), link.proxies.end(),
                                 [](const auto& entry) { return entry.second->queued == 0; });
    if (it == link.proxies.end()) return false;
    idle = it->second;
    link.proxies.erase(it);
  }
  segment_.Detach(*idle);
  return true;
}

void SharedHost::Refuse(Link& link, wire::Refusal why, uint32_t tag) {
  std::lock_guard lock(mutex_);
  QueueOther(link, wire::Encode(wire::Refused(why, tag)));
}

// With mutex_ held.
void SharedHost::QueueOther(Link& link, const wire::Bytes& bytes) {
  if (link.others >= kLinkQueueCapacity) return LoseLocked(link);
  link.out.push_back(bytes);
  link.others++;
}

// With mutex_ held.
void SharedHost::LoseLocked(Link& link) {
  link.unreported_drops++;
  drops_++;
}

void SharedHost::FlushAll() {
  std::vector<std::shared_ptr<Link>> links;
  {
    std::lock_guard lock(mutex_);
    links = links_;
  }
  for (const auto& link : links) {
    if (!Flush(*link)) Close(link->id);
  }
}

// Writes what the socket takes; false when the peer is gone.
bool SharedHost::Flush(Link& link) {
  for (;;) {
    if (link.written == link.writing_size && !NextOut(link)) {
      WatchWrites(link, false);
      return true;
    }
    const ssize_t n = send(link.fd, link.writing.data() + link.written,
                           link.writing_size - link.written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WatchWrites(link, true);
      return true;
    }
    if (n <= 0) return false;
    link.written += static_cast<size_t>(n);
  }
}

// Takes the next records to write from the queue, and once it is empty the count of what was
// dropped meanwhile; false when there is nothing to write.
bool SharedHost::NextOut(Link& link) {
  std::lock_guard lock(mutex_);
  size_t size = 0;
  for (; size < link.writing.size() && !link.out.empty(); size += wire::kRecordSize) {
    const wire::Bytes& next = link.out.front();
    std::memcpy(link.writing.data() + size, next.data(), next.size());
    if ((next[2] & wire::kFlagOwn) != 0) {
      link.own--;
    } else {
      link.others--;
    }
    link.out.pop_front();
  }
  if (size < link.writing.size() && link.out.empty() && link.unreported_drops > 0) {
    wire::Record lost;
    lost.type = wire::Type::kLost;
    lost.tag = static_cast<uint32_t>(std::min<uint64_t>(link.unreported_drops, UINT32_MAX));
    link.unreported_drops -= lost.tag;
    const wire::Bytes bytes = wire::Encode(lost);
    std::memcpy(link.writing.data() + size, bytes.data(), bytes.size());
    size += wire::kRecordSize;
  }
  link.writing_size = size;
  link.written = 0;
  return size > 0;
}

void SharedHost::WatchWrites(Link& link, bool watch) {
  if (link.watching_writes == watch) return;
  link.watching_writes = watch;
  epoll_event event{};
  event.events = watch ? EPOLLIN | EPOLLOUT : EPOLLIN;
  event.data.u64 = link.id;
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, link.fd, &event);
}

void SharedHost::Close(uint64_t id) {
  const auto it = connections_.find(id);
  if (it == connections_.end()) return;
  const std::shared_ptr<Link> link = std::move(it->second);
  connections_.erase(it);
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, link->fd, nullptr);
  {
    std::lock_guard lock(mutex_);
    std::erase(links_, link);
  }
  for (const auto& [tag, proxy] : link->proxies) segment_.Detach(*proxy);
}

void SharedHost::OnCarried(const Frame& frame, uint32_t baud, const Node& sender) {
  const auto* proxy = dynamic_cast<const Proxy*>(&sender);
  wire::Record record;
  record.type = wire::Type::kCarried;
  record.baud = baud;
  record.frame = frame;
  record.end_ns = Nanoseconds(frame.end);
  const wire::Bytes others = wire::Encode(record);
  record.flags = wire::kFlagOwn;
  record.tag = proxy != nullptr ? proxy->tag() : 0;
  const wire::Bytes own = wire::Encode(record);
  {
    std::lock_guard lock(mutex_);
    if (links_.empty()) return;
    if (proxy != nullptr && proxy->queued > 0) proxy->queued--;
    for (const auto& link : links_) {
      if (proxy != nullptr && proxy->link() == link->id) {
        link->out.push_back(own);
        link->own++;
      } else {
        QueueOther(*link, others);
      }
    }
  }
  Wake();
}

}  // namespace vcan
