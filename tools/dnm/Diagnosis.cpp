#include "Diagnosis.h"

#include <algorithm>

#include "Connections.h"
#include "Explain.h"

namespace dnm::tool {
namespace {

// What a refusal's general status asks the user to check.
std::string RefusalHint(uint8_t general_status) {
  switch (general_status) {
    case 0x0C:
      return "another master holds the device's connections; stop it or remove the device "
             "from its scan list";
    case 0x02:
      return "the device has no connection free; release what another client holds";
    case 0x20:
    case 0x08:
      return "the device does not offer a connection asked for; 'dnm scan --io' shows what "
             "it offers";
    default:
      return "see the device's manual for the general status";
  }
}

std::string MacList(const std::vector<uint8_t>& macs) {
  std::string list;
  for (const uint8_t mac : macs) list += (list.empty() ? "" : ", ") + std::to_string(mac);
  return list;
}

Diagnosis DiagnoseSilence(const Session& session, uint8_t mac) {
  std::vector<uint8_t> macs;
  session.AnsweringMacs(macs);
  const std::string at = "MAC ID " + std::to_string(mac);
  if (macs.empty()) return {"nothing answers on the port", NothingAnswersHint()};
  if (std::find(macs.begin(), macs.end(), mac) != macs.end()) {
    return {at + " answers the duplicate MAC ID check but not the allocation of its connections",
            "the device may be busy or faulty; --trace shows the exchange"};
  }
  return {"no device answers at " + at + " (absent device); devices answer at " + MacList(macs),
          "check the device's MAC ID and its cable; 'dnm scan' lists the devices"};
}

}  // namespace

std::string NothingAnswersHint() {
  return "no frame came back: check the baud rate (--baud 125, 250 or 500, as the devices "
         "have it), that the port is connected to the network and powered, and for the "
         "virtual card that the network file puts devices on this port";
}

Diagnosis DiagnoseDevice(const Session& session, uint8_t mac) {
  const DNM_SetupFailure failure = SetupFailureOf(session, mac, KindOf(Kind::kExplicit));
  // No failure yet: the first allocation is still unanswered.
  if (failure.cause == DNM_SetupNoAnswer || failure.cause == DNM_SetupNoFailure)
    return DiagnoseSilence(session, mac);
  if (failure.cause == DNM_SetupRefused) {
    return {"MAC ID " + std::to_string(mac) + " answers but refuses: " + SetupFailureWords(failure),
            RefusalHint(failure.general_status)};
  }
  return {SetupFailureWords(failure, true), ""};
}

Diagnosis DiagnoseConnection(const Session& session, uint8_t mac, const ConnectionKind& kind) {
  const DNM_SetupFailure failure = SetupFailureOf(session, mac, kind);
  if (failure.cause == DNM_SetupNoFailure) return DiagnoseDevice(session, mac);
  Diagnosis diagnosis{SetupFailureWords(failure, true), ""};
  if (failure.cause == DNM_SetupProducedSizeMismatch) {
    diagnosis.hint = "configure the input size as " + std::to_string(failure.device_size) +
                     " bytes ('dnm scan --io' shows the device's sizes)";
  } else if (failure.cause == DNM_SetupConsumedSizeMismatch) {
    diagnosis.hint = "configure the output size as " + std::to_string(failure.device_size) +
                     " bytes ('dnm scan --io' shows the device's sizes)";
  } else if (failure.cause == DNM_SetupRefused) {
    diagnosis.hint = RefusalHint(failure.general_status);
  }
  return diagnosis;
}

std::string TakenMacIdHint(uint8_t mac) {
  return "another node on the network holds MAC ID " + std::to_string(mac) +
         " (it answered the duplicate MAC ID check); give the master a free one with --mac";
}

}  // namespace dnm::tool
