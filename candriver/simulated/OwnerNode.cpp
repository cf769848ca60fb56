#include "OwnerNode.h"

namespace vcan {
namespace {

constexpr uint32_t kRequestId = 0x7EF;
constexpr uint8_t kRequest = 0x4B;
constexpr uint8_t kObjection = 0xCB;

}  // namespace

OwnerNode::OwnerNode(std::string name, Segment& segment, uint32_t baud,
                     const OwnerSettings& settings)
    : Node(std::move(name), segment, baud), settings_(settings) {}

// Requests are [MAC ID, 0x4B, vendor ID, ...]; answers to them are not answered again.
void OwnerNode::OnFrame(const Frame& frame) {
  const bool request = frame.id == kRequestId && !frame.rtr && frame.len >= 2 &&
                       frame.data[1] == kRequest && frame.data[0] != settings_.mac;
  if (request) Transmit(Objection(), Clock::now());
}

Frame OwnerNode::Objection() const {
  const uint8_t vendor_low = static_cast<uint8_t>(settings_.vendor);
  const uint8_t vendor_high = static_cast<uint8_t>(settings_.vendor >> 8);
  Frame frame;
  frame.id = settings_.objection_id;
  frame.len = 8;
  if (frame.id == kRequestId) {
    frame.data = {settings_.mac, kObjection, vendor_low, vendor_high, 0x01, 0, 0, 0};
  } else {
    frame.data = {kObjection, settings_.mac, vendor_low, vendor_high, 0x01, 0, 0, 0};
  }
  return frame;
}

}  // namespace vcan
