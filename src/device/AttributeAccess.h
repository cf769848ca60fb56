// Reading and writing one attribute of a connected device with
// Get_Attribute_Single and Set_Attribute_Single, fragmented where the value
// needs it. Runs on the caller's thread.
#pragma once

#include <cstdint>

namespace dnm {

class CANPort;
class Device_Info;

// The largest value a set carries, and a get reads; the area that
// DNM_GetAttribute fills.
constexpr uint32_t kMaxSetValue = 255;
constexpr uint32_t kMaxGetValue = kMaxSetValue;
constexpr uint32_t kGetArea = 64;

// Reads a value of at most capacity bytes (up to kMaxGetValue) into value
// and its byte count into length, writing neither unless it returns 0; a
// longer value gives DNM_GetAttributeDataTooLong. Returns a library or
// driver code.
uint16_t GetAttribute(CANPort& port, Device_Info& device, uint8_t cls, uint8_t instance,
                      uint8_t attribute, uint8_t* value, uint32_t capacity, uint32_t& length);
// value holds length bytes, 1 to kMaxSetValue.
uint16_t SetAttribute(CANPort& port, Device_Info& device, uint8_t cls, uint8_t instance,
                      uint8_t attribute, const uint8_t* value, uint32_t length);

}  // namespace dnm
