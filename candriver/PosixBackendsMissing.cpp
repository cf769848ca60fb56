// A system without SocketCAN and POSIX processes: the network description refuses the lines
// that need them, so these are never reached.
#include <stdexcept>

#include "PosixBackends.h"

namespace vcan {

const char* PosixBackendsMissing() {
  return "needs a POSIX system (SocketCAN ports and bridges, process nodes and shared segments are "
         "not available on Windows)";
}

std::shared_ptr<DriverPort> OpenSocketCanPort(const std::string&, const std::string&, size_t,
                                              std::unique_ptr<Capture>) {
  throw std::logic_error(PosixBackendsMissing());
}

void StartProcessNode(std::string, Segment&, uint32_t, std::string, std::string) {
  throw std::logic_error(PosixBackendsMissing());
}

Shared ShareSegmentAt(Segment&, const ShareRequest&) {
  throw std::logic_error(PosixBackendsMissing());
}

std::string UnhostedSharedPath() {
  return {};
}

void BridgeSegment(Segment&, const std::string&) {
  throw std::logic_error(PosixBackendsMissing());
}

}  // namespace vcan
