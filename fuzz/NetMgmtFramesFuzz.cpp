// Frames of any identifier, length and bytes read as network management frames of other
// nodes, once as they are and once with other bytes past their length: every decision is the
// same, and a faulted node's vendor ID and serial number are the bytes its answer carries.
#include <algorithm>

#include "FuzzInput.h"
#include "netmgmt/ManagementFrames.h"
#include "port/Identifiers.h"

namespace {

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

CANMsg OtherBytesPastLength(CANMsg frame) {
  for (size_t i = std::min<size_t>(frame.len, 8); i < 8; ++i) frame.data[i] ^= 0xFF;
  return frame;
}

// Mostly the identifiers these frames come on, sometimes any.
uint32_t Identifier(fuzz::Input& input, uint8_t mac) {
  switch (input.Byte() % 4) {
    case 0:
      return dnm::DuplicateCheckId(mac);
    case 1:
      return dnm::kOwnershipRequestId;
    case 2:
      return dnm::kFaultedNodeAnswerId;
    default:
      return input.Word() & 0x7FF;
  }
}

bool SameDecisions(const CANMsg& a, const CANMsg& b, uint8_t mac) {
  return dnm::IsDuplicateCheckRequest(a, mac) == dnm::IsDuplicateCheckRequest(b, mac) &&
         dnm::IsOwnershipRequest(a, mac) == dnm::IsOwnershipRequest(b, mac) &&
         dnm::IsOwnershipObjection(a, mac) == dnm::IsOwnershipObjection(b, mac);
}

// Vendor ID in bytes 1 and 2, serial number in bytes 3 to 6; bytes not carried are 0.
bool CarriesNode(const CANMsg& answer, const dnm::FaultedNode& node) {
  uint8_t carried[8] = {};
  std::copy_n(answer.data, std::min<size_t>(answer.len, 8), carried);
  const uint32_t serial =
      carried[3] | carried[4] << 8 | carried[5] << 16 | static_cast<uint32_t>(carried[6]) << 24;
  return node.vendor_id == (carried[1] | carried[2] << 8) && node.serial_number == serial;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const uint8_t mac = input.Byte() & 0x3F;
  while (!input.empty()) {
    const CANMsg frame = input.Frame(Identifier(input, mac));
    const CANMsg other = OtherBytesPastLength(frame);
    Check(SameDecisions(frame, other, mac));
    Check(CarriesNode(frame, dnm::ParseFaultedNode(frame)));
    Check(CarriesNode(frame, dnm::ParseFaultedNode(other)));
  }
  return 0;
}
