// What the Modbus requests read and write: the inputs, outputs, statuses and counters of the
// devices the scanner runs, at the addresses of the register map of the list it runs now. Inputs,
// statuses and counters are read through the library's exports at each request; a write goes to
// the device at once with the whole output, the registers not written keeping the last value
// written.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "DeviceSample.h"
#include "RegisterMap.h"
#include "ScannerView.h"

namespace dnm::tool {

// The Modbus exceptions a request may end with; 0: answered.
constexpr uint8_t kIllegalDataAddress = 2;  // outside the map, or a device not run now
constexpr uint8_t kDeviceFailure = 4;       // the library could not answer

class ProcessImage {
 public:
  ProcessImage(const ScannerView& scanner, OutputStore& outputs)
      : scanner_(scanner), outputs_(outputs) {}

  // Fills values[0..count) with the registers from start on.
  uint8_t Read(RegisterTable table, uint16_t start, uint16_t count, uint16_t* values);
  // Writes holding registers from start on.
  uint8_t Write(uint16_t start, const uint16_t* values, uint16_t count);

 private:
  struct Snapshot {
    std::shared_ptr<const ScanList> list;
    std::shared_ptr<const RegisterMap> map;
  };
  Snapshot Now();
  // The device's registers of the range from first to end into values.
  uint8_t ReadRange(const Snapshot& now, const RegisterRange& range, uint32_t first, uint32_t end,
                    uint16_t* values);
  uint8_t WriteRange(const Snapshot& now, const RegisterRange& range, uint32_t first,
                     uint32_t end, const uint16_t* values);

  const ScannerView& scanner_;
  std::mutex map_mutex_;
  std::shared_ptr<const ScanList> map_list_;
  std::shared_ptr<const RegisterMap> map_;
  OutputStore& outputs_;
};

}  // namespace dnm::tool
