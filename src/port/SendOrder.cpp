#include "port/SendOrder.h"

#include <algorithm>
#include <chrono>

#include "platform/Platform.h"

namespace dnm {

bool SendOrder::IsFirst(SendClass kind, uint64_t ticket) const {
  if (!requests_.empty()) return kind != SendClass::kIo && requests_.front() == ticket;
  return !io_.empty() && io_.front() == ticket;
}

bool SendOrder::AnyoneAhead(SendClass kind) const {
  return !requests_.empty() || (kind == SendClass::kIo && !io_.empty());
}

size_t SendOrder::InLine() const {
  std::lock_guard lock(mutex_);
  return requests_.size() + io_.size();
}

SendOrder::Place::Place(SendOrder& order, SendClass kind, uint32_t limit_ms)
    : order_(order),
      kind_(kind),
      limit_ms_(kind == SendClass::kAnswer ? 0 : limit_ms),
      start_(platform::GetTickCount()) {}

SendOrder::Place::~Place() {
  if (!Queued()) return;
  {
    std::lock_guard lock(order_.mutex_);
    auto& line = order_.Line(kind_);
    line.erase(std::find(line.begin(), line.end(), ticket_));
  }
  order_.changed_.notify_all();
}

void SendOrder::Place::Join() {
  ticket_ = order_.next_ticket_++;
  order_.Line(kind_).push_back(ticket_);
}

bool SendOrder::Place::MayOffer() {
  if (kind_ == SendClass::kAnswer) return !full_;
  std::unique_lock lock(order_.mutex_);
  if (!Queued()) {
    if (!order_.AnyoneAhead(kind_)) return true;
    Join();
  }
  for (;;) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(
                              limit_ms_ - std::min(limit_ms_, platform::GetTickCount() - start_));
    if (!order_.changed_.wait_until(lock, deadline,
                                    [&] { return order_.IsFirst(kind_, ticket_); })) {
      return false;
    }
    if (!full_) return true;
    // First in line after a full queue: room comes as the queue drains. A
    // request that came meanwhile still goes first.
    lock.unlock();
    platform::SleepMs(kRetryMs);
    lock.lock();
    full_ = false;
    if (platform::GetTickCount() - start_ >= limit_ms_) return false;
    if (order_.IsFirst(kind_, ticket_)) return true;
  }
}

void SendOrder::Place::QueueFull() {
  full_ = true;
  if (kind_ == SendClass::kAnswer || Queued()) return;
  std::lock_guard lock(order_.mutex_);
  Join();
}

void SendLoad::NoteSent(uint32_t now_ms) {
  uint32_t start = window_start_.load(std::memory_order_relaxed);
  if (now_ms - start >= kWindowMs &&
      window_start_.compare_exchange_strong(start, now_ms, std::memory_order_relaxed)) {
    const uint32_t counted = count_.exchange(0, std::memory_order_relaxed);
    last_count_.store(now_ms - start < 2 * kWindowMs ? counted : 0, std::memory_order_relaxed);
  }
  count_.fetch_add(1, std::memory_order_relaxed);
}

bool SendLoad::Loaded(uint32_t now_ms, uint32_t kbit) const {
  if (now_ms - window_start_.load(std::memory_order_relaxed) >= 2 * kWindowMs) return false;
  const uint64_t bits = uint64_t{last_count_.load(std::memory_order_relaxed)} * kFrameBits;
  return bits * 100 >= uint64_t{kbit} * kWindowMs * kLoadedPercent;
}

}  // namespace dnm

