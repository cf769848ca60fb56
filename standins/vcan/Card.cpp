#include "Card.h"

#include <cstdlib>

#include "NetworkSetup.h"

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

PortNode* Card::FindPort(int32_t board, int32_t driver_port) {
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

bool Card::PlacePort(int board, int driver_port, Segment* segment, size_t rx_capacity) {
  Placement& placement = placements_[board][driver_port - 1];
  if (placement.placed) return false;
  placement = Placement{true, segment, rx_capacity};
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
      const Placement& placement = placements_[board][port - 1];
      Segment* segment = placement.segment;
      if (segment == nullptr) segment = FindSegment(DefaultSegmentName(board, port));
      if (segment == nullptr) segment = AddSegment(DefaultSegmentName(board, port));
      auto node = std::make_shared<PortNode>(board, port, *segment, placement.rx_capacity);
      segment->Attach(node);
      boards_[board].ports[port - 1] = std::move(node);
    }
  }
}

}  // namespace vcan
