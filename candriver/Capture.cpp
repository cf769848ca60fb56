#include "Capture.h"

#include <ctime>

#include "CanText.h"
#include "ErrorText.h"

namespace vcan {

std::unique_ptr<Capture> Capture::Open(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "ae");
  if (file == nullptr) {
    std::fprintf(stderr, "VELKCAN: cannot open capture file %s: %s\n", path.c_str(),
                 ErrorText().c_str());
    return nullptr;
  }
  return std::unique_ptr<Capture>(new Capture(file));
}

Capture::~Capture() {
  std::fclose(file_);
}

void Capture::Write(const std::string& iface, const Frame& frame) {
  Append(iface, frame);
  Flush();
}

// The wall-clock time of the frame's end: the line is written shortly after it, so the time
// elapsed since then is taken off the current wall-clock time.
void Capture::Append(const std::string& iface, const Frame& frame) {
  const auto since_end =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - frame.end);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const long long micros = now.tv_sec * 1'000'000LL + now.tv_nsec / 1000 - since_end.count();
  std::fprintf(file_, "(%lld.%06lld) %s %s\n", micros / 1'000'000, micros % 1'000'000,
               iface.c_str(), FormatCanText(frame).c_str());
}

void Capture::Flush() {
  std::fflush(file_);
}

}  // namespace vcan
