#include "netmgmt/OfflineSet.h"

#include <algorithm>

#include "VELKCAN.h"
#include "VELKCANDNM.h"
#include "platform/Platform.h"
#include "port/CANPort.h"
#include "port/FrameBytes.h"
#include "port/FrameText.h"
#include "port/Identifiers.h"
#include "port/MapTable.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {
namespace {

constexpr uint8_t kFaultedNodeCheckMark = 0x3F;
constexpr uint8_t kChangeMacIdService = 0x4D;
// Mark, vendor ID (2 bytes), serial number (4 bytes).
constexpr uint8_t kFaultedNodeAnswerLength = 7;
constexpr int kOwnershipRequests = 2;
constexpr size_t kMostFaultedNodes = 64;

// Takes frames as long as take() finds one; waits for new arrivals in
// between, at most timeout_ms in all. True when take() found one.
template <typename Take>
bool TakeWithin(MsgBuffer& buffer, uint32_t timeout_ms, Take take) {
  const uint32_t start = platform::GetTickCount();
  for (;;) {
    const uint64_t mark = buffer.ArrivalMark();
    if (take()) return true;
    const uint32_t elapsed = platform::GetTickCount() - start;
    if (elapsed >= timeout_ms) return false;
    buffer.WaitForArrivalAfter(mark, timeout_ms - elapsed);
  }
}

// Answers left from an earlier request must not pass for answers to the
// next one.
void DropHeld(MsgBuffer& buffer, uint32_t id) {
  CANMsg stale{};
  while (buffer.GetMsg(stale, id) == MsgBuffer::kStored) {
  }
}

// A node that answers more than once counts once, and no more nodes are
// kept than the 64 MAC IDs a network has: a node that floods the set with
// answers cannot push a count into the range of the result codes.
void NoteFaultedNode(std::vector<FaultedNode>& found, const FaultedNode& node) {
  const bool known = std::any_of(found.begin(), found.end(), [&](const FaultedNode& other) {
    return other.vendor_id == node.vendor_id && other.serial_number == node.serial_number;
  });
  if (!known && found.size() < kMostFaultedNodes) found.push_back(node);
}

uint16_t SendRequest(CANPort& port, const char* tag, uint32_t id, uint8_t len,
                     const uint8_t* data) {
  Trace("%s Board %d  Port %d  ConnectionID %x ready to send", tag, port.board_number(),
        port.port_number(), id);
  const uint16_t code = port.SendLocked(id, len, data);
  if (code != 0) Trace("%s Board %d  Port %d  SendCmd Error!", tag, port.board_number(),
                       port.port_number());
  return code;
}

// An objection of another client: the answer awaited on 0x7EE, or the
// answer a client that owns the set sends on 0x7EF with its own MAC ID.
// Other frames on 0x7EF (other clients' requests) are taken and dropped.
bool TakeObjection(MsgBuffer& buffer, uint8_t own_mac, CANMsg& msg) {
  if (buffer.GetMsg(msg, FrameKey::Data(kOwnershipAnswerId, kOwnershipObjection)) == 0)
    return true;
  while (buffer.GetMsg(msg, kOwnershipRequestId) == 0) {
    if (IsOwnershipObjection(msg, own_mac)) return true;
  }
  return false;
}

// Sends one ownership request and, once it went out, waits the answer window
// for an objection. 0 or the send path's code.
uint16_t RequestOwnership(CANPort& port, bool& objected) {
  const uint8_t mac = port.mac_id();
  const auto request = OwnershipData(mac, kOwnershipRequest);
  if (const uint16_t code =
          SendRequest(port, "SendOwnershipRequest( )", kOwnershipRequestId, 8, request.data()))
    return code;
  MsgBuffer& buffer = port.port_buffer();
  CANMsg msg{};
  objected =
      TakeWithin(buffer, kOfflineAnswerWindowMs, [&] { return TakeObjection(buffer, mac, msg); });
  if (objected)
    Trace("SendOwnershipRequest( )   Response Msg " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(msg));
  return 0;
}

}  // namespace

void RouteOfflineAnswers(CANPort& port) {
  MapTable& map = port.map();
  MapTable::Matches matches;
  for (uint32_t id : {kFaultedNodeAnswerId, kOwnershipAnswerId}) {
    if (map.FindConnectionID(id, matches) == MapTable::kNone)
      map.AddMap(id, kPortBufferId, kPortBufferId);
  }
  map.ShowMapTable();
}

uint16_t AskForOwnership(CANPort& port) {
  MsgBuffer& buffer = port.port_buffer();
  // Owners object on the request's own identifier: route it while asking.
  // Only what came before the first request is dropped, so an objection
  // that arrives late in the first wait is taken by the second.
  MapTable& map = port.map();
  map.AddMap(kOwnershipRequestId, kPortBufferId, kPortBufferId);
  DropHeld(buffer, kOwnershipAnswerId);
  DropHeld(buffer, kOwnershipRequestId);
  bool objected = false;
  bool sent = false;
  uint16_t send_code = 0;
  for (int request = 0; request < kOwnershipRequests && !objected; ++request) {
    const uint16_t code = RequestOwnership(port, objected);
    sent = sent || code == 0;
    if (code != 0) send_code = code;
  }
  map.RemoveRoute(kOwnershipRequestId, kPortBufferId, kPortBufferId);
  DropHeld(buffer, kOwnershipRequestId);
  if (objected) return DNM_GetOwnershipError;
  return sent ? uint16_t{DNM_NoError} : send_code;
}

uint16_t AskFaultedNodes(CANPort& port, FaultedNodeRequest request,
                         std::vector<FaultedNode>& found) {
  const bool check = request == FaultedNodeRequest::kCheck;
  const char* tag = check ? "CheckFaultNode( )" : "GetAllFaultNode( )";
  MsgBuffer& buffer = port.port_buffer();
  DropHeld(buffer, kFaultedNodeAnswerId);
  const uint8_t data[2] = {kFaultedNodeCheckMark, static_cast<uint8_t>(request)};
  if (const uint16_t code = SendRequest(port, tag, kFaultedNodeRequestId, 2, data)) return code;

  const FrameKey key = check ? FrameKey::Data(kFaultedNodeAnswerId, kFaultedNodeCheckMark)
                             : FrameKey::Id(kFaultedNodeAnswerId);
  CANMsg msg{};
  const auto take_answer = [&] {
    while (buffer.GetMsg(msg, key) == 0) {
      Trace("%s   Response Msg " DNM_FRAME_FORMAT, tag, DNM_FRAME_FIELDS(msg));
      if (CarriedBytes(msg) < kFaultedNodeAnswerLength) continue;
      NoteFaultedNode(found, ParseFaultedNode(msg));
      return true;
    }
    return false;
  };
  const uint32_t start = platform::GetTickCount();
  uint32_t limit = kOfflineAnswerWindowMs;
  while (TakeWithin(buffer, limit, take_answer)) {
    // Several faulted nodes answer one after another: take all of them.
    const uint32_t elapsed = platform::GetTickCount() - start;
    if (elapsed >= kOfflineAnswerWindowMs) break;
    limit = std::min(kFaultedNodeQuietMs, kOfflineAnswerWindowMs - elapsed);
  }
  return 0;
}

uint16_t SendChangeMacId(CANPort& port, uint16_t vendor_id, uint32_t serial_number,
                         uint8_t new_mac) {
  const uint8_t data[8] = {new_mac,
                           kChangeMacIdService,
                           static_cast<uint8_t>(vendor_id & 0xFF),
                           static_cast<uint8_t>(vendor_id >> 8),
                           static_cast<uint8_t>(serial_number & 0xFF),
                           static_cast<uint8_t>((serial_number >> 8) & 0xFF),
                           static_cast<uint8_t>((serial_number >> 16) & 0xFF),
                           static_cast<uint8_t>(serial_number >> 24)};
  return SendRequest(port, "ChangeFaultMACID( )", kFaultedNodeRequestId, 8, data);
}

}  // namespace dnm
