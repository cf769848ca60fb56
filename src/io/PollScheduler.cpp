#include "io/PollScheduler.h"

#include <algorithm>
#include <chrono>

#include "io/Periods.h"
#include "platform/ThreadName.h"
#include "trace/Trace.h"

namespace dnm {

namespace {

constexpr uint32_t kMaxWindowMs = 2;
// A worker whose connection is served sleeps this long between looks; it is
// nudged when the connection comes back and woken when it is to end.
constexpr uint32_t kWorkerLookMs = 60000;

}  // namespace

uint32_t PollWindowMs(uint32_t period_ms) {
  return std::min(kMaxWindowMs, period_ms / 8);
}

PollScheduler::~PollScheduler() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.Join();
}

bool PollScheduler::StartThread() {
  if (thread_made_) return true;
  const auto loop = [this] {
    platform::NameCurrentThread("dnm-poll");
    Loop();
  };
  if (!thread_.Create(loop, false)) {
    TraceLine("PollScheduler( ) Created Poll Thread Error");
    return false;
  }
  thread_.SetPriority(platform::ThreadPriority::Normal);
  thread_made_ = true;
  return true;
}

PollScheduler::Result PollScheduler::Run(ScheduledPoll& poll, platform::StopSignal& end) {
  end.TakeNudge();
  {
    std::lock_guard lock(mutex_);
    if (!StartThread()) return Result::kNoThread;
    timetable_.Add(&poll, platform::GetTickCount());
    ends_.emplace_back(&poll, &end);
  }
  changed_.notify_all();
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (!timetable_.Has(&poll)) return Result::kHandedBack;
    }
    if (end.SleepOrNudge(kWorkerLookMs)) {
      TakeBack(poll);
      return Result::kEnded;
    }
    end.TakeNudge();
  }
}

void PollScheduler::TakeBack(const ScheduledPoll& poll) {
  std::unique_lock lock(mutex_);
  // Out of the timetable first, so that it is not drawn again while it waits.
  timetable_.Remove(&poll);
  std::erase_if(ends_, [&](const auto& end) { return end.first == &poll; });
  changed_.wait(lock, [&] { return serving_ != &poll; });
}

void PollScheduler::ServeBy(const ScheduledPoll& poll, uint32_t at) {
  std::lock_guard lock(mutex_);
  timetable_.Advance(&poll, at);
  if (!sleeping_) return;
  if (sleeping_until_ && static_cast<int32_t>(at - *sleeping_until_) >= 0) return;
  changed_.notify_all();
}

uint32_t PollScheduler::MsUntilAnswersLooked() const {
  const int32_t left = static_cast<int32_t>(answers_looked_at_.load() - platform::GetTickCount());
  return left > 0 && left <= static_cast<int32_t>(kPauseMs) ? static_cast<uint32_t>(left) : 0;
}

void PollScheduler::Loop() {
  std::unique_lock lock(mutex_);
  while (!ending_) {
    const uint32_t now = platform::GetTickCount();
    const std::vector<PollTimetable::Id> due =
        timetable_.TakeDue(now, PollWindowMs(PollPeriod().load()));
    if (due.empty()) {
      SleepUntilDue(lock, now);
    } else {
      Serve(lock, due);
    }
  }
}

void PollScheduler::Serve(std::unique_lock<std::mutex>& lock,
                          const std::vector<PollTimetable::Id>& due) {
  for (const PollTimetable::Id id : due) {
    // A connection taken back after the batch was drawn is not served.
    if (!timetable_.Has(id)) continue;
    serving_ = id;
    lock.unlock();
    auto* poll = static_cast<ScheduledPoll*>(const_cast<void*>(id));
    const ScheduledPoll::Next next = poll->Serve(platform::GetTickCount());
    lock.lock();
    serving_ = nullptr;
    if (next.sent) answers_looked_at_.store(platform::GetTickCount() + kPauseMs);
    if (next.hand_back) {
      HandBack(id);
    } else {
      timetable_.Set(id, next.at);
    }
    changed_.notify_all();
  }
}

void PollScheduler::HandBack(PollTimetable::Id id) {
  timetable_.Remove(id);
  const auto end = std::find_if(ends_.begin(), ends_.end(),
                                [&](const auto& entry) { return entry.first == id; });
  if (end == ends_.end()) return;
  end->second->Nudge();
  ends_.erase(end);
}

void PollScheduler::SleepUntilDue(std::unique_lock<std::mutex>& lock, uint32_t now) {
  sleeping_ = true;
  sleeping_until_ = timetable_.Earliest(now);
  if (sleeping_until_) {
    const int32_t wait = static_cast<int32_t>(*sleeping_until_ - now);
    changed_.wait_for(lock, std::chrono::milliseconds(std::max(wait, 0)));
  } else {
    changed_.wait(lock);
  }
  sleeping_ = false;
  sleeping_until_.reset();
}

}  // namespace dnm
