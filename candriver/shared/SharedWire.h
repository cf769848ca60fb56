// The records a shared segment's host and the processes attached to it exchange over the local
// stream socket: 32 bytes each, little-endian, the same in both directions (see "Shared segments"
// in docs/virtual-card.md, which a program in another language follows).
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "Frame.h"

namespace vcan::wire {

inline constexpr size_t kRecordSize = 32;
inline constexpr uint32_t kVersion = 1;
inline constexpr char kMagic[8] = {'V', 'C', 'A', 'N', 'S', 'E', 'G', '1'};

enum class Type : uint8_t {
  kHello = 1,    // both ways once, first: version in `tag`, kMagic in the data bytes
  kSend = 2,     // attached -> host: a frame of the attached process's node `tag`
  kCarried = 3,  // host -> attached: a frame the bus carried, with its end time
  kDrop = 4,     // attached -> host: node `tag` dropped the frames it had queued
  kLost = 5,     // host -> attached: `tag` frames were not passed on or not taken
  kRefused = 6,  // host -> attached: data byte 0 says why (Refusal), `tag` names the node
};

// Why the host refused: the connection (tag 0; the host then closes it) or one send record.
enum class Refusal : uint8_t {
  kFull = 1,     // as many processes are attached as the host serves; later may work
  kDenied = 2,   // this process may not attach
  kVersion = 3,  // the greeting names another protocol version
  kNodes = 4,    // the process has as many nodes with frames pending as the host keeps
  kRate = 5,     // a bit rate the card does not support
};

inline constexpr uint8_t kFlagRtr = 0x01;
inline constexpr uint8_t kFlagOwn = 0x02;  // carried: sent by the receiving process's node `tag`

struct Record {
  Type type = Type::kHello;
  uint8_t flags = 0;
  uint32_t baud = 0;  // bit/s
  uint32_t tag = 0;
  Frame frame;
  uint64_t end_ns = 0;  // carried: end of the frame, CLOCK_MONOTONIC nanoseconds
};

using Bytes = std::array<uint8_t, kRecordSize>;

inline void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t GetU32(const uint8_t* at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

inline Bytes Encode(const Record& record) {
  Bytes out{};
  out[0] = static_cast<uint8_t>(record.type);
  out[1] = record.frame.len;
  out[2] = static_cast<uint8_t>(record.flags | (record.frame.rtr ? kFlagRtr : 0));
  PutU32(&out[4], record.frame.id);
  PutU32(&out[8], record.baud);
  PutU32(&out[12], record.tag);
  std::memcpy(&out[16], record.frame.data.data(), kMaxDataLength);
  PutU32(&out[24], static_cast<uint32_t>(record.end_ns));
  PutU32(&out[28], static_cast<uint32_t>(record.end_ns >> 32));
  return out;
}

// nullopt for a record no peer of this version sends (unknown type, bad length or identifier).
inline std::optional<Record> Decode(const Bytes& in) {
  Record record;
  if (in[0] < 1 || in[0] > 6 || in[1] > kMaxDataLength) return std::nullopt;
  record.type = static_cast<Type>(in[0]);
  record.flags = in[2];
  record.frame.len = in[1];
  record.frame.rtr = (in[2] & kFlagRtr) != 0;
  record.frame.id = GetU32(&in[4]);
  if (record.frame.id > kMaxStandardId) return std::nullopt;
  record.baud = GetU32(&in[8]);
  record.tag = GetU32(&in[12]);
  std::memcpy(record.frame.data.data(), &in[16], kMaxDataLength);
  record.end_ns = GetU32(&in[24]) | (uint64_t{GetU32(&in[28])} << 32);
  return record;
}

inline Record Hello() {
  Record hello;
  hello.type = Type::kHello;
  hello.tag = kVersion;
  hello.frame.len = 0;
  std::memcpy(hello.frame.data.data(), kMagic, sizeof kMagic);
  return hello;
}

// A greeting of any protocol version.
inline bool IsGreeting(const Record& record) {
  return record.type == Type::kHello &&
         std::memcmp(record.frame.data.data(), kMagic, sizeof kMagic) == 0;
}

inline bool IsHello(const Record& record) {
  return IsGreeting(record) && record.tag == kVersion;
}

inline Record Refused(Refusal why, uint32_t tag) {
  Record refused;
  refused.type = Type::kRefused;
  refused.tag = tag;
  refused.frame.len = 1;
  refused.frame.data[0] = static_cast<uint8_t>(why);
  return refused;
}

inline Refusal RefusalOf(const Record& refused) {
  return static_cast<Refusal>(refused.frame.data[0]);
}

struct RefusalMeaning {
  Refusal why;
  int error;  // what wire::Attach returns, negated, for a refused greeting
  const char* text;
};

inline constexpr RefusalMeaning kRefusalMeanings[] = {
    {Refusal::kFull, EUSERS, "as many processes are attached as the host serves"},
    {Refusal::kDenied, EACCES, "this process may not attach"},
    {Refusal::kVersion, EPROTONOSUPPORT, "the host speaks another protocol version"},
    {Refusal::kNodes, EPROTO, "too many of this process's nodes have frames pending"},
    {Refusal::kRate, EPROTO, "a bit rate the card does not support"},
};

inline int RefusalError(Refusal why) {
  for (const auto& meaning : kRefusalMeanings) {
    if (meaning.why == why) return meaning.error;
  }
  return EPROTO;
}

inline const char* RefusalText(Refusal why) {
  for (const auto& meaning : kRefusalMeanings) {
    if (meaning.why == why) return meaning.text;
  }
  return "an unknown reason";
}

// The refusal of a greeting that wire::Attach reported as -error, if it was one.
inline const char* RefusalTextOfError(int error) {
  for (const auto& meaning : kRefusalMeanings) {
    if (meaning.error == error && meaning.error != EPROTO) return meaning.text;
  }
  return nullptr;
}

}  // namespace vcan::wire
