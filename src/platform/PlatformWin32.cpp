#include <windows.h>
#undef LoadLibrary  // the system header maps it to LoadLibraryA; the platform layer has its own

#include <mutex>
#include <string>

#include "platform/Platform.h"
#include "platform/ThreadFailures.h"
#include "platform/ThreadName.h"

namespace dnm::platform {

namespace {

// Timed waits and sleeps follow the system timer, which ticks every 15.6 ms unless a process
// asks for a finer one; poll cycles and answer time-outs are set in milliseconds.
void UseMillisecondTimer() {
  static std::once_flag once;
  std::call_once(once, [] { timeBeginPeriod(1); });
}

}  // namespace

const char* const kCardDriverFile = "VELKCAN.dll";
const char* const kTraceLibraryFile = "HYPERTRACE.DLL";

uint32_t GetTickCount() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER value{};
    QueryPerformanceFrequency(&value);
    return value.QuadPart;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const LONGLONG seconds = now.QuadPart / frequency;
  const LONGLONG rest = now.QuadPart % frequency;
  return static_cast<uint32_t>(seconds * 1000 + rest * 1000 / frequency);
}

void SleepMs(uint32_t ms) {
  UseMillisecondTimer();
  ::Sleep(ms);
}

namespace {

// The directory of the DLL that holds this code, with a backslash.
std::string OwnDirectory() {
  HMODULE module = nullptr;
  const DWORD flags =
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&OwnDirectory), &module)) return {};
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return {};
  const std::string text(path, length);
  const size_t slash = text.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

thread_local char g_load_error[512];

}  // namespace

// The card and trace DLLs are taken from this DLL's own folder first, as their callers install
// them side by side; then wherever the system searches.
void* LoadLibrary(const char* file_name) {
  const std::string beside = OwnDirectory();
  if (!beside.empty()) {
    const std::string path = beside + file_name;
    if (HMODULE library = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
      return reinterpret_cast<void*>(library);
    }
  }
  return reinterpret_cast<void*>(LoadLibraryA(file_name));
}

void* GetProcAddress(void* library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

const char* LastLoadError() {
  const DWORD error = GetLastError();
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                     g_load_error, sizeof g_load_error, nullptr);
  if (length == 0) return "no reason given";
  for (DWORD end = length; end > 0 && (g_load_error[end - 1] == '\r' || g_load_error[end - 1] == '\n');
       --end) {
    g_load_error[end - 1] = '\0';
  }
  return g_load_error;
}

namespace {

int PriorityFor(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::BelowNormal:
      return THREAD_PRIORITY_BELOW_NORMAL;
    case ThreadPriority::Normal:
      return THREAD_PRIORITY_NORMAL;
    case ThreadPriority::Highest:
      return THREAD_PRIORITY_HIGHEST;
    case ThreadPriority::TimeCritical:
      return THREAD_PRIORITY_TIME_CRITICAL;
  }
  return THREAD_PRIORITY_NORMAL;
}

}  // namespace

// Every thread starts suspended in the system; Resume lets it run its body, Join of a
// never-resumed thread lets it run to its end without the body.
struct Thread::State {
  std::mutex mutex;
  bool released = false;
  bool run_body = false;
  Body body;
  HANDLE handle = nullptr;
  DWORD id = 0;

  // The thread holds its own reference, so a thread that joins itself may drop the caller's.
  static DWORD WINAPI Run(void* argument) {
    const std::unique_ptr<std::shared_ptr<State>> own(static_cast<std::shared_ptr<State>*>(argument));
    State* state = own->get();
    bool run = false;
    {
      std::lock_guard lock(state->mutex);
      run = state->run_body;
    }
    if (run) state->body();
    return 0;
  }
};

Thread::Thread() = default;

Thread::~Thread() {
  Join();
}

bool Thread::Create(Body body, bool suspended) {
  Join();
  UseMillisecondTimer();
  if (TakeInjectedFailure()) return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  auto state = std::make_shared<State>();
  state->body = std::move(body);
  state->released = !suspended;
  state->run_body = !suspended;
  auto* reference = new std::shared_ptr<State>(state);
  state->handle = CreateThread(nullptr, 0, &State::Run, reference,
                               suspended ? CREATE_SUSPENDED : 0, &state->id);
  if (state->handle == nullptr) {
    delete reference;
    return FailWith(static_cast<int>(GetLastError()));
  }
  state_ = std::move(state);
  return true;
}

bool Thread::Resume() {
  if (!state_) return FailWith(ERROR_INVALID_HANDLE);
  bool was_released = false;
  {
    std::lock_guard lock(state_->mutex);
    was_released = state_->released;
    state_->released = true;
    state_->run_body = true;
  }
  if (!was_released && ResumeThread(state_->handle) == static_cast<DWORD>(-1)) {
    return FailWith(static_cast<int>(GetLastError()));
  }
  return true;
}

bool Thread::IsSuspended() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return !state_->released;
}

bool Thread::SetPriority(ThreadPriority priority) {
  if (!state_) return false;
  return SetThreadPriority(state_->handle, PriorityFor(priority)) != 0;
}

void Thread::Join() {
  if (!state_) return;
  bool was_released = false;
  {
    std::lock_guard lock(state_->mutex);
    was_released = state_->released;
    state_->released = true;  // a never-resumed thread quits without its body
  }
  if (!was_released) ResumeThread(state_->handle);
  if (state_->id != GetCurrentThreadId()) WaitForSingleObject(state_->handle, INFINITE);
  CloseHandle(state_->handle);
  state_.reset();
}

void NameCurrentThread(const char*) {}

}  // namespace dnm::platform
