// A flood of one or more ports: test nodes on each port's segment send 8-byte
// frames back to back, every identifier routed to the port buffer, and one
// consumer per port takes the frames out of the buffer as they arrive.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "ThreadCpu.h"

namespace dnm {
class CANPort;
}

namespace bench {

constexpr int kSendersPerPort = 3;

// A port of board 0 brought online for the benchmark.
struct PortRig {
  uint8_t port = 0;  // the master's number; the card's is port + 1
  dnm::CANPort* can_port = nullptr;
  std::vector<int32_t> nodes;     // test nodes on the port's segment that send
  int32_t probe = 0;              // a test node that only listens
  std::vector<pid_t> rx_threads;  // the port's receive threads
};

// Routes every identifier the senders use to the port buffer.
void AddRoutes(PortRig& rig);

struct Latencies {
  size_t samples = 0;  // frames whose end on the bus was seen in the segment's log
  double p50_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

struct FloodResult {
  int ports = 0;
  double seconds = 0;        // the measured window, after a warm-up
  uint64_t bus_frames = 0;   // frames carried on the flooded segments in the window
  uint64_t bus_busy_us = 0;  // time those segments spent carrying them
  uint64_t routed = 0;       // frames the consumers took in the window
  uint64_t sent = 0;         // frames the test nodes queued, whole run
  uint64_t taken = 0;        // frames the consumers took, whole run (queues drained)
  uint64_t overrun_drops = 0;
  uint64_t order_checked = 0;  // routed frames whose trace line was still kept
  uint64_t out_of_order = 0;   // of those, frames routed after a later one of their sender
  Latencies latency;           // end of frame on the bus to the consumer of the port buffer
  Latencies card_latency;      // end of frame on the bus to a test node's reader (the card alone)
  ThreadTimes receive;         // the flooded ports' receive threads, in the window
  ThreadTimes bench_threads;   // senders, consumers and the frame-log poller
  ThreadTimes rest;            // the card's bus threads, idle ports, main thread
  uint64_t process_ns = 0;     // getrusage over the window
};

FloodResult RunFlood(const std::vector<PortRig>& rigs, double seconds);

}  // namespace bench
