// One description per connection kind of a device: what its choice bits,
// Connection object instance, identifiers, worker thread and trace texts
// are. The routing entries, the workers, the exports, the set-up reasons
// and the device's take-apart order all read them here, so that the halves
// that must agree (the identifier a routing entry maps and the key its
// worker waits for) cannot drift apart. What a kind does differently, as
// the Parts make the kinds differ, stays in its worker and its exports.
#pragma once

#include <array>
#include <cstdint>

#include "platform/Platform.h"
#include "port/Identifiers.h"

namespace dnm {

class CANPort;
class ConnectionObject;
class Device_Info;

// Connection kinds, indexed as InstanceID - 1.
enum ConnectionKind : uint8_t { kExplicit = 0, kPoll = 1, kBitStrobe = 2, kCosCyclic = 3 };
constexpr uint8_t kConnectionKinds = 4;

// Bits of AllocateChoiceByte.
constexpr uint8_t kChoiceExplicit = 0x01;
constexpr uint8_t kChoicePoll = 0x02;
constexpr uint8_t kChoiceBitStrobe = 0x04;
constexpr uint8_t kChoiceCos = 0x10;
constexpr uint8_t kChoiceCyclic = 0x20;

// Statuses an I/O connection that does not stand may have, beside 255.
constexpr uint16_t kStatusProducedSize = 1;
constexpr uint16_t kStatusConsumedSize = 2;
constexpr uint16_t kStatusAllocationRefused = 3;

// The worker thread of a kind: its trace texts, codes and priority.
struct WorkerKind {
  const char* create_error;    // format with the MAC ID
  const char* create_success;  // format with the MAC ID
  const char* not_configured;
  const char* resume_success;
  const char* resume_error;
  const char* delete_line;
  const char* delete_areas_line;  // nullptr when the kind has no data areas
  uint16_t creation_code;
  uint16_t not_configured_code;
  platform::ThreadPriority priority;
};

using WorkerBody = void (*)(CANPort& port, Device_Info& device, ConnectionObject& connection);

struct ConnectionKindInfo {
  ConnectionKind kind;
  uint8_t instance;     // its Connection object instance
  uint8_t choice_bits;  // its bits of AllocateChoiceByte (COS and cyclic share one kind)
  // The group 2 message ID of the frames the master sends on the connection
  // (the poll command, the bit-strobe command on the master's own MAC ID,
  // the acknowledgement of a COS/cyclic input), and the group 1 message ID
  // of those the device produces on it. Both 0 for the explicit connection,
  // whose route is ExplicitRoute.
  uint8_t request_message;
  uint8_t produced_message;
  // The expected packet rate goes to the device as configured on either
  // route (it produces at that rate), not bounded as poll and bit-strobe's.
  bool rate_sent_whole;
  const char* thread_text;           // how the worker names itself in trace lines
  const char* ucmm_refused_text;     // its allocation over UCMM refused
  const char* ucmm_unanswered_text;  // its allocation over UCMM unanswered
  WorkerKind worker;
  WorkerBody body;

  // The identifier of the master's frames to (or, bit-strobe, from) the MAC ID.
  uint32_t RequestId(uint8_t mac) const { return Group2Id(mac, request_message); }
  // The identifier of the frames the device produces on the connection.
  uint32_t ProducedId(uint8_t mac) const { return Group1Id(produced_message, mac); }
};

const ConnectionKindInfo& KindInfo(ConnectionKind kind);

// The order in which a device's connections are taken apart.
constexpr std::array<ConnectionKind, kConnectionKinds> kTakeApartOrder = {kExplicit, kBitStrobe,
                                                                          kCosCyclic, kPoll};

}  // namespace dnm
