#include "device/ExplicitConnection.h"

#include <optional>

#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitCodes.h"
#include "device/ExplicitExchange.h"
#include "device/ExplicitRoute.h"
#include "device/RequestTurn.h"
#include "device/Workers.h"
#include "port/CANPort.h"
#include "port/Identifiers.h"
#include "port/MapTable.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

int Exchange(CANPort& port, Device_Info& device, const platform::StopSignal* stop,
             const std::function<ExchangeSpec()>& make, bool wait = true) {
  return ExplicitExchange(port, device, stop).Run(make, wait);
}

// A keep-alive that a full transmit queue kept from the bus says nothing of
// the device, until the master has not heard from it for as long as the
// device waits before it drops the connection (four expected packet rates):
// then the device is taken as gone as for a missed answer.
constexpr uint32_t kNotSentPauseMs = 100;

bool SilentPastWatchdog(const Device_Info& device) {
  const ConnectionObject* connection = device.connection(kExplicit);
  const uint32_t rate = connection ? connection->expected_packet_rate.load() : 2500;
  return device.MsSinceAnswer() >= 4 * rate;
}

}  // namespace

void ConfigureExplicitConnection(CANPort& port, Device_Info& device, uint16_t action) {
  if (device.Has(kChoiceExplicit)) {
    device.connection(kExplicit)->fourth_parameter = action;
    return;
  }
  ConnectionObject& connection = device.Configure(port, kExplicit, kChoiceExplicit);
  connection.expected_packet_rate = 2500;
  connection.fourth_parameter = action;
}

int AllocateConnection(CANPort& port, Device_Info& device, const platform::StopSignal* stop) {
  RequestTurn turn(device, TurnQueue::kNoLimit, stop);
  if (!turn.held()) return kNoAnswer;
  const uint8_t s = port.mac_id();
  const uint8_t m = device.mac();
  ExchangeSpec spec{"AllocateConnection( )",
                    RequestFrame(Group2Id(m, 6), {uint8_t(kXid | s), kAllocate, kDeviceNetClass,
                                                  0x01, device.allocate_choice(), s}),
                    Group2Id(m, 3), kAllocate | kReply, true};
  spec.inner_ms = kAnswerMs;
  const int result = ExplicitExchange(port, device, stop)
                         .AllocateInTurn(spec, ReleasesBeforeAllocation(port, device));
  if (result == kAnswered) device.set_allocated_as(s);
  return result;
}

// A set refused as held is released under the master's MAC ID and, after a
// change of it, first under the one it was allocated with: a device that
// missed the release sent before the change holds it for that MAC ID, and
// refuses the master under any other until it is released.
std::vector<ExchangeSpec> ReleasesBeforeAllocation(const CANPort& port, const Device_Info& device) {
  const uint8_t former = device.allocated_as();
  if (former == kNoMaster || former == port.mac_id()) return {ReleaseSpec(port, device)};
  return {ReleaseSpec(device, former), ReleaseSpec(port, device)};
}

ExchangeSpec ReleaseSpec(const CANPort& port, const Device_Info& device) {
  return ReleaseSpec(device, port.mac_id());
}

ExchangeSpec ReleaseSpec(const Device_Info& device, uint8_t s) {
  const uint8_t m = device.mac();
  ExchangeSpec spec{"ReleaseConnection( )",
                    RequestFrame(Group2Id(m, 6), {uint8_t(kXid | s), kRelease, kDeviceNetClass,
                                                  0x01, device.allocate_choice()}),
                    Group2Id(m, 3), kRelease | kReply, false};
  spec.refusal_is_no_failure = true;
  spec.answer_mac = s;
  return spec;
}

int ReleaseConnection(CANPort& port, Device_Info& device, bool wait,
                      const platform::StopSignal* stop) {
  return Exchange(
      port, device, stop, [&] { return ReleaseSpec(port, device); }, wait);
}

int Set_ExplicitMsg_WatchdogTimeout(CANPort& port, Device_Info& device,
                                    const platform::StopSignal* stop) {
  const ConnectionObject* connection = device.connection(kExplicit);
  const uint8_t action = connection ? connection->fourth_parameter.load() & 0xFF : 3;
  return Exchange(port, device, stop, [&] {
    const uint8_t s = port.mac_id();
    const uint8_t m = device.mac();
    ExchangeSpec spec{"Set_ExplicitMsg_WatchdogTimeout( )",
                      RequestFrame(Group2Id(m, 4), {uint8_t(kXid | s), kSetAttributeSingle,
                                                    kConnectionClass, 0x01, 0x0C, action}),
                      Group2Id(m, 3), kSetAttributeSingle | kReply, false};
    spec.inner_ms = kAnswerMs;
    return spec;
  });
}

int OpenExplicitUCMM(CANPort& port, Device_Info& device, const platform::StopSignal* stop) {
  const uint8_t m = device.mac();
  ExplicitExchange exchange(port, device, stop);
  const int result = exchange.Run([&] {
    ExchangeSpec spec{
        "OpenExplicitUCMM( )",
        RequestFrame(Group3Id(6, port.mac_id()), {uint8_t(kXid | m), kAllocate, 0x00, 0x30}),
        Group3Id(5, m), kAllocate | kReply, true};
    spec.inner_ms = kAnswerMs;
    return spec;
  });
  if (result != kAnswered) return result;
  device.set_ucmm_instance(exchange.answer().data[4]);
  Trace("Save InstanceID %X", device.ucmm_instance());
  // The device's answers on the connection come from 0x600 + M; the route is
  // the device's own and is added once.
  if (device.ClaimUcmmRoute()) {
    port.map().AddMap(Group3Id(0, m), m, kExplicit);
    port.map().ShowMapTable();
  }
  return kAnswered;
}

ExchangeSpec CloseUcmmSpec(const CANPort& port, const Device_Info& device) {
  const uint8_t s = port.mac_id();
  const uint8_t m = device.mac();
  const uint8_t instance = device.ucmm_instance() & 0xFF;
  ExchangeSpec spec{"ThreadCloseExplicitUCMM( )",
                    RequestFrame(Group3Id(6, s), {uint8_t(kXid | m), kRelease, instance, 0x00}),
                    Group3Id(5, m), kRelease | kReply, true};
  spec.refusal_is_no_failure = true;
  return spec;
}

int ThreadCloseExplicitUCMM(CANPort& port, Device_Info& device, bool wait,
                            const platform::StopSignal* stop) {
  Trace("InstanceID %X", device.ucmm_instance());
  return Exchange(
      port, device, stop, [&] { return CloseUcmmSpec(port, device); }, wait);
}

namespace {

// One keep-alive, in the caller's turn. The one after a miss waits until
// the first has had the time of any request: a slow device's late answer to
// the first answers the second as well. A device that left an attribute
// call unanswered has had that time already, and is asked quickly.
bool AskConnectionState(CANPort& port, Device_Info& device, const platform::StopSignal* stop) {
  const ExplicitRoute route = ExplicitRoute::For(port.mac_id(), device.mac(), device.ucmm());
  ExchangeSpec spec{
      "ExplicitMsgKeepAlive( )",
      RequestFrame(route.request_id, {uint8_t(kXid | route.request_mac), kGetAttributeSingle,
                                      kConnectionClass, 0x01, 0x01}),
      route.response_id, kGetAttributeSingle | kReply, false};
  if (device.keepalive_misses() > 0 && !device.suspect()) spec.inner_ms = kAnswerMs - kFirstFrameMs;
  const int result = ExplicitExchange(port, device, stop).RunInTurn(spec);
  if (stop != nullptr && stop->Raised()) return true;
  if (result == kNotSent && !SilentPastWatchdog(device)) {
    // Not asked: asked again after a pause, without counting a miss.
    if (stop != nullptr) stop->SleepFor(kNotSentPauseMs);
    return false;
  }
  if (result != kNoAnswer && result != kNotSent) return true;
  const uint8_t missed = device.NoteKeepAliveMissed();
  if (missed >= 2 && device.status(kExplicit) == kStatusEstablished) {
    device.NoteSetupFailure(kExplicit, SetupFailure::Lost(missed));
    Trace("ExplicitMsg Lost Board %d  Port %d  DesMACID %d ", port.board_number(),
          port.port_number(), device.mac());
    device.set_status(kExplicit, kStatusNotEstablished);
  }
  return false;
}

}  // namespace

// A miss is followed at once by the second keep-alive, in the same turn: no
// other request may take the first one's late answer in between.
bool CheckExplicitConnection(CANPort& port, Device_Info& device, const platform::StopSignal* stop,
                             bool turn_held) {
  std::optional<RequestTurn> turn;
  if (!turn_held) {
    turn.emplace(device, TurnQueue::kNoLimit, stop);
    if (!turn->held()) return true;  // the worker or the device is ending
  }
  if (AskConnectionState(port, device, stop)) return true;
  if (device.keepalive_misses() != 1 || device.status(kExplicit) != kStatusEstablished)
    return false;
  return AskConnectionState(port, device, stop);
}

}  // namespace dnm
