// Who hosts a shared segment: the first process to take the lock beside its socket path listens
// there; every later one attaches to it. The files are judged as a careful daemon would: the
// lock is never followed through a symbolic link and must be a regular file of the user's, and
// only a socket of the user's, left by a host that ended, is ever replaced.
#include "SharedPlace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "SharedSegment.h"
#include "SharedSocket.h"

namespace vcan {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

[[noreturn]] void Refuse(const std::string& why) {
  throw std::runtime_error(why);
}

const char* KindOfFile(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

// ---- The segments of this process, by path ----

struct Place {
  std::string path;
  Segment* segment;
};

std::mutex places_mutex;
std::vector<Place> places;

void Claim(const std::string& path, Segment& segment) {
  std::lock_guard lock(places_mutex);
  for (const Place& place : places) {
    if (place.path == path) {
      Refuse("shared segment " + path + " is segment " + place.segment->name() +
             "'s already; give each segment a path of its own");
    }
  }
  places.push_back({path, &segment});
}

// ---- The lock ----

struct Lock {
  int fd = -1;        // kept open while held: held until the process ends
  bool held = false;  // by this process
};

// A lock file that is not a regular file of the user's (or of the description's group) is not
// the segment's: someone else put it there.
int OpenLockFile(const std::string& lock_path, const SharedAccess& access) {
  const int fd =
      open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, access.SocketMode());
  if (fd < 0 && errno == ELOOP) Refuse(lock_path + " is a symbolic link; refused");
  if (fd < 0) Fail("cannot open", lock_path, errno);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      !access.AdmitsFile(info.st_uid, info.st_gid)) {
    close(fd);
    Refuse(lock_path + " is not a regular file of this user's; refused");
  }
  if (access.group && info.st_uid == geteuid()) {
    // Members of the group take the same lock to learn whether a host runs.
    if (fchown(fd, static_cast<uid_t>(-1), *access.group) != 0 || fchmod(fd, 0660) != 0) {
      const int error = errno;
      close(fd);
      Fail("cannot give the group access to", lock_path, error);
    }
  }
  return fd;
}

// The host writes its process id into the lock it holds, for a second host to name it.
void WriteHostId(int fd) {
  const std::string text = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) < 0) {
    std::fprintf(stderr, "VELKCAN: cannot note the host's process id: %s\n", std::strerror(errno));
  }
}

// The process id a running host wrote, or 0 (it may not have written it yet).
long ReadHostId(int fd) {
  for (int tries = 0; tries < 25; ++tries) {
    char text[24] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    long pid = 0;
    if (got > 0) std::from_chars(text, text + got, pid);
    if (pid > 0) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

Lock TakeHostLock(const std::string& path, const SharedAccess& access) {
  Lock lock{OpenLockFile(path + ".lock", access), false};
  lock.held = flock(lock.fd, LOCK_EX | LOCK_NB) == 0;
  return lock;
}

// ---- The socket ----

// Only a socket of the user's is a leftover of a host that ended (the lock says none runs now);
// anything else at the path stays as it is.
void ClearLeftover(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return;
    Fail("cannot look at", path, errno);
  }
  if (!S_ISSOCK(info.st_mode)) {
    Refuse(path + " is " + KindOfFile(info.st_mode) +
           ", not a shared segment's socket; refused (it stays as it is)");
  }
  if (info.st_uid != geteuid()) {
    Refuse("the socket " + path + " belongs to user " + std::to_string(info.st_uid) +
           "; refused (it stays as it is)");
  }
  if (unlink(path.c_str()) != 0) Fail("cannot remove the socket left at", path, errno);
  std::fprintf(stderr, "VELKCAN: replaced the socket %s left by a host that ended\n", path.c_str());
}

// Bound, then given its mode, then listening: nobody connects before it has its mode.
int Listen(const std::string& path, const SharedAccess& access) {
  sockaddr_un address;
  if (!wire::SocketAddress(path, address)) Fail("socket path too long:", path, ENAMETOOLONG);
  ClearLeftover(path);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool made =
      fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      (!access.group || chown(path.c_str(), static_cast<uid_t>(-1), *access.group) == 0) &&
      chmod(path.c_str(), access.SocketMode()) == 0 && listen(fd, SOMAXCONN) == 0;
  if (!made) {
    const int error = errno;
    if (fd >= 0) close(fd);
    Fail("cannot host shared segment at", path, error);
  }
  return fd;
}

// The host may still be between taking the lock and listening.
int AttachToHost(const std::string& path, const SharedAccess& access) {
  constexpr int kTries = 100;
  int fd = -ENOENT;
  std::string refusal;
  for (int i = 0; i < kTries && (fd == -ENOENT || fd == -ECONNREFUSED); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fd = wire::Attach(path, access, &refusal);
  }
  if (fd == -EPERM && !refusal.empty()) Refuse(refusal);
  if (fd < 0) Fail("cannot attach to shared segment at", path, -fd);
  return fd;
}

std::shared_ptr<SharedHost> Host(Segment& segment, const std::string& path,
                                 const SharedAccess& access) {
  auto host = std::make_shared<SharedHost>(segment, Listen(path, access), access);
  segment.AddTap(host);
  host->Start();
  return host;
}

void Attach(Segment& segment, const std::string& path, const SharedAccess& access, int fd) {
  auto uplink = std::make_shared<SharedUplink>(segment, path, fd, access);
  segment.SetUplink(uplink);
  uplink->Start();
}

}  // namespace

std::shared_ptr<SharedHost> ShareSegment(Segment& segment, const std::string& path,
                                         const HostRule& rule) {
  Claim(path, segment);
  const Lock lock = TakeHostLock(path, rule.access);
  if (lock.held && (rule.may_host || rule.must_host)) {
    WriteHostId(lock.fd);
    return Host(segment, path, rule.access);
  }
  if (lock.held) {
    // Nobody hosts and this process is not to: it lets go, so that two such processes started
    // together both find no host rather than one attaching to the other.
    close(lock.fd);
    Attach(segment, path, rule.access, -1);
    return nullptr;
  }
  if (rule.must_host) {
    const long pid = ReadHostId(lock.fd);
    close(lock.fd);
    Refuse("shared segment " + path + " is hosted already, by process " +
           (pid > 0 ? std::to_string(pid) : std::string("(not known)")));
  }
  close(lock.fd);
  Attach(segment, path, rule.access, AttachToHost(path, rule.access));
  return nullptr;
}

std::shared_ptr<SharedHost> ShareSegment(Segment& segment, const std::string& path) {
  HostRule rule;
  rule.may_host = true;
  return ShareSegment(segment, path, rule);
}

std::string UnhostedSharedPath() {
  std::lock_guard lock(places_mutex);
  for (const Place& place : places) {
    if (!place.segment->reachable()) return place.path;
  }
  return {};
}

}  // namespace vcan
