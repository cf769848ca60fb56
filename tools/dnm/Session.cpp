#include "Session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <thread>

#include "Diagnosis.h"

namespace dnm::tool {
namespace {

constexpr auto kLookEvery = std::chrono::milliseconds(50);
// What the device does when its explicit connection idles too long.
constexpr uint32_t kDeferredDelete = 3;

bool IsErrorResponse(uint16_t code) {
  return code == DNM_GetAttributeResponseError || code == DNM_SetAttributeResponseError;
}

}  // namespace

WaitNote::WaitNote(const std::string& what) : shown_(isatty(STDERR_FILENO) != 0) {
  if (shown_) std::fprintf(stderr, "dnm: %s...", what.c_str());
}

WaitNote::~WaitNote() {
  if (shown_) std::fprintf(stderr, "\r\033[K");
}

Session::Session(const CommonOptions& options) : options_(options) {
  DNM_CHECKED(*this, -1, DNM_ActiveBoard, board());
  const uint16_t online = [&] {
    const WaitNote note("bringing port " + std::to_string(port()) +
                        " online (duplicate MAC ID check)");
    return api().DNM_Online(board(), port(), options_.baud_code, options_.mac);
  }();
  if (online == DNM_NoError) return;
  api().DNM_CloseBoard(board());  // the destructor does not run for a session never made
  CallFailure failure{"DNM_Online", online, "MAC ID " + std::to_string(options_.mac), false, 0, 0,
                      {},           {}};
  if (online == DNM_OnlineError) {
    failure.context.clear();  // the cause names the MAC ID
    failure.cause = "MAC ID " + std::to_string(options_.mac) + " is taken";
    failure.hint = TakenMacIdHint(options_.mac);
  }
  throw CallError(failure);
}

Session::~Session() {
  api().DNM_CloseBoard(board());
}

void Session::Check(const char* export_name, uint16_t code, int mac) const {
  if (code == DNM_NoError) return;
  CallFailure failure{export_name, code, {}, false, 0, 0, {}, {}};
  if (mac >= 0) failure.context = "MAC ID " + std::to_string(mac);
  if (mac >= 0 && IsErrorResponse(code)) {
    failure.error_response =
        api().DNM_GetLastErrorResponse(board(), port(), static_cast<uint8_t>(mac),
                                       &failure.general_status,
                                       &failure.additional_status) == DNM_NoError;
  }
  throw CallError(failure);
}

void Session::AddDevice(uint8_t mac) const {
  DNM_CHECKED(*this, mac, DNM_AddDevice, board(), port(), mac, 0);
  DNM_CHECKED(*this, mac, DNM_ConfigExplicitMsg, board(), port(), mac, kDeferredDelete);
}

void Session::Start(uint8_t mac) const {
  DNM_CHECKED(*this, mac, DNM_StartDevice, board(), port(), mac);
}

std::chrono::milliseconds Session::Timeout() const {
  return std::chrono::milliseconds(static_cast<int64_t>(options_.timeout_s * 1000));
}

bool Session::WaitUntil(const std::function<bool()>& done, const std::string& what) const {
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + Timeout();
  std::optional<WaitNote> note;
  char waited[64];
  std::snprintf(waited, sizeof waited, "waiting up to %g s for ", options_.timeout_s);
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return false;
    if (!note && now - start >= std::chrono::seconds(1)) note.emplace(waited + what);
    std::this_thread::sleep_for(kLookEvery);
  }
  return true;
}

std::vector<uint8_t> Session::WaitUntilReady(StatusCheck check, const std::vector<uint8_t>& macs,
                                             const std::string& what) const {
  std::vector<uint8_t> ready;
  WaitUntil(
      [&] {
        ready.clear();
        for (uint8_t mac : macs) {
          if (check(board(), port(), mac) == DNM_NoError) ready.push_back(mac);
        }
        return ready.size() == macs.size();
      },
      what);
  return ready;
}

uint16_t Session::AnsweringMacs(std::vector<uint8_t>& macs) const {
  const WaitNote note("asking which MAC IDs answer (duplicate MAC ID check)");
  uint8_t list[64];
  uint8_t count = 0;
  const uint16_t code = api().DNM_GetAllDeviceMACID(board(), port(), list, &count);
  macs.assign(list, list + (code == DNM_NoError ? std::min<uint8_t>(count, 64) : 0));
  return code;
}

void Session::Connect(uint8_t mac) const {
  AddDevice(mac);
  Start(mac);
  const auto check = api().DNM_CheckExplicitMsgConnectionStatus;
  if (!WaitUntilReady(check, {mac}, "the explicit connection of MAC ID " + std::to_string(mac))
           .empty())
    return;
  const uint16_t code = check(board(), port(), mac);
  if (code == DNM_NoError) return;
  char context[96];
  std::snprintf(context, sizeof context, "MAC ID %u: no explicit connection within %g s",
                unsigned{mac}, options_.timeout_s);
  const Diagnosis diagnosis = DiagnoseDevice(*this, mac);
  throw CallError({"DNM_CheckExplicitMsgConnectionStatus", code, context, false, 0, 0,
                   diagnosis.cause, diagnosis.hint});
}

}  // namespace dnm::tool
