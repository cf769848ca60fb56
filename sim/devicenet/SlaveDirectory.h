// The slaves of the card by segment and MAC ID, for the test interface. Like the card, the
// directory and its slaves live until the process ends.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "DeviceNetSlave.h"

namespace dnsim {

class SlaveDirectory {
 public:
  static SlaveDirectory& Instance();

  // False when a slave with the same MAC ID already sits on the segment.
  bool Add(std::shared_ptr<DeviceNetSlave> slave);
  std::shared_ptr<DeviceNetSlave> Find(const vcan::Segment& segment, uint8_t mac) const;

 private:
  SlaveDirectory() = default;

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<DeviceNetSlave>> slaves_;
};

}  // namespace dnsim
