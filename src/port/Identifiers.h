// DeviceNet CAN identifiers and the master's duplicate MAC ID frame data.
#pragma once

#include <array>
#include <cstdint>

namespace dnm {

// Group 1: 0, message ID (4 bits), source MAC ID (6 bits): the I/O messages
// a slave produces (poll and COS/cyclic acknowledgement 15, bit-strobe 14,
// COS/cyclic 13).
constexpr uint32_t Group1Id(uint8_t message_id, uint8_t source) {
  return message_id * 64u + source;
}

// Group 2: 1 0, MAC ID (6 bits), message ID (3 bits).
constexpr uint32_t Group2Id(uint8_t mac, uint8_t message_id) {
  return 0x400u + mac * 8u + message_id;
}

// Group 3: 1 1, message ID (3 bits), source MAC ID (6 bits).
constexpr uint32_t Group3Id(uint8_t message_id, uint8_t source) {
  return 0x600u + message_id * 64u + source;
}

// The duplicate MAC ID check of a MAC ID: group 2, message ID 7.
constexpr uint32_t DuplicateCheckId(uint8_t mac) {
  return Group2Id(mac, 7);
}

// The master's own DeviceNet vendor ID and serial number, stated in
// duplicate MAC ID and ownership frames.
constexpr uint16_t kMasterVendorID = 0x7A5E;
constexpr uint32_t kMasterSerialNumber = 1;

// Data of the master's duplicate MAC ID frame: byte 0 (the port number in a
// check, 0x80 in a response), vendor ID and serial number, low bytes first.
constexpr std::array<uint8_t, 7> DuplicateCheckData(uint8_t byte0) {
  return {byte0,
          static_cast<uint8_t>(kMasterVendorID & 0xFF),
          static_cast<uint8_t>(kMasterVendorID >> 8),
          static_cast<uint8_t>(kMasterSerialNumber & 0xFF),
          static_cast<uint8_t>((kMasterSerialNumber >> 8) & 0xFF),
          static_cast<uint8_t>((kMasterSerialNumber >> 16) & 0xFF),
          static_cast<uint8_t>(kMasterSerialNumber >> 24)};
}

// The offline connection set (group 4), through which faulted nodes are
// reached by the one client that owns the set.
constexpr uint32_t kFaultedNodeAnswerId = 0x7EC;
constexpr uint32_t kFaultedNodeRequestId = 0x7ED;
constexpr uint32_t kOwnershipAnswerId = 0x7EE;
constexpr uint32_t kOwnershipRequestId = 0x7EF;
constexpr uint8_t kOwnershipRequest = 0x4B;
constexpr uint8_t kOwnershipObjection = 0xCB;

// An ownership frame of the client with MAC ID mac: byte 1 is 0x4B in a
// request, 0xCB in the answer that objects to another client's request.
constexpr std::array<uint8_t, 8> OwnershipData(uint8_t mac, uint8_t kind) {
  return {mac,
          kind,
          static_cast<uint8_t>(kMasterVendorID & 0xFF),
          static_cast<uint8_t>(kMasterVendorID >> 8),
          0x01,
          0x00,
          0x00,
          0x00};
}

}  // namespace dnm
