// Exports that start and stop communication with one device or a whole port.
#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "netmgmt/StartStop.h"
#include "port/CANPort.h"

using namespace dnm;

namespace {

constexpr const char* kNotInScanList = "AddDevice()   Error!MAC ID %d is NOT in the ScanList";

// Runs op on every device of the port that passes the filter, in MAC ID
// order, stopping at the first failure.
template <typename Filter, typename Op>
uint16_t ForEachDevice(CANPort& port, Filter filter, Op op) {
  for (uint8_t mac = 0; mac < 64; ++mac) {
    if (!port.InScanList(mac) || !filter(mac)) continue;
    const uint16_t result = op(port, mac);
    if (result != 0) return result;
  }
  return 0;
}

}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_StartCommunicate(uint8_t board, uint8_t port) {
  ExportCall call("AddDevice()   ", board);
  call.Port(port).Active().LockPort(true).Online();
  if (call.Failed()) return call.Code();
  CANPort& target = call.port();
  return ForEachDevice(
      target, [&](uint8_t mac) { return !target.IsStarted(mac); }, StartDevice);
}

DNM_EXPORT uint16_t DNM_CALL DNM_StopCommunicate(uint8_t board, uint8_t port) {
  ExportCall call("AddDevice()   ", board);
  call.Port(port).Active().LockPort(true).Online();
  if (call.Failed()) return call.Code();
  CANPort& target = call.port();
  return ForEachDevice(
      target, [&](uint8_t mac) { return target.IsStarted(mac); }, StopDevice);
}

DNM_EXPORT uint16_t DNM_CALL DNM_StartDevice(uint8_t board, uint8_t port, uint8_t mac) {
  ExportCall call("AddDevice()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(true).Online().InScanList(mac, kNotInScanList);
  if (call.Failed()) return call.Code();
  if (call.port().IsStarted(mac)) return DNM_DeviceAlreadyStarted;
  return StartDevice(call.port(), mac);
}

DNM_EXPORT uint16_t DNM_CALL DNM_StopDevice(uint8_t board, uint8_t port, uint8_t mac) {
  ExportCall call("AddDevice()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(true).Online().InScanList(mac, kNotInScanList);
  if (call.Failed()) return call.Code();
  if (!call.port().IsStarted(mac)) return DNM_DeviceIsUnConnected;
  return StopDevice(call.port(), mac);
}

}  // extern "C"
