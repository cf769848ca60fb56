#include "CaptureLine.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "CanText.h"

namespace dnm::tool {
namespace {

constexpr std::string_view kBlanks = " \t\r";
constexpr size_t kExtendedIdDigits = 8;
constexpr size_t kMaxFdData = 64;

bool IsHex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

// The next word of text, which loses it and the blanks before it.
std::string_view NextWord(std::string_view& text) {
  const size_t start = std::min(text.find_first_not_of(kBlanks), text.size());
  const size_t end = std::min(text.find_first_of(kBlanks, start), text.size());
  const std::string_view word = text.substr(start, end - start);
  text.remove_prefix(end);
  return word;
}

// "(1733475212.123456)": a finite time stamp of at most 40 characters.
std::optional<double> TimeStamp(std::string_view word) {
  if (word.size() < 3 || word.size() > 40 || word.front() != '(' || word.back() != ')')
    return std::nullopt;
  const std::string digits(word.substr(1, word.size() - 2));
  if (digits.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double time = std::strtod(digits.c_str(), &end);
  if (*end != '\0' || !std::isfinite(time)) return std::nullopt;
  return time;
}

bool EvenHexOfAtMost(std::string_view data, size_t bytes) {
  return data.size() % 2 == 0 && data.size() / 2 <= bytes && IsHex(data);
}

// "R" or "R" and a length of 0 to 8.
std::optional<uint8_t> RemoteLength(std::string_view data) {
  if (data.empty() || (data[0] != 'R' && data[0] != 'r') || data.size() > 2) return std::nullopt;
  if (data.size() == 1) return 0;
  if (data[1] < '0' || data[1] > '0' + vcan::kMaxDataLength) return std::nullopt;
  return static_cast<uint8_t>(data[1] - '0');
}

// A frame's kind by its text, with the frame for a standard one.
CaptureKind FrameOfText(std::string_view text, vcan::Frame& frame) {
  const size_t hash = text.find('#');
  if (hash == std::string_view::npos || !IsHex(text.substr(0, hash))) return CaptureKind::kBad;
  const std::string_view id = text.substr(0, hash);
  const std::string_view data = text.substr(hash + 1);
  const bool standard = !id.empty() && id.size() <= 3;
  if (!standard && id.size() != kExtendedIdDigits) return CaptureKind::kBad;
  if (!data.empty() && data[0] == '#') {  // FD: a digit of flags, then the data
    return data.size() >= 2 && EvenHexOfAtMost(data.substr(2), kMaxFdData) &&
                   IsHex(data.substr(1, 1))
               ? CaptureKind::kFd
               : CaptureKind::kBad;
  }
  const std::optional<uint8_t> remote = RemoteLength(data);
  if (!remote && !EvenHexOfAtMost(data, vcan::kMaxDataLength)) return CaptureKind::kBad;
  if (!standard) return CaptureKind::kExtended;
  const auto parsed =
      vcan::ParseCanText(std::string(id) + "#" + (remote ? "R" : std::string(data)));
  if (!parsed) return CaptureKind::kBad;  // an identifier above 0x7FF
  frame = *parsed;
  if (remote) frame.len = *remote;
  return CaptureKind::kFrame;
}

}  // namespace

CaptureEntry ParseCaptureLine(std::string_view line) {
  CaptureEntry entry;
  if (line.find_first_not_of(kBlanks) == std::string_view::npos) {
    entry.kind = CaptureKind::kBlank;
    return entry;
  }
  const auto time = TimeStamp(NextWord(line));
  const std::string_view iface = NextWord(line);
  const std::string_view frame = NextWord(line);
  if (!time || iface.empty() || frame.empty() || !NextWord(line).empty()) return entry;
  entry.time = *time;
  entry.kind = FrameOfText(frame, entry.frame);
  return entry;
}

bool LineReader::Fill() {
  start_ = end_ = 0;
  const ssize_t got = read(fd_, buffer_, sizeof buffer_);
  if (got > 0) {
    end_ = static_cast<size_t>(got);
    return true;
  }
  interrupted_read_ = got < 0 && errno == EINTR;
  error_ = got < 0 && !interrupted_read_ ? errno : 0;
  return false;
}

LineReader::Read LineReader::Next(std::string& line) {
  line.clear();
  for (;;) {
    if (start_ == end_ && !Fill()) {
      if (interrupted_read_) return Read::kPassedOver;
      const bool unfinished = !line.empty() && !passing_over_;
      passing_over_ = false;
      return unfinished ? Read::kLine : Read::kEnd;
    }
    const char* begin = buffer_ + start_;
    const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', end_ - start_));
    const size_t piece = newline != nullptr ? static_cast<size_t>(newline - begin) : end_ - start_;
    start_ += piece + (newline != nullptr ? 1 : 0);
    if (passing_over_) {
      passing_over_ = newline == nullptr;
      return Read::kPassedOver;
    }
    if (line.size() + piece > kMaxCaptureLine) {
      line.clear();
      passing_over_ = newline == nullptr;
      return Read::kTooLong;
    }
    line.append(begin, piece);
    if (newline != nullptr) return Read::kLine;
  }
}

}  // namespace dnm::tool
