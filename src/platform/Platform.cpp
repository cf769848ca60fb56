// The parts of the platform layer that the standard library serves alike on every system.
#include <chrono>

#include "platform/Platform.h"
#include "platform/ThreadFailures.h"

namespace dnm::platform {

namespace {
std::atomic<int> g_failing_creations{0};
thread_local int g_last_thread_error = 0;
}  // namespace

bool FailWith(int error) {
  g_last_thread_error = error;
  return false;
}

bool TakeInjectedFailure() {
  int left = g_failing_creations.load();
  while (left > 0) {
    if (g_failing_creations.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

void FailNextThreadCreations(int count) {
  g_failing_creations.store(count);
}

int LastThreadError() {
  return g_last_thread_error;
}

void StopSignal::Raise() {
  {
    std::lock_guard lock(mutex_);
    raised_.store(true, std::memory_order_release);
  }
  wake_.notify_all();
}

void StopSignal::Clear() {
  std::lock_guard lock(mutex_);
  raised_.store(false, std::memory_order_release);
}

bool StopSignal::SleepFor(uint32_t ms) const {
  std::unique_lock lock(mutex_);
  return wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return raised_.load(); });
}

void StopSignal::Nudge() {
  {
    std::lock_guard lock(mutex_);
    nudged_.store(true);
  }
  wake_.notify_all();
}

bool StopSignal::SleepOrNudge(uint32_t ms) const {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(ms),
                 [&] { return raised_.load() || nudged_.load(); });
  return raised_.load();
}

}  // namespace dnm::platform
