#include "device/ExplicitExchange.h"

#include "device/Device_Info.h"
#include "device/ExplicitCodes.h"
#include "device/ExplicitRoute.h"
#include "device/Fragmenter.h"
#include "port/CANPort.h"
#include "port/FrameText.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

CANMsg RequestFrame(uint32_t id, std::initializer_list<uint8_t> data) {
  CANMsg msg{};
  msg.id = id;
  for (uint8_t byte : data) msg.data[msg.len++] = byte;
  return msg;
}

ResponseWait::ResponseWait(MsgBuffer& buffer, uint32_t inner_ms, uint32_t overall_ms,
                           const platform::StopSignal* stop)
    : buffer_(buffer),
      inner_ms_(inner_ms),
      overall_ms_(overall_ms),
      stop_(stop),
      start_(platform::GetTickCount()) {}

bool ResponseWait::NextPass(const char* before_wait) {
  if (last_look_taken_) return false;
  if (!first_) {
    buffer_.DropArrivedBefore(seen_);
    if (stop_ == nullptr) {
      platform::SleepMs(10);
    } else if (stop_->SleepFor(10)) {
      return false;
    }
  }
  first_ = false;
  if (!TimeOut()) {
    if (before_wait != nullptr) TraceLine(before_wait);
    count_ = WaitForFrames();
  }
  if (stop_ != nullptr && stop_->Raised()) return false;
  if (TimeOut()) LastLook();
  seen_ = buffer_.ArrivalMark();
  return count_ > 0;
}

bool ResponseWait::TimeOut() const {
  return platform::GetTickCount() - start_ >= overall_ms_;
}

// A thread that wakes after the deadline (the process was starved or
// paused) still looks once at what arrived: a frame received in time
// answers, one received later does not.
void ResponseWait::LastLook() {
  last_look_taken_ = true;
  buffer_.DropReceivedAfter(start_ + overall_ms_);
  count_ = buffer_.GetDataCount();
}

// Waits up to inner_ms for a frame; on a loaded port, once per wait, the
// time after the answer is overdue holds the port's I/O back.
uint8_t ResponseWait::WaitForFrames() {
  const uint32_t spent = platform::GetTickCount() - start_;
  const uint32_t until_overdue = spent < kOverdueMs ? kOverdueMs - spent : 0;
  if (port_ == nullptr || io_held_ || until_overdue >= inner_ms_) {
    return buffer_.WaitForData(inner_ms_, stop_);
  }
  uint8_t count = buffer_.WaitForData(until_overdue, stop_);
  uint32_t left = inner_ms_ - until_overdue;
  if (count > 0 || !port_->Loaded()) return count > 0 ? count : buffer_.WaitForData(left, stop_);
  io_held_ = true;
  const uint32_t hold = std::min(port_->FullQueueWaitMs(), left);
  port_->HoldIo(true);
  count = buffer_.WaitForData(hold, stop_);
  port_->HoldIo(false);
  left -= hold;
  return count > 0 || left == 0 ? count : buffer_.WaitForData(left, stop_);
}

namespace {

// The master's MAC ID that the answer to the request names.
uint8_t AnswerMac(const ExchangeSpec& spec, uint8_t port_mac) {
  return spec.answer_mac == kNoMaster ? port_mac : spec.answer_mac;
}

}  // namespace

PendingAnswer PendingAnswerOf(const ExchangeSpec& spec, uint8_t master_mac) {
  return {spec.response_id, static_cast<uint8_t>(kXid | AnswerMac(spec, master_mac)),
          spec.success_service, spec.name, platform::GetTickCount() + spec.inner_ms};
}

bool AwaitPendingAnswer(Device_Info& device, const PendingAnswer& pending, uint32_t until_tick,
                        const platform::StopSignal* stop) {
  MsgBuffer* buffer = device.buffer(kExplicit);
  const auto left = static_cast<int32_t>(until_tick - platform::GetTickCount());
  if (buffer == nullptr || left <= 0) return false;
  ResponseWait waiting(*buffer, static_cast<uint32_t>(left), static_cast<uint32_t>(left), stop);
  CANMsg answer{};
  while (waiting.NextPass()) {
    for (const uint8_t service : {pending.success_service, kErrorResponseService}) {
      if (buffer->GetMsg(answer, FrameKey::Data(pending.response_id, pending.header, service)) ==
          0) {
        Trace("%s   DesMACID %d ,Response Msg " DNM_FRAME_FORMAT, pending.name, device.mac(),
              DNM_FRAME_FIELDS(answer));
        BookOwnRequest(device, kAnswered);
        return true;
      }
    }
  }
  return false;
}

void ClearForRequest(Device_Info& device, uint8_t master_mac, const platform::StopSignal* stop) {
  for (const PendingAnswer& pending : device.turn().TakePending()) {
    // An answer to the master under an earlier MAC ID answers nothing asked now.
    if (pending.header != (kXid | master_mac)) continue;
    AwaitPendingAnswer(device, pending, pending.due_tick, stop);
  }
  device.DropHeldAnswers();
}

ExplicitExchange::ExplicitExchange(CANPort& port, Device_Info& device,
                                   const platform::StopSignal* stop)
    : port_(port), device_(device), stop_(stop) {}

int ExplicitExchange::Run(const std::function<ExchangeSpec()>& make, bool wait) {
  RequestTurn turn(device_, TurnQueue::kNoLimit, stop_);
  if (!turn.held()) return kNoAnswer;
  return RunInTurn(make(), wait);
}

int ExplicitExchange::RunInTurn(const ExchangeSpec& spec, bool wait) {
  const int result = SendAndWait(spec, wait);
  if (wait && spec.own) Book(result);
  return result;
}

void ExplicitExchange::Book(int result) {
  if (stop_ == nullptr || !stop_->Raised()) BookOwnRequest(device_, result);
}

namespace {

bool RefusedAsHeld(const CANMsg& answer) {
  return answer.len >= 3 &&
         (answer.data[2] == kStatusAlreadyInState || answer.data[2] == kStatusObjectStateConflict);
}

}  // namespace

int ExplicitExchange::AllocateInTurn(const ExchangeSpec& allocate,
                                     const std::vector<ExchangeSpec>& releases) {
  const int result = SendAndWait(allocate, true);
  const bool held = result == kErrorResponse && RefusedAsHeld(answer_);
  Book(held ? kAnswered : result);
  if (!held) return result;
  Trace("%s   DesMACID %d holds a set: released first", allocate.name, device_.mac());
  for (const ExchangeSpec& release : releases) RunInTurn(release);
  return RunInTurn(allocate);
}

void BookOwnRequest(Device_Info& device, int result) {
  if (result == kNoAnswer || result == kNotSent) {
    device.NoteOutcome(RequestOutcome::kNoAnswer);
    return;
  }
  device.NoteOutcome(result == kErrorResponse ? RequestOutcome::kErrorResponse
                                              : RequestOutcome::kAnswered);
  device.NoteOwnRequestAnswered();
}

int ExplicitExchange::Send(const ExchangeSpec& spec) {
  if (!spec.ready_traced_by_caller) {
    Trace("%s Board %d  Port %d  ConnectionID %x ready to send", spec.name, port_.board_number(),
          port_.port_number(), spec.request.id);
  }
  ClearForRequest(device_, port_.mac_id(), stop_);
  send_code_ = port_.SendLocked(spec.request.id, spec.request.len, spec.request.data);
  if (send_code_ == 0) return kAnswered;
  if (spec.send_step != nullptr) {
    TraceCANResult(spec.send_step, spec.send_call, send_code_);
  } else {
    Trace("%s Board %d  Port %d  DesMACID %x SendCmd Error!", spec.name, port_.board_number(),
          port_.port_number(), device_.mac());
  }
  return send_code_ == CAN_TransmitBufferLocked ? kNotSent : kNoAnswer;
}

int ExplicitExchange::SendAndWait(const ExchangeSpec& spec, bool wait) {
  const int sent = Send(spec);
  if (sent != kAnswered) return sent;
  if (wait) return Await(spec);
  device_.turn().LeavePending(PendingAnswerOf(spec, port_.mac_id()));
  return kAnswered;
}

// Takes the first fragment of the answer. Fragments that came before it
// belong to no answer awaited (an earlier call's, left after it ended) and go.
bool ExplicitExchange::TakeFirstFragment(MsgBuffer& buffer, const ExchangeSpec& spec,
                                         uint8_t header) {
  const FrameKey fragments = FrameKey::Data(spec.response_id, header | kFragmentFlag);
  while (buffer.GetMsg(answer_, fragments) == 0) {
    if (answer_.data[1] == FragmentByte(FragmentType::kFirst, 0) &&
        answer_.data[2] == spec.success_service) {
      return true;
    }
  }
  return false;
}

namespace {

void TraceAnswer(const ExchangeSpec& spec, uint8_t mac, int result, const CANMsg& answer) {
  switch (spec.text) {
    case AnswerText::kConnectionSet:
      if (result == kErrorResponse && spec.error_has_own_text) {
        Trace("%s   Error!  DesMACID %d ,Response Msg " DNM_FRAME_FORMAT, spec.name, mac,
              DNM_FRAME_FIELDS(answer));
      } else {
        Trace("%s   DesMACID %d ,Response Msg " DNM_FRAME_FORMAT, spec.name, mac,
              DNM_FRAME_FIELDS(answer));
      }
      return;
    case AnswerText::kThreadGet:
      Trace(result == kAnswered
                ? "TheradWaitGetAttributeResponse( )   DesMACID %d , " DNM_FRAME_FORMAT
                : "ThreadWaitGetAttributeResponse( )   DesMACID %d , " DNM_FRAME_FORMAT,
            mac, DNM_FRAME_FIELDS(answer));
      return;
    case AnswerText::kAttributeGet:
      Trace("WaitGetAttributeResponse( )   DesMACID %d , " DNM_FRAME_FORMAT, mac,
            DNM_FRAME_FIELDS(answer));
      return;
    case AnswerText::kAttributeSet:
      Trace(result == kFragmented
                ? "WatiSetAttributeResponse( )   Response Fragment Msg " DNM_FRAME_FORMAT
                : "WatiSetAttributeResponse( )   Response Msg " DNM_FRAME_FORMAT,
            DNM_FRAME_FIELDS(answer));
      return;
  }
}

}  // namespace

int ExplicitExchange::Taken(const ExchangeSpec& spec, int result) {
  TraceAnswer(spec, device_.mac(), result, answer_);
  if (result != kErrorResponse) return result;
  if (spec.refusal_is_no_failure) return kAnswered;
  if (spec.own) device_.setup_reasons().NoteErrorAnswer(answer_.data, answer_.len);
  return kErrorResponse;
}

// Frames that answer something else (the workers' own exchanges, a late
// answer to an earlier call) do not end the wait: it goes on until the
// answer comes or the time is out.
int ExplicitExchange::Await(const ExchangeSpec& spec) {
  MsgBuffer* buffer = device_.buffer(kExplicit);
  if (buffer == nullptr) return kNoAnswer;
  const uint8_t header =
      static_cast<uint8_t>((spec.own ? kXid : 0) | AnswerMac(spec, port_.mac_id()));
  const auto take = [&](const FrameKey& key) { return buffer->GetMsg(answer_, key) == 0; };
  ResponseWait waiting(*buffer, spec.inner_ms, kAnswerMs, stop_);
  waiting.HoldIoWhenOverdue(port_);
  while (waiting.NextPass()) {
    Trace("%s   DesMACID %d  DataCount: %d", spec.name, device_.mac(), waiting.count());
    if (take(FrameKey::Data(spec.response_id, header, spec.success_service))) {
      return Taken(spec, kAnswered);
    }
    if (spec.first_fragment && TakeFirstFragment(*buffer, spec, header)) {
      return Taken(spec, kFragmented);
    }
    if (spec.fragmented_form &&
        take(FrameKey::Data(spec.response_id, header | kFragmentFlag, spec.success_service))) {
      return Taken(spec, kFragmented);
    }
    if (take(FrameKey::Data(spec.response_id, header, kErrorResponseService))) {
      return Taken(spec, kErrorResponse);
    }
  }
  return kNoAnswer;
}

}  // namespace dnm
