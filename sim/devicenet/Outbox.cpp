#include "Outbox.h"

#include <algorithm>

namespace dnsim {

using vcan::Clock;

Outbox::Outbox(TimerSet& timers, const Behaviour& behaviour, Transmit transmit,
               Clock::duration retry)
    : behaviour_(behaviour),
      transmit_(std::move(transmit)),
      retry_(retry),
      release_timer_(timers, [this] { Release(); }) {}

// A frame never overtakes one sent before it, even when the delay was shortened meanwhile.
void Outbox::Send(const vcan::Frame& frame, FrameKind kind, unsigned copies) {
  if (copies == 0) return;
  const bool idle = waiting_.empty();
  vcan::TimePoint due = Clock::now() + behaviour_.delay;
  if (!idle) due = std::max(due, waiting_.back().due);
  waiting_.insert(waiting_.end(), copies, Waiting{frame, kind, due});
  if (idle) Release();
}

void Outbox::Clear() {
  waiting_.clear();
  release_timer_.Stop();
}

void Outbox::Release() {
  while (!waiting_.empty() && waiting_.front().due <= Clock::now()) {
    if (!Pass(waiting_.front())) {
      release_timer_.Start(retry_);
      return;
    }
    waiting_.pop_front();
  }
  if (!waiting_.empty()) release_timer_.Start(waiting_.front().due - Clock::now());
}

// False when the frame has to wait for room; a frame of a silent slave is dropped.
bool Outbox::Pass(const Waiting& waiting) {
  if (waiting.kind == FrameKind::kMessaging && behaviour_.silent) return true;
  return transmit_(waiting.frame);
}

}  // namespace dnsim
