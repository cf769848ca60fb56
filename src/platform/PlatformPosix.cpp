#include <dlfcn.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Platform.h"
#include "platform/ThreadFailures.h"
#include "platform/ThreadName.h"

namespace dnm::platform {

const char* const kCardDriverFile = "libVELKCAN.so";
const char* const kTraceLibraryFile = "libHYPERTRACE.so";

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

void NameCurrentThread(const char* name) {
  pthread_setname_np(pthread_self(), name);
}

}  // namespace dnm::platform
