// A scan list: the ports a standing scanner (dnm run) brings online and the devices it runs on
// each, as a text file of lines. dnm scan --save writes one from what answers.
//
//   # comment
//   scanner poll_period=100 strobe_period=500
//   port 0/0 mac=0 baud=500
//     device 3 route=group2 watchdog=deferred_delete vendor=901 device_type=7 product_code=11
//       poll in=4 out=4
//       strobe in=2
//       cos in=2 out=2 heartbeat=2500        (or: cyclic in=2 out=2 rate=100)
//
// A device belongs to the port line above it, a connection to the device line above it;
// indentation is for the reader. The manual page (docs/dnm.1.md, "SCAN LIST") describes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dnm::tool {

enum class Route : uint8_t { kGroup2 = 0, kUcmm = 1 };  // DNM_AddDevice's ucmm argument

// DNM_ConfigExplicitMsg's watchdog action.
enum class WatchdogAction : uint8_t {
  kTimeout = 0,
  kAutoDelete = 1,
  kAutoReset = 2,
  kDeferredDelete = 3
};

struct PollConnection {
  uint16_t input = 0;   // bytes the device produces, 0..64
  uint16_t output = 0;  // bytes it consumes, 0..64
  bool operator==(const PollConnection&) const = default;
};

struct StrobeConnection {
  uint16_t input = 0;  // 0..8
  bool operator==(const StrobeConnection&) const = default;
};

struct CosCyclicConnection {
  bool cyclic = false;      // false: change of state
  uint16_t input = 0;       // 0..64
  uint16_t output = 0;      // 0..64
  uint16_t rate_ms = 2500;  // the heartbeat (COS) or the period (cyclic), 1..65535
  bool operator==(const CosCyclicConnection&) const = default;
};

// The electronic key: what the device's Identity object must answer. A value left out is not
// checked.
struct ExpectedIdentity {
  std::optional<uint16_t> vendor, device_type, product_code;
  std::optional<uint32_t> serial;
  bool Empty() const { return !vendor && !device_type && !product_code && !serial; }
  bool operator==(const ExpectedIdentity&) const = default;
};

struct DeviceEntry {
  uint8_t mac = 0;
  Route route = Route::kGroup2;
  WatchdogAction watchdog = WatchdogAction::kDeferredDelete;
  ExpectedIdentity identity;
  std::optional<PollConnection> poll;
  std::optional<StrobeConnection> strobe;
  std::optional<CosCyclicConnection> cos_cyclic;
  size_t line = 0;  // where the device line stands; not part of what the device is
  bool SameAs(const DeviceEntry& other) const;  // equal in everything but line
};

struct PortEntry {
  uint8_t board = 0;
  uint8_t port = 0;                  // 0..3
  uint8_t mac = 0;                   // the master's own MAC ID
  uint8_t baud_code = 0;             // as DNM_Online takes it: 0 500k, 1 250k, 2 125k
  std::vector<DeviceEntry> devices;  // in the order of the file; MAC IDs differ
  size_t line = 0;
};

// DNM_Online's baud rate codes and the kbit/s they stand for (125, 250, 500).
std::optional<uint8_t> BaudCodeOf(unsigned kbit);
unsigned KbitOf(uint8_t baud_code);

constexpr size_t kMaxPorts = 8;  // ports in one scan list

struct ScanList {
  // The library's periods hold for every port and device alike: the pause between two polls of a
  // device and between two bit-strobe commands. Only periods of 1000 / N ms are exact.
  uint16_t poll_period_ms = 100;
  uint16_t strobe_period_ms = 500;
  std::vector<PortEntry> ports;  // in the order of the file; each board/port once
};

// A refused line: "FILE:LINE:COLUMN: message" (LINE and COLUMN count from 1); a file refused
// whole, at line 0: "FILE: message".
struct ScanListError {
  std::string file;
  size_t line = 0;
  size_t column = 0;
  std::string message;
  std::string Text() const;
};

struct ParsedScanList {
  ScanList list;
  std::vector<ScanListError> errors;  // every refused line; the list is not to be run unless empty
};

// file names the text in the errors.
ParsedScanList ParseScanList(const std::string& text, const std::string& file);
// Reads and parses the file; one error at line 0 when it cannot be taken whole.
ParsedScanList ReadScanList(const std::string& path);
// Appends at most max_size bytes of the regular file at path to text (0: only checks that it is
// one and can be read); why not ("is not a regular file", ...), or "". A FIFO or a device is
// refused at once, never waited on.
std::string ReadRegularFile(const std::string& path, std::string& text, size_t max_size);

// Lines written after a device's own (comments, for dnm scan --save), or "".
using DeviceNotes = std::function<std::string(const PortEntry&, const DeviceEntry&)>;

// The text of a scan list, such that ParseScanList gives the same list back.
std::string FormatScanList(const ScanList& list, const DeviceNotes& notes = {});
// The connection lines of a device, indented as FormatScanList writes them.
std::string FormatConnectionLines(const DeviceEntry& device);

}  // namespace dnm::tool
