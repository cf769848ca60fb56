// Exports that configure a device's bit-strobe connection, read its input
// and report its state. None of them touches the bus.
#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitConnection.h"
#include "io/IoDataExports.h"
#include "port/CANPort.h"
#include "port/MapTable.h"
#include "trace/Trace.h"

using namespace dnm;

namespace {

constexpr uint16_t kBitStrobeInputLimit = 8;
constexpr const char* kNotEstablished =
    "ReadBitStrobe( )   Error!The Device %d do not establish connection";
constexpr IoFace kBitStrobeFace{
    kBitStrobe, kChoiceBitStrobe, kNotEstablished, nullptr, DNM_DeviceIsUnConnected, 0, 0};

uint16_t ConfigureDeviceBitStrobe(CANPort& port, Device_Info& device, uint16_t input_size,
                                  uint16_t rate, uint16_t fourth) {
  if (!device.Has(kChoiceExplicit)) ConfigureExplicitConnection(port, device, 3);
  if (device.Has(kChoiceBitStrobe)) {
    device.connection(kBitStrobe)->input_size = input_size;
    return DNM_NoError;
  }
  ConnectionObject& connection = device.Configure(port, kBitStrobe, kChoiceBitStrobe);
  connection.input_size = input_size;
  connection.output_size = 8;
  connection.expected_packet_rate = rate;
  connection.fourth_parameter = fourth;
  return DNM_NoError;
}

}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_ConfigBitStrobe(uint8_t board, uint8_t port, uint8_t mac,
                                                 uint16_t input_size, uint16_t expected_packet_rate,
                                                 uint16_t fourth) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(true).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  if (input_size > kBitStrobeInputLimit) {
    Trace("ConfigBitStrobe()   Error!MAC ID %d BitStrobe input size above %d bytes", mac,
          kBitStrobeInputLimit);
    return DNM_IOSizeTooLarge;
  }
  CANPort& target = call.port();
  Device_Info& device = *target.device(mac);
  if (!device.Has(kChoiceBitStrobe)) {
    target.map().AddMap(KindInfo(kBitStrobe).ProducedId(mac), mac, kBitStrobe);
    target.map().ShowMapTable();
  } else {
    Trace("ConfigBitStrobe()   Error!MAC ID %d BitStrobe Connection has been configured before",
          mac);
  }
  return ConfigureDeviceBitStrobe(target, device, input_size, expected_packet_rate, fourth);
}

DNM_EXPORT uint16_t DNM_CALL DNM_ReadBitStrobe(uint8_t board, uint8_t port, uint8_t mac,
                                               uint8_t* data, uint32_t* length) {
  return ReadInput(kBitStrobeFace, board, port, mac, data, length);
}

DNM_EXPORT uint16_t DNM_CALL DNM_CheckBitStrobeConnectionStatus(uint8_t board, uint8_t port,
                                                                uint8_t mac) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  const Device_Info& device = *call.port().device(mac);
  if (!device.Has(kChoiceBitStrobe)) {
    Trace(kNotEstablished, mac);
    return DNM_BitStrobeNotConfigure;
  }
  const uint16_t status = device.status(kBitStrobe);
  if (status == 1) return DNM_BitStrobeStatus1;
  if (device.status(kExplicit) != kStatusEstablished) return DNM_ExplicitConnectionDown;
  return status;
}

}  // extern "C"
