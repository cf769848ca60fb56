// A simulated segment other processes on the machine reach through a local socket. The process
// that opens it first hosts it: its segment runs the bus as always, and a tap passes every
// carried frame to the attached processes, whose frames come in through proxy nodes that
// compete in arbitration like local ones. An attached process's segment hands its nodes' frames
// to the host and delivers what the host carried (SharedUplink).
//
// Threads, host: one event thread that accepts connections, takes greetings (within
// kGreetingTimeout) and the attached processes' records, and writes each process its records
// from a bounded queue without blocking, so a stalled reader never holds up the bus and a silent
// peer costs a socket, no thread. Attached: one reader, which also reconnects once the host is
// gone. Everything lives as long as the process, like the card.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Segment.h"
#include "SegmentLinks.h"
#include "SharedAccess.h"
#include "SharedWire.h"

namespace vcan {

class SharedHost final : public SegmentTap, public std::enable_shared_from_this<SharedHost> {
 public:
  // What a peer can make the host hold (docs/virtual-card.md, "Limits"). Connections count
  // from accept, greeted or not; more are refused.
  static constexpr size_t kMaxLinks = 128;
  // Proxy nodes per attached process; an idle one makes way for a new tag.
  static constexpr size_t kMaxNodesPerLink = 64;
  // Other nodes' frames and refusals waiting for one attached process; more are dropped and
  // counted.
  static constexpr size_t kLinkQueueCapacity = 4096;
  // Own frames waiting to go back to one attached process before its further sends are dropped
  // and counted: as many as its proxies can hold queued. Never reached by a process that reads.
  static constexpr size_t kOwnBacklog = kMaxNodesPerLink * Segment::kTxQueueCapacity;
  static constexpr auto kGreetingTimeout = std::chrono::seconds(2);
  // How long the host stops accepting when it is out of file descriptors.
  static constexpr auto kAcceptPause = std::chrono::milliseconds(100);

  SharedHost(Segment& segment, int listen_fd, SharedAccess access);
  void Start();
  // Serves a connected socket as one accepted and admitted (listen_fd may then be -1).
  void Adopt(int fd);

  void OnCarried(const Frame& frame, uint32_t baud, const Node& sender) override;
  uint64_t drops() const override { return drops_.load(); }

 private:
  struct Link;
  class Proxy;
  void Run();
  int WaitMilliseconds() const;
  void OnEvent(uint64_t key, uint32_t events);
  void AcceptAll();
  void PauseAccepting();
  void ResumeAccepting();
  void Admit(int fd, bool check_access);
  void TakeAdopted();
  void ExpireGreetings();
  bool Receive(Link& link);
  bool TakeRecord(Link& link, const wire::Record& record);
  bool Greet(Link& link, const wire::Record& record);
  void TakeSend(Link& link, const wire::Record& record);
  void TakeDrop(Link& link, uint32_t tag);
  std::shared_ptr<Proxy> ProxyFor(Link& link, uint32_t tag);
  bool RetireIdleProxy(Link& link);
  void Refuse(Link& link, wire::Refusal why, uint32_t tag);
  void QueueOther(Link& link, const wire::Bytes& bytes);
  void LoseLocked(Link& link);
  void FlushAll();
  bool Flush(Link& link);
  bool NextOut(Link& link);
  void WatchWrites(Link& link, bool watch);
  void Close(uint64_t id);
  void Wake();

  Segment& segment_;
  const int listen_fd_;
  const SharedAccess access_;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  // Set by the first Wake since the event thread last read wake_fd_: one write per turn of the
  // event thread, not one per frame the bus carries.
  std::atomic<bool> wake_pending_{false};
  // The event thread's alone.
  std::map<uint64_t, std::shared_ptr<Link>> connections_;
  uint64_t next_id_;
  std::chrono::steady_clock::time_point accept_paused_until_{};
  bool accept_paused_ = false;
  // Under mutex_: the greeted links the bus thread writes to, their queues, sockets to adopt.
  std::mutex mutex_;
  std::vector<std::shared_ptr<Link>> links_;
  std::vector<int> adopted_;
  std::atomic<uint64_t> drops_{0};
};

class SharedUplink final : public SegmentUplink {
 public:
  static constexpr auto kRetryPeriod = std::chrono::milliseconds(200);

  // fd: a socket attached to the host (wire::Attach), or -1 while no process hosts the
  // segment; access: the hosts it trusts.
  SharedUplink(Segment& segment, std::string path, int fd, SharedAccess access);
  void Start();

  bool connected() const override { return connected_.load(); }
  bool Send(uint32_t tag, const Frame& frame, uint32_t baud) override;
  void Drop(uint32_t tag) override;
  uint64_t drops() const override { return drops_.load(); }

  // One record from the host; the reader's, public for the fuzz target.
  void Take(const wire::Record& record);

 private:
  void ReadLoop(int fd);
  void TakeCarried(const wire::Record& record);
  void TakeRefused(const wire::Record& record);
  void HostGone();
  int Reattach();

  Segment& segment_;
  const std::string path_;
  const SharedAccess access_;
  std::mutex write_mutex_;
  int fd_;  // under write_mutex_; -1 while the host is gone
  std::atomic<bool> connected_;
  std::atomic<uint64_t> drops_{0};
  std::atomic<uint32_t> refusals_told_{0};  // bit per wire::Refusal already reported
};

// Hosts the segment at path, or attaches it to the process that hosts it there. Returns the
// host when this process hosts it, else nullptr. Throws std::runtime_error when neither works.
// (SharedPlace.h: the same with a rule for who hosts.)
std::shared_ptr<SharedHost> ShareSegment(Segment& segment, const std::string& path);

}  // namespace vcan
