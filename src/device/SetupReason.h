// Why each connection of a device last failed to stand: the workers note
// each failed set-up and each loss, a connection that stands clears its
// own, and DNM_GetSetupFailure reads them. Notes change nothing else.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "VELKCANDNM.h"
#include "device/ConnectionKinds.h"

namespace dnm {

// One failure, as DNM_GetSetupFailure gives it (age_ms unset).
struct SetupFailure {
  static DNM_SetupFailure SizeMismatch(bool produced, uint16_t device_size, uint16_t configured);
  // The device's statuses are those of its last error response to a request
  // of the library's own (SetupReasons::NoteErrorAnswer).
  static DNM_SetupFailure Refused(uint16_t request);
  static DNM_SetupFailure NoAnswer(uint16_t request);
  static DNM_SetupFailure Lost(uint16_t missed_answers);
  static DNM_SetupFailure Stopped();
};

class SetupReasons {
 public:
  static constexpr uint8_t kKinds = kConnectionKinds;

  void Note(uint8_t kind, DNM_SetupFailure failure);
  void Clear(uint8_t kind);
  // The last failure since the connection last stood, with its age.
  DNM_SetupFailure Read(uint8_t kind) const;
  // The statuses of an error response (service 0x94) to the library's own
  // request: data[2] general, data[3] additional, 0xFF where missing.
  void NoteErrorAnswer(const uint8_t* data, uint8_t length);

 private:
  mutable std::mutex mutex_;
  std::array<DNM_SetupFailure, kKinds> failures_{};
  std::array<uint32_t, kKinds> at_ms_{};
  std::atomic<uint16_t> error_answer_{0};
};

}  // namespace dnm
