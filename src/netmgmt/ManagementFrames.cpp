#include "netmgmt/ManagementFrames.h"

#include "port/FrameBytes.h"
#include "port/Identifiers.h"

namespace dnm {

namespace {

constexpr uint8_t kResponseFlag = 0x80;

// Byte 0 is the sender's MAC ID, byte 1 the kind of the frame.
bool IsOwnershipFrame(const CANMsg& msg, uint8_t kind, uint8_t own_mac) {
  return msg.id == kOwnershipRequestId && msg.len >= 2 && msg.data[1] == kind &&
         msg.data[0] != own_mac;
}

// The little-endian number in bytes first..first+count-1, as far as the frame carries them.
uint32_t LittleEndian(const CANMsg& msg, uint8_t first, uint8_t count) {
  const uint8_t carried = CarriedBytes(msg);
  uint32_t value = 0;
  for (uint8_t i = 0; i < count && first + i < carried; ++i) {
    value |= static_cast<uint32_t>(msg.data[first + i]) << (8 * i);
  }
  return value;
}

}  // namespace

bool IsDuplicateCheckRequest(const CANMsg& msg, uint8_t mac) {
  return msg.id == DuplicateCheckId(mac) && msg.len > 0 && (msg.data[0] & kResponseFlag) == 0;
}

bool IsOwnershipRequest(const CANMsg& msg, uint8_t own_mac) {
  return IsOwnershipFrame(msg, kOwnershipRequest, own_mac);
}

bool IsOwnershipObjection(const CANMsg& msg, uint8_t own_mac) {
  return IsOwnershipFrame(msg, kOwnershipObjection, own_mac);
}

FaultedNode ParseFaultedNode(const CANMsg& msg) {
  return {static_cast<uint16_t>(LittleEndian(msg, 1, 2)), LittleEndian(msg, 3, 4)};
}

}  // namespace dnm
