// The scan list of a port: adding and removing devices and taking them
// apart. Callers hold the port's lock exclusively (or the board's
// lifecycle lock when the board closes).
#pragma once

#include <cstdint>

namespace dnm {

class CANPort;

uint16_t CreateNetDevice(CANPort& port, uint8_t mac, uint8_t ucmm);
uint16_t DeleteDevice(CANPort& port, uint8_t mac);
// Stops a started device, removes its routes and deletes it.
void RemoveDevice(CANPort& port, uint8_t mac);

// Board teardown: first every device's connections, then the devices.
void DismantleDevices(CANPort& port);
void RemoveAllDevices(CANPort& port);

}  // namespace dnm
