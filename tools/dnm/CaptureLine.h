// The lines of a capture file, as the virtual card writes them and candump -L does:
//
//   (1733475212.123456) IFACE 123#DEADBEEF
//
// with a remote frame as 123#R, or 123#R2 with its length; an extended frame has eight digits of
// identifier and a CAN FD frame two '#' (123##1DEADBEEF). The file is read in bounded pieces, so
// a file without line ends (random bytes, /dev/zero) costs no more memory than a capture.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Frame.h"

namespace dnm::tool {

// Longer than any capture line of an FD frame with 64 bytes and a long interface name.
inline constexpr size_t kMaxCaptureLine = 512;

enum class CaptureKind { kFrame, kExtended, kFd, kBad, kBlank };

struct CaptureEntry {
  CaptureKind kind = CaptureKind::kBad;
  double time = 0;    // seconds, finite
  vcan::Frame frame;  // kFrame only; a remote frame keeps its length with no data
};

CaptureEntry ParseCaptureLine(std::string_view line);

// The lines of a descriptor, each at most kMaxCaptureLine bytes.
class LineReader {
 public:
  enum class Read {
    kLine,        // line holds the next line, without its end
    kTooLong,     // a line longer than kMaxCaptureLine; its rest is passed over
    kPassedOver,  // a piece of that rest, or a read interrupted by a signal: nothing to show
    kEnd,         // the end of the file, or a read error (error() tells)
  };
  explicit LineReader(int fd) : fd_(fd) {}
  Read Next(std::string& line);
  int error() const { return error_; }

 private:
  // Reads more into the empty buffer; false at the end or on an error.
  bool Fill();

  int fd_;
  int error_ = 0;
  bool interrupted_read_ = false;
  bool passing_over_ = false;  // within the rest of a line too long
  char buffer_[4096];
  size_t start_ = 0, end_ = 0;
};

}  // namespace dnm::tool
