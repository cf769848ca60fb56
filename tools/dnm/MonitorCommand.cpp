// dnm monitor: a live, decoded view of a bus: a shared segment of the virtual card, a SocketCAN
// interface, or a capture file (--file). What it cannot show (frames the host or the kernel
// dropped, bad lines, frames of other formats) it says, and the exit status tells.
#include <fcntl.h>
#include <linux/can.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <stdexcept>

#include "CanText.h"
#include "CaptureLine.h"
#include "Commands.h"
#include "FrameDecoder.h"
#include "Interrupt.h"
#include "Json.h"
#include "SharedSocket.h"
#include "SocketCanSystem.h"

namespace dnm::tool {
namespace {

struct Seen {
  double time = 0;  // wall-clock seconds
  vcan::Frame frame;
};

const char* const kKinds[] = {"dupmac", "explicit", "poll", "strobe", "cos", "offline", "other"};

std::set<std::string> Split(const std::string& text) {
  std::set<std::string> items;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) items.insert(item);
  return items;
}

bool IsKind(const std::string& kind) {
  for (const char* known : kKinds) {
    if (kind == known) return true;
  }
  return false;
}

std::string KindList() {
  std::string list;
  for (const char* kind : kKinds) list += (list.empty() ? "" : ", ") + std::string(kind);
  return list;
}

struct Filter {
  std::set<int> macs;
  std::set<std::string> kinds;
  bool Passes(const DecodedFrame& decoded) const {
    return (macs.empty() || macs.count(decoded.mac) != 0) &&
           (kinds.empty() || kinds.count(decoded.kind) != 0);
  }
};

Filter FilterOf(const CommandLine& line) {
  Filter filter;
  if (line.Has("--node")) {
    for (const std::string& mac : Split(line.options.at("--node")[0])) {
      filter.macs.insert(static_cast<int>(ParseNumber(mac, 0, 63, "MAC ID")));
    }
  }
  if (line.Has("--kind")) {
    filter.kinds = Split(line.options.at("--kind")[0]);
    for (const std::string& kind : filter.kinds) {
      if (!IsKind(kind))
        throw UsageError("unknown kind '" + kind + "'; the kinds are " + KindList());
    }
  }
  return filter;
}

std::string HexData(const vcan::Frame& frame) {
  std::string hex;
  char byte[4];
  for (uint8_t i = 0; i < frame.len && !frame.rtr; ++i) {
    std::snprintf(byte, sizeof byte, "%02X", frame.data[i]);
    hex += byte;
  }
  return hex;
}

// The frame as a capture writes it; a remote frame with its length ("7FF#R2").
std::string FrameText(const vcan::Frame& frame) {
  const std::string text = vcan::FormatCanText(frame);
  return frame.rtr && frame.len > 0 ? text + std::to_string(frame.len) : text;
}

std::string MacColumn(const DecodedFrame& decoded) {
  if (decoded.mac < 0) return "";
  return std::string(decoded.mac_is_source ? "from " : "to ") + std::to_string(decoded.mac);
}

double WallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string Plural(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Prints what the monitor sees and counts what it cannot show.
class Monitor {
 public:
  explicit Monitor(const CommandLine& line)
      : filter_(FilterOf(line)),
        json_(line.common.json),
        left_(line.Has("--count")
                  ? ParseNumber(line.options.at("--count")[0], 1, 0xFFFFFFFF, "count")
                  : UINT64_MAX) {}

  // False once --count frames were shown.
  bool Show(const Seen& seen) {
    const vcan::Frame& frame = seen.frame;
    const std::vector<uint8_t> data(frame.data.begin(),
                                    frame.data.begin() + (frame.rtr ? 0 : frame.len));
    const DecodedFrame decoded = DecodeFrame(frame.id, data, frame.rtr);
    if (!filter_.Passes(decoded)) return true;
    if (json_) {
      std::printf(
          "{\"time\":%.6f,\"id\":%u,\"len\":%u,\"data\":\"%s\",\"rtr\":%s,\"group\":%d,"
          "\"message\":%d,\"mac\":%d,\"mac_is\":\"%s\",\"kind\":\"%s\",\"text\":%s}\n",
          seen.time, frame.id, unsigned{frame.len}, HexData(frame).c_str(),
          frame.rtr ? "true" : "false", decoded.group, decoded.message, decoded.mac,
          decoded.mac_is_source ? "source" : "destination", decoded.kind,
          JsonString(decoded.text).c_str());
    } else {
      const std::string group = decoded.group == 0 ? ""
                                                   : "G" + std::to_string(decoded.group) + "/" +
                                                         std::to_string(decoded.message);
      std::printf("%.6f  %-20s %-6s %-8s %s\n", seen.time, FrameText(frame).c_str(), group.c_str(),
                  MacColumn(decoded).c_str(), decoded.text.c_str());
    }
    std::fflush(stdout);
    return --left_ > 0;
  }

  // Frames that passed by unseen, where they were lost: a line in the output and on stderr.
  void Lost(uint64_t count, const std::string& why) {
    lost_ += count;
    const std::string text = "lost " + Plural(count, "frame") + ": " + why;
    if (json_) {
      std::printf("{\"time\":%.6f,\"lost\":%llu,\"text\":%s}\n", WallNow(),
                  static_cast<unsigned long long>(count), JsonString(text).c_str());
    } else {
      std::printf("%.6f  %s\n", WallNow(), text.c_str());
    }
    std::fflush(stdout);
    std::fprintf(stderr, "dnm monitor: %s\n", text.c_str());
  }

  void BadLine(uint64_t number) {
    if (bad_lines_++ == 0) first_bad_line_ = number;
  }
  void Extended() { ++extended_; }
  void Fd() { ++fd_; }
  void ReadFailed(const std::string& what) { read_failure_ = what; }

  // The tally on stderr; the exit status: 1 when frames were lost, lines were bad or the source
  // failed.
  int Finish(const std::string& source) const {
    if (lost_ > 0)
      std::fprintf(stderr, "dnm monitor: %s lost in all\n", Plural(lost_, "frame").c_str());
    if (bad_lines_ > 0) {
      std::fprintf(stderr, "dnm monitor: %s of %s passed over (the first is line %llu)\n",
                   Plural(bad_lines_, "bad line").c_str(), source.c_str(),
                   static_cast<unsigned long long>(first_bad_line_));
    }
    if (extended_ + fd_ > 0) {
      const std::string extended = extended_ > 0 ? Plural(extended_, "extended frame") : "";
      const std::string fd = fd_ > 0 ? Plural(fd_, "FD frame") : "";
      std::fprintf(stderr, "dnm monitor: not shown: %s%s%s (DeviceNet uses standard frames)\n",
                   extended.c_str(), extended.empty() || fd.empty() ? "" : " and ", fd.c_str());
    }
    if (!read_failure_.empty()) std::fprintf(stderr, "dnm monitor: %s\n", read_failure_.c_str());
    return lost_ > 0 || bad_lines_ > 0 || !read_failure_.empty() ? kExitFailed : kExitOk;
  }

 private:
  const Filter filter_;
  const bool json_;
  uint64_t left_;
  uint64_t lost_ = 0, bad_lines_ = 0, first_bad_line_ = 0, extended_ = 0, fd_ = 0;
  std::string read_failure_;
};

// ---- Sources ----

int OpenCapture(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw UsageError("cannot read capture file " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    throw UsageError("capture file " + path + " is a directory");
  }
  return fd;
}

void ReadCapture(const std::string& path, Monitor& monitor) {
  const int fd = OpenCapture(path);
  LineReader reader(fd);
  std::string text;
  uint64_t number = 0;
  for (bool more = true; more && !Interrupted();) {
    const LineReader::Read read = reader.Next(text);
    if (read == LineReader::Read::kEnd) break;
    if (read == LineReader::Read::kPassedOver) continue;
    ++number;
    const CaptureEntry entry =
        read == LineReader::Read::kLine ? ParseCaptureLine(text) : CaptureEntry{};
    switch (entry.kind) {
      case CaptureKind::kFrame:
        more = monitor.Show({entry.time, entry.frame});
        break;
      case CaptureKind::kExtended:
        monitor.Extended();
        break;
      case CaptureKind::kFd:
        monitor.Fd();
        break;
      case CaptureKind::kBad:
        monitor.BadLine(number);
        break;
      case CaptureKind::kBlank:
        break;
    }
  }
  if (reader.error() != 0)
    monitor.ReadFailed("reading " + path + ": " + std::strerror(reader.error()));
  close(fd);
}

// The wall-clock time of a carried frame's end, given on the monotonic clock; an end the host
// puts in the future counts as now.
double WallTimeOf(uint64_t end_ns) {
  const auto now_ns = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch() /
                                            std::chrono::nanoseconds(1));
  const uint64_t age_ns = end_ns < now_ns ? now_ns - end_ns : 0;
  return WallNow() - static_cast<double>(age_ns) / 1e9;
}

// Records of the host until it ends; false when the monitor is done.
bool ReadRecords(int fd, const std::string& path, Monitor& monitor) {
  while (WaitReadable(fd)) {
    const auto record = vcan::wire::ReadRecord(fd);
    if (!record) return true;
    if (record->type == vcan::wire::Type::kLost) {
      monitor.Lost(record->tag,
                   "the host of " + path + " passed them over, this monitor read too slowly");
      continue;
    }
    if (record->type != vcan::wire::Type::kCarried) continue;
    if (!monitor.Show({WallTimeOf(record->end_ns), record->frame})) return false;
  }
  return false;
}

// Attached as a listener: the host passes every carried frame, and sends none of ours. When the
// host ends, waits for it to come back.
void ReadShared(const std::string& path, Monitor& monitor) {
  constexpr int kRetryMs = 200;
  for (bool first = true; !Interrupted(); first = false) {
    std::string refusal;
    const int fd = vcan::wire::Attach(path, vcan::SharedAccess::OwnerOnly(), &refusal);
    if (fd < 0) {
      if (first) {
        throw UsageError("cannot attach to shared segment " + path + ": " +
                         (refusal.empty() ? std::strerror(-fd) : refusal));
      }
      PauseUnlessInterrupted(kRetryMs);
      continue;
    }
    if (!first) std::fprintf(stderr, "dnm monitor: %s is back\n", path.c_str());
    const bool host_ended = ReadRecords(fd, path, monitor);
    close(fd);
    if (!host_ended) return;
    std::fprintf(stderr, "dnm monitor: the host of %s is gone; waiting for it\n", path.c_str());
  }
}

// The frame of a kernel CAN record; false for an error frame.
bool FrameOfRecord(const can_frame& raw, vcan::Frame& frame) {
  if ((raw.can_id & CAN_ERR_FLAG) != 0) return false;
  frame.id = raw.can_id & CAN_SFF_MASK;
  frame.rtr = (raw.can_id & CAN_RTR_FLAG) != 0;
  frame.len = std::min<uint8_t>(raw.can_dlc, vcan::kMaxDataLength);
  if (!frame.rtr) std::memcpy(frame.data.data(), raw.data, frame.len);
  return true;
}

void ReadSocketCan(const std::string& iface, Monitor& monitor) {
  const vcan::SocketCanSystem& system = vcan::KernelSocketCan();
  const int fd = system.open_socket(iface);
  if (fd < 0) {
    throw UsageError(iface + " is neither a shared segment's socket nor a usable CAN interface (" +
                     std::strerror(-fd) + ")");
  }
  uint32_t drops_seen = 0;
  for (bool more = true; more && WaitReadable(fd);) {
    vcan::ReceivedFrame received;
    const ssize_t got = system.receive(fd, received);
    if (got == -EAGAIN || got == -EINTR) continue;
    if (got <= 0) {
      if (got < 0)
        monitor.ReadFailed("reading " + iface + ": " + std::strerror(static_cast<int>(-got)));
      break;
    }
    if (received.drops && *received.drops != drops_seen) {
      monitor.Lost(*received.drops - drops_seen,
                   "the kernel dropped them from this monitor's socket");
      drops_seen = *received.drops;
    }
    Seen seen{received.stamp ? static_cast<double>(received.stamp->tv_sec) +
                                   static_cast<double>(received.stamp->tv_usec) / 1e6
                             : WallNow(),
              {}};
    if ((received.frame.can_id & CAN_EFF_FLAG) != 0) {
      monitor.Extended();
    } else if (FrameOfRecord(received.frame, seen.frame)) {
      more = monitor.Show(seen);
    }
  }
  close(fd);
}

// A name without a slash is a segment in the user's private directory, as in shared=NAME.
std::string SharedPath(const std::string& name) {
  try {
    return vcan::wire::SegmentPath(name);
  } catch (const std::runtime_error&) {
    return name;
  }
}

bool IsSocket(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

int RunMonitor(const CommandLine& line) {
  const bool from_file = line.Has("--file");
  ExpectWords(line, from_file ? 0 : 1);
  Monitor monitor(line);
  CatchInterrupts();
  if (from_file) {
    const std::string& path = line.options.at("--file")[0];
    ReadCapture(path, monitor);
    return monitor.Finish(path);
  }
  const std::string& source = line.Word(0, "shared segment socket or CAN interface");
  if (const std::string shared = SharedPath(source); IsSocket(shared)) {
    ReadShared(shared, monitor);
  } else {
    ReadSocketCan(source, monitor);
  }
  return monitor.Finish(source);
}

}  // namespace dnm::tool
