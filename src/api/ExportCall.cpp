#include "api/ExportCall.h"

#include <string>

#include "VELKCANDNM.h"
#include "api/Board.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

namespace dnm {

ExportCall::ExportCall(const char* tag, uint8_t board, const char* board_format)
    : tag_(tag), board_(board) {
  // Signed comparison: with no boards every board number is out of range.
  if (static_cast<int>(board) > static_cast<int>(Lib().board_count.load()) - 1) {
    Fail(DNM_BoardNumberError, board_format, "Error!Board %d is out of range", board);
    return;
  }
  // A board that is being activated or closed is not waited for: Active()
  // then refuses the call.
  lifecycle_ = std::shared_lock(Lib().lifecycle[board], std::try_to_lock);
}

void ExportCall::Fail(uint16_t code, const char* format, const char* reason, int value) {
  code_ = code;
  if (!TraceEnabled()) return;
  if (format != nullptr) {
    Trace(format, value);
  } else {
    const std::string full = std::string(tag_) + reason;
    Trace(full.c_str(), value);
  }
}

ExportCall& ExportCall::Port(uint8_t port, const char* format) {
  if (Skip()) return *this;
  port_ = port;
  if (port >= kPortsPerBoard)
    Fail(DNM_PortNumberError, format, "Error!Port %d is out of range", port);
  return *this;
}

ExportCall& ExportCall::Mac(uint8_t mac, const char* format) {
  if (!Skip() && mac > kMaxMacId) {
    Fail(DNM_MACIDNumberError, format, "Error!MAC ID %d is out of range", mac);
  }
  return *this;
}

ExportCall& ExportCall::Baud(uint8_t baud, const char* format) {
  if (!Skip() && baud > 2)
    Fail(DNM_BaudrateError, format, "Error!Baudrate %d is out of range", baud);
  return *this;
}

ExportCall& ExportCall::Active(const char* format) {
  if (Skip()) return *this;
  if (!lifecycle_.owns_lock() || Lib().board_active[board_] == 0) {
    Fail(DNM_BoardNotActive, format, "Error!Board %d is not Active", board_);
  } else {
    board_record_ = Lib().boards[board_].get();
  }
  return *this;
}

CANPort& ExportCall::port() const {
  return board_record_->port(port_);
}

ExportCall& ExportCall::Online(const char* format) {
  if (!Skip() && port().state() != PortState::kOnline) {
    Fail(DNM_MasterStateError, format, "Error!Port %d is not in Online state", port_);
  }
  return *this;
}

ExportCall& ExportCall::NotOnline(const char* format) {
  if (!Skip() && port().state() == PortState::kOnline) {
    Fail(DNM_PortAlreadyOnline, format, "Error!Port %d is already in Online state", port_);
  }
  return *this;
}

ExportCall& ExportCall::InScanList(uint8_t mac, const char* format) {
  if (!Skip() && !port().InScanList(mac)) {
    Fail(DNM_DeviceNotInScanList, format, "Error!MAC ID %d is not in the ScanList", mac);
  }
  return *this;
}

ExportCall& ExportCall::NotInScanList(uint8_t mac, const char* format) {
  if (!Skip() && port().InScanList(mac)) {
    Fail(DNM_DeviceAlreadyInScanList, format, "Error!MAC ID %d is in the ScanList", mac);
  }
  return *this;
}

ExportCall& ExportCall::LockPort(bool exclusive) {
  if (Skip()) return *this;
  if (exclusive) {
    port_exclusive_ = std::unique_lock(port().port_lock());
    return *this;
  }
  // Only an online port is waited for: one going online or offline refuses
  // the call at once, as a port that is not online does.
  CANPort& target = port();
  if (!target.port_lock().lock_shared_unless(
          [&target] { return target.state() != PortState::kOnline; })) {
    Fail(DNM_MasterStateError, nullptr, "Error!Port %d is not in Online state", port_);
    return *this;
  }
  port_shared_ = std::shared_lock(target.port_lock(), std::adopt_lock);
  return *this;
}

void ExportCall::UnlockPort() {
  if (port_shared_.owns_lock()) port_shared_.unlock();
  if (port_exclusive_.owns_lock()) port_exclusive_.unlock();
}

ExportCall& ExportCall::NotNull(const void* pointer, const char* what) {
  if (Skip() || pointer != nullptr) return *this;
  code_ = DNM_NullPointerError;
  Trace("%sError!%s is a null pointer", tag_, what);
  return *this;
}

}  // namespace dnm
