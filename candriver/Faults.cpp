#include "Faults.h"

#include <algorithm>
#include <array>

namespace vcan {
namespace {

constexpr std::array<std::string_view, 25> kEntryNames = {
    "CAN_GetDllVersion",    "CAN_ActiveBoard", "CAN_TotalBoard",
    "CAN_BoardIsActive",    "CAN_Reset",       "CAN_Init",
    "CAN_Config",           "CAN_EnableRxIrq", "CAN_DisableRxIrq",
    "CAN_RxIrqStatus",      "CAN_InstallIrq",  "CAN_RemoveIrq",
    "CAN_IrqStatus",        "CAN_Status",      "CAN_SendMsg",
    "CAN_RxMsgCount",       "CAN_ReceiveMsg",  "CAN_ClearSoftBuffer",
    "CAN_ClearDataOverrun", "CAN_OutputByte",  "CAN_InputByte",
    "CAN_GetBoardInf",      "CAN_CloseBoard",  "CAN_GetSystemFreq",
    "CAN_WaitRxMsg"};

}  // namespace

bool Faults::IsEntryName(std::string_view entry) {
  return std::find(kEntryNames.begin(), kEntryNames.end(), entry) != kEntryNames.end();
}

bool Faults::Arm(std::string_view entry, int32_t code, int32_t times) {
  if (!IsEntryName(entry) || (times <= 0 && times != kEveryCall)) return false;
  std::lock_guard lock(mutex_);
  armed_.insert_or_assign(std::string(entry), Fault{code, times});
  any_armed_.store(true);
  return true;
}

void Faults::Clear(std::string_view entry) {
  std::lock_guard lock(mutex_);
  if (entry.empty()) {
    armed_.clear();
  } else if (auto it = armed_.find(entry); it != armed_.end()) {
    armed_.erase(it);
  }
  any_armed_.store(!armed_.empty());
}

std::optional<int32_t> Faults::Take(std::string_view entry) {
  if (!any_armed_.load()) return std::nullopt;
  std::lock_guard lock(mutex_);
  auto it = armed_.find(entry);
  if (it == armed_.end()) return std::nullopt;
  const int32_t code = it->second.code;
  if (it->second.remaining != kEveryCall && --it->second.remaining == 0) armed_.erase(it);
  any_armed_.store(!armed_.empty());
  return code;
}

}  // namespace vcan
