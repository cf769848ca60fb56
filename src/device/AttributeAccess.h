// Reading and writing one attribute of a connected device with
// Get_Attribute_Single and Set_Attribute_Single, fragmented where the value
// needs it. Runs on the caller's thread.
#pragma once

#include <cstdint>

namespace dnm {

class CANPort;
class Device_Info;

// The largest value a set carries, and the area a get fills.
constexpr uint32_t kMaxSetValue = 255;
constexpr uint32_t kGetArea = 64;

// Fills area (kGetArea bytes) and length; returns a library or driver code.
uint16_t GetAttribute(CANPort& port, Device_Info& device, uint8_t cls, uint8_t instance,
                      uint8_t attribute, uint8_t* area, uint32_t& length);
// value holds length bytes, 1 to kMaxSetValue.
uint16_t SetAttribute(CANPort& port, Device_Info& device, uint8_t cls, uint8_t instance,
                      uint8_t attribute, const uint8_t* value, uint32_t length);

}  // namespace dnm
