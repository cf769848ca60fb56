#include "SharedSocket.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

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

int Attach(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -ENAMETOOLONG;
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    return -error;
  }
  // A host that does not greet within the limit (stopped, or not a host) is not waited for.
  timeval limit{kGreetingSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (!WriteRecord(fd, Hello())) {
    close(fd);
    return -EPIPE;
  }
  const auto answer = ReadRecord(fd);
  if (answer && answer->type == Type::kRefused) {
    close(fd);
    return -RefusalError(RefusalOf(*answer));
  }
  if (!answer || !IsHello(*answer)) {
    close(fd);
    return -EPROTO;
  }
  limit = timeval{};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

}  // namespace vcan::wire
