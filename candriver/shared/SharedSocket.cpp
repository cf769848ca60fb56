#include "SharedSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vcan::wire {

// A record once begun is finished even without wait, so that the stream stays in records (a
// local stream socket takes 32 bytes whole or not at all in practice).
bool WriteRecord(int fd, const Record& record, bool wait) {
  const Bytes bytes = Encode(record);
  size_t done = 0;
  while (done < bytes.size()) {
    const int flags = MSG_NOSIGNAL | (done == 0 && !wait ? MSG_DONTWAIT : 0);
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, flags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::optional<Record> ReadRecord(int fd) {
  Bytes bytes{};
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = recv(fd, bytes.data() + done, bytes.size() - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    done += static_cast<size_t>(n);
  }
  return Decode(bytes);
}

namespace {

std::string UserText(uid_t uid) {
  return "user " + std::to_string(uid);
}

// Why the host at the other end of fd, listening at path, is not trusted; empty when it is.
std::string HostRefusal(int fd, const std::string& path, const SharedAccess& access) {
  const auto peer = SharedAccess::Peer(fd);
  if (!peer) return "cannot tell which user hosts " + path;
  const uid_t host = peer->uid;
  if (!access.Admits(fd)) {
    return "the host of " + path + " runs as " + UserText(host) +
           ", who may not serve this user's segments; refused";
  }
  struct stat file {};
  if (lstat(path.c_str(), &file) != 0 || !S_ISSOCK(file.st_mode) || file.st_uid != host) {
    return "the socket file " + path + " does not belong to the host's user (" + UserText(host) +
           "); refused";
  }
  return {};
}

int CloseWith(int fd, int error) {
  close(fd);
  return -error;
}

}  // namespace

bool SocketAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  return true;
}

int Attach(const std::string& path, const SharedAccess& access, std::string* refusal) {
  sockaddr_un address;
  if (!wire::SocketAddress(path, address)) return -ENAMETOOLONG;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return CloseWith(fd, errno);
  }
  if (std::string why = HostRefusal(fd, path, access); !why.empty()) {
    if (refusal != nullptr) *refusal = std::move(why);
    return CloseWith(fd, EPERM);
  }
  // A host that does not greet within the limit (stopped, or not a host) is not waited for.
  timeval limit{kGreetingSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (!WriteRecord(fd, Hello())) return CloseWith(fd, EPIPE);
  const auto answer = ReadRecord(fd);
  if (answer && answer->type == Type::kRefused) {
    return CloseWith(fd, RefusalError(RefusalOf(*answer)));
  }
  if (!answer || !IsHello(*answer)) return CloseWith(fd, EPROTO);
  limit = timeval{};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

std::string PrivateDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string dir = runtime != nullptr && runtime[0] == '/'
                              ? std::string(runtime) + "/velkcan"
                              : "/tmp/velkcan-" + std::to_string(geteuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot create " + dir + ": " + std::strerror(errno));
  }
  struct stat info {};
  if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & 077) != 0) {
    throw std::runtime_error(dir + " is not a directory that only this user (" +
                             UserText(geteuid()) + ") owns and enters (mode 0700); refused");
  }
  return dir;
}

std::string SegmentPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  if (name.empty() || name == "." || name == "..") {
    throw std::runtime_error("'" + name + "' is no segment name");
  }
  return PrivateDirectory() + "/" + name;
}

}  // namespace vcan::wire
