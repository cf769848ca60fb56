// Who may reach a shared segment: the user the host runs as, and the members of the group the
// description names (group=NAME) besides. The same rule decides, on the attaching side, which
// hosts a process trusts.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace vcan {

struct SharedAccess {
  uid_t owner;
  std::optional<gid_t> group;

  // The process's own user only.
  static SharedAccess OwnerOnly();
  // The own user and the members of the group NAME; throws std::runtime_error for an unknown
  // group or one this user is not a member of.
  static SharedAccess WithGroup(const std::string& name);

  // The socket file's mode: 0600, or 0660 for a group.
  mode_t SocketMode() const { return group ? 0660 : 0600; }
  // Whether the process at the other end of the connected local socket fd is admitted.
  bool Admits(int fd) const;
  // The process at the other end of the connected local socket fd; nullopt when the system
  // does not tell.
  static std::optional<ucred> Peer(int fd);
  // Whether a file owned by uid:gid may be the segment's (its socket or lock).
  bool AdmitsFile(uid_t uid, gid_t gid) const;
};

}  // namespace vcan
