// What differs between the four kinds of worker thread: their trace texts,
// codes, priority and body.
#pragma once

#include <cstdint>

#include "device/Device_Info.h"
#include "platform/Platform.h"

namespace dnm {

class CANPort;
class ConnectionObject;

// Workers exist for every board the library serves.
constexpr uint8_t kMaxWorkerBoards = 8;

struct WorkerKind {
  const char* create_error;    // format with the MAC ID
  const char* create_success;  // format with the MAC ID
  const char* not_configured;
  const char* resume_success;
  const char* resume_error;
  const char* delete_line;
  const char* delete_areas_line;  // nullptr when the kind has no data areas
  uint16_t creation_code;
  uint16_t not_configured_code;
  platform::ThreadPriority priority;
};

const WorkerKind& WorkerKindOf(ConnectionKind kind);

// The body of a worker: runs until the connection's end signal is raised.
void RunWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);

// Bodies per kind.
void ExplicitWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);
void PollWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);
void BitStrobeWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);
void CosCyclicWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);

}  // namespace dnm
