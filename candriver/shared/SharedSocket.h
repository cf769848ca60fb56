// The local stream socket of a shared segment: whole records in and out, and the attach
// handshake. Used by the card and by tools that watch a shared segment.
#pragma once

#include <optional>
#include <string>

#include "SharedWire.h"

namespace vcan::wire {

// Writes the whole record; false when the peer is gone. With wait false, also false (and
// nothing written) when the socket has no room for it now.
bool WriteRecord(int fd, const Record& record, bool wait = true);
// Reads one whole record (blocking); nullopt at end of file, on an error or a malformed record.
std::optional<Record> ReadRecord(int fd);

inline constexpr int kGreetingSeconds = 2;

// Connects to the host at path and exchanges the greeting; the socket, or -errno
// (-EPROTO for a peer that does not greet as a host of this version; for a host that refuses,
// wire::RefusalError of its reason).
int Attach(const std::string& path);

}  // namespace vcan::wire
