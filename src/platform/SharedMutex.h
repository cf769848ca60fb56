// A reader/writer lock in which a waiting writer goes first: once a writer
// waits, new shared holders wait behind it. A writer therefore waits only
// for the holders that were already in, never for an endless line of new
// ones. Usable with std::shared_lock and std::unique_lock.
//
// Not recursive: a thread that holds it shared must not take it shared
// again, since a writer may have started to wait in between.
#pragma once

#include <condition_variable>
#include <mutex>

namespace dnm::platform {

class SharedMutex {
 public:
  void lock() {
    std::unique_lock guard(mutex_);
    ++writers_waiting_;
    changed_.wait(guard, [&] { return !writer_ && readers_ == 0; });
    --writers_waiting_;
    writer_ = true;
  }
  void unlock() {
    {
      std::lock_guard guard(mutex_);
      writer_ = false;
    }
    changed_.notify_all();
  }
  void lock_shared() {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, [&] { return SharedFree(); });
    ++readers_;
  }
  // Takes it shared, unless give_up() is true while a writer holds it or
  // waits for it: false then, without waiting. give_up is asked again
  // whenever the lock changes hands and on Notify().
  template <typename GiveUp>
  bool lock_shared_unless(GiveUp give_up) {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, [&] { return SharedFree() || give_up(); });
    if (!SharedFree()) return false;
    ++readers_;
    return true;
  }
  bool try_lock_shared() {
    return lock_shared_unless([] { return true; });
  }
  // Lets the callers waiting in lock_shared_unless ask give_up again.
  void Notify() {
    { std::lock_guard guard(mutex_); }
    changed_.notify_all();
  }
  void unlock_shared() {
    bool last = false;
    {
      std::lock_guard guard(mutex_);
      last = --readers_ == 0;
    }
    if (last) changed_.notify_all();
  }

 private:
  bool SharedFree() const { return !writer_ && writers_waiting_ == 0; }

  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned readers_ = 0;
  unsigned writers_waiting_ = 0;
  bool writer_ = false;
};

}  // namespace dnm::platform
