// Releasing what the slaves hold for the master before the master goes away
// from them: before the port takes a new MAC ID or baud rate, and before its
// board closes. A slave whose connection set stays allocated to a master
// that no longer speaks keeps its I/O connections timed out and refuses the
// master under another MAC ID until its own watchdogs run out.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace dnm {

class CANPort;
class Device_Info;
class RequestTurn;

// Holds the request turn of every started device of the port while the
// releases go out and, for a MAC ID or baud rate change, until the port is
// back: no worker sends a request with the master's old identity after its
// set was released. The turns are waited for together, at most turn_wait_ms
// (one request's time when the workers go on, 0 when they are about to end).
class ReleasedSets {
 public:
  // only_mac: that device alone, when it is started (-1: every started device).
  ReleasedSets(CANPort& port, uint32_t turn_wait_ms, int only_mac = -1);
  ~ReleasedSets();
  ReleasedSets(const ReleasedSets&) = delete;
  ReleasedSets& operator=(const ReleasedSets&) = delete;

  // Sends every release at once, then waits for the answers of the devices
  // on the bus together, at most kAnswerWaitMs in all (the port is reset
  // next, which drops frames still queued); the explicit connections are
  // marked lost and the sets gone, so that the workers set them up again
  // once the turns are given back, also a set opened just before.
  void Release();

  static constexpr uint32_t kTurnWaitMs = 3500;
  static constexpr uint32_t kAnswerWaitMs = 500;
  // A device that answered within this time (its explicit connection's
  // watchdog time) is taken to be on the bus.
  static constexpr uint32_t kRecentAnswerMs = 10000;

 private:
  // A started device, whether it is expected to answer (its explicit
  // connection stood when its turn came, or it answered lately: a set
  // allocated just before is not marked established yet), and its turn.
  struct Held {
    Device_Info* device;
    bool on_bus;
    std::unique_ptr<RequestTurn> turn;
  };
  CANPort& port_;
  std::vector<Held> held_;
};

}  // namespace dnm
