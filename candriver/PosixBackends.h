// The backends that need a POSIX system: ports on SocketCAN network interfaces and nodes played
// by external programs. Where they do not exist (Windows), the network description refuses
// their lines and these functions are never called.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Capture.h"
#include "DriverPort.h"

namespace vcan {

class Segment;

// Empty where the backends exist, otherwise why a line that needs them is refused.
const char* PosixBackendsMissing();

std::shared_ptr<DriverPort> OpenSocketCanPort(const std::string& name, const std::string& iface,
                                              size_t rx_capacity, std::unique_ptr<Capture> capture);

// Creates the node, attaches it to the segment and starts its program.
void StartProcessNode(std::string name, Segment& segment, uint32_t baud, std::string command,
                      std::string origin);

// A shared segment as the description names it (shared=NAME [group=GROUP] [host=yes]).
struct ShareRequest {
  std::string name;
  std::string group;       // empty: the user alone
  bool may_host = false;   // host it when no process does
  bool must_host = false;  // host it; a host already running is an error
};
struct Shared {
  std::string path;  // where the socket is (a name without a slash is in the private directory)
  enum class How { kHosted, kAttached, kNoHost } how;
};
// Hosts the segment, attaches it to the process that hosts it, or leaves it without a host (see
// SharedPlace.h). Throws std::runtime_error when none of these works.
Shared ShareSegmentAt(Segment& segment, const ShareRequest& request);
// The path of a shared segment of this process that no process hosts now; empty when none
// (SharedPlace.cpp).
std::string UnhostedSharedPath();

// Joins the segment and the SocketCAN network interface: frames of the segment's nodes go out on
// the interface, frames from it reach them. Throws std::runtime_error when it cannot be opened.
void BridgeSegment(Segment& segment, const std::string& iface);

}  // namespace vcan
