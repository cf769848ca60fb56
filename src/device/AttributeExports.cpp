// Exports that read and write one attribute of a device.
#include <memory>

#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "device/AttributeAccess.h"
#include "device/Device_Info.h"
#include "device/ExplicitConnection.h"
#include "device/RequestTurn.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

using namespace dnm;

namespace {

// How long a call waits for the calls on the same device before it.
constexpr uint32_t kTurnWaitMs = 3000;

// The device for an attribute call, held so that the call can let go of the
// port's lock before it waits on the bus. nullptr (after the refusal's trace
// line) while the explicit connection has not been set up.
std::shared_ptr<Device_Info> ConnectedDevice(ExportCall& call, uint8_t mac) {
  std::shared_ptr<Device_Info> device = call.port().LeaseDevice(mac);
  if (device->status(kExplicit) == kStatusNotEstablished || device->buffer(kExplicit) == nullptr) {
    Trace("GetAttribute()   Error!The Device %d do not establish connection", mac);
    return nullptr;
  }
  call.UnlockPort();
  return device;
}

// Runs op while holding the device's turn. no_answer_code when the calls
// before it on the same device keep the turn for longer than kTurnWaitMs,
// or when the device, after missing an answer, does not answer a check of
// the connection: a late answer could otherwise pass for op's.
template <typename Op>
uint16_t InTurn(CANPort& port, Device_Info& device, uint16_t no_answer_code, Op op) {
  RequestTurn turn(device, kTurnWaitMs, &device.gone());
  if (!turn.held()) {
    Trace("GetAttribute()   Error!The Device %d is busy with other requests", device.mac());
    return no_answer_code;
  }
  if (device.suspect() && !CheckExplicitConnection(port, device, &device.gone(), true)) {
    return no_answer_code;
  }
  return op();
}

}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_GetAttribute(uint8_t board, uint8_t port, uint8_t mac, uint8_t cls,
                                              uint8_t instance, uint8_t attribute, uint8_t* data,
                                              uint32_t* length) {
  ExportCall call("GetAttribute()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  call.NotNull(data, "data").NotNull(length, "length");
  if (call.Failed()) return call.Code();
  const std::shared_ptr<Device_Info> device = ConnectedDevice(call, mac);
  if (!device) return DNM_DeviceIsUnConnected;
  return InTurn(call.port(), *device, DNM_GetAttributeResponseTimeout, [&] {
    return GetAttribute(call.port(), *device, cls, instance, attribute, data, *length);
  });
}

DNM_EXPORT uint16_t DNM_CALL DNM_SetAttribute(uint8_t board, uint8_t port, uint8_t mac, uint8_t cls,
                                              uint8_t instance, uint8_t attribute,
                                              const uint8_t* value, uint32_t length) {
  ExportCall call("SetAttribute()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  if (length == 0) {
    TraceLine("SetAttribute()   Error!The data is Empty!");
    return DNM_SetAttributeDataIsEmpty;
  }
  if (length > kMaxSetValue) {
    Trace("SetAttribute()   Error!The data is longer than %u bytes!", kMaxSetValue);
    return DNM_SetAttributeDataTooLong;
  }
  call.NotNull(value, "value");
  if (call.Failed()) return call.Code();
  const std::shared_ptr<Device_Info> device = ConnectedDevice(call, mac);
  if (!device) return DNM_DeviceIsUnConnected;
  return InTurn(call.port(), *device, DNM_SetAttributeResponseTimeout, [&] {
    return SetAttribute(call.port(), *device, cls, instance, attribute, value, length);
  });
}

}  // extern "C"
