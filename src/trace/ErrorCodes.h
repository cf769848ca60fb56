// Names of the library's and the driver's result codes, as the result lines
// print them.
#pragma once

#include <cstdint>

namespace dnm {

// The name of a library code that has a result line of its own, else nullptr.
const char* DnmCodeName(uint32_t code);

// The name of a driver code 0..22, else nullptr.
const char* CanCodeName(uint32_t code);

// The name of any code the library returns, result line or not, else nullptr.
const char* LibraryCodeName(uint32_t code);

// The name of a library or driver code ("DNM_NoError" for 0), else "unknown".
const char* ErrorText(uint32_t code);

}  // namespace dnm
