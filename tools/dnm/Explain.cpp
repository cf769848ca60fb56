#include "Explain.h"

#include <array>
#include <cstdio>

#include "Json.h"

namespace dnm::tool {
namespace {

struct Meaning {
  uint16_t code;
  const char* text;
};

// General status codes of DeviceNet error responses.
constexpr std::array kGeneralStatus = {
    Meaning{0x00, "success"},
    Meaning{0x01, "connection failure"},
    Meaning{0x02, "resource unavailable"},
    Meaning{0x03, "invalid parameter value"},
    Meaning{0x04, "path segment error"},
    Meaning{0x05, "path destination unknown"},
    Meaning{0x06, "partial transfer"},
    Meaning{0x07, "connection lost"},
    Meaning{0x08, "service not supported"},
    Meaning{0x09, "invalid attribute value"},
    Meaning{0x0A, "attribute list error"},
    Meaning{0x0B, "already in requested mode/state"},
    Meaning{0x0C, "object state conflict"},
    Meaning{0x0D, "object already exists"},
    Meaning{0x0E, "attribute not settable"},
    Meaning{0x0F, "privilege violation"},
    Meaning{0x10, "device state conflict"},
    Meaning{0x11, "reply data too large"},
    Meaning{0x12, "fragmentation of a primitive value"},
    Meaning{0x13, "not enough data"},
    Meaning{0x14, "attribute not supported"},
    Meaning{0x15, "too much data"},
    Meaning{0x16, "object does not exist"},
    Meaning{0x17, "service fragmentation sequence not in progress"},
    Meaning{0x18, "no stored attribute data"},
    Meaning{0x19, "store operation failure"},
    Meaning{0x1A, "routing failure, request packet too large"},
    Meaning{0x1B, "routing failure, response packet too large"},
    Meaning{0x1C, "missing attribute list entry data"},
    Meaning{0x1D, "invalid attribute value list"},
    Meaning{0x1E, "embedded service error"},
    Meaning{0x1F, "vendor specific error"},
    Meaning{0x20, "invalid parameter"},
    Meaning{0x21, "write-once value or medium already written"},
    Meaning{0x22, "invalid reply received"},
    Meaning{0x25, "key failure in path"},
    Meaning{0x26, "path size invalid"},
    Meaning{0x27, "unexpected attribute in list"},
    Meaning{0x28, "invalid member ID"},
    Meaning{0x29, "member not settable"},
};

// Codes of the connection checks that say more than their name.
constexpr std::array kConnectionStatus = {
    Meaning{DNM_NoError, "established"},
    Meaning{255, "being set up"},
    Meaning{3, "allocation refused by the device"},
    Meaning{DNM_DeviceIsUnConnected, "being set up"},
    Meaning{DNM_ExplicitConnectionDown, "explicit connection not established"},
    Meaning{DNM_ExplicitMsgNotConfigure, "not configured"},
    Meaning{DNM_PollNotConfigure, "not configured"},
    Meaning{DNM_BitStrobeNotConfigure, "not configured"},
    Meaning{DNM_COS_CyclicNotConfigure, "not configured"},
    Meaning{DNM_PollNoResponse, "device does not answer"},
    Meaning{DNM_PollStatus1, "device's produced size differs from the input size"},
    Meaning{DNM_PollStatus2, "device's consumed size differs from the output size"},
    Meaning{DNM_BitStrobeStatus1, "device's produced size differs from the input size"},
    Meaning{DNM_PollConnectionDisabled, "disabled"},
};

constexpr std::array kSetupRequest = {
    Meaning{DNM_SetupRequestAllocate, "allocation of the connection set"},
    Meaning{DNM_SetupRequestOpenUCMM, "opening of the explicit connection through UCMM"},
    Meaning{DNM_SetupRequestProducedSize, "read of Produced_Connection_Size"},
    Meaning{DNM_SetupRequestConsumedSize, "read of Consumed_Connection_Size"},
    Meaning{DNM_SetupRequestExpectedPacketRate, "setting of Expected_Packet_Rate"},
};

const char* Find(const Meaning* begin, const Meaning* end, uint16_t code) {
  for (const Meaning* m = begin; m != end; ++m) {
    if (m->code == code) return m->text;
  }
  return nullptr;
}

}  // namespace

const char* GeneralStatusMeaning(uint8_t general_status) {
  const char* text = Find(kGeneralStatus.begin(), kGeneralStatus.end(), general_status);
  return text != nullptr ? text : "";
}

// What went wrong leads; the code of the call that found it follows (a connection check gives
// a secondary code, such as 1804 while the explicit connection is being set up again).
std::string DescribeFailure(const CallFailure& failure) {
  char line[256];
  std::snprintf(line, sizeof line, "%s failed: %u %s", failure.export_name.c_str(),
                unsigned{failure.code}, api().DNM_GetErrorText(failure.code));
  const std::string call = failure.code == DNM_NoError ? "" : line;
  std::string text = failure.context;
  const auto add = [&](const std::string& part, const char* separator) {
    if (!part.empty()) text += (text.empty() ? "" : separator) + part;
  };
  add(failure.cause.empty() ? call : failure.cause, ": ");
  if (failure.error_response) {
    const char* meaning = GeneralStatusMeaning(failure.general_status);
    std::snprintf(line, sizeof line,
                  "the device answered with an error response: general status 0x%02X (%s), "
                  "additional status 0x%02X",
                  unsigned{failure.general_status}, *meaning != '\0' ? meaning : "unknown",
                  unsigned{failure.additional_status});
    add(line, "\n");
  }
  if (!failure.hint.empty()) add("hint: " + failure.hint, "\n");
  if (!failure.cause.empty()) add(call, "\n");
  return text;
}

std::string ErrorJson(const CallFailure* failure, const std::string& text, int exit_status,
                      const std::string& usage) {
  const bool call = failure != nullptr && !failure->export_name.empty();
  return std::string("{\"export\":") + (call ? JsonString(failure->export_name) : "null") +
         ",\"code\":" + (call ? std::to_string(failure->code) : "null") +
         ",\"name\":" + (call ? JsonString(api().DNM_GetErrorText(failure->code)) : "null") +
         ",\"text\":" + JsonString(text) +
         (usage.empty() ? "" : ",\"usage\":" + JsonString(usage)) +
         ",\"exit_status\":" + std::to_string(exit_status) + "}";
}

std::string SetupFailureWords(const DNM_SetupFailure& failure, bool with_age) {
  const char* request = Find(kSetupRequest.begin(), kSetupRequest.end(), failure.request);
  if (request == nullptr) request = "request";
  const char* meaning = GeneralStatusMeaning(failure.general_status);
  char text[256];
  switch (failure.cause) {
    case DNM_SetupProducedSizeMismatch:
    case DNM_SetupConsumedSizeMismatch: {
      const bool produced = failure.cause == DNM_SetupProducedSizeMismatch;
      std::snprintf(text, sizeof text, "the device %s %u bytes, %u configured as %s",
                    produced ? "produces" : "consumes", unsigned{failure.device_size},
                    unsigned{failure.configured_size}, produced ? "input" : "output");
      break;
    }
    case DNM_SetupRefused:
      std::snprintf(text, sizeof text,
                    "the device refused the %s: general status 0x%02X (%s), additional 0x%02X",
                    request, unsigned{failure.general_status},
                    *meaning != '\0' ? meaning : "unknown", unsigned{failure.additional_status});
      break;
    case DNM_SetupNoAnswer:
      std::snprintf(text, sizeof text, "no answer to the %s", request);
      break;
    case DNM_SetupLost:
      std::snprintf(text, sizeof text, "lost after %u missed answers",
                    unsigned{failure.missed_answers});
      break;
    case DNM_SetupStopped:
      std::snprintf(text, sizeof text, "stopped");
      break;
    default:
      return "";
  }
  if (!with_age) return text;
  char age[48];
  std::snprintf(age, sizeof age, " (%.1f s ago)", failure.age_ms / 1000.0);
  return std::string(text) + age;
}

std::string ConnectionStatusWords(uint16_t code) {
  if (const char* text = Find(kConnectionStatus.begin(), kConnectionStatus.end(), code)) {
    return text;
  }
  return std::string("not established (") + std::to_string(code) + " " +
         api().DNM_GetErrorText(code) + ")";
}

}  // namespace dnm::tool
