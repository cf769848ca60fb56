#include "device/RequestTurn.h"

#include <algorithm>
#include <chrono>

#include "device/Device_Info.h"

namespace dnm {

bool TurnQueue::Take(uint32_t wait_ms, const platform::StopSignal* stop) {
  std::unique_lock lock(mutex_);
  const uint64_t ticket = next_ticket_++;
  waiting_.push_back(ticket);
  const auto given_up = [&] { return closed_ || (stop != nullptr && stop->Raised()); };
  const auto my_turn = [&] { return !held_ && waiting_.front() == ticket; };
  const auto done = [&] { return given_up() || my_turn(); };
  if (wait_ms == kNoLimit) {
    changed_.wait(lock, done);
  } else {
    changed_.wait_for(lock, std::chrono::milliseconds(wait_ms), done);
  }
  if (!given_up() && my_turn()) {
    waiting_.pop_front();
    held_ = true;
    return true;
  }
  waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
  lock.unlock();
  changed_.notify_all();  // the next in line may be first now
  return false;
}

void TurnQueue::Give() {
  {
    std::lock_guard lock(mutex_);
    held_ = false;
  }
  changed_.notify_all();
}

void TurnQueue::WakeWaiters() {
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

void TurnQueue::CloseAndWaitFree() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return !held_; });
  held_ = true;  // for good: the device is going
}

RequestTurn::RequestTurn(Device_Info& device, uint32_t wait_ms, const platform::StopSignal* stop)
    : device_(device), held_(device.turn().Take(wait_ms, stop)) {}

RequestTurn::~RequestTurn() {
  if (held_) device_.turn().Give();
}

}  // namespace dnm
