// Who hosts a shared segment: the first process to take the lock beside its socket path listens
// there; every later one attaches to it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "SharedSegment.h"
#include "SharedSocket.h"

namespace vcan {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

int Listen(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) Fail("socket path too long:", path, ENAMETOOLONG);
  path.copy(address.sun_path, path.size());
  unlink(path.c_str());  // left by a host that ended; the lock says none runs now
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    Fail("cannot host shared segment at", path, error);
  }
  return fd;
}

// The host holds PATH.lock for as long as it runs, so exactly one process hosts and a socket
// file that nobody holds the lock for is a leftover.
bool TakeHostLock(const std::string& path) {
  const std::string lock_path = path + ".lock";
  const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot open", lock_path, errno);
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;  // kept open: held until the process ends
  close(fd);
  return false;
}

// The host may still be between taking the lock and listening.
int AttachToHost(const std::string& path) {
  constexpr int kTries = 100;
  int fd = -ENOENT;
  for (int i = 0; i < kTries && (fd == -ENOENT || fd == -ECONNREFUSED); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fd = wire::Attach(path);
  }
  if (fd < 0) Fail("cannot attach to shared segment at", path, -fd);
  return fd;
}

}  // namespace

std::shared_ptr<SharedHost> ShareSegment(Segment& segment, const std::string& path) {
  if (TakeHostLock(path)) {
    auto host = std::make_shared<SharedHost>(segment, Listen(path), SharedAccess::OwnerOnly());
    segment.AddTap(host);
    host->Start();
    return host;
  }
  auto uplink = std::make_shared<SharedUplink>(segment, path, AttachToHost(path));
  segment.SetUplink(uplink);
  uplink->Start();
  return nullptr;
}

}  // namespace vcan
