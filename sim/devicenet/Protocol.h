// The DeviceNet vocabulary the simulated slave speaks: identifiers of message groups 1, 2 and 3,
// the header byte of explicit messages, service codes, general status codes, the fragment byte
// and the allocation choice bits.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace dnsim {

using Bytes = std::vector<uint8_t>;

// ---- Identifiers ----

// Group 1: 0 XXXX SSSSSS (message ID, source MAC). Group 2: 10 MMMMMM XXX (MAC ID, message ID).
// Group 3: 11 XXX SSSSSS (message ID, source MAC).
inline constexpr uint32_t Group1Id(uint8_t message, uint8_t source_mac) {
  return 64u * message + source_mac;
}
inline constexpr uint32_t Group2Id(uint8_t mac, uint8_t message) {
  return 0x400u + 8u * mac + message;
}
inline constexpr uint32_t Group3Id(uint8_t message, uint8_t source_mac) {
  return 0x600u + 64u * message + source_mac;
}

namespace group1 {
inline constexpr uint8_t kCosCyclicProduction = 13;  // the slave's change of state / cyclic data
inline constexpr uint8_t kBitStrobeResponse = 14;
inline constexpr uint8_t kPollResponse = 15;
}  // namespace group1

namespace group2 {
inline constexpr uint8_t kBitStrobeCommand = 0;  // from the master, to every slave
inline constexpr uint8_t kCosCyclicAck = 2;      // the master's acknowledgement of a production
inline constexpr uint8_t kExplicitResponse = 3;  // slave's explicit and unconnected answers
inline constexpr uint8_t kExplicitRequest = 4;   // master's requests on the explicit connection
inline constexpr uint8_t kPollCommand = 5;
inline constexpr uint8_t kUnconnectedRequest = 6;  // group-2-only unconnected requests
inline constexpr uint8_t kDuplicateMacCheck = 7;
}  // namespace group2

namespace group3 {
inline constexpr uint8_t kLastConnectionMessage = 4;  // messages 0..4 carry connections
inline constexpr uint8_t kUnconnectedResponse = 5;
inline constexpr uint8_t kUnconnectedRequest = 6;
}  // namespace group3

struct MessageAddress {
  uint8_t mac = 0;  // group 2: the device's MAC ID; group 3: the sender's
  uint8_t message = 0;
};

inline std::optional<MessageAddress> Group2Address(uint32_t id) {
  if (id < 0x400 || id > 0x5FF) return std::nullopt;
  return MessageAddress{static_cast<uint8_t>((id >> 3) & 0x3F), static_cast<uint8_t>(id & 7)};
}

// Message 7 of group 3 is not a group 3 message (group 4 and invalid identifiers live there).
inline std::optional<MessageAddress> Group3Address(uint32_t id) {
  if (id < 0x600 || id > 0x7BF) return std::nullopt;
  return MessageAddress{static_cast<uint8_t>(id & 0x3F), static_cast<uint8_t>((id >> 6) & 7)};
}

// ---- Header byte of explicit and unconnected messages ----

inline constexpr uint8_t kFragmentFlag = 0x80;
inline constexpr uint8_t kXidFlag = 0x40;
inline constexpr uint8_t kMacMask = 0x3F;

// ---- Services ----

inline constexpr uint8_t kGetAttributeSingle = 0x0E;
inline constexpr uint8_t kSetAttributeSingle = 0x10;
inline constexpr uint8_t kAllocate = 0x4B;  // Allocate_Master/Slave_Connection_Set; UCMM Open
inline constexpr uint8_t kRelease = 0x4C;   // Release_Master/Slave_Connection_Set; UCMM Close
inline constexpr uint8_t kErrorResponse = 0x14;
inline constexpr uint8_t kReplyFlag = 0x80;  // a reply carries its request's service with bit 7

// ---- General status codes of error responses ----

inline constexpr uint8_t kSuccess = 0x00;
inline constexpr uint8_t kResourceUnavailable = 0x02;
inline constexpr uint8_t kServiceNotSupported = 0x08;
inline constexpr uint8_t kInvalidAttributeValue = 0x09;
inline constexpr uint8_t kAlreadyInRequestedState = 0x0B;
inline constexpr uint8_t kObjectStateConflict = 0x0C;
inline constexpr uint8_t kAttributeNotSettable = 0x0E;
inline constexpr uint8_t kNotEnoughData = 0x13;
inline constexpr uint8_t kAttributeNotSupported = 0x14;
inline constexpr uint8_t kTooMuchData = 0x15;
inline constexpr uint8_t kObjectDoesNotExist = 0x16;
inline constexpr uint8_t kInvalidParameter = 0x20;
inline constexpr uint8_t kNoAdditionalCode = 0xFF;

// The body of an error response: service, general status, additional code.
inline Bytes ErrorReply(uint8_t general_status) {
  return {kReplyFlag | kErrorResponse, general_status, kNoAdditionalCode};
}

// ---- Fragment byte (byte 1 of a fragmented explicit message) ----

enum class FragmentType : uint8_t { kFirst = 0, kMiddle = 1, kLast = 2, kAck = 3 };

inline constexpr uint8_t kFragmentCountMask = 0x3F;

inline constexpr uint8_t FragmentByte(FragmentType type, uint8_t count) {
  return static_cast<uint8_t>(static_cast<uint8_t>(type) << 6 | (count & kFragmentCountMask));
}
inline constexpr FragmentType FragmentTypeOf(uint8_t fragment_byte) {
  return static_cast<FragmentType>(fragment_byte >> 6);
}
inline constexpr uint8_t FragmentCountOf(uint8_t fragment_byte) {
  return fragment_byte & kFragmentCountMask;
}

// ---- Object classes ----

inline constexpr uint8_t kIdentityClass = 0x01;
inline constexpr uint8_t kDeviceNetClass = 0x03;
inline constexpr uint8_t kConnectionClass = 0x05;
inline constexpr uint8_t kApplicationClass = 0x64;

// ---- Allocation choice of the predefined master/slave connection set ----

inline constexpr uint8_t kChoiceExplicit = 0x01;
inline constexpr uint8_t kChoicePoll = 0x02;
inline constexpr uint8_t kChoiceStrobe = 0x04;
inline constexpr uint8_t kChoiceCos = 0x10;
inline constexpr uint8_t kChoiceCyclic = 0x20;
inline constexpr uint8_t kChoiceIo = kChoicePoll | kChoiceStrobe | kChoiceCos | kChoiceCyclic;
inline constexpr uint8_t kChoiceAll = kChoiceExplicit | kChoiceIo;

// ---- Little-endian values ----

inline void AppendLe(Bytes& out, uint32_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
inline Bytes Le(uint32_t value, int size) {
  Bytes out;
  AppendLe(out, value, size);
  return out;
}

}  // namespace dnsim
