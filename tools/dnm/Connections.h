// The kinds of connection a device may have, as dnm configures, reads,
// writes and reports them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Session.h"

namespace dnm::tool {

using DataRead = uint16_t(DNM_CALL*)(uint8_t, uint8_t, uint8_t, uint8_t*, uint32_t*);
using DataWrite = uint16_t(DNM_CALL*)(uint8_t, uint8_t, uint8_t, const uint8_t*, uint32_t);
using CounterRead = uint32_t(DNM_CALL*)(uint8_t, uint8_t, uint8_t);

struct Counter {
  const char* label;
  CounterRead read;
};

enum class Kind { kExplicit, kPoll, kStrobe, kCos, kCyclic };

struct ConnectionKind {
  Kind kind;
  const char* name;  // "poll", as the command line names it
  int sizes;         // 2 (input, output), 1 (input) or 0
  uint16_t max_input;
  const char* check_name;
  StatusCheck check;
  DataRead read;    // nullptr for the explicit connection
  DataWrite write;  // nullptr where the master sends no output
  const char* write_name;
  std::vector<Counter> counters;
};

const ConnectionKind& KindOf(Kind kind);
// The I/O kind of that name, nullptr for none.
const ConnectionKind* IoKindNamed(const std::string& name);

// One connection to configure: its kind and sizes.
struct ConnectionSpec {
  Kind kind;
  uint16_t input = 0;
  uint16_t output = 0;
};

// The connection of that kind with its sizes, given as words.
ConnectionSpec MakeSpec(const ConnectionKind& kind, const std::vector<std::string>& sizes);

// Configures an I/O connection of a device already added.
void Configure(const Session& session, uint8_t mac, const ConnectionSpec& spec);

// The connection's status and counters as they are now, and why it last
// failed to stand (cause 0: nothing failed since it last stood).
struct ConnectionState {
  uint16_t status;
  std::vector<uint32_t> counters;
  DNM_SetupFailure failure;
};
DNM_SetupFailure SetupFailureOf(const Session& session, uint8_t mac, const ConnectionKind& kind);
// Attributes of the Identity object (class 1, instance 1).
enum IdentityAttribute : uint8_t {
  kVendorId = 1,
  kDeviceType = 2,
  kProductCode = 3,
  kRevision = 4,
  kSerialNumber = 6,
  kProductName = 7
};
// An attribute of the device's Identity object (up to 255 bytes), or why not in why (if given).
std::optional<std::vector<uint8_t>> ReadIdentityAttribute(uint8_t board, uint8_t port, uint8_t mac,
                                                          uint8_t attribute,
                                                          std::string* why = nullptr);
// A little-endian number of that width; a value of another length is no number either.
std::optional<uint32_t> ReadIdentityNumber(uint8_t board, uint8_t port, uint8_t mac,
                                           uint8_t attribute, size_t width,
                                           std::string* why = nullptr);

// The Identity object's attributes; a value is empty when it could not be read.
struct Identity {
  std::optional<uint32_t> vendor, device_type, product_code, serial;
  std::string revision, product_name;
};
// Reads them one by one while go_on (if given) says to.
Identity ReadIdentity(uint8_t board, uint8_t port, uint8_t mac,
                      const std::function<bool()>& go_on = nullptr);

DNM_SetupFailure SetupFailureAt(uint8_t board, uint8_t port, uint8_t mac,
                                const ConnectionKind& kind);
ConnectionState StateOf(const Session& session, uint8_t mac, const ConnectionKind& kind);
// "explicit: established; no response 0, error response 0"
std::string StateText(const ConnectionKind& kind, const ConnectionState& state);
// {"connection":"poll","status":0,"status_text":"established","counters":{...}}
std::string StateJson(const ConnectionKind& kind, const ConnectionState& state);

// A device of a scan list: "MAC[:CONNECTION[,CONNECTION]...]" with
// CONNECTION "poll=IN/OUT", "strobe=IN", "cos=IN/OUT" or "cyclic=IN/OUT".
struct DeviceSpec {
  uint8_t mac;
  std::vector<ConnectionSpec> connections;
};
DeviceSpec ParseDeviceSpec(const std::string& text);

}  // namespace dnm::tool
