// Exports that bring a port onto the network and off it, or change its MAC
// ID or baud rate.
#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "netmgmt/ReleaseSets.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

using namespace dnm;

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_Online(uint8_t board, uint8_t port, uint8_t baud, uint8_t mac) {
  ExportCall call("DNM_Online( )   ", board);
  call.Port(port).Active().LockPort(true).NotOnline().Mac(mac).Baud(baud);
  if (call.Failed()) return call.Code();
  return call.port().Online(baud, mac);
}

DNM_EXPORT uint16_t DNM_CALL DNM_Offline(uint8_t board, uint8_t port) {
  ExportCall call("Offline()   ", board);
  call.Port(port).Active().LockPort(true).Online();
  if (call.Failed()) return call.Code();
  return call.port().Offline();
}

DNM_EXPORT uint16_t DNM_CALL DNM_ChangeMACID(uint8_t board, uint8_t port, uint8_t mac) {
  ExportCall call("ChangeMACID()   ", board);
  call.Port(port).Active().LockPort(true).Online().Mac(
      mac, "ChangeMACID() Error!MAC ID %d is out of range");
  if (call.Failed()) return call.Code();
  CANPort& target = call.port();
  ReleasedSets released(target, ReleasedSets::kTurnWaitMs);
  released.Release();
  target.Offline();
  if (target.Online(target.baud(), mac) != 0) {
    TraceLine("ChangeMACID() Change MAC ID Error!");
    return DNM_ChangeMACIDError;
  }
  TraceLine("ChangeMACID()   Successful!MAC ID was changed!");
  return DNM_NoError;
}

DNM_EXPORT uint16_t DNM_CALL DNM_ChangeBaudrate(uint8_t board, uint8_t port, uint8_t baud) {
  ExportCall call("ChangeBaudrate()   ", board);
  call.Port(port).Active().LockPort(true).Online().Baud(baud);
  if (call.Failed()) return call.Code();
  CANPort& target = call.port();
  ReleasedSets released(target, ReleasedSets::kTurnWaitMs);
  released.Release();
  target.Offline();
  if (target.Online(baud, target.mac_id()) != 0) {
    TraceLine("ChangeBaudrate()   Change Baudrate Error!");
    return DNM_ChangeBaudrateError;
  }
  TraceLine("ChangeBaudrate()   Successful!Baudrate was changed!");
  return DNM_NoError;
}

DNM_EXPORT uint16_t DNM_CALL DNM_GetPortStatistics(uint8_t board, uint8_t port,
                                                   DNM_PortStatistics* statistics) {
  ExportCall call("GetPortStatistics()   ", board);
  call.Port(port).Active().Online().NotNull(statistics, "statistics");
  if (call.Failed()) return call.Code();
  *statistics = call.port().traffic().Read();
  return DNM_NoError;
}

}  // extern "C"
