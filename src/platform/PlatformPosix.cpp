#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Platform.h"

namespace dnm::platform {

uint32_t GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + now.tv_nsec / 1000000;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {

// The directory of the shared object that holds this code, with a slash.
std::string OwnDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnDirectory), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

void* LoadLibrary(const char* file_name) {
  if (void* library = dlopen(file_name, RTLD_NOW | RTLD_LOCAL)) return library;
  // The run path normally finds the library beside this one; some loaders
  // (sanitizer runtimes among them) search on behalf of another object, so
  // look there explicitly as well.
  const std::string beside = OwnDirectory();
  if (beside.empty()) return nullptr;
  return dlopen((beside + file_name).c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetProcAddress(void* library, const char* name) {
  return library ? dlsym(library, name) : nullptr;
}

const char* LastLoadError() {
  const char* text = dlerror();
  return text != nullptr ? text : "no reason given";
}

namespace {
std::atomic<int> g_failing_creations{0};
thread_local int g_last_thread_error = 0;

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

int NiceValueFor(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::BelowNormal:
      return 1;
    case ThreadPriority::Normal:
      return 0;
    case ThreadPriority::Highest:
      return -2;
    case ThreadPriority::TimeCritical:
      return -15;
  }
  return 0;
}
}  // namespace

void FailNextThreadCreations(int count) {
  g_failing_creations.store(count);
}

int LastThreadError() {
  return g_last_thread_error;
}

struct Thread::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;  // resumed, or told to quit before ever running
  bool run_body = false;
  bool started = false;  // the thread has recorded its kernel id
  pid_t tid = 0;
  std::thread thread;
};

Thread::Thread() = default;

Thread::~Thread() {
  Join();
}

bool Thread::Create(Body body, bool suspended) {
  Join();
  if (TakeInjectedFailure()) return FailWith(EAGAIN);
  auto state = std::make_shared<State>();
  state->released = !suspended;
  state->run_body = !suspended;
  try {
    state->thread = std::thread([state, body = std::move(body)] {
      std::unique_lock lock(state->mutex);
      state->tid = static_cast<pid_t>(syscall(SYS_gettid));
      state->started = true;
      state->changed.notify_all();
      state->changed.wait(lock, [&] { return state->released; });
      const bool run = state->run_body;
      lock.unlock();
      if (run) body();
    });
  } catch (const std::system_error& error) {
    return FailWith(error.code().value());
  }
  std::unique_lock lock(state->mutex);
  state->changed.wait(lock, [&] { return state->started; });
  lock.unlock();
  state_ = std::move(state);
  return true;
}

bool Thread::Resume() {
  if (!state_) return FailWith(ESRCH);
  std::lock_guard lock(state_->mutex);
  state_->released = true;
  state_->run_body = true;
  state_->changed.notify_all();
  return true;
}

bool Thread::IsSuspended() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return !state_->released;
}

bool Thread::SetPriority(ThreadPriority priority) {
  if (!state_) return false;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(state_->tid), NiceValueFor(priority)) == 0;
}

void Thread::Join() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->released = true;  // a never-resumed thread quits without its body
  }
  state_->changed.notify_all();
  if (state_->thread.joinable()) {
    if (state_->thread.get_id() == std::this_thread::get_id()) {
      state_->thread.detach();
    } else {
      state_->thread.join();
    }
  }
  state_.reset();
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
