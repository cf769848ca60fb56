#include "device/ConnectionObject.h"

#include <algorithm>
#include <cstring>

#include "VELKCANDNM.h"
#include "device/Workers.h"
#include "platform/ThreadName.h"
#include "trace/Trace.h"

namespace dnm {

void DataArea::CopyIn(const uint8_t* source, size_t count) {
  std::lock_guard lock(mutex_);
  std::memcpy(bytes_.data(), source, std::min(count, bytes_.size()));
}

void DataArea::CopyOut(uint8_t* target, size_t count) const {
  std::lock_guard lock(mutex_);
  std::memcpy(target, bytes_.data(), std::min(count, bytes_.size()));
}

namespace {

size_t InputAreaSize(uint8_t instance) {
  switch (instance) {
    case 2:
    case 4:
      return 64;
    case 3:
      return 8;
    default:
      return 0;
  }
}

}  // namespace

ConnectionObject::ConnectionObject(uint8_t board, uint8_t port, uint8_t mac, uint8_t instance)
    : board_(board),
      port_(port),
      mac_(mac),
      instance_(instance),
      input_(InputAreaSize(instance)),
      output_(instance == 2 || instance == 4 ? 64 : 0) {
  if (instance == 1) fourth_parameter = 3;
  if (instance == 3) output_size = 8;
}

ConnectionObject::~ConnectionObject() {
  end_.Raise();
  thread_.Join();
}

uint16_t ConnectionObject::CreateWorker(CANPort& port, Device_Info& device) {
  const WorkerKind& kind = KindInfo(this->kind()).worker;
  if (created()) return 0;
  end_.Clear();
  const auto work = [this, &port, &device] {
    platform::NameCurrentThread("dnm-connection");
    RunWorker(port, device, *this);
  };
  const bool made = board_ < kMaxWorkerBoards && thread_.Create(work, /*suspended=*/true);
  if (!made) {
    Trace(kind.create_error, mac_);
    return kind.creation_code;
  }
  created_ = 1;
  Trace(kind.create_success, mac_);
  thread_.SetPriority(kind.priority);
  return 0;
}

void ConnectionObject::RequestEnd(const Device_Info& device) {
  end_.Raise();
  device.WakeAllWaiters();
}

uint16_t ConnectionObject::StartWorker() {
  const WorkerKind& kind = KindInfo(this->kind()).worker;
  if (!created()) {
    TraceLine(kind.not_configured);
    return kind.not_configured_code;
  }
  if (!thread_.Resume()) {
    TraceLine(kind.resume_error);
    Trace("%ld", static_cast<long>(platform::LastThreadError()));
    return DNM_ResumeThreadError;
  }
  TraceLine(kind.resume_success);
  return 0;
}

void ConnectionObject::DeleteWorker(const Device_Info& device) {
  if (!created()) return;
  const WorkerKind& kind = KindInfo(this->kind()).worker;
  TraceLine(kind.delete_line);
  RequestEnd(device);
  thread_.Join();
  created_ = 0;
  if (kind.delete_areas_line != nullptr) TraceLine(kind.delete_areas_line);
}

}  // namespace dnm
