// What a standing scanner (dnm run) lets the servers beside it see while it runs: the scan list
// it runs now and its own verdict on each device. The servers read the devices' data, statuses
// and counters, and write their outputs, through the library's exports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ScanList.h"

namespace dnm::tool {

// The scanner's verdict on a device, beside the library's connection statuses.
enum class DeviceRun : uint8_t {
  kStarting = 0,          // added; its identity not read yet
  kRunning = 1,           // started: its identity is as the list asks (or the list asks none)
  kIdentityMismatch = 2,  // it answers with another identity and is not started
  kRefused = 3,           // the library refused to add or configure it
  kAbsent = 4,            // not in the list run now
  kPortOffline = 5        // in the list, on a port that could not go online
};

class ScannerView {
 public:
  virtual ~ScannerView() = default;
  // The scan list run now. A reload replaces it as a whole, so a server keeps the pointer it got
  // for the whole of one request.
  virtual std::shared_ptr<const ScanList> List() const = 0;
  // port_index: the port's place in List()->ports.
  virtual DeviceRun RunOf(size_t port_index, uint8_t mac) const = 0;
};

}  // namespace dnm::tool
