// Exports that configure a device's poll connection, read its input, write
// its output and report its state. None of them touches the bus.
#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitConnection.h"
#include "io/IoDataExports.h"
#include "io/IoFragmentation.h"
#include "port/CANPort.h"
#include "port/MapTable.h"
#include "trace/Trace.h"

using namespace dnm;

namespace {

constexpr uint16_t kIoSizeLimit = kMaxIoMessage;

uint16_t ConfigureDevicePoll(CANPort& port, Device_Info& device, uint16_t input_size,
                             uint16_t output_size, uint16_t rate, uint16_t fourth) {
  if (device.poll_disabled()) {
    TraceLine("Error! Poll Connection was disable before");
    return DNM_PollConnectionDisabled;
  }
  if (!device.Has(kChoiceExplicit)) ConfigureExplicitConnection(port, device, 3);
  if (device.Has(kChoicePoll)) {
    ConnectionObject& connection = *device.connection(kPoll);
    connection.input_size = input_size;
    connection.output_size = output_size;
    return DNM_NoError;
  }
  ConnectionObject& connection = device.Configure(port, kPoll, kChoicePoll);
  connection.input_size = input_size;
  connection.output_size = output_size;
  connection.expected_packet_rate = rate;
  connection.fourth_parameter = fourth;
  return DNM_NoError;
}

constexpr IoFace kPollFace{
    kPoll,
    kChoicePoll,
    "ReadPollInputData( )   Error!The Device %d do not establish connection",
    "WritePollOutputData( )   Error!The Device %d do not establish connection",
    DNM_DeviceIsUnConnected,
    DNM_DeviceIsUnConnected,
    DNM_WritePollOutputDataLengthError};

}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_ConfigPoll(uint8_t board, uint8_t port, uint8_t mac,
                                            uint16_t input_size, uint16_t output_size,
                                            uint16_t expected_packet_rate, uint16_t fourth) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(true).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  if (input_size > kIoSizeLimit || output_size > kIoSizeLimit) {
    Trace("ConfigPoll()   Error!MAC ID %d Poll sizes above %d bytes", mac, kIoSizeLimit);
    return DNM_IOSizeTooLarge;
  }
  CANPort& target = call.port();
  Device_Info& device = *target.device(mac);
  const bool before = device.Has(kChoicePoll);
  if (before) {
    Trace("ConfigPoll()   Error!MAC ID %d Poll Connection has been configured before", mac);
  }
  const uint16_t result =
      ConfigureDevicePoll(target, device, input_size, output_size, expected_packet_rate, fourth);
  if (before || result != 0) return result;
  MapTable::Matches matches;
  const uint32_t response_id = KindInfo(kPoll).ProducedId(mac);
  if (target.map().FindConnectionID(response_id, matches) == MapTable::kNone) {
    target.map().AddMap(response_id, mac, kPoll);
    target.map().ShowMapTable();
  }
  return DNM_NoError;
}

DNM_EXPORT uint16_t DNM_CALL DNM_ReadPollInputData(uint8_t board, uint8_t port, uint8_t mac,
                                                   uint8_t* data, uint32_t* length) {
  return ReadInput(kPollFace, board, port, mac, data, length);
}

DNM_EXPORT uint16_t DNM_CALL DNM_WritePollOutputData(uint8_t board, uint8_t port, uint8_t mac,
                                                     const uint8_t* data, uint32_t length) {
  return WriteOutput(kPollFace, board, port, mac, data, length);
}

DNM_EXPORT uint16_t DNM_CALL DNM_CheckPollConnectionStatus(uint8_t board, uint8_t port,
                                                           uint8_t mac) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  const Device_Info& device = *call.port().device(mac);
  if (!device.Has(kChoicePoll)) {
    Trace("CheckPollConnectionStatus( )   Error!The Device %d do not establish connection", mac);
    return DNM_PollNotConfigure;
  }
  const uint16_t status = device.status(kPoll);
  if (status == 1) return DNM_PollStatus1;
  if (status == 2) return DNM_PollStatus2;
  if (device.status(kExplicit) != kStatusEstablished) return DNM_ExplicitConnectionDown;
  if (status == kStatusNotEstablished) return DNM_DeviceIsUnConnected;
  return status;
}

}  // extern "C"
