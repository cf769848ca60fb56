#include "SharedAccess.h"

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

namespace vcan {
namespace {

bool IsMember(gid_t group) {
  if (getegid() == group) return true;
  const int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
  const int got = getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

// The supplementary groups of the peer, where the system reports them.
bool PeerInGroup(int fd, gid_t group) {
#ifdef SO_PEERGROUPS
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 2; ++attempt) {
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      const size_t count = std::min<size_t>(size / sizeof(gid_t), groups.size());
      return std::find(groups.begin(), groups.begin() + static_cast<long>(count), group) !=
             groups.begin() + static_cast<long>(count);
    }
    if (errno != ERANGE || size / sizeof(gid_t) > 65536) return false;
    groups.resize(size / sizeof(gid_t) + 1);
  }
#else
  (void)fd;
  (void)group;
#endif
  return false;
}

}  // namespace

SharedAccess SharedAccess::OwnerOnly() {
  return SharedAccess{geteuid(), std::nullopt};
}

SharedAccess SharedAccess::WithGroup(const std::string& name) {
  const struct group* found = getgrnam(name.c_str());
  if (found == nullptr) throw std::runtime_error("unknown group '" + name + "'");
  if (!IsMember(found->gr_gid)) {
    throw std::runtime_error("this user is not a member of group '" + name + "'");
  }
  return SharedAccess{geteuid(), found->gr_gid};
}

std::optional<ucred> SharedAccess::Peer(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return std::nullopt;
  return peer;
}

bool SharedAccess::Admits(int fd) const {
  const auto peer = Peer(fd);
  if (!peer) return false;
  if (peer->uid == owner) return true;
  if (!group) return false;
  return peer->gid == *group || PeerInGroup(fd, *group);
}

bool SharedAccess::AdmitsFile(uid_t uid, gid_t gid) const {
  return uid == owner || (group && gid == *group);
}

}  // namespace vcan
