// The common argument checks of the exports, as one reusable piece.
//
//   ExportCall call("AddDevice()   ", board);
//   call.Port(port).Mac(mac).Active().Online().NotInScanList(mac);
//   if (call.Failed()) return call.Code();
//
// Checks run in the order they are chained; the first that fails writes its
// trace line (the tag followed by the reason) and the rest are skipped. While
// the object lives it holds the board's lifecycle lock (shared), so the board
// cannot be closed under a running call. A call made while the board is being
// activated or closed does not wait: the board counts as not active for it.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "api/Library.h"
#include "platform/SharedMutex.h"

namespace dnm {

class Board;
class CANPort;

// The tag of the checks of every export on a device's connections (explicit,
// poll, bit-strobe, COS and cyclic), not of DNM_GetAttribute alone: these are
// the system's own trace texts, which applications and tools match, so the
// tag is no slip to be put right.
inline constexpr const char kConnectionExportTag[] = "GetAttribute()   ";

class ExportCall {
 public:
  // board_format, when given, replaces tag + reason of the board range check.
  ExportCall(const char* tag, uint8_t board, const char* board_format = nullptr);

  // Each check takes an optional full format that replaces tag + reason.
  ExportCall& Port(uint8_t port, const char* format = nullptr);
  ExportCall& Mac(uint8_t mac, const char* format = nullptr);
  ExportCall& Baud(uint8_t baud, const char* format = nullptr);
  ExportCall& Active(const char* format = nullptr);
  ExportCall& Online(const char* format = nullptr);
  ExportCall& NotOnline(const char* format = nullptr);
  ExportCall& InScanList(uint8_t mac, const char* format = nullptr);
  ExportCall& NotInScanList(uint8_t mac, const char* format = nullptr);
  ExportCall& NotNull(const void* pointer, const char* what);
  // Holds the port's lock for the rest of the call: exclusively for calls
  // that change the port's state, its scan list or a device's connections.
  // Shared, it waits for such a call only while the port stays online, and
  // fails as Online() does once the port is not.
  ExportCall& LockPort(bool exclusive);
  // Lets go of the port's lock early, before a call waits on the bus.
  void UnlockPort();

  bool Failed() const { return code_ != 0; }
  uint16_t Code() const { return code_; }
  uint8_t board_number() const { return board_; }
  uint8_t port_number() const { return port_; }
  // Valid once Active() has passed.
  Board& board() const { return *board_record_; }
  // Valid once Active() and Port() have passed.
  CANPort& port() const;

 private:
  bool Skip() const { return code_ != 0; }
  void Fail(uint16_t code, const char* format, const char* reason, int value);

  const char* tag_;
  uint8_t board_;
  uint8_t port_ = 0;
  uint16_t code_ = 0;
  Board* board_record_ = nullptr;
  std::shared_lock<platform::SharedMutex> lifecycle_;
  // Released before the lifecycle lock (members end in reverse order).
  std::shared_lock<platform::SharedMutex> port_shared_;
  std::unique_lock<platform::SharedMutex> port_exclusive_;
};

}  // namespace dnm
