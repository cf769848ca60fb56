#include "device/AttributeAccess.h"

#include <algorithm>
#include <cstring>

#include "VELKCANDNM.h"
#include "device/Device_Info.h"
#include "device/ExplicitCodes.h"
#include "device/ExplicitExchange.h"
#include "device/ExplicitReassembly.h"
#include "device/ExplicitRoute.h"
#include "device/Fragmenter.h"
#include "port/CANPort.h"
#include "port/FrameBytes.h"
#include "port/FrameText.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

constexpr uint32_t kWaitMs = 3000;

// One attribute request in progress: the device, its route and its buffer.
class AttributeCall {
  using Step = ExplicitReassembly::Step;

 public:
  AttributeCall(CANPort& port, Device_Info& device)
      : port_(port),
        device_(device),
        route_(ExplicitRoute::For(port.mac_id(), device.mac(), device.ucmm())),
        buffer_(*device.buffer(kExplicit)),
        exchange_(port, device, &device.gone()) {}

  uint16_t Get(uint8_t cls, uint8_t instance, uint8_t attribute, uint8_t* area, uint32_t capacity,
               uint32_t& length);
  uint16_t Set(uint8_t cls, uint8_t instance, uint8_t attribute, const uint8_t* value,
               uint32_t length);

 private:
  enum AckAnswer { kAcked = 0, kAckedWithError = 1, kNoAck = 3 };

  uint16_t Send(const CANMsg& frame) { return port_.SendLocked(frame.id, frame.len, frame.data); }
  uint16_t SendFragACK(uint8_t count) {
    const uint16_t result = Send(FragmentAck(route_.request_id, route_.request_mac, count, 0));
    if (result != 0) TraceCANResult("SendFragACK( )", "SendCmd( )", result);
    return result;
  }
  bool Take(CANMsg& out, const FrameKey& key) { return buffer_.GetMsg(out, key) == 0; }
  FrameKey FragmentKey() const {
    return FrameKey::Data(route_.response_id, route_.response_mac | kFragmentFlag);
  }
  // The exchange of a request of the application's, its answers traced as text.
  ExchangeSpec Spec(const char* wait_name, const CANMsg& request, uint8_t service,
                    AnswerText text) const {
    ExchangeSpec spec{wait_name, request, route_.response_id, service, false};
    spec.ready_traced_by_caller = true;
    spec.inner_ms = kWaitMs;
    spec.text = text;
    spec.own = false;
    return spec;
  }
  ExchangeSpec SetSpec(const CANMsg& request) const {
    ExchangeSpec spec = Spec("WaitSetAttributeResponse( )", request, kSetAttributeSingle | kReply,
                             AnswerText::kAttributeSet);
    spec.fragmented_form = true;
    spec.send_step = "SetNonFragAttribute( )";
    spec.send_call = "API_CAN_SendMsg( )";
    return spec;
  }

  ResponseWait Wait() const {
    ResponseWait waiting(buffer_, kWaitMs, kWaitMs, &device_.gone());
    waiting.HoldIoWhenOverdue(port_);
    return waiting;
  }
  uint16_t Book(uint16_t code);
  uint16_t RunGet(uint8_t cls, uint8_t instance, uint8_t attribute, uint8_t* value,
                  uint32_t capacity, uint32_t& length);
  Step Hand(ExplicitReassembly& reassembly, const CANMsg& fragment);
  bool WaitFragment(ExplicitReassembly& reassembly, CANMsg& fragment, Step& step);
  uint16_t CollectFragments(const CANMsg& first, uint8_t* value, uint32_t capacity,
                            uint32_t& length);
  uint16_t FragmentError(const CANMsg& fragment);
  uint16_t TooLong(uint32_t capacity);
  uint16_t KeepErrorResponse(const CANMsg& answer, uint16_t code);
  AckAnswer WaitSetAttributeACKResponse(uint8_t count);
  uint16_t SetNonFragAttribute(const CANMsg& request);
  uint16_t SetCode(int result, bool fragmented);
  uint16_t SetFragAttribute(const std::vector<CANMsg>& fragments);
  uint16_t SendFragmentUntilAcked(const CANMsg& fragment, uint8_t count);
  uint16_t RunSet(uint8_t cls, uint8_t instance, uint8_t attribute, const uint8_t* value,
                  uint32_t length);

  CANPort& port_;
  Device_Info& device_;
  const ExplicitRoute route_;
  MsgBuffer& buffer_;
  ExplicitExchange exchange_;
};

// Gives a fragment taken to the reassembly and sends the acknowledgement it asks for.
AttributeCall::Step AttributeCall::Hand(ExplicitReassembly& reassembly, const CANMsg& fragment) {
  const ExplicitReassembly::Result result = reassembly.Take(fragment);
  if (result.ack) SendFragACK(*result.ack);
  return result.step;
}

// Waits for the fragment that arrives next, whichever it is, and hands it to the reassembly
// until one moves it on (true, with its step): taken in the order of arrival, a fragment out
// of sequence is never passed over for a later one that fits. A resend of the fragment before
// is acknowledged again and the wait goes on.
bool AttributeCall::WaitFragment(ExplicitReassembly& reassembly, CANMsg& fragment, Step& step) {
  ResponseWait waiting = Wait();
  while (waiting.NextPass("Start wait for middle fragment")) {
    while (Take(fragment, FragmentKey())) {
      step = Hand(reassembly, fragment);
      if (step != Step::kRepeat) return true;
    }
    TraceLine("GetAttribute Middle Fragment not found");
    buffer_.ShowAllData(port_.board_number(), port_.port_number(), device_.mac(), 0);
  }
  return false;
}

// Collects a fragmented value, each fragment by its length. A first or
// middle fragment that is not full, a last one that carries nothing or a
// fragment out of sequence ends the read with nothing written.
uint16_t AttributeCall::CollectFragments(const CANMsg& first, uint8_t* value, uint32_t capacity,
                                         uint32_t& length) {
  ExplicitReassembly reassembly(value, capacity);
  CANMsg fragment = first;
  Step step = Hand(reassembly, fragment);
  while (step == Step::kMore) {
    if (!WaitFragment(reassembly, fragment, step)) return DNM_GetAttributeResponseTimeout;
  }
  if (step == Step::kMalformed) return FragmentError(fragment);
  buffer_.PurgeFragments();
  if (step == Step::kTooLong) return TooLong(capacity);
  length = reassembly.length();
  return DNM_NoError;
}

uint16_t AttributeCall::FragmentError(const CANMsg& fragment) {
  buffer_.PurgeFragments();
  Trace("GetAttribute( )   Error!Fragment out of sequence or short " DNM_FRAME_FORMAT,
        DNM_FRAME_FIELDS(fragment));
  return DNM_GetAttributeFragmentTimeout;
}

uint16_t AttributeCall::TooLong(uint32_t capacity) {
  Trace("GetAttribute( )   Error!The value is longer than %u bytes", capacity);
  return DNM_GetAttributeDataTooLong;
}

// An error response [header, 0x94, general status, additional status]:
// its statuses are kept for the application to read.
uint16_t AttributeCall::KeepErrorResponse(const CANMsg& answer, uint16_t code) {
  constexpr uint8_t kMissing = 0xFF;
  device_.NoteErrorResponse(answer.len > 2 ? answer.data[2] : kMissing,
                            answer.len > 3 ? answer.data[3] : kMissing);
  return code;
}

// The caller's area is written only when the whole value came.
uint16_t AttributeCall::Get(uint8_t cls, uint8_t instance, uint8_t attribute, uint8_t* area,
                            uint32_t capacity, uint32_t& length) {
  uint8_t value[kMaxGetValue] = {};
  uint32_t value_length = 0;
  capacity = std::min(capacity, kMaxGetValue);
  const uint16_t result = Book(RunGet(cls, instance, attribute, value, capacity, value_length));
  if (result != DNM_NoError) return result;
  std::memcpy(area, value, value_length);
  length = value_length;
  return result;
}

uint16_t AttributeCall::RunGet(uint8_t cls, uint8_t instance, uint8_t attribute, uint8_t* value,
                               uint32_t capacity, uint32_t& length) {
  ExchangeSpec spec = Spec("WaitGetAttributeResponse( )",
                           RequestFrame(route_.request_id, {route_.request_mac, kGetAttributeSingle,
                                                            cls, instance, attribute}),
                           kGetAttributeSingle | kReply, AnswerText::kAttributeGet);
  spec.first_fragment = true;
  spec.send_step = "GetAttributeRequest( )";
  spec.send_call = "SendCmd( )";
  Trace("GetAttribute( ) Request Message is " DNM_FRAME_FORMAT, DNM_FRAME_FIELDS(spec.request));
  const int result = exchange_.RunInTurn(spec);
  if (exchange_.send_code() != 0) return exchange_.send_code();
  const CANMsg& answer = exchange_.answer();
  if (result == kNoAnswer) return DNM_GetAttributeResponseTimeout;
  if (result == kErrorResponse) return KeepErrorResponse(answer, DNM_GetAttributeResponseError);
  if (result == kFragmented) return CollectFragments(answer, value, capacity, length);
  const uint32_t carried = CarriedBytes(answer);
  const uint32_t bytes = carried >= 2 ? carried - 2u : 0u;
  if (bytes > capacity) return TooLong(capacity);
  std::memcpy(value, answer.data + 2, bytes);
  length = bytes;
  Trace("GetAttribute( )   Data is %x %x %x %x %x %x", value[0], value[1], value[2], value[3],
        value[4], value[5]);
  return DNM_NoError;
}

// Books the call's end with the device: answers of either kind show the
// connection alive, and a call left unanswered asks the explicit worker to
// check the connection at once.
uint16_t AttributeCall::Book(uint16_t code) {
  if (device_.gone().Raised()) return code;
  switch (code) {
    case DNM_GetAttributeResponseError:
    case DNM_SetAttributeResponseError:
    case DNM_SetAttributeACKError:
      device_.NoteOutcome(RequestOutcome::kErrorResponse);
      break;
    case DNM_GetAttributeResponseTimeout:
    case DNM_SetAttributeResponseTimeout:
    case DNM_SetAttributeFragmentACKTimeout:
      device_.NoteOutcome(RequestOutcome::kNoAnswer);
      device_.NoteMissedAnswer();
      break;
    case DNM_NoError:
    case DNM_GetAttributeFragmentTimeout:
    case DNM_GetAttributeDataTooLong:
      device_.NoteOutcome(RequestOutcome::kAnswered);
      break;
    default:  // the request could not be sent
      device_.NoteOutcome(RequestOutcome::kNoAnswer);
      break;
  }
  return code;
}

AttributeCall::AckAnswer AttributeCall::WaitSetAttributeACKResponse(uint8_t count) {
  ResponseWait waiting = Wait();
  const uint8_t ack = FragmentByte(FragmentType::kAck, count);
  const uint8_t header = route_.response_mac | kFragmentFlag;
  while (waiting.NextPass()) {
    Trace("WaitSetAttributeACKResponse( )   DesMACID %d  DataCount: %d", device_.mac(),
          waiting.count());
    CANMsg answer{};
    for (const uint8_t status : {0, 1}) {
      if (Take(answer, FrameKey::Data(route_.response_id, header, ack, status))) {
        Trace("WatiSetAttributeACKResponse( )   Response Msg " DNM_FRAME_FORMAT,
              DNM_FRAME_FIELDS(answer));
        return status == 0 ? kAcked : kAckedWithError;
      }
    }
  }
  return kNoAck;
}

uint16_t AttributeCall::SetNonFragAttribute(const CANMsg& request) {
  for (int twice = 0; twice < 2; ++twice) {
    Trace("SetAttribute( )   DesMACID %d , Request Msg " DNM_FRAME_FORMAT, device_.mac(),
          DNM_FRAME_FIELDS(request));
  }
  const int result = exchange_.RunInTurn(SetSpec(request));
  if (exchange_.send_code() != 0) return exchange_.send_code();
  return SetCode(result, false);
}

// The code of a set's final answer. The fragmented form of the answer counts
// only after a fragmented request, and is acknowledged then.
uint16_t AttributeCall::SetCode(int result, bool fragmented) {
  if (result == kAnswered) return DNM_NoError;
  if (result == kErrorResponse) {
    return KeepErrorResponse(exchange_.answer(), DNM_SetAttributeResponseError);
  }
  if (result == kFragmented && fragmented) {
    Send(FragmentAck(route_.request_id, route_.request_mac, 0, 0));
    return DNM_NoError;
  }
  return DNM_SetAttributeResponseTimeout;
}

// Sends one fragment and waits for its acknowledgement, sending it once more
// when the first acknowledgement does not come.
uint16_t AttributeCall::SendFragmentUntilAcked(const CANMsg& fragment, uint8_t count) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const uint16_t sent = Send(fragment);
    if (sent != 0) return TraceCANResult("SetFragAttribute( )", "API_CAN_SendMsg( )", sent);
    const AckAnswer ack = WaitSetAttributeACKResponse(count);
    if (ack == kAcked) return DNM_NoError;
    if (ack == kAckedWithError) return DNM_SetAttributeACKError;
  }
  return count == 0 ? DNM_SetAttributeResponseTimeout : DNM_SetAttributeFragmentACKTimeout;
}

uint16_t AttributeCall::SetFragAttribute(const std::vector<CANMsg>& fragments) {
  for (size_t i = 0; i < fragments.size(); ++i) {
    Trace("SetAttribute( )   DesMACID %d , %d-st Fragment Msg " DNM_FRAME_FORMAT, device_.mac(),
          static_cast<int>(i), DNM_FRAME_FIELDS(fragments[i]));
    const uint16_t result = SendFragmentUntilAcked(fragments[i], static_cast<uint8_t>(i));
    if (result != 0) return result;
  }
  return SetCode(exchange_.Await(SetSpec(fragments.back())), true);
}

uint16_t AttributeCall::Set(uint8_t cls, uint8_t instance, uint8_t attribute, const uint8_t* value,
                            uint32_t length) {
  return Book(RunSet(cls, instance, attribute, value, length));
}

uint16_t AttributeCall::RunSet(uint8_t cls, uint8_t instance, uint8_t attribute,
                               const uint8_t* value, uint32_t length) {
  if (length <= 3) {
    CANMsg request = RequestFrame(
        route_.request_id, {route_.request_mac, kSetAttributeSingle, cls, instance, attribute});
    std::memcpy(request.data + 5, value, length);
    request.len = static_cast<uint8_t>(5 + length);
    return SetNonFragAttribute(request);
  }
  ClearForRequest(device_, port_.mac_id(), &device_.gone());
  return SetFragAttribute(Fragment(route_.request_id, route_.request_mac,
                                   {kSetAttributeSingle, cls, instance, attribute}, value, length));
}

}  // namespace

uint16_t GetAttribute(CANPort& port, Device_Info& device, uint8_t cls, uint8_t instance,
                      uint8_t attribute, uint8_t* value, uint32_t capacity, uint32_t& length) {
  return AttributeCall(port, device).Get(cls, instance, attribute, value, capacity, length);
}

uint16_t SetAttribute(CANPort& port, Device_Info& device, uint8_t cls, uint8_t instance,
                      uint8_t attribute, const uint8_t* value, uint32_t length) {
  return AttributeCall(port, device).Set(cls, instance, attribute, value, length);
}

}  // namespace dnm
