#include "trace/ErrorCodes.h"

#include <array>
#include <iterator>

#include "VELKCANDNM.h"

namespace dnm {
namespace {

struct NamedCode {
  uint32_t code;
  const char* name;
};

#define DNM_NAMED(code) \
  NamedCode {           \
    code, #code         \
  }

// Only these codes have a result line with their name; the others print the
// unknown-code line although the library returns them.
constexpr std::array kNamedDnmCodes = {
    DNM_NAMED(DNM_NoError),
    DNM_NAMED(DNM_TxMessageConnectionIDError),
    DNM_NAMED(DNM_TxMessageRTRError),
    DNM_NAMED(DNM_TxMessageLengthError),
    DNM_NAMED(DNM_NullPointerError),
    DNM_NAMED(DNM_DuplicateMACIDTimeout),
    DNM_NAMED(DNM_WaitBufferResponseTimeout),
    DNM_NAMED(DNM_BaudrateError),
    DNM_NAMED(DNM_MACIDNumberError),
    DNM_NAMED(DNM_OnlineError),
    DNM_NAMED(DNM_OfflineError),
    DNM_NAMED(DNM_MasterStateError),
    DNM_NAMED(DNM_BoardNumberError),
    DNM_NAMED(DNM_BoardAlreadyClose),
    DNM_NAMED(DNM_BoardAlreadyActive),
    DNM_NAMED(DNM_BoardNotActive),
    DNM_NAMED(DNM_PortAlreadyOnline),
    DNM_NAMED(DNM_PortNumberError),
    DNM_NAMED(DNM_ChangeMACIDError),
    DNM_NAMED(DNM_ChangeBaudrateError),
    DNM_NAMED(DNM_SetAttributeRequestError),
    DNM_NAMED(DNM_SetAttributeResponseError),
    DNM_NAMED(DNM_SetAttributeResponseTimeout),
    DNM_NAMED(DNM_SetAttributeDataIsEmpty),
    DNM_NAMED(DNM_SetAttributeACKError),
    DNM_NAMED(DNM_SetAttributeFragmentACKTimeout),
    DNM_NAMED(DNM_SetAttributeDataTooLong),
    DNM_NAMED(DNM_GetAttributeRequestError),
    DNM_NAMED(DNM_GetAttributeResponseError),
    DNM_NAMED(DNM_GetAttributeResponseTimeout),
    DNM_NAMED(DNM_GetAttributeFragmentTimeout),
    DNM_NAMED(DNM_GetAttributeDataTooLong),
    DNM_NAMED(DNM_DeviceAlreadyInScanList),
    DNM_NAMED(DNM_DeviceNotInScanList),
    DNM_NAMED(DNM_DeviceIsUnConnected),
    DNM_NAMED(DNM_ExplicitMsgNotConfigure),
    DNM_NAMED(DNM_PollNotConfigure),
    DNM_NAMED(DNM_PollNoResponse),
    DNM_NAMED(DNM_PollResponseDataError),
    DNM_NAMED(DNM_PollFragmentError),
    DNM_NAMED(DNM_WritePollOutputDataLengthError),
    DNM_NAMED(DNM_CreateDeviceBitStrobeThreadError),
    DNM_NAMED(DNM_WatchdogActionError),
    DNM_NAMED(DNM_IOSizeTooLarge),
    DNM_NAMED(DNM_CreateThreadError),
    DNM_NAMED(DNM_ResumeThreadError),
    DNM_NAMED(DNM_SuspendThreadError),
    DNM_NAMED(DNM_TerminateThreadError),
    DNM_NAMED(DNM_CloseHandleError),
    DNM_NAMED(DNM_ThreadNotExist),
    DNM_NAMED(DNM_CreateDeviceExplicitMsgThreadError),
    DNM_NAMED(DNM_CreateDevicePollThreadError),
};

#undef DNM_NAMED

// Indexed by driver code; two names keep the spelling the driver uses.
constexpr std::array<const char*, 23> kCanCodeNames = {
    "CAN_NoError",
    "CAN_DriverError",
    "CAN_ActiveBoardError",
    "CAN_BoardNumberError",
    "CAN_PortNumberError",
    "CAN_ResetError",
    "CAN_SoftResetError",
    "CAN_InitError",
    "CCAN_ConfigError",
    "CAN_SetACRError",
    "CAN_SetAMRError",
    "CAN_SetBaudRateError",
    "CAN_EnableRxIrqFailure",
    "CAN_DisableRxIrqFailure",
    "CAN_InstallIrqFailure",
    "CAN_RemoveIrqFailure",
    "CAN_TransmitBufferLocked",
    "CCAN_TransmitIncomplete",
    "CAN_ReceiveBufferEmpty",
    "CAN_DataOverrun",
    "CAN_ReceiveError",
    "CAN_SoftBufferIsEmpty",
    "CAN_SoftBufferIsFull",
};

}  // namespace

const char* DnmCodeName(uint32_t code) {
  for (const NamedCode& named : kNamedDnmCodes) {
    if (named.code == code) return named.name;
  }
  return nullptr;
}

const char* CanCodeName(uint32_t code) {
  return code < kCanCodeNames.size() ? kCanCodeNames[code] : nullptr;
}

}  // namespace dnm
