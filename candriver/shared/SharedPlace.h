// Who hosts a shared segment, and the files beside its socket: the lock that decides it, and
// the socket that only a socket left by a host that ended may be replaced at.
#pragma once

#include <memory>
#include <string>

#include "SharedAccess.h"

namespace vcan {

class Segment;
class SharedHost;

struct HostRule {
  SharedAccess access = SharedAccess::OwnerOnly();
  // When no process hosts the segment: this one hosts it (else it stays without a host and
  // tries to attach every SharedUplink::kRetryPeriod).
  bool may_host = false;
  // This process is to host it: a host already running is an error.
  bool must_host = false;
};

// Hosts the segment at path, attaches it to the process that hosts it there, or (when no process
// does and the rule does not let this one) leaves it attached to nobody until a host comes:
// segment.reachable() tells. Returns the host when this process hosts it, else nullptr. Throws
// std::runtime_error when path is another segment's of this process, when the files at path
// are not the segment's, or when the host is refused.
std::shared_ptr<SharedHost> ShareSegment(Segment& segment, const std::string& path,
                                         const HostRule& rule);

// The path of a shared segment of this process that no process hosts now; empty when each has
// its host.
std::string UnhostedSharedPath();

}  // namespace vcan
