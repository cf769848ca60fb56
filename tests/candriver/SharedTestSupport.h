// Unix sockets and records for the tests of shared segments.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "SharedWire.h"

namespace vcan::shared_test {

// A socket path in the test's temporary directory, unique to this process.
inline std::string SocketPath(const std::string& name) {
  return testing::TempDir() + name + std::to_string(getpid()) + ".sock";
}

inline sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

// A Unix stream socket that put (connect, or bind and listen) put at path; -1 if it could not.
template <typename Put>
int SocketAt(const std::string& path, Put put) {
  const sockaddr_un address = AddressOf(path);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || put(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address)) return fd;
  close(fd);
  return -1;
}
// A socket connected to path that has said nothing yet.
inline int Connect(const std::string& path) {
  return SocketAt(path, [](int fd, auto at, auto size) { return connect(fd, at, size) == 0; });
}
inline int Listen(const std::string& path, int backlog) {
  return SocketAt(path, [backlog](int fd, auto at, auto size) {
    return bind(fd, at, size) == 0 && listen(fd, backlog) == 0;
  });
}

inline void SetReadTimeout(int fd, timeval limit) {
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

inline wire::Record SendRecord(uint32_t tag, uint32_t baud, uint32_t id = 0x123, uint8_t len = 8) {
  return {.type = wire::Type::kSend,
          .baud = baud,
          .tag = tag,
          .frame = {id, len, false, {1, 2, 3, 4, 5, 6, 7, 8}}};
}

}  // namespace vcan::shared_test
