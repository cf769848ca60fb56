// The local stream socket of a shared segment: whole records in and out, and the attach
// handshake. Used by the card and by tools that watch a shared segment.
#pragma once

#include <optional>
#include <string>

#include "SharedWire.h"

namespace vcan::wire {

// Writes the whole record (blocking); false when the peer is gone.
bool WriteRecord(int fd, const Record& record);
// Reads one whole record (blocking); nullopt at end of file, on an error or a malformed record.
std::optional<Record> ReadRecord(int fd);

inline constexpr int kGreetingSeconds = 2;

// Connects to the host at path and exchanges the greeting; the socket, or -errno
// (-EPROTO for a peer that does not greet as a host of this version).
int Attach(const std::string& path);

}  // namespace vcan::wire
