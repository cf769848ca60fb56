// One use of a port as the master: the board is activated and the port
// brought online when the session starts, and the board is closed (every
// device taken apart) when it ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Api.h"
#include "CommandLine.h"

namespace dnm::tool {

// A library call that failed, with what the device said when it answered
// with an error response.
struct CallFailure {
  std::string export_name;
  uint16_t code = 0;
  std::string context;  // what the tool was doing, may be empty
  bool error_response = false;
  uint8_t general_status = 0;
  uint8_t additional_status = 0;
  std::string cause;  // what went wrong, where the code does not say it
  std::string hint;   // what to check
};

class CallError : public std::runtime_error {
 public:
  explicit CallError(CallFailure failure)
      : std::runtime_error(failure.export_name), failure_(std::move(failure)) {}
  const CallFailure& failure() const { return failure_; }

 private:
  CallFailure failure_;
};

using StatusCheck = uint16_t(DNM_CALL*)(uint8_t board, uint8_t port, uint8_t mac);

// On a terminal, says on stderr what a wait of a second or more is for ("dnm: waiting for ...");
// the line goes when the wait ends. Nothing when stderr is not a terminal.
class WaitNote {
 public:
  explicit WaitNote(const std::string& what);
  ~WaitNote();
  WaitNote(const WaitNote&) = delete;
  WaitNote& operator=(const WaitNote&) = delete;

 private:
  bool shown_;
};

class Session {
 public:
  explicit Session(const CommonOptions& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  uint8_t board() const { return options_.board; }
  uint8_t port() const { return options_.port; }
  const CommonOptions& options() const { return options_; }

  // Throws CallError for a code other than 0. For an error response of the
  // device mac (1701, 1601) the failure carries the device's statuses.
  void Check(const char* export_name, uint16_t code, int mac = -1) const;

  // Adds the device to the scan list with an explicit connection; its
  // other connections may be configured before Start.
  void AddDevice(uint8_t mac) const;
  void Start(uint8_t mac) const;
  // Polls check for every device until all give 0 or the timeout passes
  // (what: the connection waited for, for the terminal). Returns the devices whose check gave 0.
  std::vector<uint8_t> WaitUntilReady(StatusCheck check, const std::vector<uint8_t>& macs,
                                      const std::string& what) const;
  // Adds, starts and waits for the device's explicit connection; throws
  // CallError when it does not stand within the timeout.
  void Connect(uint8_t mac) const;
  // Runs until the timeout passes or done gives true, looking every 50 ms; after a second
  // says on a terminal what it waits for.
  bool WaitUntil(const std::function<bool()>& done, const std::string& what) const;
  // The MAC IDs that answer a duplicate MAC ID check (DNM_GetAllDeviceMACID, some seconds);
  // the call's code.
  uint16_t AnsweringMacs(std::vector<uint8_t>& macs) const;

 private:
  std::chrono::milliseconds Timeout() const;

  CommonOptions options_;
};

// Runs an export of the bound library and throws CallError on failure:
//   DNM_CHECKED(session, mac, DNM_ConfigPoll, board, port, mac, in, out, 0, 0);
#define DNM_CHECKED(session, mac, name, ...) \
  (session).Check(#name, ::dnm::tool::api().name(__VA_ARGS__), mac)

}  // namespace dnm::tool
