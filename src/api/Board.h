// One active CAN interface card: its four ports and their routing tables.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "api/Library.h"

namespace dnm {

class CANPort;
class MapTable;

class Board {
 public:
  explicit Board(uint8_t number);
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  uint8_t number() const { return number_; }
  CANPort& port(uint8_t port) { return *ports_[port]; }
  MapTable& map(uint8_t port) { return *maps_[port]; }

 private:
  std::array<std::unique_ptr<CANPort>, kPortsPerBoard> ports_;
  std::array<std::unique_ptr<MapTable>, kPortsPerBoard> maps_;
  uint8_t number_;
};

}  // namespace dnm
