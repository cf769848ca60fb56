// What to check when the network is not as asked: the words dnm adds to a
// failure so that a wrong baud rate, an absent device, a refusing device
// and a taken MAC ID each read as what they are.
#pragma once

#include <cstdint>
#include <string>

#include "Session.h"

namespace dnm::tool {

// When nothing at all answers on the port.
std::string NothingAnswersHint();

// What went wrong, and what to check ("" when there is nothing to add).
struct Diagnosis {
  std::string cause;
  std::string hint;
};

// Why the device's explicit connection does not stand: no device at its
// MAC ID (while others answer), nothing on the port at all, or a device
// that answers but refuses.
Diagnosis DiagnoseDevice(const Session& session, uint8_t mac);

// Why an I/O connection does not stand: its own last failure (a size
// mismatch names the sizes to configure), else its device's.
struct ConnectionKind;
Diagnosis DiagnoseConnection(const Session& session, uint8_t mac, const ConnectionKind& kind);

// The master's own MAC ID is held by another node (DNM_Online 1204).
std::string TakenMacIdHint(uint8_t mac);

}  // namespace dnm::tool
