#include "io/IoDataExports.h"

#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

// The device's connection of the face's kind when it is configured and
// stands, else nullptr with code set (after the refusal's trace line).
ConnectionObject* Established(const IoFace& face, const Device_Info& device, const char* refusal,
                              uint16_t unconfigured_code, bool with_explicit, uint16_t& code) {
  const bool stands =
      with_explicit ? device.Stands(face.kind) : device.status(face.kind) == kStatusEstablished;
  code = DNM_NoError;
  if (!device.Has(face.choice_bit)) {
    code = unconfigured_code;
  } else if (!stands) {
    code = DNM_DeviceIsUnConnected;
  }
  if (code == DNM_NoError) return device.connection(face.kind);
  Trace(refusal, device.mac());
  return nullptr;
}

}  // namespace

uint16_t ReadInput(const IoFace& face, uint8_t board, uint8_t port, uint8_t mac, uint8_t* data,
                   uint32_t* length) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  uint16_t code = 0;
  ConnectionObject* connection = Established(face, *call.port().device(mac), face.read_refusal,
                                             face.read_unconfigured_code, true, code);
  if (connection == nullptr) return code;
  call.NotNull(data, "data").NotNull(length, "length");
  if (call.Failed()) return call.Code();
  const uint16_t size = connection->input_size.load();
  *length = size;
  connection->input().CopyOut(data, size);
  return DNM_NoError;
}

uint16_t WriteOutput(const IoFace& face, uint8_t board, uint8_t port, uint8_t mac,
                     const uint8_t* data, uint32_t length) {
  ExportCall call(kConnectionExportTag, board);
  call.Port(port).Mac(mac).Active().LockPort(false).Online().InScanList(mac);
  if (call.Failed()) return call.Code();
  uint16_t code = 0;
  ConnectionObject* connection = Established(face, *call.port().device(mac), face.write_refusal,
                                             face.write_unconfigured_code, false, code);
  if (connection == nullptr) return code;
  const uint16_t size = connection->output_size.load();
  if (length != size) return face.write_length_code;
  if (size > 0) call.NotNull(data, "data");
  if (call.Failed()) return call.Code();
  connection->output().CopyIn(data, size);
  return DNM_NoError;
}

}  // namespace dnm
