#include "NetworkSetup.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <memory>

#include "BitTiming.h"
#include "Capture.h"
#include "Card.h"
#include "DupMacNode.h"
#include "OwnerNode.h"
#include "NetworkFile.h"
#include "PosixBackends.h"
#include "SlaveDirectory.h"
#include "SlaveOptions.h"

namespace vcan {
namespace {

// ---- Reading options ----

void AllowOptions(const Directive& d, std::initializer_list<std::string_view> allowed) {
  for (const auto& [key, value] : d.options) {
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
      throw LineError("unknown option '" + key + "' for " + d.keyword);
    }
  }
}

void RequireArgs(const Directive& d, size_t count) {
  if (d.args.size() != count) {
    throw LineError(d.keyword + " takes " + std::to_string(count) + " word(s) before its options");
  }
}

const std::string* FindOption(const Directive& d, std::string_view key) {
  auto it = d.options.find(key);
  return it == d.options.end() ? nullptr : &it->second;
}

const std::string& RequireOption(const Directive& d, std::string_view key) {
  const std::string* value = FindOption(d, key);
  if (value == nullptr || value->empty()) {
    throw LineError(d.keyword + " needs " + std::string(key) + "=...");
  }
  return *value;
}

// Decimal, or hexadecimal after 0x.
long ParseNumber(std::string_view text, long min, long max, std::string_view what) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size() || value < min || value > max) {
    throw LineError("bad " + std::string(what) + " '" + std::string(text) + "' (" +
                    std::to_string(min) + " to " + std::to_string(max) + ")");
  }
  return value;
}

long NumberOption(const Directive& d, std::string_view key, long min, long max, long fallback) {
  const std::string* value = FindOption(d, key);
  return value == nullptr ? fallback : ParseNumber(*value, min, max, key);
}

bool FlagOption(const Directive& d, std::string_view key, bool fallback) {
  return NumberOption(d, key, 0, 1, fallback ? 1 : 0) == 1;
}

uint32_t BaudOption(const Directive& d) {
  const long kbit = NumberOption(d, "baud", 1, 1000, 500);
  auto baud = BaudFromKbit(kbit);
  if (!baud) throw LineError("baud must be 500, 250 or 125 (kbit/s)");
  return *baud;
}

Segment& SegmentOption(const Directive& d, Card& card) {
  const std::string& name = RequireOption(d, "segment");
  Segment* segment = card.FindSegment(name);
  if (segment == nullptr) throw LineError("unknown segment '" + name + "'");
  return *segment;
}

// The simulated nodes of a shared segment live in the process that hosts it; a process that
// attaches to it with the same description brings only its ports.
bool HostedElsewhere(const Directive& d, Card& card) {
  return SegmentOption(d, card).attached();
}

// "B/P": board B of the card, driver port P (1 to 4).
std::pair<int, int> ParsePortAddress(std::string_view text, const Card& card) {
  const auto slash = text.find('/');
  if (slash == std::string_view::npos) throw LineError("port must be written board/port, e.g. 0/1");
  const int board =
      static_cast<int>(ParseNumber(text.substr(0, slash), 0, card.board_count() - 1, "board"));
  const int port = static_cast<int>(ParseNumber(text.substr(slash + 1), 1, kPortsPerBoard, "port"));
  return {board, port};
}

std::string NodeName(const Directive& d, std::string fallback) {
  const std::string* name = FindOption(d, "name");
  if (name == nullptr || name->empty()) return fallback;
  return *name;
}

// ---- One function per keyword ----

void ApplyBoards(const Directive& d, Card& card) {
  RequireArgs(d, 1);
  AllowOptions(d, {});
  card.SetBoardCount(static_cast<int>(ParseNumber(d.args[0], 0, kMaxBoards, "board count")));
}

// A probability from 0 to 1, written as a decimal fraction.
double ProbabilityOption(const Directive& d, std::string_view key) {
  const std::string* text = FindOption(d, key);
  if (text == nullptr) return 0;
  char* end = nullptr;
  const double value = std::strtod(text->c_str(), &end);
  if (end == text->c_str() || *end != '\0' || !(value >= 0 && value <= 1)) {
    throw LineError("bad " + std::string(key) + " '" + *text + "' (0 to 1)");
  }
  return value;
}

void RequirePosixBackends() {
  if (*PosixBackendsMissing() != '\0') throw LineError(PosixBackendsMissing());
}

// Whether this process hosts the shared segments of its description that no process hosts:
// asked for before the card is built, read once as it is built.
enum HostingWish { kNotAsked, kAsked, kBuiltNotAsked, kBuiltAsked };
std::atomic<int> hosting_wish{kNotAsked};

// Once the card is being built the wish is fixed.
void FixHostingWish() {
  int wish = kAsked;
  if (!hosting_wish.compare_exchange_strong(wish, kBuiltAsked)) {
    wish = kNotAsked;
    hosting_wish.compare_exchange_strong(wish, kBuiltNotAsked);
  }
}

bool HostOption(const Directive& d) {
  const std::string* host = FindOption(d, "host");
  if (host == nullptr || *host == "no") return false;
  if (*host != "yes") throw LineError("host must be yes or no");
  return true;
}

std::string SharedReach(const Shared& shared) {
  switch (shared.how) {
    case Shared::How::kHosted:
      return "shared=" + shared.path + ", hosted here";
    case Shared::How::kAttached:
      return "shared=" + shared.path + ", attached to its host";
    case Shared::How::kNoHost:
      break;
  }
  return "shared=" + shared.path + ", no host";
}

// shared=NAME: hosted here, attached to the process that hosts it (which then writes the
// capture), or waiting for a host. socketcan=IFACE: bridged to a network interface, by the host
// of a shared segment.
void ReachSegment(const Directive& d, Segment& segment, Card& card) {
  const std::string* name = FindOption(d, "shared");
  if (name == nullptr && (FindOption(d, "group") || FindOption(d, "host"))) {
    throw LineError("group= and host= belong to a shared segment (shared=...)");
  }
  if (name != nullptr) {
    if (name->empty()) throw LineError("shared= needs a socket path or name");
    const std::string* group = FindOption(d, "group");
    if (group != nullptr && group->empty()) throw LineError("group= needs a group name");
    const Shared shared =
        ShareSegmentAt(segment, ShareRequest{*name, group ? *group : "", HostOption(d),
                                             hosting_wish.load() == kBuiltAsked});
    if (shared.how == Shared::How::kNoHost) {
      std::fprintf(stderr,
                   "VELKCAN: segment %s: no simulator hosts %s; start one with: dnm simulate %s\n",
                   segment.name().c_str(), shared.path.c_str(), card.network_path().c_str());
    }
    segment.AddReach(SharedReach(shared));
  }
  if (const std::string* iface = FindOption(d, "socketcan"); iface && !segment.attached()) {
    if (iface->empty() || iface->size() >= 16) throw LineError("bad interface name");
    BridgeSegment(segment, *iface);
    segment.AddReach("socketcan=" + *iface);
  }
}

void ApplySegment(const Directive& d, Card& card) {
  RequireArgs(d, 1);
  AllowOptions(d, {"capture", "loss", "shared", "group", "host", "socketcan"});
  if (FindOption(d, "shared") || FindOption(d, "socketcan")) RequirePosixBackends();
  const std::string& name = d.args[0];
  if (card.FindSegment(name) != nullptr) throw LineError("segment '" + name + "' declared twice");
  std::unique_ptr<Capture> capture;
  if (const std::string* path = FindOption(d, "capture")) {
    capture = Capture::Open(*path);
    if (!capture) throw LineError("cannot open capture file '" + *path + "'");
  }
  Segment* segment = card.AddSegment(name);
  segment->SetLoss(ProbabilityOption(d, "loss"));
  ReachSegment(d, *segment, card);
  if (!segment->attached()) segment->SetCapture(std::move(capture));
}

// A port sits on a simulated segment, or on a SocketCAN interface (with its own capture file).
void ApplyPort(const Directive& d, Card& card) {
  RequireArgs(d, 1);
  AllowOptions(d, {"segment", "rxfifo", "socketcan", "capture"});
  const auto [board, port] = ParsePortAddress(d.args[0], card);
  Card::Placement placement;
  if (const std::string* iface = FindOption(d, "socketcan")) {
    RequirePosixBackends();
    if (FindOption(d, "segment")) throw LineError("give segment or socketcan, not both");
    if (iface->empty() || iface->size() >= 16) throw LineError("bad interface name");
    placement.iface = *iface;
    if (const std::string* path = FindOption(d, "capture")) placement.capture_path = *path;
  } else {
    if (FindOption(d, "capture")) throw LineError("capture= on a port needs socketcan=");
    placement.segment = FindOption(d, "segment") ? &SegmentOption(d, card) : nullptr;
  }
  placement.rx_capacity = static_cast<size_t>(
      NumberOption(d, "rxfifo", 1, 1 << 20, static_cast<long>(RxFifo::kDefaultCapacity)));
  if (!card.PlacePort(board, port, std::move(placement))) {
    throw LineError("port " + d.args[0] + " placed twice");
  }
}

void ApplyProcess(const Directive& d, Card& card) {
  RequireArgs(d, 0);
  AllowOptions(d, {"segment", "baud", "exec", "name"});
  RequirePosixBackends();
  if (HostedElsewhere(d, card)) return;
  Segment& segment = SegmentOption(d, card);
  const uint32_t baud = BaudOption(d);
  const std::string& command = RequireOption(d, "exec");
  StartProcessNode(NodeName(d, "process@" + std::to_string(d.line)), segment, baud, command,
                   card.network_path() + ":" + std::to_string(d.line));
}

void ApplyDupMac(const Directive& d, Card& card) {
  RequireArgs(d, 0);
  AllowOptions(d, {"segment", "mac", "baud", "answer", "check", "check_at", "delay", "vendor",
                   "serial", "name"});
  if (HostedElsewhere(d, card)) return;
  Segment& segment = SegmentOption(d, card);
  const uint32_t baud = BaudOption(d);
  DupMacSettings settings;
  settings.mac = static_cast<uint8_t>(ParseNumber(RequireOption(d, "mac"), 0, 63, "mac"));
  settings.answer = FlagOption(d, "answer", true);
  settings.check = FlagOption(d, "check", false);
  if (FindOption(d, "check_at") && FindOption(d, "delay")) {
    throw LineError("give check_at or delay, not both");
  }
  constexpr long kHour = 3'600'000;
  const long delay = NumberOption(d, "delay", 0, kHour, settings.check_delay.count());
  settings.check_delay = std::chrono::milliseconds(NumberOption(d, "check_at", 0, kHour, delay));
  settings.vendor = static_cast<uint16_t>(NumberOption(d, "vendor", 0, 0xFFFF, settings.vendor));
  settings.serial =
      static_cast<uint32_t>(NumberOption(d, "serial", 0, 0xFFFFFFFFL, settings.serial));
  auto node = std::make_shared<DupMacNode>(NodeName(d, "dupmac@" + std::to_string(settings.mac)),
                                           segment, baud, settings);
  segment.Attach(node);
}

void ApplyOwner(const Directive& d, Card& card) {
  RequireArgs(d, 0);
  AllowOptions(d, {"segment", "mac", "baud", "form", "vendor", "name"});
  if (HostedElsewhere(d, card)) return;
  Segment& segment = SegmentOption(d, card);
  const uint32_t baud = BaudOption(d);
  OwnerSettings settings;
  settings.mac = static_cast<uint8_t>(ParseNumber(RequireOption(d, "mac"), 0, 63, "mac"));
  settings.vendor = static_cast<uint16_t>(NumberOption(d, "vendor", 0, 0xFFFF, settings.vendor));
  const std::string* form = FindOption(d, "form");
  if (form != nullptr && *form != "7EE" && *form != "7EF") {
    throw LineError("form must be 7EE or 7EF");
  }
  settings.objection_id = form != nullptr && *form == "7EF" ? 0x7EF : 0x7EE;
  auto node = std::make_shared<OwnerNode>(NodeName(d, "owner@" + std::to_string(settings.mac)),
                                          segment, baud, settings);
  segment.Attach(node);
}

// The card reads where the slave sits; the slave library reads everything else.
void ApplySlave(const Directive& d, Card& card) {
  RequireArgs(d, 0);
  if (HostedElsewhere(d, card)) return;
  Segment& segment = SegmentOption(d, card);
  const uint32_t baud = BaudOption(d);
  dnsim::Options options = d.options;
  for (const char* card_key : {"segment", "baud", "name"}) options.erase(card_key);
  const dnsim::SlaveSettings settings = dnsim::ParseSlaveSettings(options);
  auto slave = std::make_shared<dnsim::DeviceNetSlave>(
      NodeName(d, "slave@" + std::to_string(settings.mac)), segment, baud, settings);
  if (!dnsim::SlaveDirectory::Instance().Add(slave)) {
    throw LineError("a slave with MAC ID " + std::to_string(settings.mac) + " already sits on " +
                    segment.name());
  }
  segment.Attach(slave);
  slave->Start();
}

void ApplyFault(const Directive& d, Card& card) {
  RequireArgs(d, 0);
  AllowOptions(d, {"entry", "code", "times"});
  const std::string& entry = RequireOption(d, "entry");
  if (!Faults::IsEntryName(entry)) throw LineError("unknown driver entry '" + entry + "'");
  const auto code = static_cast<int32_t>(ParseNumber(RequireOption(d, "code"), 0, 0xFFFF, "code"));
  const std::string* times_text = FindOption(d, "times");
  int32_t times = 1;
  if (times_text != nullptr && *times_text == "every") {
    times = Faults::kEveryCall;
  } else if (times_text != nullptr) {
    times = static_cast<int32_t>(
        ParseNumber(*times_text, 1, std::numeric_limits<int32_t>::max(), "times"));
  }
  card.faults().Arm(entry, code, times);
}

// ---- Dispatch ----

// Lines apply in phases so that their order in the file does not matter: the board count
// first, then segments, then the placement of ports, then (once the ports exist, with their
// default segments) the nodes and faults. A new kind of simulated node adds a line here.
struct Keyword {
  std::string_view name;
  int phase;
  void (*apply)(const Directive&, Card&);
};

constexpr int kNodePhase = 3;
constexpr Keyword kKeywords[] = {
    {"boards", 0, ApplyBoards},
    {"segment", 1, ApplySegment},
    {"port", 2, ApplyPort},
    {"process", kNodePhase, ApplyProcess},
    {"dupmac", kNodePhase, ApplyDupMac},
    {"owner", kNodePhase, ApplyOwner},
    {"slave", kNodePhase, ApplySlave},
    {"fault", kNodePhase, ApplyFault},
};

const Keyword* FindKeyword(std::string_view name) {
  for (const Keyword& keyword : kKeywords) {
    if (keyword.name == name) return &keyword;
  }
  return nullptr;
}

void ApplyPhase(const std::vector<Directive>& directives, int phase, Card& card) {
  for (const Directive& d : directives) {
    const Keyword* keyword = FindKeyword(d.keyword);
    if (keyword == nullptr || keyword->phase != phase) continue;
    try {
      keyword->apply(d, card);
    } catch (const std::exception& error) {
      ReportLineError(card.network_path(), d.line, error.what());
    }
  }
}

}  // namespace

bool AskToHostSharedSegments() {
  int wish = kNotAsked;
  return hosting_wish.compare_exchange_strong(wish, kAsked) || wish == kAsked;
}

void ConfigureCard(Card& card) {
  FixHostingWish();
  std::vector<Directive> directives;
  if (!card.network_path().empty()) {
    if (auto read = ReadNetworkFile(card.network_path())) directives = std::move(*read);
  }
  for (const Directive& d : directives) {
    if (FindKeyword(d.keyword) == nullptr) {
      ReportLineError(card.network_path(), d.line, "unknown keyword '" + d.keyword + "'");
    }
  }
  for (int phase = 0; phase <= kNodePhase; ++phase) {
    if (phase == kNodePhase) card.CreatePorts();
    ApplyPhase(directives, phase, card);
  }
  card.set_refused_lines(PrintLineErrors());
}

}  // namespace vcan
