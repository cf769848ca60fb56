#include "io/PollAnswer.h"

#include <cstring>

#include "VELKCANDNM.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

// How far `at` lies after `from`, negative when before.
int32_t Distance(uint32_t at, uint32_t from) {
  return static_cast<int32_t>(at - from);
}

}  // namespace

PollAnswer::PollAnswer(size_t length, uint32_t from)
    : length_(length), progress_(from), reassembly_(length) {}

PollAnswer::Step PollAnswer::Take(const CANMsg& frame, uint32_t received) {
  if (over_) return {};
  if (Distance(received, deadline()) >= 0) return Over(DNM_PollNoResponse, deadline(), false);
  if (length_ > 8) return TakeFragment(frame, received);
  if (frame.len != length_) return Over(DNM_PollResponseDataError, received);
  std::memcpy(single_.data(), frame.data, length_);
  return Over(0, received);
}

// Only a fragment the answer can carry is taken: a first one, or the next
// middle or last one. Others are left as if they had not come.
PollAnswer::Step PollAnswer::TakeFragment(const CANMsg& frame, uint32_t received) {
  const uint8_t count = reassembly_.count() & 0x3F;
  const uint8_t lead = frame.data[0];
  if (frame.len == 0 || (lead != 0x00 && lead != (0x40 | count) && lead != (0x80 | count)))
    return {};
  const bool middle = reassembly_.ExpectingMiddle();
  switch (reassembly_.Take(frame)) {
    case IoReassembly::Step::kMore:
      if (Distance(received, progress_) > 0) progress_ = received;
      return {true, std::nullopt};
    case IoReassembly::Step::kDone:
      return Over(0, received);
    case IoReassembly::Step::kError:
      break;
  }
  if (middle) Trace("My FragCount %d , Msg->data[0] %x", reassembly_.count(), lead);
  return Over(DNM_PollFragmentError, received);
}

std::optional<PollAnswer::Outcome> PollAnswer::Missed(uint32_t now) {
  if (over_ || Distance(now, deadline()) < 0) return std::nullopt;
  return Over(DNM_PollNoResponse, deadline(), false).outcome;
}

PollAnswer::Step PollAnswer::Over(uint16_t result, uint32_t at, bool taken) {
  over_ = true;
  return {taken, Outcome{result, at}};
}

uint32_t ReceivedTick(const CANMsg& frame, uint32_t earliest, uint32_t now) {
  uint64_t micros = 0;
  for (size_t i = sizeof frame.stamp; i-- > 0;) micros = micros << 8 | frame.stamp[i];
  const auto stamped = static_cast<uint32_t>(micros / 1000);
  const bool plausible = Distance(stamped, earliest) >= 0 && Distance(now, stamped) >= 0;
  return plausible ? stamped : now;
}

}  // namespace dnm
