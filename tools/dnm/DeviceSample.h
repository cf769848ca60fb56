// One look at a device the scanner runs, through the library's exports: what the Modbus
// registers, the web view and the MQTT publisher show of it. And the outputs this process last
// wrote to each device, shared by every server that writes them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <mutex>
#include <tuple>
#include <vector>

#include "Connections.h"
#include "RegisterMap.h"
#include "ScannerView.h"

namespace dnm::tool {

// A device's place on the bus.
struct DeviceAddress {
  uint8_t board, port, mac;
};
DeviceAddress AddressOf(const PortEntry& port, const DeviceEntry& device);

struct ConnectionSample {
  const ConnectionKind* kind = nullptr;
  uint16_t status = 0;            // its status check
  DNM_SetupFailure failure{};     // why it last failed to stand (cause 0: nothing since)
  bool inputs_valid = false;      // the library gave inputs of the size the list asks
  std::vector<uint8_t> inputs;    // empty when not valid or none are produced
};

struct DeviceSample {
  uint16_t device_status;  // DNM_GetDeviceStatus
  DeviceRun run;
  uint32_t poll_period_achieved_ms;
  std::array<uint32_t, kCounterCount> counters;  // in the order of CounterName
  // The explicit connection first, then each configured one in Kind's order.
  std::vector<ConnectionSample> connections;
};

// The I/O connections the list configures for the device, in Kind's order.
std::vector<const ConnectionKind*> ConfiguredKinds(const DeviceEntry& device);
// The bytes the connection's inputs have as the list configures them.
uint16_t InputSize(const DeviceEntry& device, Kind kind);
// The bytes the connection's outputs have as the list configures them (0 for one without).
uint16_t OutputSize(const DeviceEntry& device, Kind kind);
// The connection that carries the device's outputs: poll when it has one, otherwise COS/cyclic;
// nullptr when the list gives it no outputs.
const ConnectionKind* OutputKind(const DeviceEntry& device);
uint16_t OutputSize(const DeviceEntry& device);

std::array<uint32_t, kCounterCount> ReadCounters(const DeviceAddress& at);
// {"explicit_no_response":0,...}: the counters by their names, as the servers give them.
std::string CountersJson(const std::array<uint32_t, kCounterCount>& counters);
ConnectionSample SampleConnection(const DeviceAddress& at, const DeviceEntry& device,
                                  const ConnectionKind& kind);
DeviceSample SampleDevice(const PortEntry& port, const DeviceEntry& device, DeviceRun run);

// The outputs last written to each device, by whichever server wrote them. A device that is not
// as it was when last written (another line in a reloaded list) starts again from zeros, as the
// library's outputs do. Thread-safe.
class OutputStore {
 public:
  static constexpr uint16_t kOutsideOutputs = 0xFFFF;

  // Sets bytes [offset, offset + size) of the device's outputs, the others keeping the last value
  // written, and writes the whole output through the library. The DNM_ code; the bytes are kept
  // only when written; kOutsideOutputs, with nothing written, when the range is not inside the
  // device's outputs.
  uint16_t Write(const PortEntry& port, const DeviceEntry& device, size_t offset,
                 const uint8_t* bytes, size_t size);
  // The outputs last written (zeros before any, empty when the device has none).
  std::vector<uint8_t> Last(const PortEntry& port, const DeviceEntry& device) const;

 private:
  struct Written {
    PortEntry port;  // without its devices
    DeviceEntry device;
    std::vector<uint8_t> bytes;
  };
  using Key = std::tuple<uint8_t, uint8_t, uint8_t>;  // board, port, MAC ID
  // The entry for the device as it is now; mutex_ held.
  Written& Entry(const PortEntry& port, const DeviceEntry& device);

  mutable std::mutex mutex_;  // guards written_
  std::map<Key, Written> written_;
};

}  // namespace dnm::tool
