#include "SlaveDirectory.h"

namespace dnsim {

SlaveDirectory& SlaveDirectory::Instance() {
  static SlaveDirectory* const directory = new SlaveDirectory;
  return *directory;
}

bool SlaveDirectory::Add(std::shared_ptr<DeviceNetSlave> slave) {
  std::lock_guard lock(mutex_);
  for (const auto& known : slaves_) {
    if (&known->segment() == &slave->segment() && known->mac() == slave->mac()) return false;
  }
  slaves_.push_back(std::move(slave));
  return true;
}

std::shared_ptr<DeviceNetSlave> SlaveDirectory::Find(const vcan::Segment& segment,
                                                     uint8_t mac) const {
  std::lock_guard lock(mutex_);
  for (const auto& slave : slaves_) {
    if (&slave->segment() == &segment && slave->mac() == mac) return slave;
  }
  return nullptr;
}

}  // namespace dnsim
