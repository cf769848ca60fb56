// The receive threads' rules for a frame whose identifier the routing table maps to a device's
// connection buffer: whether it goes in, and what is traced about it. Before the device's
// explicit connection stands, only answers to the master (explicit, or over group 3) go in;
// after, its I/O messages too.
#pragma once

#include <cstdint>

#include "VELKCAN.h"

namespace dnm {

// What routing knows of the device a table entry names.
struct DeviceState {
  bool started = false;  // in the scan list and started
  bool explicit_established = false;
};

// The line traced about the connection state, besides the table lookup's own lines.
enum class RouteNote : uint8_t {
  kNone,
  kNotStarted,         // deserted: the device is not started
  kGroup3Explicit,     // put: an answer to the master's unconnected request
  kGroup3Io,           // put: a group 3 frame to the master
  kNotConnectedData0,  // deserted before the explicit connection stands (with data byte 0)
  kNotConnected,       // not put as an answer once the connection stands
};

struct DeviceRoute {
  bool put = false;  // into the entry's buffer
  RouteNote note = RouteNote::kNone;
  bool not_own_message = false;  // neither the device's explicit answer nor its I/O message
};

DeviceRoute PlanDeviceRoute(const CANMsg& msg, uint8_t master, DeviceState device);

}  // namespace dnm
