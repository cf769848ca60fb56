// The answer awaited to one poll command. Its length is the input size the
// connection had when the poll went out, for the whole answer, whatever the
// size becomes meanwhile: one frame of exactly that length, or the fragments
// of a message of that length. Its wait runs PollAnswer::kWaitMs from the
// poll, or from the last fragment that continued it; a frame that the answer
// does not take moves nothing. Frames are judged by when they were received:
// one received after the wait ran out finds the answer missed, however late
// it is handed in, and one received in time counts even when it is handed
// in after that.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "VELKCAN.h"
#include "io/IoFragmentation.h"

namespace dnm {

class PollAnswer {
 public:
  static constexpr uint32_t kWaitMs = 5000;

  struct Outcome {
    uint16_t result;  // 0, DNM_PollNoResponse, DNM_PollResponseDataError or DNM_PollFragmentError
    uint32_t at;      // when its last frame was received, or when its wait ran out
  };
  struct Step {
    bool taken = false;              // the frame belongs to the answer
    std::optional<Outcome> outcome;  // the answer is over
  };

  // An answer of `length` bytes, awaited from the tick `from` on.
  PollAnswer(size_t length, uint32_t from);

  // Hands in a frame of the answer's identifier, received at the tick `received`.
  Step Take(const CANMsg& frame, uint32_t received);
  // The answer missed, once its wait has run out by the tick `now`.
  std::optional<Outcome> Missed(uint32_t now);

  uint32_t deadline() const { return progress_ + kWaitMs; }
  bool over() const { return over_; }
  size_t length() const { return length_; }
  // The input, once the answer is over with 0.
  const uint8_t* message() const { return length_ <= 8 ? single_.data() : reassembly_.message(); }

 private:
  Step TakeFragment(const CANMsg& frame, uint32_t received);
  Step Over(uint16_t result, uint32_t at, bool taken = true);

  const size_t length_;
  uint32_t progress_;  // the wait runs from here
  bool over_ = false;
  std::array<uint8_t, 8> single_{};
  IoReassembly reassembly_;
};

// The tick at which the driver received the frame, by its time stamp
// (microseconds of the monotonic clock the ticks count), when that lies
// between `earliest` and `now`; else `now`: a driver that stamps on another
// clock, or not at all, is judged by when its frame is handed in.
uint32_t ReceivedTick(const CANMsg& frame, uint32_t earliest, uint32_t now);

}  // namespace dnm
