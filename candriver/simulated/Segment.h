// One CAN segment: the nodes on it, their transmit queues, and the bus thread that runs
// arbitration and carries frames on a virtual timeline at the senders' bit rates.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "Frame.h"
#include "SegmentLinks.h"

namespace vcan {

class Capture;
class Node;

enum class SubmitResult { kQueued, kQueueFull, kNotOnBus };

struct SegmentStats {
  uint64_t frames = 0;
  uint64_t bits = 0;
  Clock::duration busy{};
  uint64_t overrun_drops = 0;  // sum over the nodes now on the segment
  uint32_t nodes = 0;
};

struct CarriedFrame {
  Frame frame;
  std::string sender;
  uint32_t baud = 0;
  uint32_t bits = 0;
};

class Segment {
 public:
  static constexpr size_t kTxQueueCapacity = 64;
  static constexpr size_t kLogCapacity = 256;
  // How far the timeline may trail the clock: small scheduling delays are absorbed so that
  // back-to-back frames keep the bus rate, while a long stall does not turn into a burst.
  static constexpr Clock::duration kMaxLag = std::chrono::milliseconds(2);

  explicit Segment(std::string name);
  ~Segment();
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  const std::string& name() const { return name_; }

  // Set while the card is being configured, before any frame is carried.
  void SetCapture(std::unique_ptr<Capture> capture);
  // Each node misses each frame with this probability (0 to 1), as a receiver that took a
  // disturbed frame would; set while the card is being configured.
  void SetLoss(double probability) { loss_ = probability; }
  // Another process hosts this segment: the bus runs there, reached through the uplink. Set
  // while the card is being configured.
  void SetUplink(std::shared_ptr<SegmentUplink> uplink) { uplink_ = std::move(uplink); }
  bool attached() const { return uplink_ != nullptr; }
  // False while the host of an attached segment is gone.
  bool reachable() const { return uplink_ == nullptr || uplink_->connected(); }

  // How other programs reach the segment ("shared=PATH, hosted here"), for what the card tells
  // about itself; set while the card is being configured.
  void AddReach(const std::string& how) { reach_ += (reach_.empty() ? "" : "; ") + how; }
  const std::string& reach() const { return reach_; }
  std::vector<std::string> NodeNames() const;

  void AddTap(std::shared_ptr<SegmentTap> tap);  // for the rest of the process

  // A frame the host carried, delivered on the bus thread; own_tag names the local node that
  // sent it (its frame has then left its transmit queue).
  void Deliver(const Frame& frame, uint32_t baud, std::optional<uint32_t> own_tag);
  // The host refused a frame of the local node `tag`: it will never be reported carried.
  void Refused(uint32_t tag);
  // The host is gone: the frames handed to it are lost.
  void LinkLost();

  void Attach(std::shared_ptr<Node> node);
  void Detach(const Node& node);

  SubmitResult Submit(const Node& sender, const Frame& frame,
                      std::optional<TimePoint> room_deadline);
  void DropPending(const Node& node);
  void ScheduleTimer(Node& node, TimePoint when, int tag);

  // While held, no new frame starts; queued frames wait and then compete in arbitration.
  void Hold(bool held);

  SegmentStats Stats() const;
  std::vector<CarriedFrame> RecentFrames() const;
  void ResetStats();

 private:
  struct Pending {
    Frame frame;
    TimePoint submitted;
  };
  struct Attachment {
    std::shared_ptr<Node> node;
    std::deque<Pending> pending;  // attached segment: frames handed to the host, not yet carried
    uint32_t tag = 0;             // the node's number on the wire to the host
  };
  struct Inbound {
    Frame frame;
    uint32_t baud = 0;
    std::optional<uint32_t> own_tag;
  };
  struct Timer {
    TimePoint when;
    std::weak_ptr<Node> node;
    int tag;
  };
  struct TimerLater {
    bool operator()(const Timer& a, const Timer& b) const { return a.when > b.when; }
  };
  struct Transmission {
    Frame frame;
    std::shared_ptr<Node> sender;  // null for a node of another process
    uint32_t baud = 0;
    uint32_t bits = 0;
  };

  Attachment* FindAttachment(const Node& node);
  Attachment* FindTag(uint32_t tag);
  SubmitResult SubmitToHost(Attachment& attachment, const Frame& frame);
  void DeliverInbound(std::unique_lock<std::mutex>& lock);
  void StartBusThread();
  void RunBus();
  void WaitForWork(std::unique_lock<std::mutex>& lock);
  void RunDueTimers(std::unique_lock<std::mutex>& lock);
  Attachment* ArbitrationWinner();
  Transmission StartTransmission(Attachment& winner);
  void FinishTransmission(Transmission tx);
  void HandToReceivers(const Transmission& tx, const std::vector<std::shared_ptr<Node>>& receivers);
  void Record(const Transmission& tx);
  std::vector<std::shared_ptr<Node>> ReceiversOf(const Transmission& tx) const;

  const std::string name_;
  std::unique_ptr<Capture> capture_;  // written only by the bus thread once set up
  double loss_ = 0;
  std::minstd_rand loss_draws_{1};  // the bus thread's alone
  std::shared_ptr<SegmentUplink> uplink_;
  std::string reach_;

  mutable std::mutex mutex_;
  std::condition_variable work_cv_;  // frames queued, timers added, hold released
  std::condition_variable room_cv_;  // a transmit queue shrank or a node left
  std::vector<Attachment> attachments_;
  uint32_t next_tag_ = 1;
  std::vector<std::shared_ptr<SegmentTap>> taps_;
  std::deque<Inbound> inbound_;
  std::priority_queue<Timer, std::vector<Timer>, TimerLater> timers_;
  bool bus_thread_started_ = false;
  bool held_ = false;
  TimePoint bus_free_at_{};
  SegmentStats stats_;
  std::deque<CarriedFrame> log_;
};

}  // namespace vcan
