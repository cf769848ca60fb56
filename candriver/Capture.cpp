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

// The wall-clock time of the frame's end, through the offset between the wall clock and the
// monotonic one. It is read once for the lines up to the next Flush, so that the lines of a
// batch keep the order of their times.
void Capture::Append(const std::string& iface, const Frame& frame) {
  if (!wall_offset_) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    wall_offset_ = std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec) -
                   Clock::now().time_since_epoch();
  }
  const long long micros = std::chrono::duration_cast<std::chrono::microseconds>(
                               frame.end.time_since_epoch() + *wall_offset_)
                               .count();
  std::fprintf(file_, "(%lld.%06lld) %s %s\n", micros / 1'000'000, micros % 1'000'000,
               iface.c_str(), FormatCanText(frame).c_str());
}

void Capture::Flush() {
  std::fflush(file_);
  wall_offset_.reset();
}

}  // namespace vcan
