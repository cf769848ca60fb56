// Every frame a slave sends passes here: it leaves after the behaviour's delay, in the order it
// was sent, and messaging frames are dropped while the slave is silent (also those that fell
// silent while waiting out their delay).
#pragma once

#include <deque>
#include <functional>

#include "Behaviour.h"
#include "Frame.h"
#include "Timers.h"

namespace dnsim {

enum class FrameKind { kMessaging, kDuplicateMacCheck };

class Outbox {
 public:
  using Transmit = std::function<void(const vcan::Frame&)>;

  Outbox(TimerSet& timers, const Behaviour& behaviour, Transmit transmit);

  void Send(const vcan::Frame& frame, FrameKind kind = FrameKind::kMessaging);
  vcan::Clock::duration delay() const { return behaviour_.delay; }

 private:
  struct Waiting {
    vcan::Frame frame;
    FrameKind kind;
    vcan::TimePoint due;
  };

  void Release();
  void Pass(const vcan::Frame& frame, FrameKind kind);

  const Behaviour& behaviour_;
  const Transmit transmit_;
  std::deque<Waiting> waiting_;
  Timer release_timer_;
};

}  // namespace dnsim
