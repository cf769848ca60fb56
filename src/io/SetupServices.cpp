#include "io/SetupServices.h"

#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitCodes.h"
#include "device/ExplicitConnection.h"
#include "device/ExplicitExchange.h"
#include "device/ExplicitRoute.h"
#include "device/RequestTurn.h"
#include "port/CANPort.h"
#include "port/FrameText.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

constexpr uint8_t kProducedSize = 7;
constexpr uint8_t kConsumedSize = 8;
constexpr uint8_t kExpectedPacketRate = 9;
constexpr uint16_t kGroup2Rate = 2500;

// Notes a set-up request that failed (refused or unanswered) for the
// connections it sets up; a worker that is ending notes nothing.
void NoteRequestFailure(Device_Info& device, uint8_t connections, uint16_t request, bool refused,
                        const platform::StopSignal* stop) {
  if (stop != nullptr && stop->Raised()) return;
  const DNM_SetupFailure failure =
      refused ? SetupFailure::Refused(request) : SetupFailure::NoAnswer(request);
  for (uint8_t kind = kPoll; kind < kConnectionKinds; ++kind) {
    if ((connections & 1u << kind) != 0) {
      device.NoteSetupFailure(static_cast<ConnectionKind>(kind), failure);
    }
  }
}

// The connections (bit 1 << kind) of one I/O connection kind.
uint8_t Of(ConnectionKind kind) {
  return static_cast<uint8_t>(1u << kind);
}

// The I/O connections a device has configured.
uint8_t IoConnections(const Device_Info& device) {
  uint8_t connections = 0;
  for (uint8_t kind = kPoll; kind < kConnectionKinds; ++kind) {
    if (device.connection(static_cast<ConnectionKind>(kind)) != nullptr) connections |= 1u << kind;
  }
  return connections;
}

ExplicitRoute RouteOf(const CANPort& port, const Device_Info& device, bool ucmm) {
  return ExplicitRoute::For(port.mac_id(), device.mac(), ucmm);
}

// The expected packet rate the device is told. A COS/cyclic device produces at it, so it gets
// the configured rate whole on either route; poll and bit-strobe get 2500 ms on group 2 and
// the configured rate with its high byte bounded on UCMM.
uint16_t RateSent(uint16_t configured, bool ucmm, ConnectionKind kind) {
  if (KindInfo(kind).rate_sent_whole) return configured;
  if (!ucmm) return kGroup2Rate;
  return static_cast<uint16_t>((UcmmRateHighByte(configured) << 8) | (configured & 0xFF));
}

// The read of one connection attribute; the request is traced as it is made.
ExchangeSpec SizeReadSpec(const CANPort& port, const Device_Info& device, bool ucmm,
                          uint8_t instance, uint8_t attribute) {
  const ExplicitRoute route = RouteOf(port, device, ucmm);
  ExchangeSpec spec{
      "ThreadWaitGetAttributeResponse( )",
      RequestFrame(route.request_id, {uint8_t(kXid | route.request_mac), kGetAttributeSingle,
                                      kConnectionClass, instance, attribute}),
      route.response_id, kGetAttributeSingle | kReply, false};
  spec.ready_traced_by_caller = true;
  spec.inner_ms = kAnswerMs;
  spec.text = AnswerText::kThreadGet;
  spec.first_fragment = true;
  spec.send_step = "GetAttributeRequest( )";
  spec.send_call = "SendCmd( )";
  Trace("GetAttribute( ) Request Message is " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(spec.request));
  return spec;
}

// One connection attribute read in the device's turn; its low byte.
int GetConnectionSize(CANPort& port, Device_Info& device, bool ucmm, ConnectionKind kind,
                      uint8_t attribute, uint16_t& size, const platform::StopSignal* stop) {
  ExplicitExchange exchange(port, device, stop);
  const uint8_t instance = KindInfo(kind).instance;
  const int result =
      exchange.Run([&] { return SizeReadSpec(port, device, ucmm, instance, attribute); });
  if (result == kAnswered) size = exchange.answer().data[2];
  if (result != kAnswered && result != kFragmented) {
    const uint16_t request =
        attribute == kProducedSize ? DNM_SetupRequestProducedSize : DNM_SetupRequestConsumedSize;
    NoteRequestFailure(device, Of(kind), request, result == kErrorResponse, stop);
  }
  return result;
}

}  // namespace

int GetProducedConnectionSize(CANPort& port, Device_Info& device, bool ucmm, ConnectionKind kind,
                              uint16_t& size, const platform::StopSignal* stop) {
  return GetConnectionSize(port, device, ucmm, kind, kProducedSize, size, stop);
}

int GetConsumedConnectionSize(CANPort& port, Device_Info& device, bool ucmm, ConnectionKind kind,
                              uint16_t& size, const platform::StopSignal* stop) {
  return GetConnectionSize(port, device, ucmm, kind, kConsumedSize, size, stop);
}

namespace {

ExchangeSpec AllocateUcmmSpec(const CANPort& port, const Device_Info& device) {
  const ExplicitRoute route = RouteOf(port, device, true);
  ExchangeSpec spec{
      "AllocateConnection( )",
      RequestFrame(route.request_id, {uint8_t(kXid | route.request_mac), kAllocate,
                                      kDeviceNetClass, 0x01, device.allocate_choice(),
                                      port.mac_id()}),
      route.response_id, kAllocate | kReply, true};
  spec.ready_traced_by_caller = true;
  spec.inner_ms = kAnswerMs;
  Trace("AllocateUCMM( ) Board %d  Port %d  ConnectionID %x ready to send", port.board_number(),
        port.port_number(), spec.request.id);
  return spec;
}

// One allocation serves every I/O worker of the connection set: the first
// to come allocates the device's whole choice, the others find it done (a
// strict device refuses to allocate a set twice).
int AllocateOncePerSet(CANPort& port, Device_Info& device, const platform::StopSignal* stop) {
  RequestTurn turn(device, TurnQueue::kNoLimit, stop);
  if (!turn.held()) return kNoAnswer;
  const uint32_t set = device.connection_set();
  if (device.ucmm_allocated_set() == set) return kAnswered;
  const int result =
      ExplicitExchange(port, device, stop)
          .AllocateInTurn(AllocateUcmmSpec(port, device), {ReleaseUcmmSpec(port, device)});
  if (result == kAnswered) device.set_ucmm_allocated_set(set);
  return result;
}

}  // namespace

int AllocateUCMM(CANPort& port, Device_Info& device, const platform::StopSignal* stop) {
  const int result = AllocateOncePerSet(port, device, stop);
  if (result != kAnswered) {
    NoteRequestFailure(device, IoConnections(device), DNM_SetupRequestAllocate,
                       result == kErrorResponse, stop);
  }
  return result;
}

ExchangeSpec ReleaseUcmmSpec(const CANPort& port, const Device_Info& device) {
  const ExplicitRoute route = RouteOf(port, device, true);
  ExchangeSpec spec{
      "ReleaseConnection_UCMM( )",
      RequestFrame(route.request_id, {uint8_t(kXid | route.request_mac), kRelease, kDeviceNetClass,
                                      0x01, device.allocate_choice()}),
      route.response_id, kRelease | kReply, false};
  spec.refusal_is_no_failure = true;
  return spec;
}

int ReleaseConnection_UCMM(CANPort& port, Device_Info& device, bool wait,
                           const platform::StopSignal* stop) {
  return ExplicitExchange(port, device, stop)
      .Run(
          [&] {
            device.set_ucmm_allocated_set(kNoConnectionSet);
            return ReleaseUcmmSpec(port, device);
          },
          wait);
}

int ReleaseConnectionSet(CANPort& port, Device_Info& device, bool ucmm, bool wait,
                         const platform::StopSignal* stop) {
  return ucmm ? ReleaseConnection_UCMM(port, device, wait, stop)
              : ReleaseConnection(port, device, wait, stop);
}

uint8_t UcmmRateHighByte(uint16_t rate) {
  const uint8_t high = static_cast<uint8_t>(rate >> 8);
  return high >= 1 && high <= 3 ? high : 1;
}

int Set_ExpectedPacketRate(CANPort& port, Device_Info& device, bool ucmm, ConnectionKind kind,
                           const platform::StopSignal* stop) {
  const ConnectionObject* connection = device.connection(kind);
  const uint16_t stored = connection ? connection->expected_packet_rate.load() : kGroup2Rate;
  const uint16_t rate = RateSent(stored, ucmm, kind);
  const uint8_t instance = KindInfo(kind).instance;
  const uint8_t low = rate & 0xFF;
  const uint8_t high = static_cast<uint8_t>(rate >> 8);
  const int result = ExplicitExchange(port, device, stop).Run([&] {
    const ExplicitRoute route = RouteOf(port, device, ucmm);
    ExchangeSpec spec{"Set_ExpectedPacketRate( )",
                      RequestFrame(route.request_id,
                                   {uint8_t(kXid | route.request_mac), kSetAttributeSingle,
                                    kConnectionClass, instance, kExpectedPacketRate, low, high}),
                      route.response_id, kSetAttributeSingle | kReply, false};
    spec.inner_ms = kAnswerMs;
    if (ucmm) {
      spec.ready_traced_by_caller = true;
      Trace(
          "Set_ExpectedPacketRate( ) Board %d  Port %d  ConnectionID %x ready to send "
          "EPR_LSB(%X) EPR_MSB(%X)",
          port.board_number(), port.port_number(), spec.request.id, low, stored >> 8);
    }
    return spec;
  });
  if (result != kAnswered) {
    NoteRequestFailure(device, Of(kind), DNM_SetupRequestExpectedPacketRate,
                       result == kErrorResponse, stop);
  }
  return result;
}

}  // namespace dnm
