// What a CAN frame on a DeviceNet network is, read from its identifier and data alone: the
// message group and message ID, the MAC ID the identifier carries, and a line of text (explicit
// request or response with service and path, fragment, I/O message, duplicate MAC ID check,
// offline connection set). dnm monitor prints it; the tests check it against the frames of the
// simulated slaves and the master.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dnm::tool {

struct DecodedFrame {
  int group = 0;    // 1 to 4; 0 for an identifier outside the groups (0x7F0..0x7FF)
  int message = 0;  // message ID within the group
  int mac = -1;     // the MAC ID in the identifier, -1 for none
  bool mac_is_source = true;
  // One of "dupmac", "explicit", "poll", "strobe", "cos", "offline", "other"; the monitor
  // filters by it.
  const char* kind = "other";
  std::string text;
};

DecodedFrame DecodeFrame(uint32_t id, const std::vector<uint8_t>& data, bool rtr = false);

// A serial number as dnm shows it everywhere: decimal, as the commands take it, and the hex of
// the bytes on the bus: "400040 (0x00061A98)".
std::string SerialNumberText(uint32_t serial);

}  // namespace dnm::tool
