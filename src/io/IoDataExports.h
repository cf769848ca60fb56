// The data exports of the I/O connections (reading a connection's input,
// writing its output) as one piece: the kinds differ only in the texts and
// codes of their refusals, which each export family states in its IoFace.
#pragma once

#include <cstdint>

#include "device/ConnectionKinds.h"

namespace dnm {

struct IoFace {
  ConnectionKind kind;
  uint8_t choice_bit;  // the bit of AllocateChoiceByte the device must have
  // Traced, with the MAC ID, when the connection is not configured or does
  // not stand.
  const char* read_refusal;
  const char* write_refusal;  // nullptr for a kind without outputs
  // Returned when the device lacks the choice bit (when the connection only
  // does not stand: DNM_DeviceIsUnConnected).
  uint16_t read_unconfigured_code;
  uint16_t write_unconfigured_code;
  // Returned for a write whose length is not the output size.
  uint16_t write_length_code;
};

// The export's common checks first; a read needs the explicit connection to
// stand too, since without it the inputs are no longer current.
uint16_t ReadInput(const IoFace& face, uint8_t board, uint8_t port, uint8_t mac, uint8_t* data,
                   uint32_t* length);
uint16_t WriteOutput(const IoFace& face, uint8_t board, uint8_t port, uint8_t mac,
                     const uint8_t* data, uint32_t length);

}  // namespace dnm
