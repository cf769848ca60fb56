// The bodies of the four kinds of worker thread; what else differs between
// the kinds is described in device/ConnectionKinds.h.
#pragma once

#include <cstdint>

#include "device/ConnectionKinds.h"

namespace dnm {

class CANPort;
class ConnectionObject;
class Device_Info;

// Workers exist for every board the library serves.
constexpr uint8_t kMaxWorkerBoards = 8;

// The body of a worker: runs until the connection's end signal is raised.
void RunWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);

// Bodies per kind.
void ExplicitWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);
void PollWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);
void BitStrobeWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);
void CosCyclicWorker(CANPort& port, Device_Info& device, ConnectionObject& connection);

}  // namespace dnm
