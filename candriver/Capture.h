// Appends every frame carried on a segment to a log file, one line a frame:
// "(seconds.microseconds) IFACE ID#DATA" with wall-clock time and the segment name as IFACE.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "Frame.h"

namespace vcan {

class Capture {
 public:
  // nullptr (with a message on stderr) when the file cannot be opened for appending.
  static std::unique_ptr<Capture> Open(const std::string& path);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Each line is flushed at once so that readers see it as soon as the frame is carried.
  void Write(const std::string& iface, const Frame& frame);
  // A line left in the file's buffer until Flush, for writers of batches.
  void Append(const std::string& iface, const Frame& frame);
  void Flush();

 private:
  explicit Capture(std::FILE* file) : file_(file) {}
  std::FILE* file_;
  std::optional<Clock::duration> wall_offset_;  // wall clock minus monotonic clock
};

}  // namespace vcan
