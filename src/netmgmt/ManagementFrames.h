// Reading the network management frames of other nodes: duplicate MAC ID checks, requests for
// and objections to the ownership of the offline connection set, and faulted nodes' answers.
// Each looks only at the bytes the frame carries.
#pragma once

#include <cstdint>

#include "VELKCAN.h"

namespace dnm {

struct FaultedNode {
  uint16_t vendor_id;
  uint32_t serial_number;
};

// Another node's duplicate MAC ID check for mac: a request, which the holder of mac answers
// (never a response, so two holders cannot keep answering each other).
bool IsDuplicateCheckRequest(const CANMsg& msg, uint8_t mac);
// Another client's request for the offline connection set, on its request identifier.
bool IsOwnershipRequest(const CANMsg& msg, uint8_t own_mac);
// Another client's objection to a request, in the form an owner sends on the request identifier.
bool IsOwnershipObjection(const CANMsg& msg, uint8_t own_mac);
// A faulted node's answer [mark, vendor ID, serial number], low bytes first. Bytes the answer
// does not carry count as 0.
FaultedNode ParseFaultedNode(const CANMsg& msg);

}  // namespace dnm
