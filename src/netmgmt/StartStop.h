// Starting and stopping communication with a port's devices.
#pragma once

#include <cstdint>

namespace dnm {

class CANPort;
class Device_Info;

// The start sequence over the device's connections: 0 or the first
// failing step's code.
uint16_t StartCommunicate(Device_Info& device);
// The stop sequence: every configured connection is marked not established
// and its worker told to release it.
uint16_t StopCommunicate(Device_Info& device);

// Device start or stop plus the port's started flag.
uint16_t StartDevice(CANPort& port, uint8_t mac);
uint16_t StopDevice(CANPort& port, uint8_t mac);

}  // namespace dnm
