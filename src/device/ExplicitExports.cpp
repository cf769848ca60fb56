// Exports that configure a device's explicit connection and report whether
// it stands.
#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitConnection.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

using namespace dnm;

namespace {
constexpr uint32_t kMaxWatchdogAction = 3;  // deferred delete
}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_ConfigExplicitMsg(uint8_t board, uint8_t port, uint8_t mac,
                                                   uint32_t watchdog_action) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(true).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  if (watchdog_action > kMaxWatchdogAction) {
    // The device would refuse it, while the connection would stand without.
    Trace("GetAttribute()   Error!Watchdog timeout action %u is out of range", watchdog_action);
    return DNM_WatchdogActionError;
  }
  ConfigureExplicitConnection(call.port(), *call.port().device(mac),
                              static_cast<uint16_t>(watchdog_action));
  return DNM_NoError;
}

DNM_EXPORT uint16_t DNM_CALL DNM_CheckExplicitMsgConnectionStatus(uint8_t board, uint8_t port,
                                                                  uint8_t mac) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  const Device_Info& device = *call.port().device(mac);
  if (!device.Has(kChoiceExplicit)) {
    Trace("CheckExplicitMsgConnectionStatus( )   Error!The Device %d do not establish connection",
          mac);
    return DNM_ExplicitMsgNotConfigure;
  }
  return device.status(kExplicit) == kStatusEstablished ? DNM_NoError : DNM_ExplicitConnectionDown;
}

}  // extern "C"
