// A DeviceNet node that owns one MAC ID, as seen by another node's duplicate MAC ID check: it
// answers check requests for its MAC ID and can send a check request of its own once, a while
// after it first hears traffic, so that a master's check overlaps with it.
#pragma once

#include <chrono>
#include <cstdint>

#include "Node.h"

namespace vcan {

struct DupMacSettings {
  uint8_t mac = 0;
  bool answer = true;                         // answer check requests for mac
  bool check = false;                         // send one check request of its own
  std::chrono::milliseconds check_delay{50};  // after the first frame heard
  uint16_t vendor = 0x03E8;
  uint32_t serial = 0x00C0FFEE;
};

class DupMacNode final : public Node {
 public:
  DupMacNode(std::string name, Segment& segment, uint32_t baud, const DupMacSettings& settings);

  // Identifier of the duplicate MAC ID check frames for a MAC ID: group 2, message 7.
  static uint32_t CheckIdentifier(uint8_t mac) { return 0x407u + 8u * mac; }

  void OnFrame(const Frame& frame) override;
  void OnTimer(int tag) override;

 private:
  Frame CheckFrame(bool response) const;

  const DupMacSettings settings_;
  bool heard_traffic_ = false;  // used on the bus thread only
};

}  // namespace vcan
