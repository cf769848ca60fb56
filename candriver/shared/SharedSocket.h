// The local stream socket of a shared segment: whole records in and out, and the attach
// handshake. Used by the card and by tools that watch a shared segment.
#pragma once

#include <sys/un.h>

#include <optional>
#include <string>

#include "SharedAccess.h"
#include "SharedWire.h"

namespace vcan::wire {

// Writes the whole record; false when the peer is gone. With wait false, also false (and
// nothing written) when the socket has no room for it now.
bool WriteRecord(int fd, const Record& record, bool wait = true);
// Reads one whole record (blocking); nullopt at end of file, on an error or a malformed record.
std::optional<Record> ReadRecord(int fd);

inline constexpr int kGreetingSeconds = 2;

// The local socket address of path; false when the path is too long for one.
bool SocketAddress(const std::string& path, sockaddr_un& address);

// Connects to the host at path and exchanges the greeting; the socket, or -errno (-EPROTO for a
// peer that does not greet as a host of this version; for a host that refuses, wire::RefusalError
// of its reason). A host that access does not admit, or
// whose socket file belongs to another user than the host, is refused with -EPERM and the reason
// in refusal (when given): a process never attaches quietly to another user's host.
int Attach(const std::string& path, const SharedAccess& access = SharedAccess::OwnerOnly(),
           std::string* refusal = nullptr);

// The directory private to this user where segments named without a slash live:
// $XDG_RUNTIME_DIR/velkcan, or /tmp/velkcan-UID without XDG_RUNTIME_DIR. Created (mode 0700)
// when missing; throws std::runtime_error when it is not a directory of this user's that only
// this user can enter.
std::string PrivateDirectory();
// Where the segment shared=NAME lives: NAME itself when it holds a slash, else NAME in the
// private directory. Throws std::runtime_error as PrivateDirectory does, or for "." and "..".
std::string SegmentPath(const std::string& name);

}  // namespace vcan::wire
