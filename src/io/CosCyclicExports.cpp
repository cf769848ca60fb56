// Exports that configure a device's COS or cyclic connection (one of the
// two per device), read its input, write its output and report its state.
// The COS and cyclic exports are twins that differ in their choice bit,
// texts and codes. None of them touches the bus.
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

// The face of its data exports (whose refusal text the status check
// traces too) and what its configuration says.
struct Twin {
  IoFace face;
  uint8_t other_bit;
  const char* configured_before;
  const char* conflict;
};

constexpr const char* kCosRefusal = "COS( )   Error!The Device %d do not establish connection";
constexpr const char* kCyclicRefusal =
    "Cyclic( )   Error!The Device %d do not establish connection";

constexpr Twin kCos{{kCosCyclic, kChoiceCos, kCosRefusal, kCosRefusal, DNM_COS_CyclicNotConfigure,
                     DNM_DeviceIsUnConnected, DNM_WriteCOSOutputDataLengthError},
                    kChoiceCyclic,
                    "ConfigCOS()   Error!MAC ID %d COS Connection has been configured before",
                    "Error! You already configure Cyclic,You can not configure COS"};
constexpr Twin kCyclic{
    {kCosCyclic, kChoiceCyclic, kCyclicRefusal, kCyclicRefusal, DNM_COS_CyclicNotConfigure,
     DNM_COS_CyclicNotConfigure, DNM_WriteCyclicOutputDataLengthError},
    kChoiceCos,
    "ConfigCyclic()   Error!MAC ID %d Cyclic Connection has been configured before",
    "Error! You already configure COS,You can not configure Cyclic"};

struct CosSettings {
  uint16_t input_size;
  uint16_t output_size;
  uint8_t cos_cyclic_byte;
  uint16_t rate;
  uint16_t fourth;
};

uint16_t ConfigureDevice(const Twin& twin, CANPort& port, Device_Info& device,
                         const CosSettings& settings) {
  if (!device.Has(kChoiceExplicit)) ConfigureExplicitConnection(port, device, 3);
  if (device.Has(twin.other_bit)) {
    TraceLine(twin.conflict);
    return DNM_COSCyclicConflict;
  }
  if (device.Has(twin.face.choice_bit)) {
    ConnectionObject& connection = *device.connection(kCosCyclic);
    connection.input_size = settings.input_size;
    connection.output_size = settings.output_size;
    return DNM_NoError;
  }
  ConnectionObject& connection = device.Configure(port, kCosCyclic, twin.face.choice_bit);
  connection.input_size = settings.input_size;
  connection.output_size = settings.output_size;
  connection.cos_cyclic_byte = settings.cos_cyclic_byte;
  connection.expected_packet_rate = settings.rate;
  connection.fourth_parameter = settings.fourth;
  return DNM_NoError;
}

uint16_t Configure(const Twin& twin, uint8_t board, uint8_t port, uint8_t mac,
                   const CosSettings& settings) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(true).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  if (settings.input_size > kMaxIoMessage || settings.output_size > kMaxIoMessage) {
    Trace("GetAttribute()   Error!MAC ID %d I/O sizes above %d bytes", mac,
          static_cast<int>(kMaxIoMessage));
    return DNM_IOSizeTooLarge;
  }
  CANPort& target = call.port();
  Device_Info& device = *target.device(mac);
  const bool before = device.Has(twin.face.choice_bit);
  if (before) Trace(twin.configured_before, mac);
  const uint16_t result = ConfigureDevice(twin, target, device, settings);
  if (before || result != 0) return result;
  MapTable& map = target.map();
  map.AddMap(KindInfo(kCosCyclic).ProducedId(mac), mac, kCosCyclic);
  map.ShowMapTable();
  // The slave acknowledges outputs on the poll response's identifier.
  const uint32_t ack_id = KindInfo(kPoll).ProducedId(mac);
  MapTable::Matches matches;
  if (map.FindConnectionID(ack_id, matches) == MapTable::kNone) {
    map.AddMap(ack_id, mac, kPoll);
    map.ShowMapTable();
  }
  return DNM_NoError;
}

uint16_t CheckStatus(const Twin& twin, uint8_t board, uint8_t port, uint8_t mac) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  const Device_Info& device = *call.port().device(mac);
  if (!device.Has(twin.face.choice_bit)) {
    Trace(twin.face.read_refusal, mac);
    return DNM_COS_CyclicNotConfigure;
  }
  if (device.status(kExplicit) != kStatusEstablished) return DNM_ExplicitConnectionDown;
  return device.status(kCosCyclic);
}

}  // namespace

extern "C" {

DNM_EXPORT uint16_t DNM_CALL DNM_ConfigCOS(uint8_t board, uint8_t port, uint8_t mac,
                                           uint16_t input_size, uint16_t output_size,
                                           uint8_t cos_cyclic_byte, uint16_t expected_packet_rate,
                                           uint16_t fourth) {
  return Configure(kCos, board, port, mac,
                   {input_size, output_size, cos_cyclic_byte, expected_packet_rate, fourth});
}

DNM_EXPORT uint16_t DNM_CALL DNM_ConfigCyclic(uint8_t board, uint8_t port, uint8_t mac,
                                              uint16_t input_size, uint16_t output_size,
                                              uint8_t cos_cyclic_byte,
                                              uint16_t expected_packet_rate, uint16_t fourth) {
  return Configure(kCyclic, board, port, mac,
                   {input_size, output_size, cos_cyclic_byte, expected_packet_rate, fourth});
}

DNM_EXPORT uint16_t DNM_CALL DNM_ReadCOSInputData(uint8_t board, uint8_t port, uint8_t mac,
                                                  uint8_t* data, uint32_t* length) {
  return ReadInput(kCos.face, board, port, mac, data, length);
}

DNM_EXPORT uint16_t DNM_CALL DNM_ReadCyclicInputData(uint8_t board, uint8_t port, uint8_t mac,
                                                     uint8_t* data, uint32_t* length) {
  return ReadInput(kCyclic.face, board, port, mac, data, length);
}

DNM_EXPORT uint16_t DNM_CALL DNM_WriteCOSOutputData(uint8_t board, uint8_t port, uint8_t mac,
                                                    const uint8_t* data, uint32_t length) {
  return WriteOutput(kCos.face, board, port, mac, data, length);
}

DNM_EXPORT uint16_t DNM_CALL DNM_WriteCyclicOutputData(uint8_t board, uint8_t port, uint8_t mac,
                                                       const uint8_t* data, uint32_t length) {
  return WriteOutput(kCyclic.face, board, port, mac, data, length);
}

DNM_EXPORT uint16_t DNM_CALL DNM_CheckCOSConnectionStatus(uint8_t board, uint8_t port,
                                                          uint8_t mac) {
  return CheckStatus(kCos, board, port, mac);
}

DNM_EXPORT uint16_t DNM_CALL DNM_CheckCyclicConnectionStatus(uint8_t board, uint8_t port,
                                                             uint8_t mac) {
  return CheckStatus(kCyclic, board, port, mac);
}

}  // extern "C"
