#include "Segment.h"

#include <algorithm>
#include <thread>

#include "BitTiming.h"
#include "Capture.h"
#include "Node.h"
#include "ThreadName.h"

namespace vcan {

namespace {

// While the bus thread hands a finished frame to the nodes, the frame's end: a node that
// answers at once (a simulated slave) queues its answer as of that moment, not as of the
// bus thread's late wake-up, so that answers follow the frame they answer without a gap.
thread_local const TimePoint* t_reacting_to_end = nullptr;

// Rates are judged where they come in (driver record, description, socket record); this keeps
// one that slipped through from dividing by zero or holding the bus for minutes.
Clock::duration BusTime(uint32_t bits, uint32_t baud) {
  return BitTime(bits, SupportedBaud(baud) ? baud : kBaud125k);
}

}  // namespace

Segment::Segment(std::string name) : name_(std::move(name)) {}

Segment::~Segment() = default;

void Segment::SetCapture(std::unique_ptr<Capture> capture) {
  capture_ = std::move(capture);
}

void Segment::Attach(std::shared_ptr<Node> node) {
  std::lock_guard lock(mutex_);
  attachments_.push_back(Attachment{std::move(node), {}, next_tag_++});
}

void Segment::AddTap(std::shared_ptr<SegmentTap> tap) {
  std::lock_guard lock(mutex_);
  taps_.push_back(std::move(tap));
}

void Segment::Detach(const Node& node) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(attachments_, [&](const Attachment& a) { return a.node.get() == &node; });
  }
  room_cv_.notify_all();
}

Segment::Attachment* Segment::FindAttachment(const Node& node) {
  for (auto& attachment : attachments_) {
    if (attachment.node.get() == &node) return &attachment;
  }
  return nullptr;
}

Segment::Attachment* Segment::FindTag(uint32_t tag) {
  for (auto& attachment : attachments_) {
    if (attachment.tag == tag) return &attachment;
  }
  return nullptr;
}

SubmitResult Segment::Submit(const Node& sender, const Frame& frame,
                             std::optional<TimePoint> room_deadline) {
  std::unique_lock lock(mutex_);
  for (;;) {
    Attachment* attachment = FindAttachment(sender);
    if (attachment == nullptr || !sender.on_bus() || !reachable()) return SubmitResult::kNotOnBus;
    if (attachment->pending.size() < kTxQueueCapacity) {
      if (uplink_) return SubmitToHost(*attachment, frame);
      const TimePoint submitted = t_reacting_to_end ? *t_reacting_to_end : Clock::now();
      attachment->pending.push_back(Pending{frame, submitted});
      break;
    }
    if (!room_deadline) {
      room_cv_.wait(lock);
    } else if (Clock::now() >= *room_deadline) {
      return SubmitResult::kQueueFull;
    } else {
      room_cv_.wait_until(lock, *room_deadline);
    }
  }
  StartBusThread();
  lock.unlock();
  work_cv_.notify_one();
  return SubmitResult::kQueued;
}

// Called with mutex_ held, so frames reach the host in the order their nodes queued them. The
// frame stays counted in the node's transmit queue until the host reports it carried.
SubmitResult Segment::SubmitToHost(Attachment& attachment, const Frame& frame) {
  if (!uplink_->Send(attachment.tag, frame, attachment.node->baud())) {
    return reachable() ? SubmitResult::kQueueFull : SubmitResult::kNotOnBus;
  }
  attachment.pending.push_back(Pending{frame, Clock::now()});
  return SubmitResult::kQueued;
}

void Segment::DropPending(const Node& node) {
  {
    std::lock_guard lock(mutex_);
    if (Attachment* attachment = FindAttachment(node)) {
      attachment->pending.clear();
      if (uplink_) uplink_->Drop(attachment->tag);
    }
  }
  room_cv_.notify_all();
}

void Segment::Deliver(const Frame& frame, uint32_t baud, std::optional<uint32_t> own_tag) {
  {
    std::lock_guard lock(mutex_);
    inbound_.push_back(Inbound{frame, baud, own_tag});
    StartBusThread();
  }
  work_cv_.notify_one();
}

void Segment::Refused(uint32_t tag) {
  {
    std::lock_guard lock(mutex_);
    if (Attachment* attachment = FindTag(tag); attachment && !attachment->pending.empty()) {
      attachment->pending.pop_front();
    }
  }
  room_cv_.notify_all();
}

void Segment::LinkLost() {
  {
    std::lock_guard lock(mutex_);
    for (auto& attachment : attachments_) attachment.pending.clear();
  }
  room_cv_.notify_all();
}

// The frames the host carried, in its order. A node's own frame leaves its transmit queue.
void Segment::DeliverInbound(std::unique_lock<std::mutex>& lock) {
  std::deque<Inbound> carried;
  carried.swap(inbound_);
  for (Inbound& in : carried) {
    Transmission tx{in.frame, nullptr, in.baud, FrameBits(in.frame)};
    if (Attachment* own = in.own_tag ? FindTag(*in.own_tag) : nullptr) {
      tx.sender = own->node;
      if (!own->pending.empty()) own->pending.pop_front();
    }
    lock.unlock();
    room_cv_.notify_all();
    FinishTransmission(std::move(tx));
    lock.lock();
  }
}

void Segment::ScheduleTimer(Node& node, TimePoint when, int tag) {
  {
    std::lock_guard lock(mutex_);
    timers_.push(Timer{when, node.weak_from_this(), tag});
    StartBusThread();
  }
  work_cv_.notify_one();
}

void Segment::Hold(bool held) {
  {
    std::lock_guard lock(mutex_);
    held_ = held;
  }
  work_cv_.notify_one();
}

// Called with mutex_ held. The thread runs for the rest of the process, like the segment.
void Segment::StartBusThread() {
  if (bus_thread_started_) return;
  bus_thread_started_ = true;
  std::thread([this] {
    NameThisThread("vcan-bus");
    RunBus();
  }).detach();
}

void Segment::RunBus() {
  std::unique_lock lock(mutex_);
  for (;;) {
    WaitForWork(lock);
    RunDueTimers(lock);
    if (uplink_) {
      DeliverInbound(lock);
      continue;
    }
    Attachment* winner = held_ ? nullptr : ArbitrationWinner();
    if (winner == nullptr) continue;
    Transmission tx = StartTransmission(*winner);
    lock.unlock();
    room_cv_.notify_all();
    std::this_thread::sleep_until(tx.frame.end);
    FinishTransmission(std::move(tx));
    lock.lock();
  }
}

void Segment::WaitForWork(std::unique_lock<std::mutex>& lock) {
  for (;;) {
    if (!timers_.empty() && timers_.top().when <= Clock::now()) return;
    if (!inbound_.empty()) return;
    if (!held_ && ArbitrationWinner() != nullptr) return;
    if (timers_.empty()) {
      work_cv_.wait(lock);
    } else {
      const TimePoint next_timer = timers_.top().when;
      work_cv_.wait_until(lock, next_timer);
    }
  }
}

void Segment::RunDueTimers(std::unique_lock<std::mutex>& lock) {
  const TimePoint now = Clock::now();
  std::vector<std::pair<std::shared_ptr<Node>, int>> due;
  while (!timers_.empty() && timers_.top().when <= now) {
    std::shared_ptr<Node> node = timers_.top().node.lock();
    const int tag = timers_.top().tag;
    timers_.pop();
    if (node != nullptr && FindAttachment(*node) != nullptr) due.emplace_back(std::move(node), tag);
  }
  if (due.empty()) return;
  lock.unlock();
  for (auto& [node, tag] : due) node->OnTimer(tag);
  due.clear();
  lock.lock();
}

// The lowest identifier at the head of a transmit queue wins, as in bitwise arbitration. Each
// node offers only the head of its queue, so one node's frames leave in the order it queued
// them. Equal identifiers from two nodes would collide on a real bus; here the node attached
// first wins.
Segment::Attachment* Segment::ArbitrationWinner() {
  if (uplink_) return nullptr;  // the host arbitrates
  Attachment* winner = nullptr;
  for (auto& attachment : attachments_) {
    if (attachment.pending.empty() || !attachment.node->on_bus()) continue;
    if (winner == nullptr ||
        attachment.pending.front().frame.id < winner->pending.front().frame.id) {
      winner = &attachment;
    }
  }
  return winner;
}

// The frame starts when the bus is free and the frame was queued, so frames sent back to back
// follow each other without gaps however late the bus thread wakes (within kMaxLag).
Segment::Transmission Segment::StartTransmission(Attachment& winner) {
  const Pending pending = winner.pending.front();
  winner.pending.pop_front();
  Transmission tx{pending.frame, winner.node, winner.node->baud(), FrameBits(pending.frame)};
  const TimePoint start = std::max({bus_free_at_, pending.submitted, Clock::now() - kMaxLag});
  tx.frame.end = start + BusTime(tx.bits, tx.baud);
  bus_free_at_ = tx.frame.end;
  return tx;
}

void Segment::FinishTransmission(Transmission tx) {
  if (capture_) capture_->Write(name_, tx.frame);
  std::vector<std::shared_ptr<Node>> receivers;
  std::vector<std::shared_ptr<SegmentTap>> taps;
  {
    std::lock_guard lock(mutex_);
    Record(tx);
    receivers = ReceiversOf(tx);
    if (tx.sender) taps = taps_;
  }
  for (const auto& tap : taps) tap->OnCarried(tx.frame, tx.baud, *tx.sender);
  HandToReceivers(tx, receivers);
}

void Segment::HandToReceivers(const Transmission& tx,
                              const std::vector<std::shared_ptr<Node>>& receivers) {
  std::bernoulli_distribution lost(loss_);
  t_reacting_to_end = &tx.frame.end;
  for (const auto& receiver : receivers) {
    if (loss_ > 0 && lost(loss_draws_)) continue;
    receiver->OnFrame(tx.frame);
  }
  t_reacting_to_end = nullptr;
}

void Segment::Record(const Transmission& tx) {
  stats_.frames++;
  stats_.bits += tx.bits;
  stats_.busy += BusTime(tx.bits, tx.baud);
  log_.push_back(
      CarriedFrame{tx.frame, tx.sender ? tx.sender->name() : "remote", tx.baud, tx.bits});
  if (log_.size() > kLogCapacity) log_.pop_front();
}

// Nodes at another bit rate cannot decode the frame, and a sender never receives its own frame.
std::vector<std::shared_ptr<Node>> Segment::ReceiversOf(const Transmission& tx) const {
  std::vector<std::shared_ptr<Node>> receivers;
  for (const auto& attachment : attachments_) {
    const Node& node = *attachment.node;
    if (&node != tx.sender.get() && node.on_bus() && node.baud() == tx.baud) {
      receivers.push_back(attachment.node);
    }
  }
  return receivers;
}

SegmentStats Segment::Stats() const {
  std::lock_guard lock(mutex_);
  SegmentStats stats = stats_;
  stats.nodes = static_cast<uint32_t>(attachments_.size());
  for (const auto& attachment : attachments_) {
    stats.overrun_drops += attachment.node->overrun_drops();
  }
  for (const auto& tap : taps_) stats.overrun_drops += tap->drops();
  if (uplink_) stats.overrun_drops += uplink_->drops();
  return stats;
}

std::vector<std::string> Segment::NodeNames() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& attachment : attachments_) names.push_back(attachment.node->name());
  return names;
}

std::vector<CarriedFrame> Segment::RecentFrames() const {
  std::lock_guard lock(mutex_);
  return {log_.begin(), log_.end()};
}

void Segment::ResetStats() {
  std::lock_guard lock(mutex_);
  stats_ = SegmentStats{};
  log_.clear();
}

}  // namespace vcan
