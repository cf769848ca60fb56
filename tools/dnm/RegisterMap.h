// The Modbus register map of a scan list: where each device's inputs, outputs and statuses stand.
// An address depends only on the port's place in the list and the device's MAC ID, so it holds
// across reloads for every device that stays.
//
//   device base = port index * 8192 + MAC ID * 128
//   input registers:   base + 0..31 poll inputs, + 32..35 bit-strobe inputs,
//                      + 36..67 COS/cyclic inputs, + 68.. the status block
//   holding registers: base + 0..31 poll outputs, + 36..67 COS/cyclic outputs (without poll)
//
// Only the configured connections' data are in the map, each its size rounded up to whole
// registers; the status block stands for every device. Two data bytes per register, the first
// in the high byte; 32-bit counters high word first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ScanList.h"

namespace dnm::tool {

constexpr uint32_t kPortSlotRegisters = 8192;
constexpr uint32_t kDeviceSlotRegisters = 128;
constexpr uint16_t kPollOffset = 0;
constexpr uint16_t kStrobeOffset = 32;
constexpr uint16_t kCosCyclicOffset = 36;
constexpr uint16_t kStatusOffset = 68;

enum class RegisterTable : uint8_t { kInput, kHolding };

enum class RegisterField : uint8_t { kPollData, kStrobeData, kCosCyclicData, kStatus };

// The status block, as offsets from kStatusOffset.
enum StatusRegister : uint16_t {
  kDeviceStatus = 0,  // DNM_GetDeviceStatus
  kExplicitStatus,    // each connection's status check; 0xFFFF: not configured
  kPollStatus,
  kStrobeStatus,
  kCosCyclicStatus,
  kDeviceRun,         // the scanner's DeviceRun
  kExplicitFailure,   // each connection's DNM_GetSetupFailure cause; 0xFFFF: not configured
  kPollFailure,
  kStrobeFailure,
  kCosCyclicFailure,
  kPollPeriodAchieved,  // ms, at most 65535
  kFirstCounter         // the error counters, two registers each
};
constexpr uint16_t kCounterCount = 13;
constexpr uint16_t kStatusRegisters = kFirstCounter + 2 * kCounterCount;

// The names of the status block's registers (a counter's name stands at its first register),
// and of the counters in their order.
const std::vector<std::string>& StatusRegisterNames();
const char* CounterName(size_t index);

struct RegisterRange {
  RegisterTable table;
  RegisterField field;
  uint16_t start;  // address of its first register
  uint16_t count;  // registers
  uint16_t bytes;  // data bytes; 0 for the status block
  size_t port_index;
  size_t device_index;  // in the port's devices
  uint8_t mac;
  uint32_t end() const { return uint32_t{start} + count; }
};

class RegisterMap {
 public:
  explicit RegisterMap(const ScanList& list);

  // Every range, by table and then by address.
  const std::vector<RegisterRange>& Ranges() const { return ranges_; }

  // The ranges that together hold [start, start + count) of the table without a gap, in address
  // order; empty when any of those registers is outside the map.
  std::vector<const RegisterRange*> Cover(RegisterTable table, uint32_t start,
                                          uint32_t count) const;

 private:
  std::vector<RegisterRange> ranges_;
};

uint16_t DeviceBase(size_t port_index, uint8_t mac);

}  // namespace dnm::tool
