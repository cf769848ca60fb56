#include "DupMacNode.h"

namespace vcan {
namespace {

constexpr uint8_t kResponseFlag = 0x80;  // byte 0 bit 7: response, clear for a request
constexpr int kOwnCheckTimer = 1;

}  // namespace

DupMacNode::DupMacNode(std::string name, Segment& segment, uint32_t baud,
                       const DupMacSettings& settings)
    : Node(std::move(name), segment, baud), settings_(settings) {}

void DupMacNode::OnFrame(const Frame& frame) {
  if (!heard_traffic_) {
    heard_traffic_ = true;
    if (settings_.check) ScheduleTimer(settings_.check_delay, kOwnCheckTimer);
  }
  const bool is_request = frame.id == CheckIdentifier(settings_.mac) && !frame.rtr &&
                          frame.len >= 1 && (frame.data[0] & kResponseFlag) == 0;
  if (is_request && settings_.answer) Transmit(CheckFrame(true), Clock::now());
}

void DupMacNode::OnTimer(int tag) {
  if (tag == kOwnCheckTimer) Transmit(CheckFrame(false), Clock::now());
}

// Byte 0: response flag (a request carries port number 0), then vendor ID and serial number,
// low byte first.
Frame DupMacNode::CheckFrame(bool response) const {
  Frame frame;
  frame.id = CheckIdentifier(settings_.mac);
  frame.len = 7;
  frame.data = {
      response ? kResponseFlag : uint8_t{0},        static_cast<uint8_t>(settings_.vendor),
      static_cast<uint8_t>(settings_.vendor >> 8),  static_cast<uint8_t>(settings_.serial),
      static_cast<uint8_t>(settings_.serial >> 8),  static_cast<uint8_t>(settings_.serial >> 16),
      static_cast<uint8_t>(settings_.serial >> 24), 0};
  return frame;
}

}  // namespace vcan
