// Exports that read and write one attribute of a device.
#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "device/AttributeAccess.h"
#include "device/Device_Info.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

using namespace dnm;

namespace {

// The device record when its explicit connection has been set up at least
// once, else nullptr after the refusal's trace line.
Device_Info* ConnectedDevice(ExportCall& call, uint8_t mac) {
  Device_Info* device = call.port().device(mac);
  if (device->status(kExplicit) == kStatusNotEstablished || device->buffer(kExplicit) == nullptr) {
    Trace("GetAttribute()   Error!The Device %d do not establish connection", mac);
    return nullptr;
  }
  return device;
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
  Device_Info* device = ConnectedDevice(call, mac);
  if (device == nullptr) return DNM_DeviceIsUnConnected;
  return GetAttribute(call.port(), *device, cls, instance, attribute, data, *length);
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
  Device_Info* device = ConnectedDevice(call, mac);
  if (device == nullptr) return DNM_DeviceIsUnConnected;
  return SetAttribute(call.port(), *device, cls, instance, attribute, value, length);
}

}  // extern "C"
