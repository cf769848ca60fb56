// The whole virtual card: its boards, the four driver ports of each, the segments they sit on,
// the injected faults and the test nodes. One instance per process, built at the first call
// from the network description named by VELKCAN_NETWORK, and never destroyed, so that threads
// still running while the process exits never meet a destroyed object.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Faults.h"
#include "DriverPort.h"
#include "RxFifo.h"
#include "Segment.h"
#include "TestNode.h"

namespace vcan {

inline constexpr int kMaxBoards = 8;
inline constexpr int kPortsPerBoard = 4;

struct Board {
  std::atomic<bool> active{false};
  std::array<std::shared_ptr<DriverPort>, kPortsPerBoard> ports;  // index driver port - 1
};

class Card {
 public:
  static Card& Instance();

  int board_count() const { return board_count_; }
  Board* FindBoard(int32_t board);
  DriverPort* FindPort(int32_t board, int32_t driver_port);  // whether active or not
  const std::string& network_path() const { return network_path_; }
  Faults& faults() { return faults_; }
  // Lines of the network description that were left out, each reported on stderr.
  int refused_lines() const { return refused_lines_; }
  void set_refused_lines(int count) { refused_lines_ = count; }
  TestNodes& test_nodes() { return test_nodes_; }

  // Configuration, used only while the card is being built.
  void SetBoardCount(int count) { board_count_ = count; }
  Segment* AddSegment(const std::string& name);  // nullptr if the name is taken
  Segment* FindSegment(std::string_view name);
  std::vector<Segment*> Segments();  // by name
  // Where a port sits: on a simulated segment (nullptr: the port's own), or on the SocketCAN
  // network interface named by iface, whose frames may be recorded in capture_path.
  struct Placement {
    bool placed = false;
    Segment* segment = nullptr;
    size_t rx_capacity = RxFifo::kDefaultCapacity;
    std::string iface;
    std::string capture_path;
  };
  bool PlacePort(int board, int driver_port, Placement placement);
  void CreatePorts();

 private:
  std::shared_ptr<DriverPort> CreatePort(int board, int driver_port, const Placement& placement);

  explicit Card(std::string network_path) : network_path_(std::move(network_path)) {}
  static std::string DefaultSegmentName(int board, int driver_port);

  const std::string network_path_;
  int board_count_ = 1;
  int refused_lines_ = 0;
  std::array<Board, kMaxBoards> boards_;
  std::array<std::array<Placement, kPortsPerBoard>, kMaxBoards> placements_;
  std::map<std::string, std::unique_ptr<Segment>, std::less<>> segments_;
  Faults faults_;
  TestNodes test_nodes_;
};

}  // namespace vcan
