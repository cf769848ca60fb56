// Exports that obtain ownership of the offline connection set and reach
// faulted nodes through it: count them, list them, give one a new MAC ID.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "netmgmt/OfflineSet.h"
#include "port/CANPort.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

using namespace dnm;

namespace {

constexpr const char* kTag = "AddDevice()   ";
constexpr uint16_t kNothingArrived = 3;

// The checks of the fault-node calls, the ownership test last.
uint16_t CheckFaultNodeCall(ExportCall& call, uint8_t port) {
  call.Port(port).Active().Online();
  if (call.Failed()) return call.Code();
  if (!call.port().ownership()) {
    Trace("Error!Port %d is not Get Ownership", port);
    return DNM_PortNotGetOwnership;
  }
  return DNM_NoError;
}

// Writes the answers into the caller's arrays: at most capacity entries (64
// when capacity is 0), the rest up to the capacity zeroed.
uint8_t WriteFaultedNodes(const std::vector<FaultedNode>& found, uint16_t* vendor_ids,
                          uint32_t* serial_numbers, uint32_t capacity) {
  const uint32_t room = capacity == 0 ? MsgBuffer::kCapacity : capacity;
  const uint32_t written = std::min<uint32_t>(room, static_cast<uint32_t>(found.size()));
  for (uint32_t i = 0; i < written; ++i) {
    vendor_ids[i] = found[i].vendor_id;
    serial_numbers[i] = found[i].serial_number;
  }
  if (capacity != 0) {
    std::fill(vendor_ids + written, vendor_ids + capacity, uint16_t{0});
    std::fill(serial_numbers + written, serial_numbers + capacity, uint32_t{0});
  }
  return static_cast<uint8_t>(std::min<uint32_t>(written, 255));
}

uint16_t ListFaultedNodes(uint8_t board, uint8_t port, uint16_t* vendor_ids,
                          uint32_t* serial_numbers, uint32_t capacity, uint8_t* count,
                          bool count_wanted) {
  ExportCall call(kTag, board);
  if (const uint16_t refused = CheckFaultNodeCall(call, port)) return refused;
  call.NotNull(vendor_ids, "vendor ID array").NotNull(serial_numbers, "serial number array");
  if (count_wanted) call.NotNull(count, "count");
  if (call.Failed()) return call.Code();
  CANPort& target = call.port();
  std::vector<FaultedNode> found;
  {
    std::lock_guard turn(target.port_buffer_turn());
    if (const uint16_t code = AskFaultedNodes(target, FaultedNodeRequest::kList, found))
      return code;
  }
  const uint8_t written = WriteFaultedNodes(found, vendor_ids, serial_numbers, capacity);
  if (count_wanted) *count = written;
  return found.empty() ? kNothingArrived : uint16_t{DNM_NoError};
}

}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_GetOwnership(uint8_t board, uint8_t port) {
  ExportCall call(kTag, board);
  call.Port(port).Active().Online("GetAttribute()   Error!Port %d is not in Online state");
  if (call.Failed()) return call.Code();
  CANPort& target = call.port();
  std::lock_guard turn(target.port_buffer_turn());
  RouteOfflineAnswers(target);
  // A request that could not be sent leaves the ownership as it was.
  const uint16_t result = AskForOwnership(target);
  if (result == DNM_NoError || result == DNM_GetOwnershipError)
    target.set_ownership(result == DNM_NoError);
  return result;
}

DNM_EXPORT uint16_t DNM_CALL DNM_CheckFaultNode(uint8_t board, uint8_t port) {
  ExportCall call(kTag, board, "Error!Board %d is out of range");
  if (const uint16_t refused = CheckFaultNodeCall(call, port)) return refused;
  CANPort& target = call.port();
  std::vector<FaultedNode> found;
  std::lock_guard turn(target.port_buffer_turn());
  if (AskFaultedNodes(target, FaultedNodeRequest::kCheck, found) != 0)
    return DNM_FaultNodeSendError;
  return static_cast<uint16_t>(found.size());
}

// The fifth argument is not used: callers pass anything there and hold 64
// entries, of which only answered ones are written.
DNM_EXPORT uint16_t DNM_CALL DNM_GetAllFaultNode(uint8_t board, uint8_t port, uint16_t* vendor_ids,
                                                 uint32_t* serial_numbers, uint32_t /*unused*/) {
  return ListFaultedNodes(board, port, vendor_ids, serial_numbers, 0, nullptr, false);
}

DNM_EXPORT uint16_t DNM_CALL DNM_GetAllFaultNodeEx(uint8_t board, uint8_t port,
                                                   uint16_t* vendor_ids, uint32_t* serial_numbers,
                                                   uint32_t capacity, uint8_t* count) {
  return ListFaultedNodes(board, port, vendor_ids, serial_numbers, capacity, count, true);
}

DNM_EXPORT uint16_t DNM_CALL DNM_ChangeFaultMACID(uint8_t board, uint8_t port, uint16_t vendor_id,
                                                  uint32_t serial_number, uint8_t new_mac) {
  ExportCall call(kTag, board);
  if (const uint16_t refused = CheckFaultNodeCall(call, port)) return refused;
  call.Mac(new_mac, "ChangeFaultMACID()   Error!MAC ID %d is out of range");
  if (call.Failed()) return call.Code();
  return SendChangeMacId(call.port(), vendor_id, serial_number, new_mac);
}

}  // extern "C"
