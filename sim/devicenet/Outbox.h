// Every frame a slave sends passes here: it leaves after the behaviour's delay, in the order it
// was sent, and messaging frames are dropped while the slave is silent (also those that fell
// silent while waiting out their delay). A frame that finds the node's transmit queue full waits
// here, and the frames behind it with it, until the bus has made room.
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
  // Hands a frame to the node's transmit queue; false when the queue is full.
  using Transmit = std::function<bool(const vcan::Frame&)>;

  // retry: how long to wait before trying a full transmit queue again.
  Outbox(TimerSet& timers, const Behaviour& behaviour, Transmit transmit,
         vcan::Clock::duration retry);

  // copies of the frame all fall due at once and leave back to back.
  void Send(const vcan::Frame& frame, FrameKind kind = FrameKind::kMessaging, unsigned copies = 1);
  // Drops every frame still waiting.
  void Clear();
  vcan::Clock::duration delay() const { return behaviour_.delay; }

 private:
  struct Waiting {
    vcan::Frame frame;
    FrameKind kind;
    vcan::TimePoint due;
  };

  void Release();
  bool Pass(const Waiting& waiting);

  const Behaviour& behaviour_;
  const Transmit transmit_;
  const vcan::Clock::duration retry_;
  std::deque<Waiting> waiting_;
  Timer release_timer_;
};

}  // namespace dnsim
