// The codes of explicit messages: the header's XID bit, the services the
// library asks for, the bit that marks an answer, and the objects it asks.
#pragma once

#include <cstdint>

namespace dnm {

// Header byte: the library's own requests carry the XID bit; the
// application's attribute requests do not, so their answers never mix.
constexpr uint8_t kXid = 0x40;

// Services; an answer carries the service with kReply set.
constexpr uint8_t kGetAttributeSingle = 0x0E;
constexpr uint8_t kSetAttributeSingle = 0x10;
constexpr uint8_t kAllocate = 0x4B;  // Allocate_Master/Slave_Connection_Set, UCMM open
constexpr uint8_t kRelease = 0x4C;   // Release_Master/Slave_Connection_Set, UCMM close
constexpr uint8_t kReply = 0x80;
constexpr uint8_t kErrorResponseService = 0x94;

// General status codes of error responses.
constexpr uint8_t kStatusAlreadyInState = 0x0B;
constexpr uint8_t kStatusObjectStateConflict = 0x0C;

// Classes.
constexpr uint8_t kDeviceNetClass = 0x03;
constexpr uint8_t kConnectionClass = 0x05;

}  // namespace dnm
