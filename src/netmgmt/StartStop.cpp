#include "netmgmt/StartStop.h"

#include "VELKCANDNM.h"
#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "io/BitStrobeRequest.h"
#include "port/CANPort.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

// Clears the connection's stop flag and lets its worker run. A failure is
// traced with the step's text.
uint16_t StartConnection(Device_Info& device, ConnectionKind kind, const char* failure_text) {
  device.set_stop_flag(kind, 0);
  ConnectionObject* connection = device.connection(kind);
  const uint16_t result = connection ? connection->StartWorker() : 0;
  if (result != 0) TraceDNMResult(failure_text, result);
  return result;
}

uint16_t StartCOS_Cyclic(Device_Info& device) {
  if (!device.Has(kChoiceCos) && !device.Has(kChoiceCyclic)) return DNM_COS_CyclicNotConfigure;
  device.set_stop_flag(kCosCyclic, 0);
  // The slave acknowledges COS/cyclic output on the poll-response
  // identifier, so a device without poll still needs that buffer.
  if (!device.Has(kChoicePoll) && device.buffer(kPoll) == nullptr) device.MakeBuffer(kPoll);
  return StartConnection(device, kCosCyclic, "DNM_StartCommunicate( ) Start COS_Cyclic Error");
}

uint16_t StartCOS_CyclicStep(Device_Info& device) {
  const uint16_t result = StartCOS_Cyclic(device);
  if (result != 0) return result;
  if (!device.Has(kChoicePoll)) {
    TraceLine("Poll Connection is Disable");
    device.set_poll_disabled();
  }
  return 0;
}

void StopConnection(Device_Info& device, ConnectionKind kind) {
  device.set_status(kind, kStatusNotEstablished);
  device.NoteSetupFailure(kind, SetupFailure::Stopped());
  device.set_stop_flag(kind, 1);
}

}  // namespace

uint16_t StartCommunicate(Device_Info& device) {
  if (!device.Has(kChoiceExplicit)) {
    TraceLine("Error! Explicit Message does not be allocated");
    return DNM_ExplicitMsgNotConfigure;
  }
  if (device.Has(kChoiceCos) && device.Has(kChoiceCyclic)) {
    TraceLine("Error! COS and Cyclic can not be allocated at the same device!");
    return DNM_COSCyclicConflict;
  }
  TraceLine("Device_Info::StartExplicitMsg( )");
  uint16_t result =
      StartConnection(device, kExplicit, "DNM_StartCommunicate( ) Start Explicit Message Error");
  if (result != 0) return result;
  if (device.Has(kChoicePoll)) {
    TraceLine("Device_Info::StartPoll( )");
    result = StartConnection(device, kPoll, "DNM_StartCommunicate( ) Start Poll Error");
    if (result != 0) return result;
  }
  if (device.Has(kChoiceBitStrobe)) {
    result = StartConnection(device, kBitStrobe, "DNM_StartCommunicate( ) Start BitStrobe Error");
    if (result != 0) return result;
  }
  if (device.Has(kChoiceCos)) {
    result = StartCOS_CyclicStep(device);
    if (result != 0) return result;
  }
  if (device.Has(kChoiceCyclic)) return StartCOS_CyclicStep(device);
  return 0;
}

uint16_t StopCommunicate(Device_Info& device) {
  if (device.Has(kChoiceExplicit)) {
    TraceLine("Device_Info::StopExplicitMsg( )");
    StopConnection(device, kExplicit);
  }
  if (device.Has(kChoicePoll)) {
    TraceLine("Device_Info::StopPoll( )");
    StopConnection(device, kPoll);
  }
  if (device.Has(kChoiceBitStrobe)) StopConnection(device, kBitStrobe);
  if (device.Has(kChoiceCos) || device.Has(kChoiceCyclic)) StopConnection(device, kCosCyclic);
  return 0;
}

uint16_t StartDevice(CANPort& port, uint8_t mac) {
  Device_Info* device = port.device(mac);
  if (device == nullptr) return DNM_DeviceNotInScanList;
  // Started before its workers run: routing drops the frames of a device
  // not started, also the answer to a first allocation that comes at once.
  port.SetStarted(mac, true);
  const uint16_t result = StartCommunicate(*device);
  if (result != 0) {
    port.SetStarted(mac, false);
    return result;
  }
  if (device->Has(kChoiceBitStrobe)) {
    BitStrobeRequest& request = port.bit_strobe_request();
    if (!request.created()) request.Create();
    if (request.suspended()) request.Resume();
  }
  return 0;
}

namespace {

bool AnyStartedBitStrobeDevice(const CANPort& port) {
  for (uint8_t mac = 0; mac < 64; ++mac) {
    const Device_Info* device = port.device(mac);
    if (device != nullptr && port.IsStarted(mac) && device->Has(kChoiceBitStrobe)) return true;
  }
  return false;
}

}  // namespace

uint16_t StopDevice(CANPort& port, uint8_t mac) {
  Device_Info* device = port.device(mac);
  if (device == nullptr) return DNM_DeviceNotInScanList;
  const uint16_t result = StopCommunicate(*device);
  if (result != 0) return result;
  port.SetStarted(mac, false);
  if (AnyStartedBitStrobeDevice(port)) return 0;
  BitStrobeRequest& request = port.bit_strobe_request();
  if (request.created() && !request.suspended()) request.Suspend();
  return 0;
}

}  // namespace dnm
