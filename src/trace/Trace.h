// Trace output: every diagnostic line of the library goes through here to the
// optional trace library. With output off, nothing is formatted.
#pragma once

#include <cstdint>

namespace dnm {

// Binds the trace library and starts its output (run once at start-up).
void BindHyperTrace();

// True when lines are written; callers may skip preparing a line otherwise.
bool TraceEnabled();

// Writes one finished line.
void TraceLine(const char* text);

// Formats a line into the calling thread's trace buffer and writes it.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The text most recently formatted by the calling thread.
const char* TraceBufferText();

// Writes one line on standard error, prefixed "VELKCANDNM: ", whether or not a
// trace is written: for faults of the installation that a person must see.
void ReportOnStderr(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the result line of a driver code and returns the code.
uint16_t TraceCANResult(const char* caller_tag, const char* driver_tag, uint32_t code);

// Writes the result line of a library code and returns the code.
uint16_t TraceDNMResult(const char* caller_tag, uint32_t code);

}  // namespace dnm
