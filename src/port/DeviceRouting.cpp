#include "port/DeviceRouting.h"

namespace dnm {

namespace {

struct FrameKind {
  bool explicit_response;  // group 2 message ID 3 to the master
  bool group3_explicit;    // group 3 message ID 5 to the master
  bool group3;             // group 3 to the master
  bool io;                 // group 1 message IDs 12 to 15, or group 3 from message ID 4 on
};

FrameKind KindOf(const CANMsg& msg, uint8_t master) {
  // Byte 0 of an answer names the MAC ID it is for; a frame without data is for nobody.
  const bool to_master = msg.len > 0 && (msg.data[0] & 0x3F) == master;
  return {(msg.id & 0x403) == 0x403 && to_master, (msg.id & 0x740) == 0x740 && to_master,
          (msg.id & 0x600) == 0x600 && to_master, (msg.id & 0x300) == 0x300};
}

DeviceRoute BeforeConnection(const FrameKind& kind) {
  if (kind.explicit_response) return {true, RouteNote::kNone, false};
  if (kind.group3_explicit) return {true, RouteNote::kGroup3Explicit, false};
  if (kind.group3) return {true, RouteNote::kGroup3Io, false};
  return {false, RouteNote::kNotConnectedData0, false};
}

// A frame that is both an answer and an I/O message (group 3 from message ID 4 on) goes in once.
DeviceRoute OnConnection(const FrameKind& kind) {
  DeviceRoute route{false, RouteNote::kNotConnected, false};
  if (kind.explicit_response) {
    route = {true, RouteNote::kNone, false};
  } else if (kind.group3) {
    route = {true, RouteNote::kGroup3Io, false};
  }
  route.put = route.put || kind.io;
  route.not_own_message = !kind.io;
  return route;
}

}  // namespace

DeviceRoute PlanDeviceRoute(const CANMsg& msg, uint8_t master, DeviceState device) {
  if (!device.started) return {false, RouteNote::kNotStarted, false};
  const FrameKind kind = KindOf(msg, master);
  return device.explicit_established ? OnConnection(kind) : BeforeConnection(kind);
}

}  // namespace dnm
