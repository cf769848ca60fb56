// A client that owns the offline connection set of a DeviceNet network and objects to every
// other client's ownership request, in one of the two forms a master may wait for.
#pragma once

#include <cstdint>

#include "Node.h"

namespace vcan {

struct OwnerSettings {
  uint8_t mac = 0;
  // The identifier of the objection: 0x7EE carries [0xCB, MAC ID, ...]; 0x7EF, the request's
  // own identifier, carries [MAC ID, 0xCB, ...] as an owning master answers.
  uint32_t objection_id = 0x7EE;
  uint16_t vendor = 0x03E8;
};

class OwnerNode final : public Node {
 public:
  OwnerNode(std::string name, Segment& segment, uint32_t baud, const OwnerSettings& settings);

  void OnFrame(const Frame& frame) override;

 private:
  Frame Objection() const;

  const OwnerSettings settings_;
};

}  // namespace vcan
