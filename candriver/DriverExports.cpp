// The driver entries the master binds by name. Each first honours an injected fault, then checks
// its board and port (bad board 3, bad port 4, board not active 2) and works on the card.
//
// Compiled once per build variant: VCAN_OMIT_<entry> leaves that entry out of the library, for
// testing a master that meets an incomplete driver.

#include <chrono>
#include <cstdint>

#include "Card.h"
#include "Export.h"
#include "VELKCAN.h"

namespace vcan {
namespace {

constexpr int32_t kDriverVersion = 0x0100;
constexpr int32_t kBoardType = 1;
constexpr int32_t kFirmwareVersion = 0x0100;
constexpr uint32_t kControllerClockHz = 16'000'000;

std::optional<int32_t> InjectedFault(const char* entry) {
  return Card::Instance().faults().Take(entry);
}

struct PortLookup {
  DriverPort* port;
  int32_t code;
};

PortLookup FindActivePort(int32_t board, int32_t driver_port) {
  Board* found = Card::Instance().FindBoard(board);
  if (found == nullptr) return {nullptr, CAN_BoardNumberError};
  if (driver_port < 1 || driver_port > kPortsPerBoard) return {nullptr, CAN_PortNumberError};
  if (!found->active.load()) return {nullptr, CAN_ActiveBoardError};
  return {found->ports[driver_port - 1].get(), CAN_NoError};
}

// The frame of an entry that works on a board: fault, board check, work.
template <typename Work>
int32_t OnBoard(const char* entry, int32_t board, Work work) {
  if (auto injected = InjectedFault(entry)) return *injected;
  Board* found = Card::Instance().FindBoard(board);
  if (found == nullptr) return CAN_BoardNumberError;
  return work(*found);
}

// The frame of an entry that works on a port of an active board. Entries that return a count
// pass negate_errors, so that an argument error cannot pass for frames waiting.
template <typename Work>
int32_t OnActivePort(const char* entry, int32_t board, int32_t port, Work work,
                     bool negate_errors = false) {
  if (auto injected = InjectedFault(entry)) return *injected;
  const PortLookup lookup = FindActivePort(board, port);
  if (lookup.port == nullptr) return negate_errors ? -lookup.code : lookup.code;
  return work(*lookup.port);
}

int32_t Succeed(DriverPort&) {
  return CAN_NoError;
}
int32_t SucceedOnBoard(Board&) {
  return CAN_NoError;
}

}  // namespace
}  // namespace vcan

using vcan::Board;
using vcan::Card;
using vcan::InjectedFault;
using vcan::OnActivePort;
using vcan::OnBoard;
using vcan::DriverPort;

VCAN_EXPORT int32_t CAN_GetDllVersion(void) {
  return InjectedFault(__func__).value_or(vcan::kDriverVersion);
}

VCAN_EXPORT int32_t CAN_TotalBoard(void) {
  return InjectedFault(__func__).value_or(Card::Instance().board_count());
}

// Activating an active board is no error. Ports stay off the bus until CAN_Init.
VCAN_EXPORT int32_t CAN_ActiveBoard(int32_t board) {
  return OnBoard(__func__, board, [](Board& found) {
    found.active.store(true);
    return CAN_NoError;
  });
}

// Answers with a code like every entry: 0 active, 2 not active.
VCAN_EXPORT int32_t CAN_BoardIsActive(int32_t board) {
  return OnBoard(__func__, board, [](Board& found) {
    return found.active.load() ? CAN_NoError : CAN_ActiveBoardError;
  });
}

VCAN_EXPORT int32_t CAN_CloseBoard(int32_t board) {
  return OnBoard(__func__, board, [](Board& found) {
    found.active.store(false);
    for (auto& port : found.ports) port->GoOffBus();
    return CAN_NoError;
  });
}

VCAN_EXPORT int32_t CAN_Reset(int32_t board, int32_t port) {
  return OnActivePort(__func__, board, port, [](DriverPort& node) {
    node.GoOffBus();
    return CAN_NoError;
  });
}

VCAN_EXPORT int32_t CAN_Init(int32_t board, int32_t port) {
  return OnActivePort(__func__, board, port, [](DriverPort& node) { return node.GoOnBus(); });
}

VCAN_EXPORT int32_t CAN_Config(int32_t board, int32_t port, const CANConfig* config) {
  return OnActivePort(__func__, board, port, [config](DriverPort& node) {
    return config == nullptr ? CAN_ConfigError : node.Configure(*config);
  });
}

// The card has no interrupts to manage: these entries only check their arguments.
VCAN_EXPORT int32_t CAN_EnableRxIrq(int32_t board, int32_t port) {
  return OnActivePort(__func__, board, port, vcan::Succeed);
}

VCAN_EXPORT int32_t CAN_DisableRxIrq(int32_t board, int32_t port) {
  return OnActivePort(__func__, board, port, vcan::Succeed);
}

VCAN_EXPORT int32_t CAN_RxIrqStatus(int32_t board, int32_t port) {
  return OnActivePort(__func__, board, port, vcan::Succeed);
}

VCAN_EXPORT int32_t CAN_InstallIrq(int32_t board) {
  return OnBoard(__func__, board, vcan::SucceedOnBoard);
}

VCAN_EXPORT int32_t CAN_RemoveIrq(int32_t board) {
  return OnBoard(__func__, board, vcan::SucceedOnBoard);
}

VCAN_EXPORT int32_t CAN_IrqStatus(int32_t board) {
  return OnBoard(__func__, board, vcan::SucceedOnBoard);
}

#ifndef VCAN_OMIT_CAN_Status
// 0 on the bus, 5 off the bus (in reset, bus-off, interface gone), 19 while a data overrun
// waits to be reported, 20 error passive.
VCAN_EXPORT int32_t CAN_Status(int32_t board, int32_t port) {
  return OnActivePort(__func__, board, port, [](DriverPort& node) { return node.Status(); });
}
#endif

VCAN_EXPORT int32_t CAN_SendMsg(int32_t board, int32_t port, const CANMsg* msg) {
  return OnActivePort(__func__, board, port, [msg](DriverPort& node) {
    return msg == nullptr ? CAN_DriverError : node.Send(*msg);
  });
}

// Argument errors come back negated: -3 bad board, -4 bad port, -2 board not active.
VCAN_EXPORT int32_t CAN_RxMsgCount(int32_t board, int32_t port) {
  return OnActivePort(
      __func__, board, port, [](DriverPort& node) { return node.PendingCount(); }, true);
}

VCAN_EXPORT int32_t CAN_ReceiveMsg(int32_t board, int32_t port, CANMsg* msg) {
  return OnActivePort(__func__, board, port, [msg](DriverPort& node) {
    return msg == nullptr ? CAN_DriverError : node.Receive(*msg);
  });
}

// The soft buffer is the port's receive FIFO.
VCAN_EXPORT int32_t CAN_ClearSoftBuffer(int32_t board, int32_t port) {
  return OnActivePort(__func__, board, port, [](DriverPort& node) {
    node.ClearFifo();
    return CAN_NoError;
  });
}

VCAN_EXPORT int32_t CAN_ClearDataOverrun(int32_t board, int32_t port) {
  return OnActivePort(__func__, board, port, [](DriverPort& node) {
    node.ClearOverrun();
    return CAN_NoError;
  });
}

// There are no controller registers: writes are ignored and reads give 0.
VCAN_EXPORT int32_t CAN_OutputByte(int32_t board, int32_t port, uint32_t, uint32_t) {
  return OnActivePort(__func__, board, port, vcan::Succeed);
}

VCAN_EXPORT int32_t CAN_InputByte(int32_t board, int32_t port, uint32_t) {
  return OnActivePort(__func__, board, port, vcan::Succeed);
}

VCAN_EXPORT int32_t CAN_GetBoardInf(uint32_t board, uint32_t item, uint32_t, uint32_t, uint32_t,
                                    uint32_t, uint32_t) {
  if (auto injected = InjectedFault(__func__)) return *injected;
  if (board >= static_cast<uint32_t>(Card::Instance().board_count())) return -1;
  switch (item) {
    case 0:
      return vcan::kPortsPerBoard;
    case 1:
      return vcan::kBoardType;
    case 2:
      return vcan::kFirmwareVersion;
    default:
      return -1;
  }
}

VCAN_EXPORT uint32_t CAN_GetSystemFreq(int32_t board) {
  if (auto injected = InjectedFault(__func__)) return static_cast<uint32_t>(*injected);
  return Card::Instance().FindBoard(board) != nullptr ? vcan::kControllerClockHz : 0;
}

// Argument errors come back negated, as for CAN_RxMsgCount.
VCAN_EXPORT int32_t CAN_WaitRxMsg(int32_t board, int32_t port, uint32_t timeout_ms) {
  return OnActivePort(
      __func__, board, port,
      [timeout_ms](DriverPort& node) {
        return node.WaitForFrames(std::chrono::milliseconds(timeout_ms));
      },
      true);
}
