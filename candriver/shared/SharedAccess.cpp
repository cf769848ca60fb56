#include "SharedAccess.h"

#include <sys/socket.h>
#include <unistd.h>

namespace vcan {

SharedAccess SharedAccess::OwnerOnly() {
  return SharedAccess{geteuid()};
}

bool SharedAccess::Admits(int fd) const {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == owner;
}

}  // namespace vcan
