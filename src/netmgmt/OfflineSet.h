// Requests on the offline connection set, through which the client that
// owns the set reaches faulted nodes, and the waits for their answers in
// the port buffer. Callers hold the port's port buffer turn.
#pragma once

#include <cstdint>
#include <vector>

#include "netmgmt/ManagementFrames.h"

namespace dnm {

class CANPort;

// How long a request waits for its first answer, and how long the answers
// of several faulted nodes may lie apart before the collection ends.
constexpr uint32_t kOfflineAnswerWindowMs = 1000;
constexpr uint32_t kFaultedNodeQuietMs = 50;

// Adds the port-buffer routes of the offline set's answers (faulted nodes,
// ownership) where the routing table has none for the identifier yet.
void RouteOfflineAnswers(CANPort& port);

// Sends the ownership request twice, each followed by the answer window, and
// looks for another client's objection; one taken at any time from the first
// request on counts. 0 none came; DNM_GetOwnershipError one came; the send
// path's code when neither request could be sent.
uint16_t AskForOwnership(CANPort& port);

enum class FaultedNodeRequest : uint8_t { kCheck = 0x4C, kList = 0x4B };

// Sends a check or list request and collects the answers, the first within
// the window, each further one within the quiet gap of the one before.
// Frames too short to hold a vendor ID and serial number are dropped, a
// node that answers again is kept once, and at most 64 nodes are kept.
// Returns 0 or the send path's code; answers are appended to found.
uint16_t AskFaultedNodes(CANPort& port, FaultedNodeRequest request,
                         std::vector<FaultedNode>& found);

// Gives the faulted node with this vendor ID and serial number a new MAC ID;
// 0 or the send path's code. No answer is awaited.
uint16_t SendChangeMacId(CANPort& port, uint16_t vendor_id, uint32_t serial_number,
                         uint8_t new_mac);

}  // namespace dnm
