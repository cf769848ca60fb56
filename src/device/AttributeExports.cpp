// Exports that read and write one attribute of a device.
#include <cstring>
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
// line) while the explicit connection does not stand, since the request goes
// over it: a call agrees with the connection's status.
std::shared_ptr<Device_Info> ConnectedDevice(ExportCall& call, uint8_t mac) {
  std::shared_ptr<Device_Info> device = call.port().LeaseDevice(mac);
  if (device->status(kExplicit) != kStatusEstablished || device->buffer(kExplicit) == nullptr) {
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

// A get for DNM_GetAttribute and DNM_GetAttributeEx, after the checks: the
// value goes to value (capacity bytes) and its length to length, neither
// written unless it returns 0.
uint16_t ReadAttribute(ExportCall& call, uint8_t mac, uint8_t cls, uint8_t instance,
                       uint8_t attribute, uint8_t* value, uint32_t capacity, uint32_t& length) {
  const std::shared_ptr<Device_Info> device = ConnectedDevice(call, mac);
  if (!device) return DNM_DeviceIsUnConnected;
  return InTurn(call.port(), *device, DNM_GetAttributeResponseTimeout, [&] {
    return GetAttribute(call.port(), *device, cls, instance, attribute, value, capacity, length);
  });
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
  // The whole area is written: the value, then zeros.
  uint8_t area[kGetArea] = {};
  const uint16_t code = ReadAttribute(call, mac, cls, instance, attribute, area, kGetArea, *length);
  if (code == DNM_NoError) std::memcpy(data, area, kGetArea);
  return code;
}

DNM_EXPORT uint16_t DNM_CALL DNM_GetAttributeEx(uint8_t board, uint8_t port, uint8_t mac,
                                                uint8_t cls, uint8_t instance, uint8_t attribute,
                                                uint8_t* data, uint32_t size, uint32_t* length) {
  ExportCall call("GetAttribute()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  call.NotNull(data, "data").NotNull(length, "length");
  if (call.Failed()) return call.Code();
  return ReadAttribute(call, mac, cls, instance, attribute, data, size, *length);
}

DNM_EXPORT uint16_t DNM_CALL DNM_GetLastErrorResponse(uint8_t board, uint8_t port, uint8_t mac,
                                                      uint8_t* general_status,
                                                      uint8_t* additional_status) {
  ExportCall call("GetLastErrorResponse()   ", board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  call.NotNull(general_status, "general_status").NotNull(additional_status, "additional_status");
  if (call.Failed()) return call.Code();
  const uint16_t statuses = call.port().device(mac)->last_error_response();
  *general_status = static_cast<uint8_t>(statuses >> 8);
  *additional_status = static_cast<uint8_t>(statuses & 0xFF);
  return DNM_NoError;
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
