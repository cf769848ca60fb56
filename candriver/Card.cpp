#include "Card.h"

#include <cstdlib>

#include "Capture.h"
#include "NetworkSetup.h"
#include "PortNode.h"
#include "PosixBackends.h"

namespace vcan {

Card& Card::Instance() {
  static Card* const card = [] {
    const char* path = std::getenv("VELKCAN_NETWORK");
    auto* built = new Card(path != nullptr ? path : "");
    ConfigureCard(*built);
    return built;
  }();
  return *card;
}

Board* Card::FindBoard(int32_t board) {
  if (board < 0 || board >= board_count_) return nullptr;
  return &boards_[board];
}

DriverPort* Card::FindPort(int32_t board, int32_t driver_port) {
  Board* found = FindBoard(board);
  if (found == nullptr || driver_port < 1 || driver_port > kPortsPerBoard) return nullptr;
  return found->ports[driver_port - 1].get();
}

Segment* Card::AddSegment(const std::string& name) {
  auto [it, inserted] = segments_.try_emplace(name, nullptr);
  if (!inserted) return nullptr;
  it->second = std::make_unique<Segment>(name);
  return it->second.get();
}

Segment* Card::FindSegment(std::string_view name) {
  auto it = segments_.find(name);
  return it == segments_.end() ? nullptr : it->second.get();
}

std::vector<Segment*> Card::Segments() {
  std::vector<Segment*> all;
  for (auto& [name, segment] : segments_) all.push_back(segment.get());
  return all;
}

bool Card::PlacePort(int board, int driver_port, Placement placement) {
  Placement& placed = placements_[board][driver_port - 1];
  if (placed.placed) return false;
  placed = std::move(placement);
  placed.placed = true;
  return true;
}

std::string Card::DefaultSegmentName(int board, int driver_port) {
  return "vcan" + std::to_string(board) + "." + std::to_string(driver_port);
}

// A port not placed on a named segment gets the segment named after it, made here unless the
// description declared it (which lets other ports join a port's own segment).
void Card::CreatePorts() {
  for (int board = 0; board < board_count_; ++board) {
    for (int port = 1; port <= kPortsPerBoard; ++port) {
      boards_[board].ports[port - 1] = CreatePort(board, port, placements_[board][port - 1]);
    }
  }
}

std::shared_ptr<DriverPort> Card::CreatePort(int board, int driver_port,
                                             const Placement& placement) {
  const std::string name = std::to_string(board) + "/" + std::to_string(driver_port);
  if (!placement.iface.empty()) {
    std::unique_ptr<Capture> capture;
    if (!placement.capture_path.empty()) capture = Capture::Open(placement.capture_path);
    return OpenSocketCanPort(name, placement.iface, placement.rx_capacity, std::move(capture));
  }
  Segment* segment = placement.segment;
  if (segment == nullptr) segment = FindSegment(DefaultSegmentName(board, driver_port));
  if (segment == nullptr) segment = AddSegment(DefaultSegmentName(board, driver_port));
  auto node = std::make_shared<PortNode>(board, driver_port, *segment, placement.rx_capacity);
  segment->Attach(node);
  return node;
}

}  // namespace vcan
