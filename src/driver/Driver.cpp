#include "driver/Driver.h"

#include <atomic>

#include "platform/Platform.h"
#include "trace/Trace.h"

namespace dnm::driver {

const char* const kBoundEntryNames[23] = {
    "CAN_GetDllVersion",    "CAN_ActiveBoard", "CAN_TotalBoard",
    "CAN_BoardIsActive",    "CAN_Reset",       "CAN_Init",
    "CAN_Config",           "CAN_EnableRxIrq", "CAN_DisableRxIrq",
    "CAN_RxIrqStatus",      "CAN_InstallIrq",  "CAN_RemoveIrq",
    "CAN_IrqStatus",        "CAN_Status",      "CAN_SendMsg",
    "CAN_RxMsgCount",       "CAN_ReceiveMsg",  "CAN_ClearSoftBuffer",
    "CAN_ClearDataOverrun", "CAN_OutputByte",  "CAN_InputByte",
    "CAN_GetBoardInf",      "CAN_CloseBoard"};

namespace {

enum Entry {
  kGetDllVersion,
  kActiveBoard,
  kTotalBoard,
  kBoardIsActive,
  kReset,
  kInit,
  kConfig,
  kEnableRxIrq,
  kDisableRxIrq,
  kRxIrqStatus,
  kInstallIrq,
  kRemoveIrq,
  kIrqStatus,
  kStatus,
  kSendMsg,
  kRxMsgCount,
  kReceiveMsg,
  kClearSoftBuffer,
  kClearDataOverrun,
  kOutputByte,
  kInputByte,
  kGetBoardInf,
  kCloseBoard,
  kBoundCount
};

// Written once at start-up, before any other thread exists; read-only after.
struct DriverTable {
  void* module = nullptr;
  void* entries[kBoundCount] = {};
  void* get_system_freq = nullptr;  // forwarded only, not required
  void* wait_rx_msg = nullptr;      // optional extension
};

DriverTable g_table;

template <typename Fn>
Fn EntryAs(Entry entry) {
  return reinterpret_cast<Fn>(g_table.entries[entry]);
}

constexpr int32_t kMissing = CAN_DriverError;
constexpr uint32_t kPollIntervalMs = 2;

int32_t DriverPort(uint8_t port) {
  return static_cast<int32_t>(port) + 1;
}

template <typename Fn, typename... Args>
int32_t CallBoard(Entry entry, Args... args) {
  const Fn fn = EntryAs<Fn>(entry);
  return fn ? fn(args...) : kMissing;
}

}  // namespace

int BindDriver() {
  const char* const kLibrary = platform::kCardDriverFile;
  g_table.module = platform::LoadLibrary(kLibrary);
  if (g_table.module == nullptr) {
    ReportOnStderr("cannot load the CAN card driver %s: %s; no board can be used", kLibrary,
                   platform::LastLoadError());
    return 1;
  }
  g_table.get_system_freq = platform::GetProcAddress(g_table.module, "CAN_GetSystemFreq");
  g_table.wait_rx_msg = platform::GetProcAddress(g_table.module, "CAN_WaitRxMsg");
  for (int i = 0; i < kBoundCount; ++i) {
    g_table.entries[i] = platform::GetProcAddress(g_table.module, kBoundEntryNames[i]);
    if (g_table.entries[i] == nullptr) {
      // An incomplete driver is not used for boards: the library then sees
      // none instead of calling into half a driver. The two entries that
      // are only passed through keep working where the driver has them.
      ReportOnStderr("the CAN card driver %s lacks the entry %s; no board can be used", kLibrary,
                     kBoundEntryNames[i]);
      const DriverTable incomplete = g_table;
      g_table = DriverTable{};
      g_table.module = incomplete.module;
      g_table.get_system_freq = incomplete.get_system_freq;
      g_table.entries[kGetBoardInf] =
          platform::GetProcAddress(incomplete.module, kBoundEntryNames[kGetBoardInf]);
      return 2;
    }
  }
  return 0;
}

int32_t TotalBoard() {
  const auto fn = EntryAs<decltype(&CAN_TotalBoard)>(kTotalBoard);
  return fn ? fn() : 0;
}

int32_t ActiveBoard(uint8_t board) {
  return CallBoard<decltype(&CAN_ActiveBoard)>(kActiveBoard, int32_t{board});
}

int32_t CloseBoard(uint8_t board) {
  return CallBoard<decltype(&CAN_CloseBoard)>(kCloseBoard, int32_t{board});
}

int32_t Reset(uint8_t board, uint8_t port) {
  return CallBoard<decltype(&CAN_Reset)>(kReset, int32_t{board}, DriverPort(port));
}

int32_t Init(uint8_t board, uint8_t port) {
  return CallBoard<decltype(&CAN_Init)>(kInit, int32_t{board}, DriverPort(port));
}

int32_t Config(uint8_t board, uint8_t port, const CANConfig& config) {
  return CallBoard<decltype(&CAN_Config)>(kConfig, int32_t{board}, DriverPort(port), &config);
}

int32_t ClearDataOverrun(uint8_t board, uint8_t port) {
  return CallBoard<decltype(&CAN_ClearDataOverrun)>(kClearDataOverrun, int32_t{board},
                                                    DriverPort(port));
}

int32_t SendMsg(uint8_t board, uint8_t port, const CANMsg& msg) {
  return CallBoard<decltype(&CAN_SendMsg)>(kSendMsg, int32_t{board}, DriverPort(port), &msg);
}

int32_t RxMsgCount(uint8_t board, uint8_t port) {
  const auto fn = EntryAs<decltype(&CAN_RxMsgCount)>(kRxMsgCount);
  return fn ? fn(board, DriverPort(port)) : 0;
}

int32_t ReceiveMsg(uint8_t board, uint8_t port, CANMsg& msg) {
  return CallBoard<decltype(&CAN_ReceiveMsg)>(kReceiveMsg, int32_t{board}, DriverPort(port), &msg);
}

int32_t WaitRxMsg(uint8_t board, uint8_t port, uint32_t timeout_ms) {
  if (const auto wait = reinterpret_cast<decltype(&CAN_WaitRxMsg)>(g_table.wait_rx_msg)) {
    const int32_t count = wait(board, DriverPort(port), timeout_ms);
    return count > 0 ? count : 0;
  }
  platform::SleepMs(timeout_ms < kPollIntervalMs ? timeout_ms : kPollIntervalMs);
  return RxMsgCount(board, port);
}

int32_t GetBoardInf(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6,
                    uint32_t a7) {
  const auto fn = EntryAs<decltype(&CAN_GetBoardInf)>(kGetBoardInf);
  return fn ? fn(a1, a2, a3, a4, a5, a6, a7) : kMissing;
}

uint32_t GetSystemFreq(int32_t board) {
  const auto fn = reinterpret_cast<decltype(&CAN_GetSystemFreq)>(g_table.get_system_freq);
  return fn ? fn(board) : 0;
}

}  // namespace dnm::driver
