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

// Hosts the segment at the socket path, or attaches it to the process that hosts it there;
// true when this process hosts it. Throws std::runtime_error when neither works.
bool ShareSegmentAt(Segment& segment, const std::string& path);

// Joins the segment and the SocketCAN network interface: frames of the segment's nodes go out on
// the interface, frames from it reach them. Throws std::runtime_error when it cannot be opened.
void BridgeSegment(Segment& segment, const std::string& iface);

}  // namespace vcan
