// A simulated segment other processes on the machine reach through a local socket. The process
// that opens it first hosts it: its segment runs the bus as always, and a tap passes every
// carried frame to the attached processes, whose frames come in through proxy nodes that
// compete in arbitration like local ones. An attached process's segment hands its nodes' frames
// to the host and delivers what the host carried (SharedUplink).
//
// Threads, host: one accepting connections, and per attached process a reader (its frames) and
// a writer (carried frames from a bounded queue, so a stalled reader never holds up the bus).
// Attached: one reader, which also reconnects once the host is gone. Everything lives as long
// as the process, like the card.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
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
  // Carried frames waiting for one attached process; more are dropped and counted. The
  // process's own frames are always passed back, they free its transmit queue.
  static constexpr size_t kLinkQueueCapacity = 4096;

  SharedHost(Segment& segment, int listen_fd, SharedAccess access);
  void Start();

  void OnCarried(const Frame& frame, uint32_t baud, const Node& sender) override;
  uint64_t drops() const override { return drops_.load(); }

 private:
  struct Link;
  void AcceptLoop();
  void Serve(const std::shared_ptr<Link>& link);
  void Feed(const std::shared_ptr<Link>& link);
  void Take(Link& link, const wire::Record& record);
  void Remove(const std::shared_ptr<Link>& link);

  Segment& segment_;
  const int listen_fd_;
  const SharedAccess access_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Link>> links_;
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

 private:
  void ReadLoop(int fd);
  void HostGone();
  int Reattach();

  Segment& segment_;
  const std::string path_;
  const SharedAccess access_;
  std::mutex write_mutex_;
  int fd_;  // under write_mutex_; -1 while the host is gone
  std::atomic<bool> connected_;
  std::atomic<uint64_t> drops_{0};
};

// Hosts the segment at path, or attaches it to the process that hosts it there. Returns the
// host when this process hosts it, else nullptr. Throws std::runtime_error when neither works.
// (SharedPlace.h: the same with a rule for who hosts.)
std::shared_ptr<SharedHost> ShareSegment(Segment& segment, const std::string& path);

}  // namespace vcan
