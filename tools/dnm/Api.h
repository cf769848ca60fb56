// The master library's exports, bound at run time. The library is loaded
// only after the command line is read, because the card and the trace
// library read their environment (VELKCAN_NETWORK, HYPERTRACE_FILE) when
// the master starts up.
#pragma once

#include <string>

#include "VELKCANDNM.h"

namespace dnm::tool {

#define DNM_TOOL_EXPORTS(X)                    \
  X(DNM_GetErrorText)                          \
  X(DNM_GetVersion)                            \
  X(DNM_ActiveBoard)                           \
  X(DNM_CloseBoard)                            \
  X(DNM_Online)                                \
  X(DNM_AddDevice)                             \
  X(DNM_GetAllDeviceMACID)                     \
  X(DNM_ConfigExplicitMsg)                     \
  X(DNM_CheckExplicitMsgConnectionStatus)      \
  X(DNM_StartDevice)                           \
  X(DNM_StopDevice)                            \
  X(DNM_RemoveDevice)                          \
  X(DNM_Offline)                               \
  X(DNM_GetDeviceStatus)                       \
  X(DNM_SetBitStrobeFrequency)                 \
  X(DNM_StartCommunicate)                      \
  X(DNM_StopCommunicate)                       \
  X(DNM_GetAttributeEx)                        \
  X(DNM_SetAttribute)                          \
  X(DNM_GetLastErrorResponse)                  \
  X(DNM_ConfigPoll)                            \
  X(DNM_ReadPollInputData)                     \
  X(DNM_WritePollOutputData)                   \
  X(DNM_CheckPollConnectionStatus)             \
  X(DNM_ConfigBitStrobe)                       \
  X(DNM_ReadBitStrobe)                         \
  X(DNM_CheckBitStrobeConnectionStatus)        \
  X(DNM_ConfigCOS)                             \
  X(DNM_ConfigCyclic)                          \
  X(DNM_ReadCOSInputData)                      \
  X(DNM_ReadCyclicInputData)                   \
  X(DNM_WriteCOSOutputData)                    \
  X(DNM_WriteCyclicOutputData)                 \
  X(DNM_CheckCOSConnectionStatus)              \
  X(DNM_CheckCyclicConnectionStatus)           \
  X(DNM_GetExplicitMsgNoResponse)              \
  X(DNM_GetExplicitMsgErrorResponse)           \
  X(DNM_GetBitStrobeNoResponse)                \
  X(DNM_GetCOS_CyclicWithPollNoResponse)       \
  X(DNM_GetCOS_CyclicWithPollErrorResponse)    \
  X(DNM_GetCOS_CyclicWithPollFragmentError)    \
  X(DNM_GetCOS_CyclicWithPollSendError)        \
  X(DNM_GetCOS_CyclicWithoutPollSendError)     \
  X(DNM_GetCOS_CyclicWithoutPollACKNoResponse) \
  X(DNM_GetPollSendError)                      \
  X(DNM_GetPollNoResponse)                     \
  X(DNM_GetPollErrorResponse)                  \
  X(DNM_GetPollFragmentError)                  \
  X(DNM_GetPollPeriodAchieved)                 \
  X(DNM_GetSetupFailure)                       \
  X(DNM_GetPortStatistics)                     \
  X(DNM_SetPollFrequency)                      \
  X(DNM_GetOwnership)                          \
  X(DNM_GetAllFaultNodeEx)                     \
  X(DNM_ChangeFaultMACID)

struct Api {
#define DNM_TOOL_MEMBER(name) decltype(&::name) name = nullptr;
  DNM_TOOL_EXPORTS(DNM_TOOL_MEMBER)
#undef DNM_TOOL_MEMBER
};

// The number of network description lines the virtual card left out
// (VCAN_RefusedLines of the card the master loaded); 0 for a card driver
// without that entry. Call after LoadApi.
int RefusedNetworkLines();
// UsageError when the card refused any line: a run on another network than the one written
// would mislead.
void CheckRefusedLines(int refused);

// The path of a shared segment of the card's network that no process hosts (VCAN_UnhostedSegment
// of the card the master loaded); empty when each has its host or for another card driver.
std::string UnhostedSharedSegment();

// Loads the master library by its SONAME (from the LD_LIBRARY_PATH first,
// then from the library directory beside the tool) and binds every export above. On failure
// returns false with the reason in error.
bool LoadApi(std::string& error);

// The virtual card the master loads (for dnm simulate), from the same places; nullptr with the
// reason in error when it cannot be loaded.
void* LoadCardLibrary(std::string& error);

// The bound exports; valid once LoadApi succeeded.
const Api& api();

}  // namespace dnm::tool
