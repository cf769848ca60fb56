#include "api/Board.h"

#include "port/CANPort.h"
#include "port/MapTable.h"
#include "trace/Trace.h"

namespace dnm {

Board::Board(uint8_t number) : number_(number) {
  for (uint8_t p = 0; p < kPortsPerBoard; ++p) {
    ports_[p] = std::make_unique<CANPort>(*this, p);
  }
  for (auto& map : maps_) map = std::make_unique<MapTable>();
}

Board::~Board() {
  for (auto& port : ports_) port.reset();
  TraceLine("Delete CAN Card");
  for (auto& map : maps_) map.reset();
}

}  // namespace dnm
