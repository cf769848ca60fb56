// Who may attach to a shared segment: the user the host runs as, and whoever the description
// lets in besides.
#pragma once

#include <sys/types.h>

namespace vcan {

struct SharedAccess {
  uid_t owner;

  // The host's own user.
  static SharedAccess OwnerOnly();
  // Whether the process at the other end of the connected local socket fd may attach.
  bool Admits(int fd) const;
};

}  // namespace vcan
