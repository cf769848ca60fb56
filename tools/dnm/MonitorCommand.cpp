// dnm monitor: a live, decoded view of a bus: a shared segment of the virtual card, a SocketCAN
// interface, or a capture file (--file).
#include <linux/can.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <sstream>
#include <thread>

#include "CanText.h"
#include "Commands.h"
#include "FrameDecoder.h"
#include "Json.h"
#include "SharedSocket.h"

namespace dnm::tool {
namespace {

struct Seen {
  double time = 0;  // wall-clock seconds
  vcan::Frame frame;
};

// Gives a frame to the printer; false ends the source.
using Sink = std::function<bool(const Seen&)>;

const std::set<std::string> kKinds = {"dupmac", "explicit", "poll", "strobe",
                                      "cos",    "offline",  "other"};

std::set<std::string> Split(const std::string& text) {
  std::set<std::string> items;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) items.insert(item);
  return items;
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
      if (kKinds.count(kind) == 0) throw UsageError("unknown kind '" + kind + "'");
    }
  }
  return filter;
}

std::string HexData(const vcan::Frame& frame) {
  std::string hex;
  char byte[4];
  for (uint8_t i = 0; i < frame.len; ++i) {
    std::snprintf(byte, sizeof byte, "%02X", frame.data[i]);
    hex += byte;
  }
  return hex;
}

std::string MacColumn(const DecodedFrame& decoded) {
  if (decoded.mac < 0) return "";
  return std::string(decoded.mac_is_source ? "from " : "to ") + std::to_string(decoded.mac);
}

void Print(const Seen& seen, const DecodedFrame& decoded, bool json) {
  const vcan::Frame& frame = seen.frame;
  if (json) {
    std::printf(
        "{\"time\":%.6f,\"id\":%u,\"data\":\"%s\",\"rtr\":%s,\"group\":%d,\"message\":%d,"
        "\"mac\":%d,\"mac_is\":\"%s\",\"kind\":\"%s\",\"text\":%s}\n",
        seen.time, frame.id, HexData(frame).c_str(), frame.rtr ? "true" : "false", decoded.group,
        decoded.message, decoded.mac, decoded.mac_is_source ? "source" : "destination",
        decoded.kind, JsonString(decoded.text).c_str());
  } else {
    const std::string group = decoded.group == 0 ? ""
                                                 : "G" + std::to_string(decoded.group) + "/" +
                                                       std::to_string(decoded.message);
    std::printf("%.6f  %-20s %-6s %-8s %s\n", seen.time, vcan::FormatCanText(frame).c_str(),
                group.c_str(), MacColumn(decoded).c_str(), decoded.text.c_str());
  }
  std::fflush(stdout);
}

double WallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// ---- Sources ----

// "(1733475212.123456) plant 123#DEADBEEF" lines; others are passed over.
void ReadCapture(const std::string& path, const Sink& sink) {
  std::ifstream in(path);
  if (!in) throw UsageError("cannot read capture file " + path);
  for (std::string text; std::getline(in, text);) {
    Seen seen;
    char iface[64] = {};
    char frame[64] = {};
    if (std::sscanf(text.c_str(), "(%lf) %63s %63s", &seen.time, iface, frame) != 3) continue;
    const auto parsed = vcan::ParseCanText(frame);
    if (!parsed) continue;
    seen.frame = *parsed;
    if (!sink(seen)) return;
  }
}

// Attached as a listener: the host passes every carried frame, and sends none of ours. When the
// host ends, waits for it to come back.
void ReadShared(const std::string& path, const Sink& sink) {
  for (bool first = true;; first = false) {
    std::string refusal;
    const int fd = vcan::wire::Attach(path, vcan::SharedAccess::OwnerOnly(), &refusal);
    if (fd < 0) {
      if (first) {
        throw UsageError("cannot attach to shared segment " + path + ": " +
                         (refusal.empty() ? std::strerror(-fd) : refusal));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      continue;
    }
    if (!first) std::fprintf(stderr, "dnm monitor: %s is back\n", path.c_str());
    while (const auto record = vcan::wire::ReadRecord(fd)) {
      if (record->type != vcan::wire::Type::kCarried) continue;
      const auto age = std::chrono::steady_clock::now().time_since_epoch() -
                       std::chrono::nanoseconds(record->end_ns);
      Seen seen{WallNow() - std::chrono::duration<double>(age).count(), record->frame};
      if (!sink(seen)) {
        close(fd);
        return;
      }
    }
    close(fd);
    std::fprintf(stderr, "dnm monitor: the host of %s is gone; waiting for it\n", path.c_str());
  }
}

void ReadSocketCan(const std::string& iface, const Sink& sink) {
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  const unsigned index = if_nametoindex(iface.c_str());
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(index);
  if (fd < 0 || index == 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw UsageError(iface + " is neither a shared segment's socket nor a CAN interface");
  }
  for (can_frame raw{}; read(fd, &raw, sizeof raw) == sizeof raw;) {
    if ((raw.can_id & (CAN_EFF_FLAG | CAN_ERR_FLAG)) != 0) continue;
    Seen seen{WallNow(), {}};
    seen.frame.id = raw.can_id & CAN_SFF_MASK;
    seen.frame.rtr = (raw.can_id & CAN_RTR_FLAG) != 0;
    seen.frame.len = std::min<uint8_t>(raw.can_dlc, vcan::kMaxDataLength);
    std::memcpy(seen.frame.data.data(), raw.data, seen.frame.len);
    if (!sink(seen)) break;
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
  const Filter filter = FilterOf(line);
  const bool from_file = line.Has("--file");
  ExpectWords(line, from_file ? 0 : 1);
  uint64_t left = line.Has("--count")
                      ? ParseNumber(line.options.at("--count")[0], 1, 0xFFFFFFFF, "count")
                      : UINT64_MAX;
  const Sink sink = [&](const Seen& seen) {
    const std::vector<uint8_t> data(seen.frame.data.begin(),
                                    seen.frame.data.begin() + seen.frame.len);
    const DecodedFrame decoded = DecodeFrame(seen.frame.id, data, seen.frame.rtr);
    if (!filter.Passes(decoded)) return true;
    Print(seen, decoded, line.common.json);
    return --left > 0;
  };
  if (from_file) {
    ReadCapture(line.options.at("--file")[0], sink);
  } else {
    const std::string& source = line.Word(0, "shared segment socket or CAN interface");
    if (const std::string shared = SharedPath(source); IsSocket(shared)) {
      ReadShared(shared, sink);
    } else {
      ReadSocketCan(source, sink);
    }
  }
  return kExitOk;
}

}  // namespace dnm::tool
