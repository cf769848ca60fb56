#include "Outbox.h"

#include <algorithm>

namespace dnsim {

using vcan::Clock;

Outbox::Outbox(TimerSet& timers, const Behaviour& behaviour, Transmit transmit)
    : behaviour_(behaviour),
      transmit_(std::move(transmit)),
      release_timer_(timers, [this] { Release(); }) {}

// A frame never overtakes one sent before it, even when the delay was shortened meanwhile.
void Outbox::Send(const vcan::Frame& frame, FrameKind kind) {
  if (behaviour_.delay.count() == 0 && waiting_.empty()) {
    Pass(frame, kind);
    return;
  }
  vcan::TimePoint due = Clock::now() + behaviour_.delay;
  if (!waiting_.empty()) due = std::max(due, waiting_.back().due);
  waiting_.push_back(Waiting{frame, kind, due});
  if (waiting_.size() == 1) release_timer_.Start(due - Clock::now());
}

void Outbox::Release() {
  while (!waiting_.empty() && waiting_.front().due <= Clock::now()) {
    Pass(waiting_.front().frame, waiting_.front().kind);
    waiting_.pop_front();
  }
  if (!waiting_.empty()) release_timer_.Start(waiting_.front().due - Clock::now());
}

void Outbox::Pass(const vcan::Frame& frame, FrameKind kind) {
  if (kind == FrameKind::kMessaging && behaviour_.silent) return;
  transmit_(frame);
}

}  // namespace dnsim
