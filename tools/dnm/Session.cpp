#include "Session.h"

#include <cstdio>
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

Session::Session(const CommonOptions& options) : options_(options) {
  DNM_CHECKED(*this, -1, DNM_ActiveBoard, board());
  const uint16_t online =
      api().DNM_Online(board(), port(), options_.baud_code, options_.mac);
  if (online == DNM_NoError) return;
  api().DNM_CloseBoard(board());  // the destructor does not run for a session never made
  CallFailure failure{"DNM_Online", online, "MAC ID " + std::to_string(options_.mac),
                      false, 0, 0, {}, {}};
  if (online == DNM_OnlineError) {
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

bool Session::WaitUntil(const std::function<bool()>& done) const {
  const auto end = std::chrono::steady_clock::now() + Timeout();
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(kLookEvery);
  }
  return true;
}

std::vector<uint8_t> Session::WaitUntilReady(StatusCheck check,
                                             const std::vector<uint8_t>& macs) const {
  std::vector<uint8_t> ready;
  WaitUntil([&] {
    ready.clear();
    for (uint8_t mac : macs) {
      if (check(board(), port(), mac) == DNM_NoError) ready.push_back(mac);
    }
    return ready.size() == macs.size();
  });
  return ready;
}

void Session::Connect(uint8_t mac) const {
  AddDevice(mac);
  Start(mac);
  const auto check = api().DNM_CheckExplicitMsgConnectionStatus;
  if (!WaitUntilReady(check, {mac}).empty()) return;
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
