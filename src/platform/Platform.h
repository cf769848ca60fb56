// Operating-system services used by the library: millisecond tick, sleeping,
// dynamic loading and threads. Everything platform-specific stays behind this
// header so that another OS needs only another Platform*.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace dnm::platform {

// Milliseconds of a monotonic clock, wrapping in unsigned 32-bit arithmetic.
uint32_t GetTickCount();

void SleepMs(uint32_t ms);

// The file names of the CAN card driver and the trace library on this system.
extern const char* const kCardDriverFile;
extern const char* const kTraceLibraryFile;

// Loads a shared library by file name (searched as the system searches it).
// Returns nullptr when it cannot be loaded. Libraries are never unloaded.
void* LoadLibrary(const char* file_name);
void* GetProcAddress(void* library, const char* name);
// The loader's description of the calling thread's last failed load or look-up.
const char* LastLoadError();

enum class ThreadPriority { BelowNormal, Normal, Highest, TimeCritical };

// A thread that may be created suspended and resumed later. The body runs
// once; ending it is cooperative (the body returns), followed by Join().
class Thread {
 public:
  using Body = std::function<void()>;

  Thread();
  ~Thread();  // joins a thread that was started and not joined yet
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // False when the system refuses the thread (or a test made it refuse).
  bool Create(Body body, bool suspended);
  // Lets a suspended thread run; resuming a running thread succeeds too.
  bool Resume();
  // Best effort; false when the system refuses the priority.
  bool SetPriority(ThreadPriority priority);
  // Waits for the body to return. A never-resumed thread is released
  // without running its body.
  void Join();
  bool Exists() const { return state_ != nullptr; }
  bool IsSuspended() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Test hook: the next `count` thread creations fail.
void FailNextThreadCreations(int count);

// The system's error number of the calling thread's last failed thread
// operation (create, resume), 0 when none failed.
int LastThreadError();

// A flag that sleeping code can wait on: every wait ends at once when the
// flag is raised, so threads can be ended promptly and cooperatively.
class StopSignal {
 public:
  void Raise();
  void Clear();
  bool Raised() const { return raised_.load(std::memory_order_acquire); }
  // Sleeps ms milliseconds or until raised. Returns true when raised.
  bool SleepFor(uint32_t ms) const;
  // Asks the sleeper to look at its work now, without ending it: ends a
  // SleepOrNudge that runs or the next one.
  void Nudge();
  // As SleepFor, but also ends early when nudged; the nudge stays set until
  // TakeNudge.
  bool SleepOrNudge(uint32_t ms) const;
  // True (and clears it) when a nudge came.
  bool TakeNudge() { return nudged_.exchange(false); }

 private:
  std::atomic<bool> raised_{false};
  std::atomic<bool> nudged_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable wake_;
};

}  // namespace dnm::platform
