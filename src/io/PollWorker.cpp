// The poll worker of one device: waits for the device's explicit
// connection, checks the slave's connection sizes, sets the expected packet
// rate, then hands the connection to the port's poll scheduler, which polls
// the device every PollPeriod and counts failures on its own thread, and
// receive threads hand the answers in. When the scheduler hands the
// connection back (lost, a send failed, the device stopped, the connection
// set gone) the worker tears it down and sets it up again. Every sleep and
// wait ends at once when the worker is to end.
#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>

#include "VELKCANDNM.h"
#include "device/ConnectionObject.h"
#include "device/Device_Info.h"
#include "device/ExplicitExchange.h"
#include "device/Workers.h"
#include "io/IoFragmentation.h"
#include "io/IoSend.h"
#include "io/IoWorkerLoop.h"
#include "io/Periods.h"
#include "io/PollAnswer.h"
#include "io/PollScheduler.h"
#include "io/SetupServices.h"
#include "port/CANPort.h"
#include "port/FrameText.h"
#include "port/MsgBuffer.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

constexpr uint32_t kPauseMs = PollScheduler::kPauseMs;

class PollWorkerLoop : IoWorkerLoop, ScheduledPoll, FrameTaker {
 public:
  PollWorkerLoop(CANPort& port, Device_Info& device, ConnectionObject& connection)
      : IoWorkerLoop(port, device, connection, kPoll) {}

  void Run() {
    while (!Ended()) SetUpPass();
  }

 private:
  int Release(bool wait) { return ReleaseConnectionSet(port_, device_, ucmm_, wait, &end_); }
  bool HasCosOrCyclic() const { return device_.Has(kChoiceCos) || device_.Has(kChoiceCyclic); }

  void SetUpPass() {
    device_.set_status(kPoll, kStatusNotEstablished);
    ucmm_ = device_.ucmm();
    while (device_.status(kExplicit) != kStatusEstablished) {
      if (StopRequested()) {
        Release(true);
        ParkWhileStopped();
        return;
      }
      if (!Sleep(1000)) return;
      Trace("Poll is waiting Board %d  Port %d  DesMACID %d ", port_.board_number(),
            port_.port_number(), mac_);
    }
    JoinConnectionSet();
    // The COS/cyclic worker pauses while the poll connection is set up.
    // That flag is also the one DNM_StopDevice and DNM_StopCommunicate set,
    // and nothing tells the two writers apart: a stop written between these
    // two writes is overridden by the 0 below, and the COS/cyclic worker
    // goes on although the application stopped it (this worker sees its own
    // stop flag and releases the set; the COS/cyclic worker then sets up
    // again). The flag is a plain atomic byte, not a count of who paused.
    if (HasCosOrCyclic()) device_.set_stop_flag(kCosCyclic, 1);
    buffer_.ClearBuffer();
    if (ucmm_ && !AllocatedOverUcmm()) return;
    if (HasCosOrCyclic()) device_.set_stop_flag(kCosCyclic, 0);
    if (!SizeMatches(true) || !SizeMatches(false)) return;
    if (Set_ExpectedPacketRate(port_, device_, ucmm_, kPoll, &end_) != 0) {
      if (Ended()) return;
      Release(true);
      DropExplicit();
      buffer_.ClearBuffer();
      Sleep(1000);
      return;
    }
    streak_ = 0;
    device_.ClearPollGaps();
    device_.set_status(kPoll, kStatusEstablished);
    PollLoop();
  }

  bool AllocatedOverUcmm() {
    switch (AllocateOverUcmm()) {
      case UcmmAllocation::kAllocated:
        return true;
      case UcmmAllocation::kEnded:
        return false;
      case UcmmAllocation::kRefused:
        device_.set_status(kPoll, kStatusAllocationRefused);
        if (!Sleep(1000)) return false;
        Release(true);
        buffer_.ClearBuffer();
        DropExplicit();
        return false;
      case UcmmAllocation::kUnanswered:
        ReleaseConnection_UCMM(port_, device_, true, &end_);
        DropExplicit();
        Sleep(1000);
        return false;
    }
    return false;
  }

  // The slave's produced (or consumed) size against the configured input
  // (or output) size; a mismatch has the set released and set up again
  // after a second, or once the device is started again.
  bool SizeMatches(bool produced) {
    const SizeCheck check = CheckSize(produced);
    if (check != SizeCheck::kDiffers) return check == SizeCheck::kMatches;
    Release(true);
    // The release took the explicit connection with the set: attribute calls must not wait on
    // it for the second below as if it stood.
    DropExplicit();
    buffer_.ClearBuffer();
    device_.set_status(kPoll, produced ? kStatusProducedSize : kStatusConsumedSize);
    if (!Sleep(1000)) return false;
    ParkWhileStopped();
    DropExplicit();
    return false;
  }

  // Why the scheduler handed the connection back.
  enum class Outcome { kSetGone, kSendFailed, kLost, kStopped };
  enum class Phase { kSend, kAwait };
  using Answer = PollAnswer::Outcome;

  // Hands the standing connection to the port's scheduler, which polls it
  // until it must be torn down or set up again; that is done here.
  void PollLoop() {
    phase_ = Phase::kSend;
    missed_ = false;
    next_due_ = platform::GetTickCount();
    last_start_.reset();
    buffer_.AttachTaker(this);
    const PollScheduler::Result run = port_.poll_scheduler().Run(*this, end_);
    buffer_.AttachTaker(nullptr);
    if (run == PollScheduler::Result::kEnded) return;
    if (run == PollScheduler::Result::kNoThread) {
      // Without the port's scheduler nothing polls: the set is released
      // and set up again after a second, when the thread may be made.
      Release(true);
      DropExplicit();
      Sleep(1000);
      return;
    }
    switch (outcome_) {
      case Outcome::kSetGone:
        return EndConnection(kPoll, false);
      case Outcome::kSendFailed:
        Release(true);
        buffer_.ClearBuffer();
        DropExplicit();
        return;
      case Outcome::kLost:
        return ConnectionLost();
      case Outcome::kStopped:
        Release(false);
        buffer_.ClearBuffer();
        ParkWhileStopped();
        DropExplicit();
        return;
    }
  }

  // On the scheduler's thread: takes the answer to the last poll when it is
  // in or its time is out, and sends the next poll command when it is due.
  Next Serve(uint32_t now) override {
    if (end_.Raised()) return Later(now + 1000);
    if (phase_ == Phase::kAwait) {
      const std::optional<Answer> answer = TakeAnswer(now);
      if (!answer) return Later(AnswerDeadline());
      if (const std::optional<Outcome> outcome = Handle(answer->result)) return HandBack(*outcome);
      // The pause after an answer (or after its time ran out) is PollPeriod.
      next_due_ = LaterOf(sent_ + kPauseMs, answer->at) + PollPeriod().load();
      phase_ = Phase::kSend;
    }
    if (static_cast<int32_t>(next_due_ - now) >
        static_cast<int32_t>(PollWindowMs(PollPeriod().load())))
      return Later(next_due_);
    return SendPoll(now);
  }

  Next SendPoll(uint32_t now) {
    if (ConnectionSetGone() && !JudgingLoss()) return HandBack(Outcome::kSetGone);
    NotePollStart(now);
    AwaitAnswer(now);
    if (SendPollCommand() != 0) {
      device_.Count(kPollSendError);
      return HandBack(Outcome::kSendFailed);
    }
    phase_ = Phase::kAwait;
    return {false, AnswerDeadline(), true};
  }

  // Counts a failed exchange and decides, as the worker did after each
  // answer, whether the connection goes back to the worker. Every missed
  // answer counts, also once the connection set is gone: the device may have
  // fallen silent, and whether the poll connection was lost is judged by its
  // own answers, whichever side noticed the silence first.
  std::optional<Outcome> Handle(uint16_t result) {
    missed_ = result == DNM_PollNoResponse;
    if (result == 0) {
      streak_ = 0;
    } else if (Failed(result)) {
      return Outcome::kLost;
    }
    if (ConnectionSetGone() && !JudgingLoss()) return Outcome::kSetGone;
    if (StopRequested()) return Outcome::kStopped;
    return std::nullopt;
  }

  // After a missed answer, with the set gone, one more poll tells whether
  // the poll connection is lost too: the device is silent, or it answers.
  // Meanwhile the connection no longer stands for the application.
  bool JudgingLoss() {
    if (!missed_) return false;
    device_.set_status(kPoll, kStatusNotEstablished);
    return true;
  }

  Next HandBack(Outcome outcome) {
    outcome_ = outcome;
    return {true, 0};
  }
  static Next Later(uint32_t at) { return {false, at}; }
  static uint32_t LaterOf(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0 ? b : a;
  }

  // From the second poll on, adds the time since the start of the one
  // before to the device's achieved poll period.
  void NotePollStart(uint32_t now) {
    if (last_start_) device_.NotePollGap(now - *last_start_);
    last_start_ = now;
  }

  // Counts a failed exchange; true when the connection is lost: a missing
  // answer right after another failed exchange of any kind, however many
  // came before.
  bool Failed(uint16_t result) {
    if (result == DNM_PollNoResponse) {
      TraceLine("Poll No Response!!!!!!!!!!!!!!!!!!!!!!!!!!!");
      device_.Count(kPollNoResponse);
      if (streak_ >= 1) return true;
    } else if (result == DNM_PollResponseDataError) {
      device_.Count(kPollErrorResponse);
    } else if (result == DNM_PollFragmentError) {
      device_.Count(kPollFragmentError);
    }
    TraceLine("ReSend Poll I/O!!!!!!!!!!!");
    ++streak_;
    return false;
  }

  // The set is released and set up again, unless it is gone already: then
  // the explicit worker does that, or has done it.
  void ConnectionLost() {
    device_.NoteSetupFailure(kPoll, SetupFailure::Lost(static_cast<uint16_t>(streak_ + 1)));
    device_.set_status(kPoll, DNM_PollNoResponse);
    const bool set_gone = ConnectionSetGone();
    if (!set_gone && Release(true) != 0) Release(true);
    buffer_.ClearBuffer();
    if (!set_gone) DropExplicit();
  }

  // Sends the output area as one poll command, in fragments when it is
  // longer than 8 bytes.
  uint16_t SendPollCommand() {
    buffer_.ClearBuffer();
    return SendOutputMessage(port_, mac_, info_.RequestId(mac_), connection_.output(),
                             connection_.output_size.load(), "Send_Poll_OutputMsg");
  }

  // An answer is awaited from now on, of the input size the connection
  // has now; any part of an earlier one is dropped, so that it cannot pass
  // for the answer to this poll.
  void AwaitAnswer(uint32_t now) {
    std::lock_guard lock(answer_mutex_);
    sent_ = now;
    answered_.reset();
    answer_.emplace(std::min<size_t>(connection_.input_size.load(), kMaxIoMessage), now + kPauseMs);
  }

  // The answer once it is over: taken, wrong, or missed because its wait has
  // run out by now. Before it is judged missed, the frames that arrived are
  // taken, so that an answer received in time counts although the threads
  // that should have handed it in woke late.
  std::optional<Answer> TakeAnswer(uint32_t now) {
    if (WaitRunOut(now)) port_.RouteArrivedFrames();
    std::lock_guard lock(answer_mutex_);
    if (!answered_ && answer_) answered_ = answer_->Missed(now);
    return std::exchange(answered_, std::nullopt);
  }

  bool WaitRunOut(uint32_t now) {
    std::lock_guard lock(answer_mutex_);
    return !answered_ && answer_ && !answer_->over() &&
           static_cast<int32_t>(now - answer_->deadline()) >= 0;
  }

  uint32_t AnswerDeadline() {
    std::lock_guard lock(answer_mutex_);
    return answer_ ? answer_->deadline() : platform::GetTickCount();
  }

  // On a receive thread: hands a frame to the answer awaited. A good answer
  // goes into the input area; the scheduler serves the connection again
  // when its next poll is due, or at once for an answer that was not good.
  void TakeFrame(const CANMsg& frame) override {
    uint32_t serve_by = 0;
    {
      std::lock_guard lock(answer_mutex_);
      if (!answer_ || answer_->over()) return;
      const PollAnswer::Step step =
          answer_->Take(frame, ReceivedTick(frame, sent_, platform::GetTickCount()));
      if (step.taken) {
        TraceTaken(answer_->length() <= 8 ? "WaitPollResponse( )" : "WaitPollFragResponse( )",
                   frame);
      }
      if (!step.outcome) return;
      const Answer answer = *step.outcome;
      if (answer.result == 0) connection_.input().CopyIn(answer_->message(), answer_->length());
      answered_ = answer;
      serve_by = answer.result == 0 ? LaterOf(sent_ + kPauseMs, answer.at) + PollPeriod().load()
                                    : platform::GetTickCount();
    }
    port_.poll_scheduler().ServeBy(*this, serve_by);
  }

  void TraceTaken(const char* name, const CANMsg& frame) const {
    if (!TraceEnabled()) return;
    Trace("WaitPollResponse( )   DesMACID %d  DataCount: %d", mac_, 1);
    Trace("%s   DesMACID %d ,Response Msg " DNM_FRAME_FORMAT, name, mac_, DNM_FRAME_FIELDS(frame));
  }

  // Used by the scheduler's thread while it holds the connection, and by
  // the worker's before and after.
  int streak_ = 0;
  Phase phase_ = Phase::kSend;
  Outcome outcome_ = Outcome::kSetGone;
  std::optional<uint32_t> last_start_;
  uint32_t next_due_ = 0;
  bool missed_ = false;  // the last exchange's answer was missed
  // The answer awaited, shared with the receive threads.
  std::mutex answer_mutex_;
  uint32_t sent_ = 0;
  std::optional<PollAnswer> answer_;
  std::optional<Answer> answered_;  // the answer's outcome, until the scheduler takes it
};

}  // namespace

void PollWorker(CANPort& port, Device_Info& device, ConnectionObject& connection) {
  PollWorkerLoop(port, device, connection).Run();
}

}  // namespace dnm
