// Putting together a value that a device answers in fragments: the first fragment carries five
// value bytes after the service byte, each middle fragment six, the last one to six. The
// fragment frames come in the order they arrived, and each must be the next fragment, else
// the value is lost. Each is checked against the room for the value, and says which count to
// acknowledge. The caller's area is written only once the value is whole.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "VELKCAN.h"
#include "device/AttributeAccess.h"

namespace dnm {

class ExplicitReassembly {
 public:
  enum class Step : uint8_t {
    kMore,       // the fragment was taken; the value goes on
    kRepeat,     // the fragment before, sent again: acknowledged again, nothing taken
    kComplete,   // the value is whole and in the area
    kMalformed,  // not the next fragment, or too short: the value is lost
    kTooLong,    // the value does not fit the area: it is lost
  };
  struct Result {
    Step step;
    std::optional<uint8_t> ack;  // the fragment count to acknowledge
  };

  // area holds capacity bytes; values longer than kMaxGetValue never fit.
  ExplicitReassembly(uint8_t* area, uint32_t capacity);

  // Takes the fragment frame that arrived next; the first one must be the first fragment.
  Result Take(const CANMsg& fragment);
  // The count of the fragment awaited next.
  uint8_t awaited() const { return static_cast<uint8_t>(taken_); }
  // The value's length once complete.
  uint32_t length() const { return length_; }

 private:
  Result TakeFirst(const CANMsg& first);
  Result TakeNext(const CANMsg& fragment);
  Result Append(const CANMsg& fragment, uint32_t offset, uint32_t count, bool last);
  Result End(Step step, std::optional<uint8_t> ack = std::nullopt);

  uint8_t* const area_;
  const uint32_t capacity_;
  std::array<uint8_t, kMaxGetValue> value_{};
  uint32_t length_ = 0;
  uint32_t taken_ = 0;  // fragments taken so far
  bool ended_ = false;
};

}  // namespace dnm
