// What a port sent and received since it last went online, for
// DNM_GetPortStatistics. The receive and send paths count with relaxed
// atomics and no lock; a reader may see one count a frame ahead of another.
#pragma once

#include <atomic>
#include <cstdint>

#include "VELKCAN.h"
#include "VELKCANDNM.h"

namespace dnm {

// The bits a frame takes on the bus: from its start of frame to the end of
// the interframe space, with the stuff bits its identifier, data and CRC
// need. A length above 8 counts as 8.
uint32_t FrameBits(const CANMsg& msg);

class PortTraffic {
 public:
  void Reset();
  void NoteReceived(const CANMsg& msg);
  void NoteSent(const CANMsg& msg);
  void NoteErrorFrame() { error_frames_.fetch_add(1, std::memory_order_relaxed); }
  void NoteOverrun() { overruns_.fetch_add(1, std::memory_order_relaxed); }
  DNM_PortStatistics Read() const;

 private:
  std::atomic<uint64_t> frames_received_{0};
  std::atomic<uint64_t> frames_sent_{0};
  std::atomic<uint64_t> bits_received_{0};
  std::atomic<uint64_t> bits_sent_{0};
  std::atomic<uint32_t> error_frames_{0};
  std::atomic<uint32_t> overruns_{0};
};

}  // namespace dnm
