#include "Timers.h"

#include <limits>

namespace dnsim {

using vcan::Clock;

void TimerSet::Fire(int tag) {
  const auto it = waiting_.find(tag);
  if (it == waiting_.end()) return;
  Timer& timer = *it->second;
  waiting_.erase(it);
  timer.Wake();
}

int TimerSet::Schedule(Timer& timer, Clock::duration delay) {
  const int tag = static_cast<int>(next_tag_);
  next_tag_ = next_tag_ == std::numeric_limits<int>::max() ? 1 : next_tag_ + 1;
  waiting_[tag] = &timer;
  scheduler_(delay, tag);
  return tag;
}

Timer::~Timer() {
  if (tag_ != 0) set_.Forget(tag_);
}

void Timer::Start(Clock::duration delay) {
  deadline_ = Clock::now() + delay;
  if (wake_ && *wake_ <= *deadline_) return;  // wakes early and sleeps on
  if (tag_ != 0) set_.Forget(tag_);
  tag_ = set_.Schedule(*this, delay);
  wake_ = deadline_;
}

void Timer::Wake() {
  tag_ = 0;
  wake_.reset();
  if (!deadline_) return;
  const auto now = Clock::now();
  if (now < *deadline_) {
    Start(*deadline_ - now);
    return;
  }
  deadline_.reset();
  // A copy, because the action may destroy this timer (a connection deleted by its watchdog).
  const auto action = action_;
  action();
}

}  // namespace dnsim
