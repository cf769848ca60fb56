#include "trace/Trace.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/Platform.h"
#include "trace/ErrorCodes.h"

namespace dnm {
namespace {

using HyperTraceFn = int (*)(int trace_id, const char* text);
using StartTraceOutputFn = int (*)();

std::atomic<HyperTraceFn> g_hyper_trace{nullptr};
std::atomic<bool> g_trace_enabled{false};

// One buffer per thread, so lines formatted at the same time never mix.
thread_local std::array<char, 1024> t_trace_buffer{};

}  // namespace

void BindHyperTrace() {
  const char* const kLibrary = platform::kTraceLibraryFile;
  g_trace_enabled = false;
  void* module = platform::LoadLibrary(kLibrary);
  if (module == nullptr) {
    // The trace library is optional: its absence matters only to a user who asked for a trace.
    const char* file = std::getenv("HYPERTRACE_FILE");
    if (file != nullptr && *file != '\0') {
      ReportOnStderr("cannot load the trace library %s: %s; no trace is written to %s", kLibrary,
                     platform::LastLoadError(), file);
    }
    return;
  }
  constexpr std::array kEntries = {"HyperTrace",     "SetTraceIDColor",  "SetTraceIDMedium",
                                   "SetTraceIDFile", "StartTraceOutput", "StopTraceOutput"};
  std::array<void*, kEntries.size()> found{};
  bool all_found = true;
  for (size_t i = 0; i < kEntries.size(); ++i) {
    found[i] = platform::GetProcAddress(module, kEntries[i]);
    if (found[i] == nullptr) {
      ReportOnStderr("the trace library %s lacks the entry %s; no trace is written", kLibrary,
                     kEntries[i]);
      all_found = false;
    }
  }
  if (!all_found) return;
  g_hyper_trace = reinterpret_cast<HyperTraceFn>(found[0]);
  const auto start = reinterpret_cast<StartTraceOutputFn>(found[4]);
  g_trace_enabled = start() == 1;
}

void ReportOnStderr(const char* format, ...) {
  std::array<char, 1024> text{};
  va_list args;
  va_start(args, format);
  vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  // One call, so that the line reaches the terminal in one piece.
  fprintf(stderr, "VELKCANDNM: %s\n", text.data());
}

bool TraceEnabled() {
  return g_trace_enabled.load(std::memory_order_relaxed);
}

void TraceLine(const char* text) {
  if (!TraceEnabled()) return;
  g_hyper_trace.load(std::memory_order_relaxed)(1, text);
}

void Trace(const char* format, ...) {
  if (!TraceEnabled()) return;
  va_list args;
  va_start(args, format);
  vsnprintf(t_trace_buffer.data(), t_trace_buffer.size(), format, args);
  va_end(args);
  TraceLine(t_trace_buffer.data());
}

const char* TraceBufferText() {
  return t_trace_buffer.data();
}

uint16_t TraceCANResult(const char* caller_tag, const char* driver_tag, uint32_t code) {
  if (const char* name = CanCodeName(code)) {
    // The caller may pass this thread's own buffer as its tag: copy it before
    // the buffer is formatted again.
    std::array<char, 1024> tag{};
    snprintf(tag.data(), tag.size(), "%s", caller_tag);
    Trace("%s----> %s --> CAN Message --> %s", tag.data(), driver_tag, name);
  } else {
    Trace("CAN Msg %d is an Unknow Message", static_cast<int>(code));
  }
  return static_cast<uint16_t>(code);
}

uint16_t TraceDNMResult(const char* caller_tag, uint32_t code) {
  if (const char* name = DnmCodeName(code)) {
    Trace("%s----> %s", caller_tag, name);
  } else {
    Trace("DeviceNet Msg %d is an Unknow Message", static_cast<int>(code));
  }
  return static_cast<uint16_t>(code);
}

}  // namespace dnm
