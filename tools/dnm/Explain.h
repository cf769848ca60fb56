// Words for what the library and the devices report: failed calls, the
// general status of a device's error response, a connection's status.
#pragma once

#include <cstdint>
#include <string>

#include "Session.h"

namespace dnm::tool {

// The meaning of a DeviceNet general status code, "" for one not listed.
const char* GeneralStatusMeaning(uint8_t general_status);

// The lines that tell a failed call: the cause where one is known, else the export, code and
// its name; for an error response the device's statuses with the general status's meaning; the
// hint; then, after a cause, the export and code.
std::string DescribeFailure(const CallFailure& failure);

// The "error" member of --json output: {"export","code","name","text","usage"?,"exit_status"},
// export, code and name null where no library call is at fault (failure nullptr or without an
// export).
std::string ErrorJson(const CallFailure* failure, const std::string& text, int exit_status,
                      const std::string& usage = "");

// A connection check's code in words ("established", "not configured"...).
std::string ConnectionStatusWords(uint16_t code);

// Why a connection last failed to stand, in words ("" for no failure):
// "the device produces 4 bytes, 2 configured as input", with_age adding
// " (1.2 s ago)".
std::string SetupFailureWords(const DNM_SetupFailure& failure, bool with_age = false);

}  // namespace dnm::tool
