// The explicit request/response exchange: build a request, send it under
// the port's SendLock, wait for the answer in the device's explicit buffer
// within the time limits, take the frame that matches, trace each step.
// Connection set-up, attribute access and the I/O set-up services all run
// their requests through here with their own frames and texts.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "VELKCAN.h"
#include "device/Device_Info.h"
#include "device/ExplicitCodes.h"
#include "device/RequestTurn.h"
#include "platform/Platform.h"

namespace dnm {

class CANPort;
class MsgBuffer;

// Internal results of an exchange (not library codes), the same for every
// request of the library's and the application's.
// kFragmented: the answer came in fragments (its first fragment taken), or
// a set was answered in the fragmented form.
// kNotSent: the request waited its time for room in a transmit queue that
// stayed full (back-pressure on a busy bus), so the device was not asked.
enum ExchangeResult : int {
  kAnswered = 0,
  kErrorResponse = 1,
  kFragmented = 2,
  kNoAnswer = 3,
  kNotSent = 4
};

// The trace lines of an exchange's answers, as each request has its own.
enum class AnswerText : uint8_t {
  kConnectionSet,  // "NAME   DesMACID %d ,Response Msg ..."
  kThreadGet,      // the I/O workers' size reads
  kAttributeGet,   // "WaitGetAttributeResponse( )   DesMACID %d , ..."
  kAttributeSet,   // "WatiSetAttributeResponse( )   Response Msg ..."
};

// How long an exchange waits for its answer. A request that sets a
// connection up waits for its first frame as long as for the whole answer:
// the device has 3 s to answer it, as it has an attribute call. A release
// or a keep-alive gives up after 1 s without any frame: unanswered, it is
// sent again or followed by a new set-up anyway (the keep-alive sent again
// waits the rest of the 3 s).
constexpr uint32_t kAnswerMs = 3000;
constexpr uint32_t kFirstFrameMs = 1000;

struct ExchangeSpec {
  const char* name;  // trace name, e.g. "AllocateConnection( )"
  CANMsg request;
  uint32_t response_id;
  uint8_t success_service;              // byte 1 of the answer
  bool error_has_own_text;              // "Error!" line for an error response
  bool ready_traced_by_caller = false;  // the caller writes its own "ready" line
  uint32_t inner_ms = kFirstFrameMs;    // the longest wait for the first frame
  AnswerText text = AnswerText::kConnectionSet;
  // The library's own request (XID set, its outcome booked and an error
  // answer noted as a set-up reason), or the application's attribute call,
  // which books its outcome itself once the whole value came.
  bool own = true;
  // Fragmented answers taken too: the first fragment of the success answer
  // (a long value), or the success answer in the fragmented form.
  bool first_fragment = false;
  bool fragmented_form = false;
  // For a failed send, the driver result line of these two tags instead of
  // "NAME ... SendCmd Error!".
  const char* send_step = nullptr;
  const char* send_call = nullptr;
  // A release or close: a device that holds nothing of the master's refuses
  // it, which is no failure: its error answer counts as answered.
  bool refusal_is_no_failure = false;
  // The master's MAC ID the answer is addressed to, where the request names
  // another than the port's (a release under the MAC ID before a change).
  uint8_t answer_mac = kNoMaster;
};

// The answer that a request, sent now without waiting for it, may still bring.
PendingAnswer PendingAnswerOf(const ExchangeSpec& spec, uint8_t master_mac);
// Waits until the pending answer came (true; it is taken and traced) or
// until_tick; a stop raised ends the wait too.
bool AwaitPendingAnswer(Device_Info& device, const PendingAnswer& pending, uint32_t until_tick,
                        const platform::StopSignal* stop);

// Waits for frames in a buffer: each pass sleeps until the buffer holds a
// frame (at most inner_ms), and passes go on while the overall time is
// below overall_ms. The frames a pass saw and left matched nothing the
// caller waits for; a device has one request at a time, so they answer
// nothing still awaited and go before the next pass, 10 ms later. Stray
// frames thus neither pile up in the buffer nor keep the wait awake.
class ResponseWait {
 public:
  ResponseWait(MsgBuffer& buffer, uint32_t inner_ms, uint32_t overall_ms,
               const platform::StopSignal* stop);
  // Sleeps for the next pass; false when the time is out (or stop raised).
  // Once the time is out, one last pass looks at the frames received by the
  // deadline. before_wait, when given, is traced once the time is known not
  // to be out.
  bool NextPass(const char* before_wait = nullptr);
  // The frame count seen by the last pass.
  uint8_t count() const { return count_; }
  // An answer that has not come within kOverdueMs on a loaded port holds the
  // port's I/O back once, so that it gets the bus (see CANPort::HoldIo).
  void HoldIoWhenOverdue(CANPort& port) { port_ = &port; }
  static constexpr uint32_t kOverdueMs = 20;

 private:
  uint8_t WaitForFrames();
  bool TimeOut() const;
  void LastLook();

  MsgBuffer& buffer_;
  const uint32_t inner_ms_;
  const uint32_t overall_ms_;
  const platform::StopSignal* stop_;
  const uint32_t start_;
  bool first_ = true;
  bool last_look_taken_ = false;
  uint8_t count_ = 0;
  uint64_t seen_ = 0;  // arrival mark of the last pass
  CANPort* port_ = nullptr;
  bool io_held_ = false;
};

// Before a request of the device leaves, in its turn: lets the answers
// left pending pass, then drops every frame held, as nothing that came
// before the request can answer it.
void ClearForRequest(Device_Info& device, uint8_t master_mac, const platform::StopSignal* stop);

class ExplicitExchange {
 public:
  ExplicitExchange(CANPort& port, Device_Info& device, const platform::StopSignal* stop);

  // Takes the device's turn, makes the request and sends it and, if wait is
  // set, waits for its answer: 0 answered, 1 error response, 3 no answer in
  // time, the send failed, or the worker is ending, 4 the transmit queue
  // stayed full. An awaited answer (or its lack) is booked with the device.
  // An answer not waited for is left pending: the device's next request
  // goes out once it came or its time is out, so that it cannot be taken
  // for the next request's (an error response carries no service code).
  // The request is made once the turn is held: a change of the master's MAC
  // ID holds every turn, and a request made before it would go out under
  // the old MAC ID afterwards (an allocation so made leaves the device owned
  // by a master that is gone).
  int Run(const std::function<ExchangeSpec()>& make, bool wait = true);
  // The same for a caller that holds the device's turn already.
  int RunInTurn(const ExchangeSpec& spec, bool wait = true);
  // Allocates the connection set in the caller's turn. A device may hold a
  // set of this master's that the master lost track of (an allocation whose
  // answer was lost, a restart of the application): it refuses the
  // allocation as already in that state (or in conflict with the set's
  // owner), and the set is then released (each of the releases in turn,
  // their answers awaited) and allocated once more.
  int AllocateInTurn(const ExchangeSpec& allocate, const std::vector<ExchangeSpec>& releases);
  // Waits for the answer of a request already sent (the last fragment of
  // a fragmented one), as RunInTurn does after sending.
  int Await(const ExchangeSpec& spec);
  // The answer taken by the last Run.
  const CANMsg& answer() const { return answer_; }
  // The send path's code when the request could not be sent, else 0.
  uint16_t send_code() const { return send_code_; }

 private:
  int SendAndWait(const ExchangeSpec& spec, bool wait);
  int Send(const ExchangeSpec& spec);
  bool TakeFirstFragment(MsgBuffer& buffer, const ExchangeSpec& spec, uint8_t header);
  int Taken(const ExchangeSpec& spec, int result);
  // Books an awaited request's outcome, unless the worker is ending.
  void Book(int result);

  CANPort& port_;
  Device_Info& device_;
  const platform::StopSignal* stop_;
  CANMsg answer_{};
  uint16_t send_code_ = 0;
};

// Books how one of the library's own requests ended (0, 1 or 3, as an
// exchange returns) with the device.
void BookOwnRequest(Device_Info& device, int result);

// A frame with the given identifier and data bytes (mode 0, RTR 0).
CANMsg RequestFrame(uint32_t id, std::initializer_list<uint8_t> data);

}  // namespace dnm
