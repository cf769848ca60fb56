// The export that answers in one code whether all of a device's configured
// connections stand: the first connection check, in the order explicit,
// poll, bit-strobe, COS, cyclic, that does not give 0.
#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "device/Device_Info.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

using namespace dnm;

namespace {

// The port checks of the call itself; released before the connection
// checks run, which are exports that make their own.
uint16_t CheckPort(uint8_t board, uint8_t port) {
  ExportCall call("GetDeviceStatus()   ", board);
  call.Port(port).Active().Online();
  return call.Code();
}

// The device's configured connections into choice; otherwise the code of
// the check that failed, 1801 when a removal on another thread took the
// device out of the scan list since the explicit check.
uint16_t ConfiguredConnections(uint8_t board, uint8_t port, uint8_t mac, uint8_t& choice) {
  ExportCall call("GetDeviceStatus()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  if (!call.Failed()) choice = call.port().device(mac)->allocate_choice();
  return call.Code();
}

}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_GetDeviceStatus(uint8_t board, uint8_t port, uint8_t mac) {
  if (const uint16_t refused = CheckPort(board, port)) return refused;
  if (const uint16_t code = DNM_CheckExplicitMsgConnectionStatus(board, port, mac)) return code;
  uint8_t choice = 0;
  if (const uint16_t gone = ConfiguredConnections(board, port, mac, choice)) return gone;
  const struct {
    uint8_t bit;
    uint16_t(DNM_CALL* check)(uint8_t, uint8_t, uint8_t);
  } checks[] = {{kChoicePoll, DNM_CheckPollConnectionStatus},
                {kChoiceBitStrobe, DNM_CheckBitStrobeConnectionStatus},
                {kChoiceCos, DNM_CheckCOSConnectionStatus},
                {kChoiceCyclic, DNM_CheckCyclicConnectionStatus}};
  for (const auto& check : checks) {
    if ((choice & check.bit) == 0) continue;
    if (const uint16_t code = check.check(board, port, mac)) return code;
  }
  return DNM_NoError;
}

}  // extern "C"

namespace {

// The code a call on a connection kind the device has not configured gives.
uint16_t NotConfigured(uint8_t kind) {
  constexpr uint16_t kCodes[] = {DNM_ExplicitMsgNotConfigure, DNM_PollNotConfigure,
                                 DNM_BitStrobeNotConfigure, DNM_COS_CyclicNotConfigure};
  return kCodes[kind];
}

}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_GetSetupFailure(uint8_t board, uint8_t port, uint8_t mac,
                                                 uint8_t kind, DNM_SetupFailure* failure) {
  ExportCall call("GetSetupFailure()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  call.NotNull(failure, "failure");
  if (call.Failed()) return call.Code();
  if (kind >= kConnectionKinds) {
    Trace("GetSetupFailure()   Error!Connection kind %d is above 3", kind);
    return DNM_ConnectionKindError;
  }
  const Device_Info& device = *call.port().device(mac);
  if (device.connection(static_cast<ConnectionKind>(kind)) == nullptr) return NotConfigured(kind);
  *failure = device.setup_reasons().Read(kind);
  return DNM_NoError;
}

}  // extern "C"
