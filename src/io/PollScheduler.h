// The poll scheduler of a port: one thread that sends the poll commands of
// every poll connection of the port when they are due, so that polling 63
// devices wakes one thread per batch of polls instead of each device's
// worker three times per poll.
//
// Threads and locks:
// - A device's poll worker sets its connection up on its own thread (the
//   allocation, the size checks, the expected packet rate), then hands the
//   connection to the scheduler (Run) and sleeps on its end signal. The
//   scheduler hands it back, with a nudge, when the connection must be torn
//   down or set up again (an answer missed twice, a send that failed, the
//   device stopped, its connection set gone); the worker does that on its
//   own thread, as the exchanges involved wait on the bus. A worker that is
//   to end takes its connection back, waiting while the scheduler serves it.
// - The scheduler thread serves every connection due by now plus a short
//   window (PollWindowMs), the earliest first, so that polls due at nearly
//   the same time go out together; then it sleeps until the next is due.
//   It serves without holding its lock; mutex_ guards the timetable, the
//   connection being served and the hand-backs.
// - A receive thread hands a poll response straight to its connection (see
//   MsgBuffer::AttachTaker), which copies the input into the input area and
//   asks to be served again when its next poll is due (ServeBy). The
//   scheduler thread is woken for that only when it would otherwise sleep
//   past that time, or at once for an answer that was not good.
// - The answers to a batch of polls come back to back. Nobody looks at them
//   before the pause after the poll command has passed, so the receive
//   thread that took the first waits until then (MsUntilAnswersLooked) and
//   takes the others with one wake-up instead of one each.
// - Lock order (the whole library's is in the README's "Threads and
//   locks"): a MsgBuffer's lock, then mutex_, then a StopSignal's lock.
//   Nothing else of the library is taken while mutex_ is held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "io/PollTimetable.h"
#include "platform/Platform.h"

namespace dnm {

// A poll connection as the scheduler serves it: Serve sends the next poll
// command or takes the answer to the last one, on the scheduler's thread.
class ScheduledPoll {
 public:
  struct Next {
    bool hand_back;     // the connection goes back to its worker
    uint32_t at;        // else: when it is to be served again
    bool sent = false;  // a poll command went out
  };
  virtual Next Serve(uint32_t now) = 0;

 protected:
  ~ScheduledPoll() = default;
};

// How early a poll may go out to join others due at nearly the same time:
// an eighth of the poll period, at most 2 ms.
uint32_t PollWindowMs(uint32_t period_ms);

class PollScheduler {
 public:
  enum class Result { kHandedBack, kEnded, kNoThread };

  PollScheduler() = default;
  ~PollScheduler();
  PollScheduler(const PollScheduler&) = delete;
  PollScheduler& operator=(const PollScheduler&) = delete;

  // Serves the connection, at once first, until it is handed back or end is
  // raised. Runs on the worker's thread and sleeps meanwhile.
  Result Run(ScheduledPoll& poll, platform::StopSignal& end);
  // Has the connection served by `at` at the latest (from any thread).
  void ServeBy(const ScheduledPoll& poll, uint32_t at);
  // The milliseconds until the answers to the polls sent last are first
  // looked at (the pause after a poll command), 0 when that time is past.
  uint32_t MsUntilAnswersLooked() const;
  static constexpr uint32_t kPauseMs = 10;

 private:
  bool StartThread();
  void Loop();
  void Serve(std::unique_lock<std::mutex>& lock, const std::vector<PollTimetable::Id>& due);
  void HandBack(PollTimetable::Id id);
  void SleepUntilDue(std::unique_lock<std::mutex>& lock, uint32_t now);
  // Takes the connection out of the timetable, once the scheduler is not serving it.
  void TakeBack(const ScheduledPoll& poll);

  std::mutex mutex_;
  std::condition_variable changed_;  // the timetable changed, or a hand-back
  PollTimetable timetable_;
  std::vector<std::pair<const void*, platform::StopSignal*>> ends_;  // whom to nudge
  const void* serving_ = nullptr;
  std::optional<uint32_t> sleeping_until_;  // set while the thread sleeps with a time
  bool sleeping_ = false;
  bool ending_ = false;
  bool thread_made_ = false;
  std::atomic<uint32_t> answers_looked_at_{0};  // tick of the first look at the last polls' answers
  platform::Thread thread_;
};

}  // namespace dnm
