#include "trace/ErrorCodes.h"

#include <array>
#include <iterator>

#include "VELKCANDNM.h"

namespace dnm {
namespace {

struct NamedCode {
  uint32_t code;
  const char* name;
  bool result_line;
};

#define DNM_NAMED(code) \
  NamedCode {           \
    code, #code, true   \
  }
#define DNM_NAMED_NO_RESULT_LINE(code) \
  NamedCode {                          \
    code, #code, false                 \
  }

// Every code of the library. Only those marked DNM_NAMED have a result line
// with their name; the others print the unknown-code line although the
// library returns them.
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
    DNM_NAMED(DNM_FaultNodeSendError),
    DNM_NAMED(DNM_ConnectionKindError),
    DNM_NAMED(DNM_CreateThreadError),
    DNM_NAMED(DNM_ResumeThreadError),
    DNM_NAMED(DNM_SuspendThreadError),
    DNM_NAMED(DNM_TerminateThreadError),
    DNM_NAMED(DNM_CloseHandleError),
    DNM_NAMED(DNM_ThreadNotExist),
    DNM_NAMED(DNM_CreateDeviceExplicitMsgThreadError),
    DNM_NAMED(DNM_CreateDevicePollThreadError),
    DNM_NAMED_NO_RESULT_LINE(DNM_DeviceAlreadyStarted),
    DNM_NAMED_NO_RESULT_LINE(DNM_ExplicitConnectionDown),
    DNM_NAMED_NO_RESULT_LINE(DNM_BitStrobeNotConfigure),
    DNM_NAMED_NO_RESULT_LINE(DNM_COS_CyclicNotConfigure),
    DNM_NAMED_NO_RESULT_LINE(DNM_PollStatus1),
    DNM_NAMED_NO_RESULT_LINE(DNM_PollStatus2),
    DNM_NAMED_NO_RESULT_LINE(DNM_CreateBitStrobeThreadError),
    DNM_NAMED_NO_RESULT_LINE(DNM_BitStrobeRequestThreadNotExist),
    DNM_NAMED_NO_RESULT_LINE(DNM_BitStrobeRequestCloseError),
    DNM_NAMED_NO_RESULT_LINE(DNM_BitStrobeRequestTerminateError),
    DNM_NAMED_NO_RESULT_LINE(DNM_BitStrobeRequestSuspendError),
    DNM_NAMED_NO_RESULT_LINE(DNM_BitStrobeRequestResumeError),
    DNM_NAMED_NO_RESULT_LINE(DNM_BitStrobeStatus1),
    DNM_NAMED_NO_RESULT_LINE(DNM_CreateCOS_CyclicThreadError),
    DNM_NAMED_NO_RESULT_LINE(DNM_IOFragmentNotReceived),
    DNM_NAMED_NO_RESULT_LINE(DNM_IOInputLengthError),
    DNM_NAMED_NO_RESULT_LINE(DNM_IOFragmentSequenceError),
    DNM_NAMED_NO_RESULT_LINE(DNM_WriteCOSOutputDataLengthError),
    DNM_NAMED_NO_RESULT_LINE(DNM_WriteCyclicOutputDataLengthError),
    DNM_NAMED_NO_RESULT_LINE(DNM_CreateBitStrobeRequestThreadError),
    DNM_NAMED_NO_RESULT_LINE(DNM_COSCyclicConflict),
    DNM_NAMED_NO_RESULT_LINE(DNM_PollConnectionDisabled),
    DNM_NAMED_NO_RESULT_LINE(DNM_GetOwnershipError),
    DNM_NAMED_NO_RESULT_LINE(DNM_PortNotGetOwnership),
};

#undef DNM_NAMED
#undef DNM_NAMED_NO_RESULT_LINE

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

const NamedCode* FindDnmCode(uint32_t code) {
  for (const NamedCode& named : kNamedDnmCodes) {
    if (named.code == code) return &named;
  }
  return nullptr;
}

}  // namespace

const char* DnmCodeName(uint32_t code) {
  const NamedCode* named = FindDnmCode(code);
  return named != nullptr && named->result_line ? named->name : nullptr;
}

const char* LibraryCodeName(uint32_t code) {
  const NamedCode* named = FindDnmCode(code);
  return named != nullptr ? named->name : nullptr;
}

const char* ErrorText(uint32_t code) {
  if (code == DNM_NoError) return "DNM_NoError";
  if (const char* name = CanCodeName(code)) return name;
  if (const char* name = LibraryCodeName(code)) return name;
  return "unknown";
}

const char* CanCodeName(uint32_t code) {
  return code < kCanCodeNames.size() ? kCanCodeNames[code] : nullptr;
}

}  // namespace dnm
