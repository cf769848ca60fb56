#include "device/SetupReason.h"

#include "platform/Platform.h"

namespace dnm {

namespace {

DNM_SetupFailure Of(uint16_t cause) {
  DNM_SetupFailure failure{};
  failure.cause = cause;
  return failure;
}

}  // namespace

DNM_SetupFailure SetupFailure::SizeMismatch(bool produced, uint16_t device_size,
                                            uint16_t configured) {
  DNM_SetupFailure failure =
      Of(produced ? DNM_SetupProducedSizeMismatch : DNM_SetupConsumedSizeMismatch);
  failure.device_size = device_size;
  failure.configured_size = configured;
  return failure;
}

DNM_SetupFailure SetupFailure::Refused(uint16_t request) {
  DNM_SetupFailure failure = Of(DNM_SetupRefused);
  failure.request = request;
  return failure;
}

DNM_SetupFailure SetupFailure::NoAnswer(uint16_t request) {
  DNM_SetupFailure failure = Of(DNM_SetupNoAnswer);
  failure.request = request;
  return failure;
}

DNM_SetupFailure SetupFailure::Lost(uint16_t missed_answers) {
  DNM_SetupFailure failure = Of(DNM_SetupLost);
  failure.missed_answers = missed_answers;
  return failure;
}

DNM_SetupFailure SetupFailure::Stopped() {
  return Of(DNM_SetupStopped);
}

void SetupReasons::Note(uint8_t kind, DNM_SetupFailure failure) {
  if (kind >= kKinds) return;
  if (failure.cause == DNM_SetupRefused) {
    const uint16_t statuses = error_answer_.load();
    failure.general_status = static_cast<uint8_t>(statuses >> 8);
    failure.additional_status = static_cast<uint8_t>(statuses & 0xFF);
  }
  std::lock_guard lock(mutex_);
  failures_[kind] = failure;
  at_ms_[kind] = platform::GetTickCount();
}

void SetupReasons::Clear(uint8_t kind) {
  if (kind >= kKinds) return;
  std::lock_guard lock(mutex_);
  failures_[kind] = DNM_SetupFailure{};
}

DNM_SetupFailure SetupReasons::Read(uint8_t kind) const {
  std::lock_guard lock(mutex_);
  DNM_SetupFailure failure = failures_[kind];
  if (failure.cause != DNM_SetupNoFailure) failure.age_ms = platform::GetTickCount() - at_ms_[kind];
  return failure;
}

void SetupReasons::NoteErrorAnswer(const uint8_t* data, uint8_t length) {
  const uint8_t general = length > 2 ? data[2] : 0xFF;
  const uint8_t additional = length > 3 ? data[3] : 0xFF;
  error_answer_.store(static_cast<uint16_t>(general << 8 | additional));
}

}  // namespace dnm
