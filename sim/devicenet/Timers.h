// Restartable timers for the parts of a slave. The card's node timers cannot be cancelled, so
// every wake-up carries a tag that the set looks up: a timer that was stopped, restarted or
// destroyed meanwhile is simply no longer found under that tag. A timer restarted to a later
// deadline keeps its pending wake-up and, when woken early, sleeps on for the rest, so a
// watchdog restarted by every frame does not pile up wake-ups.
//
// Everything here runs under the owning slave's lock: on the bus thread or in test calls.
#pragma once

#include <functional>
#include <map>
#include <optional>

#include "Frame.h"

namespace dnsim {

class Timer;

class TimerSet {
 public:
  // Asks the card to call Fire(tag) on the bus thread after delay.
  using Scheduler = std::function<void(vcan::Clock::duration delay, int tag)>;

  explicit TimerSet(Scheduler scheduler) : scheduler_(std::move(scheduler)) {}
  TimerSet(const TimerSet&) = delete;
  TimerSet& operator=(const TimerSet&) = delete;

  // From the node's OnTimer.
  void Fire(int tag);

 private:
  friend class Timer;
  int Schedule(Timer& timer, vcan::Clock::duration delay);
  void Forget(int tag) { waiting_.erase(tag); }

  Scheduler scheduler_;
  std::map<int, Timer*> waiting_;
  unsigned next_tag_ = 1;
};

class Timer {
 public:
  Timer(TimerSet& set, std::function<void()> action) : set_(set), action_(std::move(action)) {}
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // (Re)arms the timer: the action runs once, delay from now, unless stopped or restarted.
  void Start(vcan::Clock::duration delay);
  void Stop() { deadline_.reset(); }

 private:
  friend class TimerSet;
  void Wake();

  TimerSet& set_;
  const std::function<void()> action_;
  std::optional<vcan::TimePoint> deadline_;
  std::optional<vcan::TimePoint> wake_;  // pending wake-up under tag_
  int tag_ = 0;
};

}  // namespace dnsim
