// The fragmentation of I/O messages, which are longer than one frame holds: no header byte and
// no acknowledgements, the frames simply follow one another. Each frame starts with the fragment
// byte (type << 6 | count) and carries up to seven message bytes:
//   first  [0x00, bytes 0..6]
//   middle [0x40 | n, next 7 bytes], n = 1, 2, ... while more than seven bytes remain
//   last   [0x80 | n, the remaining 1..7 bytes]
// so 9 to 14 bytes travel as first and last (0x81), 15 bytes as 0x00, 0x41, 0x82.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "Protocol.h"

namespace dnsim {

inline constexpr size_t kIoFrameSize = 8;      // a longer message goes in fragments
inline constexpr size_t kIoFragmentBytes = 7;  // message bytes per fragment

inline bool NeedsIoFragments(size_t message_size) {
  return message_size > kIoFrameSize;
}

// The frames of a message of more than eight bytes. With skip_count the fragments from the
// second one on count one ahead: 0x00, 0x42, 0x43, ..., the last one too.
std::vector<Bytes> SplitIoMessage(std::span<const uint8_t> message, bool skip_count);

// Reassembles the fragments of messages received on one connection.
class IoReassembly {
 public:
  enum class Outcome {
    kTaken,     // the fragment continues a message
    kComplete,  // it was the last one: message() holds the whole message
    kDropped,   // out of sequence or too long: the message it belonged to is gone
  };

  // Takes one frame; a message growing beyond max_size is dropped.
  Outcome Take(std::span<const uint8_t> frame, size_t max_size);
  const Bytes& message() const { return message_; }
  void Reset() { next_count_.reset(); }

 private:
  Outcome Drop();

  Bytes message_;
  std::optional<uint8_t> next_count_;  // of the fragment due; none: no message under way
};

}  // namespace dnsim
