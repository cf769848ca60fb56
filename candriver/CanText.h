// The one-line text form of a frame used by external process nodes and capture files:
// three uppercase hex digits of identifier, '#', the data bytes in hex ("123#DEADBEEF",
// "7EF#" without data); "123#R" is a remote frame.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Frame.h"

namespace vcan {

std::string FormatCanText(const Frame& frame);

// Accepts 1 to 3 hex digits of identifier (at most 0x7FF), '#', an even number of hex digits
// (at most 8 bytes) or 'R'; surrounding white space is ignored. nullopt for anything else.
std::optional<Frame> ParseCanText(std::string_view line);

}  // namespace vcan
