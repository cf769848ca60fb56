#include "HyperTrace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

#define HT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The operating system's number of the calling thread, as debuggers show it.
long ThreadNumber() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentThreadId());
#else
  return static_cast<long>(syscall(SYS_gettid));
#endif
}

constexpr size_t kKeptLines = 100000;

// Immortal: lines may arrive from threads that outlive static destructors.
struct Sink {
  std::mutex mutex;
  FILE* file = nullptr;
  bool output_on = false;
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::deque<std::string> kept;

  Sink() {
    const char* name = std::getenv("HYPERTRACE_FILE");
    if (name == nullptr || *name == '\0') return;
    file = OpenOutput(name);
  }

  // A file that cannot be opened would lose every line without a word, so it
  // is reported and the lines go to standard error instead.
  static FILE* OpenOutput(const char* name) {
    if (std::strcmp(name, "stderr") == 0) return stderr;
    if (std::strcmp(name, "stdout") == 0) return stdout;
    if (FILE* opened = std::fopen(name, "a")) return opened;
    std::fprintf(stderr, "HYPERTRACE: cannot open HYPERTRACE_FILE %s: %s; tracing to stderr\n",
                 name, std::strerror(errno));
    return stderr;
  }

  void Write(const char* text) {
    std::lock_guard lock(mutex);
    if (!output_on) return;
    if (file != nullptr) {
      // Seconds since the trace started, on a clock that never steps, and the thread.
      const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start;
      std::fprintf(file, "%12.6f [%ld] %s\n", since.count(), ThreadNumber(), text);
      std::fflush(file);
      return;
    }
    if (kept.size() == kKeptLines) kept.pop_front();
    kept.emplace_back(text);
  }
};

Sink& TheSink() {
  static Sink* sink = new Sink;
  return *sink;
}

}  // namespace

HT_EXPORT int HyperTrace(int /*trace_id*/, const char* text) {
  if (text == nullptr) return 0;
  TheSink().Write(text);
  return 1;
}

#ifndef HT_OMIT_SetTraceIDColor
HT_EXPORT int SetTraceIDColor(int, unsigned) {
  return 1;
}
#endif
HT_EXPORT int SetTraceIDMedium(int, int) {
  return 1;
}
HT_EXPORT int SetTraceIDFile(int, const char*) {
  return 1;
}

// Lines are kept in memory only for whoever asked to read them.
bool KeepLinesAsked() {
  const char* keep = std::getenv("HYPERTRACE_KEEP");
  return keep != nullptr && *keep != '\0' && std::strcmp(keep, "0") != 0;
}

HT_EXPORT int StartTraceOutput(void) {
#ifdef HT_START_REFUSES
  return 0;
#else
  Sink& sink = TheSink();
  std::lock_guard lock(sink.mutex);
  // With no file and no reader, the output is refused, so that the caller
  // formats no line that nobody would read.
  if (sink.file == nullptr && !KeepLinesAsked()) return 0;
  sink.output_on = true;
  return 1;
#endif
}

HT_EXPORT int StopTraceOutput(void) {
  Sink& sink = TheSink();
  std::lock_guard lock(sink.mutex);
  sink.output_on = false;
  return 1;
}

HT_EXPORT int HyperTraceTest_LineCount(void) {
  Sink& sink = TheSink();
  std::lock_guard lock(sink.mutex);
  return static_cast<int>(sink.kept.size());
}

HT_EXPORT int HyperTraceTest_GetLine(int index, char* buffer, int size) {
  Sink& sink = TheSink();
  std::lock_guard lock(sink.mutex);
  if (index < 0 || static_cast<size_t>(index) >= sink.kept.size()) return -1;
  const std::string& line = sink.kept[static_cast<size_t>(index)];
  if (buffer != nullptr && size > 0)
    std::snprintf(buffer, static_cast<size_t>(size), "%s", line.c_str());
  return static_cast<int>(line.size());
}

HT_EXPORT void HyperTraceTest_Clear(void) {
  Sink& sink = TheSink();
  std::lock_guard lock(sink.mutex);
  sink.kept.clear();
}
