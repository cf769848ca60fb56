#include "ScanList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>

namespace dnm::tool {
namespace {

constexpr size_t kMaxLineLength = 255;
// 8 ports of 63 devices with every connection and a comment on each line stay far below it.
constexpr size_t kMaxFileSize = 1 << 20;
constexpr uint16_t kCosHeartbeatMs = 2500;
constexpr uint8_t kNoMac = 0xFF;

// A refusal of the line being read; column counts from 1.
struct LineError {
  size_t column;
  std::string message;
};

struct Word {
  std::string_view text;
  size_t column;
};

// A key=value word of a line.
struct Field {
  std::string_view value;
  size_t column;  // of the value
};
using Fields = std::map<std::string, Field, std::less<>>;

// Bytes from the file go into messages escaped, so that none reaches a terminal raw.
std::string Printable(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      shown += c;
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
    shown += hex;
  }
  return shown;
}

std::string Quoted(std::string_view text) {
  return "'" + Printable(text) + "'";
}

// The line's own character faults, checked before its words are read.
void CheckCharacters(std::string_view line) {
  if (line.size() > kMaxLineLength) {
    throw LineError{kMaxLineLength + 1,
                    "line longer than " + std::to_string(kMaxLineLength) + " characters"};
  }
  for (size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == '\0') throw LineError{i + 1, "NUL byte"};
    if (c == '\r' && i + 1 == line.size()) {
      throw LineError{i + 1, "carriage return: the file has CRLF line ends; save it with LF ends"};
    }
    if ((c < 0x20 && c != '\t') || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", c);
      throw LineError{i + 1, std::string("control character ") + hex};
    }
  }
}

// The words of a line up to a '#', which starts a comment.
std::vector<Word> WordsOf(std::string_view line) {
  line = line.substr(0, line.find('#'));
  std::vector<Word> words;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    const size_t end = std::min(line.find_first_of(" \t", i), line.size());
    words.push_back({line.substr(i, end - i), i + 1});
    i = end;
  }
  return words;
}

// A whole decimal number from min to max; what names it in the refusal.
uint32_t NumberOf(std::string_view text, size_t column, uint32_t min, uint32_t max,
                  const std::string& what) {
  const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; });
  if (!digits)
    throw LineError{column, what + " " + Quoted(text) + " is not a whole decimal number"};
  // Leading zeros are taken; eleven digits after them are beyond every range here, and beyond
  // what the conversion is asked to hold.
  const std::string_view significant =
      text.substr(std::min(text.find_first_not_of('0'), text.size()));
  const uint64_t value = significant.size() > 10 ? UINT64_MAX
                         : significant.empty()   ? 0
                                                 : std::stoull(std::string(significant));
  if (value < min || value > max) {
    throw LineError{column, what + " " + std::string(text) + " is out of range " +
                                std::to_string(min) + ".." + std::to_string(max)};
  }
  return static_cast<uint32_t>(value);
}

// The key=value words from words[first] on; only the keys allowed.
Fields FieldsOf(const std::vector<Word>& words, size_t first, std::string_view kind,
                const std::vector<std::string_view>& allowed) {
  Fields fields;
  for (size_t i = first; i < words.size(); ++i) {
    const Word& word = words[i];
    const size_t equals = word.text.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      throw LineError{word.column, "expected KEY=VALUE, not " + Quoted(word.text)};
    }
    const std::string_view key = word.text.substr(0, equals);
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
      std::string keys;
      for (const std::string_view k : allowed) keys += (keys.empty() ? "" : ", ") + std::string(k);
      throw LineError{word.column, "unknown key " + Quoted(key) + " on a " + std::string(kind) +
                                       " line; it takes " + keys};
    }
    if (fields.count(key) != 0) throw LineError{word.column, "duplicate key " + Quoted(key)};
    fields.emplace(std::string(key), Field{word.text.substr(equals + 1), word.column + equals + 1});
  }
  return fields;
}

std::optional<uint32_t> OptionalNumber(const Fields& fields, const std::string& key, uint32_t min,
                                       uint32_t max) {
  const auto found = fields.find(key);
  if (found == fields.end()) return std::nullopt;
  return NumberOf(found->second.value, found->second.column, min, max, key);
}

// A key the line must have; kind is its first word, where a missing key is reported.
const Field& RequiredField(const Fields& fields, const std::string& key, const Word& kind) {
  const auto found = fields.find(key);
  if (found == fields.end()) {
    throw LineError{kind.column,
                    std::string(kind.text) + " line without " + key + "=; it is required"};
  }
  return found->second;
}

uint32_t RequiredNumber(const Fields& fields, const std::string& key, uint32_t min, uint32_t max,
                        const Word& kind) {
  const Field& field = RequiredField(fields, key, kind);
  return NumberOf(field.value, field.column, min, max, key);
}

// The library keeps a period of 1000 / N ms for a whole N only; others are refused with the
// nearest exact ones named.
uint16_t ExactPeriod(const Fields& fields, const std::string& key, uint16_t fallback) {
  const auto period = OptionalNumber(fields, key, 1, 65535);
  if (!period) return fallback;
  if (*period <= 1000 && 1000 % *period == 0) return static_cast<uint16_t>(*period);
  uint32_t below = std::min<uint32_t>(*period, 1000), above = *period;
  while (1000 % below != 0) --below;
  while (above <= 1000 && 1000 % above != 0) ++above;
  std::string nearest = std::to_string(below);
  if (above <= 1000) nearest += " or " + std::to_string(above);
  throw LineError{fields.find(key)->second.column,
                  key + "=" + std::to_string(*period) +
                      " is not a period the library keeps (1000/N ms); nearest: " + nearest};
}

// DNM_Online's baud rate codes.
const std::vector<std::pair<std::string_view, uint8_t>> kBauds = {
    {"125", 2}, {"250", 1}, {"500", 0}};
const std::vector<std::pair<std::string_view, Route>> kRoutes = {{"group2", Route::kGroup2},
                                                                 {"ucmm", Route::kUcmm}};
const std::vector<std::pair<std::string_view, WatchdogAction>> kWatchdogs = {
    {"timeout", WatchdogAction::kTimeout},
    {"auto_delete", WatchdogAction::kAutoDelete},
    {"auto_reset", WatchdogAction::kAutoReset},
    {"deferred_delete", WatchdogAction::kDeferredDelete}};

template <typename Value>
Value NamedValue(const Fields& fields, const std::string& key, Value fallback,
                 const std::vector<std::pair<std::string_view, Value>>& names) {
  const auto found = fields.find(key);
  if (found == fields.end()) return fallback;
  std::string all;
  for (const auto& [name, value] : names) {
    if (name == found->second.value) return value;
    all += (all.empty() ? "" : ", ") + std::string(name);
  }
  throw LineError{found->second.column,
                  key + " " + Quoted(found->second.value) + " is not one of " + all};
}

template <typename Value>
std::string_view NameOf(Value value, const std::vector<std::pair<std::string_view, Value>>& names) {
  for (const auto& [name, v] : names) {
    if (v == value) return name;
  }
  return "?";
}

}  // namespace

std::optional<uint8_t> BaudCodeOf(unsigned kbit) {
  for (const auto& [name, code] : kBauds) {
    if (name == std::to_string(kbit)) return code;
  }
  return std::nullopt;
}

unsigned KbitOf(uint8_t baud_code) {
  for (const auto& [name, code] : kBauds) {
    if (code == baud_code) return static_cast<unsigned>(std::stoul(std::string(name)));
  }
  return 0;
}

namespace {

class Parser {
 public:
  explicit Parser(std::string file) : file_(std::move(file)) {}

  void Read(std::string_view line, size_t number) {
    line_ = number;
    // The rest of the line is still read, the mark as blanks, so that the lines below it are
    // judged as they stand and the columns stay those of the file.
    std::string unmarked;
    if (number == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") {
      Refuse({1, "a byte order mark starts the file; save it without one"});
      unmarked = "   " + std::string(line.substr(3));
      line = unmarked;
    }
    try {
      CheckCharacters(line);
      const std::vector<Word> words = WordsOf(line);
      if (!words.empty()) Dispatch(words);
    } catch (const LineError& e) {
      Refuse(e);
    }
  }

  ParsedScanList Finish() {
    if (parsed_.list.ports.empty() && parsed_.errors.empty())
      parsed_.errors.push_back({file_, 1, 1, "no port line: the list runs nothing"});
    return std::move(parsed_);
  }

 private:
  void Refuse(const LineError& error) {
    parsed_.errors.push_back({file_, line_, error.column, error.message});
  }

  void Dispatch(const std::vector<Word>& words) {
    const std::string_view kind = words[0].text;
    if (kind == "scanner") return Scanner(words);
    if (kind == "port") return Port(words);
    if (kind == "device") return Device(words);
    if (kind == "poll" || kind == "strobe" || kind == "cos" || kind == "cyclic")
      return Connection(words);
    throw LineError{words[0].column, "unknown line " + Quoted(kind) +
                                         ": expected scanner, port, device, poll, strobe, "
                                         "cos or cyclic"};
  }

  void Scanner(const std::vector<Word>& words) {
    if (scanner_line_ != 0) {
      throw LineError{words[0].column, "a second scanner line (the first is on line " +
                                           std::to_string(scanner_line_) + ")"};
    }
    if (port_ != nullptr)
      throw LineError{words[0].column, "the scanner line stands before the first port line"};
    scanner_line_ = line_;
    const Fields fields = FieldsOf(words, 1, "scanner", {"poll_period", "strobe_period"});
    ScanList& list = parsed_.list;
    list.poll_period_ms = ExactPeriod(fields, "poll_period", list.poll_period_ms);
    list.strobe_period_ms = ExactPeriod(fields, "strobe_period", list.strobe_period_ms);
  }

  void Port(const std::vector<Word>& words) {
    // Devices below a refused port line are still read, against a port that is not kept.
    scratch_port_ = PortEntry{};
    scratch_port_.mac = kNoMac;
    port_ = &scratch_port_;
    device_ = nullptr;
    if (words.size() < 2) throw LineError{words[0].column, "port line without BOARD/PORT"};
    PortEntry port = PortNumbers(words[1]);
    const Fields fields = FieldsOf(words, 2, "port", {"mac", "baud"});
    port.mac = static_cast<uint8_t>(RequiredNumber(fields, "mac", 0, 63, words[0]));
    RequiredField(fields, "baud", words[0]);
    port.baud_code = NamedValue(fields, "baud", uint8_t{0}, kBauds);
    port.line = line_;
    for (const PortEntry& other : parsed_.list.ports) {
      if (other.board == port.board && other.port == port.port) {
        throw LineError{words[1].column, "port " + std::string(words[1].text) +
                                             " is already on line " + std::to_string(other.line)};
      }
    }
    if (parsed_.list.ports.size() == kMaxPorts) {
      throw LineError{words[0].column, "more than " + std::to_string(kMaxPorts) + " ports"};
    }
    parsed_.list.ports.push_back(std::move(port));
    port_ = &parsed_.list.ports.back();
  }

  static PortEntry PortNumbers(const Word& word) {
    const size_t slash = word.text.find('/');
    if (slash == std::string_view::npos) {
      throw LineError{word.column, "expected BOARD/PORT such as 0/0, not " + Quoted(word.text)};
    }
    PortEntry port;
    port.board =
        static_cast<uint8_t>(NumberOf(word.text.substr(0, slash), word.column, 0, 7, "board"));
    port.port = static_cast<uint8_t>(
        NumberOf(word.text.substr(slash + 1), word.column + slash + 1, 0, 3, "port"));
    return port;
  }

  void Device(const std::vector<Word>& words) {
    scratch_device_ = DeviceEntry{};
    device_ = &scratch_device_;
    if (port_ == nullptr)
      throw LineError{words[0].column, "device line without a port line above it"};
    if (words.size() < 2) throw LineError{words[0].column, "device line without its MAC ID"};
    DeviceEntry device;
    device.mac = static_cast<uint8_t>(NumberOf(words[1].text, words[1].column, 0, 63, "MAC ID"));
    device.line = line_;
    const Fields fields =
        FieldsOf(words, 2, "device",
                 {"route", "watchdog", "vendor", "device_type", "product_code", "serial"});
    device.route = NamedValue(fields, "route", device.route, kRoutes);
    device.watchdog = NamedValue(fields, "watchdog", device.watchdog, kWatchdogs);
    ExpectedIdentity& identity = device.identity;
    identity.vendor = OptionalNumber(fields, "vendor", 0, 0xFFFF);
    identity.device_type = OptionalNumber(fields, "device_type", 0, 0xFFFF);
    identity.product_code = OptionalNumber(fields, "product_code", 0, 0xFFFF);
    identity.serial = OptionalNumber(fields, "serial", 0, 0xFFFFFFFF);
    CheckMacFree(device.mac, words[1].column);
    port_->devices.push_back(std::move(device));
    device_ = &port_->devices.back();
  }

  void CheckMacFree(uint8_t mac, size_t column) const {
    if (mac == port_->mac) {
      throw LineError{column, "MAC ID " + std::to_string(mac) + " is the port's own"};
    }
    for (const DeviceEntry& other : port_->devices) {
      if (other.mac == mac) {
        throw LineError{column, "MAC ID " + std::to_string(mac) + " is already on line " +
                                    std::to_string(other.line)};
      }
    }
  }

  void Connection(const std::vector<Word>& words) {
    const Word& kind = words[0];
    if (device_ == nullptr) {
      throw LineError{kind.column, std::string(kind.text) + " line without a device line above it"};
    }
    if (kind.text == "poll") {
      const Fields fields = FieldsOf(words, 1, kind.text, {"in", "out"});
      Once(device_->poll, kind, "poll");
      device_->poll =
          PollConnection{static_cast<uint16_t>(RequiredNumber(fields, "in", 0, 64, kind)),
                         static_cast<uint16_t>(RequiredNumber(fields, "out", 0, 64, kind))};
      return;
    }
    if (kind.text == "strobe") {
      const Fields fields = FieldsOf(words, 1, kind.text, {"in"});
      Once(device_->strobe, kind, "strobe");
      device_->strobe =
          StrobeConnection{static_cast<uint16_t>(RequiredNumber(fields, "in", 0, 8, kind))};
      return;
    }
    CosCyclic(words);
  }

  void CosCyclic(const std::vector<Word>& words) {
    const Word& kind = words[0];
    const bool cyclic = kind.text == "cyclic";
    const std::string rate_key = cyclic ? "rate" : "heartbeat";
    const Fields fields = FieldsOf(words, 1, kind.text, {"in", "out", rate_key});
    Once(device_->cos_cyclic, kind, "cos or cyclic");
    CosCyclicConnection connection;
    connection.cyclic = cyclic;
    connection.input = static_cast<uint16_t>(RequiredNumber(fields, "in", 0, 64, kind));
    connection.output = static_cast<uint16_t>(RequiredNumber(fields, "out", 0, 64, kind));
    connection.rate_ms =
        static_cast<uint16_t>(OptionalNumber(fields, rate_key, 1, 65535).value_or(kCosHeartbeatMs));
    device_->cos_cyclic = connection;
  }

  template <typename Connection>
  void Once(const std::optional<Connection>& existing, const Word& kind, const char* what) {
    if (existing) {
      throw LineError{kind.column, std::string("a second ") + what +
                                       " connection for the device on line " +
                                       std::to_string(device_->line)};
    }
  }

  std::string file_;
  ParsedScanList parsed_;
  size_t line_ = 0;
  size_t scanner_line_ = 0;
  PortEntry* port_ = nullptr;      // the port the next device line belongs to
  DeviceEntry* device_ = nullptr;  // the device the next connection line belongs to
  PortEntry scratch_port_;
  DeviceEntry scratch_device_;
};

std::string PortLine(const PortEntry& port) {
  return "port " + std::to_string(port.board) + "/" + std::to_string(port.port) +
         " mac=" + std::to_string(port.mac) +
         " baud=" + std::string(NameOf(port.baud_code, kBauds)) + "\n";
}

std::string DeviceLine(const DeviceEntry& device) {
  std::string line = "  device " + std::to_string(device.mac) +
                     " route=" + std::string(NameOf(device.route, kRoutes)) +
                     " watchdog=" + std::string(NameOf(device.watchdog, kWatchdogs));
  const auto add = [&line](const char* key, const auto& value) {
    if (value) line += std::string(" ") + key + "=" + std::to_string(*value);
  };
  add("vendor", device.identity.vendor);
  add("device_type", device.identity.device_type);
  add("product_code", device.identity.product_code);
  add("serial", device.identity.serial);
  return line + "\n";
}

// At most max_size bytes of the regular file open at fd; why not, or "".
std::string ReadOpened(int fd, std::string& text, size_t max_size) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::string("cannot be read: ") + std::strerror(errno);
  if (S_ISDIR(status.st_mode)) return "is a directory";
  if (!S_ISREG(status.st_mode)) return "is not a regular file";
  char buffer[65536];
  while (text.size() < max_size) {
    const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, max_size - text.size()));
    if (got == 0) return "";
    if (got < 0 && errno != EINTR) return std::string("cannot be read: ") + std::strerror(errno);
    if (got > 0) text.append(buffer, static_cast<size_t>(got));
  }
  return "";
}

}  // namespace

// Without O_NONBLOCK a FIFO with no writer would hold the open for ever. A symbolic link is
// followed: a file kept elsewhere may well be named by one.
std::string ReadRegularFile(const std::string& path, std::string& text, size_t max_size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string("cannot be read: ") + std::strerror(errno);
  const std::string why = ReadOpened(fd, text, max_size);
  ::close(fd);
  return why;
}

bool DeviceEntry::SameAs(const DeviceEntry& other) const {
  return mac == other.mac && route == other.route && watchdog == other.watchdog &&
         identity == other.identity && poll == other.poll && strobe == other.strobe &&
         cos_cyclic == other.cos_cyclic;
}

std::string ScanListError::Text() const {
  if (line == 0) return Printable(file) + ": " + message;
  return Printable(file) + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
         message;
}

ParsedScanList ParseScanList(const std::string& text, const std::string& file) {
  Parser parser(file);
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    parser.Read(std::string_view(text).substr(start, end - start), ++number);
    start = end + 1;
  }
  return parser.Finish();
}

ParsedScanList ReadScanList(const std::string& path) {
  std::string text;
  std::string why = ReadRegularFile(path, text, kMaxFileSize + 1);
  if (why.empty() && text.size() > kMaxFileSize)
    why = "larger than " + std::to_string(kMaxFileSize) + " bytes: not a scan list";
  if (!why.empty()) return ParsedScanList{{}, {{path, 0, 0, why}}};
  return ParseScanList(text, path);
}

std::string FormatConnectionLines(const DeviceEntry& device) {
  std::string text;
  if (device.poll) {
    text += "    poll in=" + std::to_string(device.poll->input) +
            " out=" + std::to_string(device.poll->output) + "\n";
  }
  if (device.strobe) text += "    strobe in=" + std::to_string(device.strobe->input) + "\n";
  if (const auto& c = device.cos_cyclic) {
    text += std::string("    ") + (c->cyclic ? "cyclic" : "cos") +
            " in=" + std::to_string(c->input) + " out=" + std::to_string(c->output) +
            (c->cyclic ? " rate=" : " heartbeat=") + std::to_string(c->rate_ms) + "\n";
  }
  return text;
}

std::string FormatScanList(const ScanList& list, const DeviceNotes& notes) {
  std::string text = "scanner poll_period=" + std::to_string(list.poll_period_ms) +
                     " strobe_period=" + std::to_string(list.strobe_period_ms) + "\n";
  for (const PortEntry& port : list.ports) {
    text += PortLine(port);
    for (const DeviceEntry& device : port.devices) {
      text += DeviceLine(device) + FormatConnectionLines(device);
      if (notes) text += notes(port, device);
    }
  }
  return text;
}

}  // namespace dnm::tool
