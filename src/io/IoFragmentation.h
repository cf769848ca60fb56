// The I/O fragmentation protocol: an I/O message of more than 8 bytes (at
// most 64) goes as a first fragment, middle fragments and a last fragment
// on one identifier, each led by its fragment byte: type in bits 7..6 (0
// first, 1 middle, 2 last) and count in bits 5..0. No acknowledgements.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "VELKCAN.h"

namespace dnm {

constexpr size_t kMaxIoMessage = 64;

// The frames of one I/O message: one frame of the message itself when it
// has 8 bytes or fewer, else its fragments.
struct IoFrames {
  std::array<CANMsg, 10> frames{};
  size_t count = 0;
};
IoFrames SplitIoMessage(uint32_t id, const uint8_t* message, size_t length);

// Reassembles one fragmented I/O message of a known length (9 to 64
// bytes), each fragment taken by its real length. A fragment whose byte is
// not the next one, a first or middle fragment that is not full, or a last
// fragment that does not end the message exactly is an error. The length
// is the message's for good: no fragment is written past it, and a length
// that is never sent in fragments (8 or less, or above 64) takes none.
class IoReassembly {
 public:
  enum class Step { kMore, kDone, kError };

  explicit IoReassembly(size_t length) : length_(length) {}
  // The fragment byte the next fragment must carry.
  uint8_t ExpectedByte() const;
  bool ExpectingMiddle() const { return count_ > 0 && length_ - offset_ > 7; }
  uint8_t count() const { return count_; }
  Step Take(const CANMsg& fragment);
  const uint8_t* message() const { return area_.data(); }
  size_t length() const { return length_; }

 private:
  bool Fragmented() const { return length_ > 8 && length_ <= kMaxIoMessage; }

  const size_t length_;
  size_t offset_ = 0;
  uint8_t count_ = 0;
  std::array<uint8_t, kMaxIoMessage> area_{};
};

}  // namespace dnm
