// Lines of any text read as frames in the text form of process nodes: what is accepted is a
// standard frame that reads back the same from its own text.
#include <string_view>

#include "CanText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto frame = vcan::ParseCanText(line);
  if (!frame) return 0;
  if (frame->id > vcan::kMaxStandardId || frame->len > vcan::kMaxDataLength) __builtin_trap();
  const auto again = vcan::ParseCanText(vcan::FormatCanText(*frame));
  if (!again || again->id != frame->id || again->len != frame->len || again->rtr != frame->rtr ||
      again->data != frame->data) {
    __builtin_trap();
  }
  return 0;
}
