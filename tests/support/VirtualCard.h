// The virtual card's test interface, reached through the library the master
// loaded: in-process nodes on a segment, fault injection and bus records.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "MasterLib.h"
#include "vcan_test.h"

namespace dnm::test {

CANMsg MakeFrame(uint32_t id, std::vector<uint8_t> data);
std::string FrameText(const CANMsg& msg);  // "42F#005E7A01000000"

class VirtualCard {
 public:
  // The card the master library loaded.
  explicit VirtualCard(const MasterLib& lib);
  // The card already loaded into this process (tests linked with it).
  VirtualCard();

  // A node on the segment of the library's (board, port 0..3).
  int32_t Attach(uint8_t board, uint8_t port, uint32_t kbit = 500) const;
  void Send(int32_t node, const CANMsg& msg) const;
  // The next frame the node heard within timeout_ms, if any.
  bool Receive(int32_t node, CANMsg& msg, uint32_t timeout_ms) const;
  // Frames heard within timeout_ms, until the node stays silent that long.
  std::vector<CANMsg> Drain(int32_t node, uint32_t quiet_ms) const;
  // times -1: every call until the code is 0 again.
  void Fail(const char* entry, int32_t code, int32_t times) const;
  void Hold(uint8_t board, uint8_t port, bool hold) const;
  VCAN_PortStats PortStats(uint8_t board, uint8_t port) const;
  // The simulated slave with MAC ID mac on the segment of (board, port 0..3).
  VCAN_SlaveState SlaveState(uint8_t board, uint8_t port, uint8_t mac) const;
  void SlaveBehaviour(uint8_t board, uint8_t port, uint8_t mac, const char* options) const;

 private:
  template <typename Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(card_ ? dlsym(card_, name) : nullptr);
  }
  void* card_;
};

// A case whose master is online on port 0 of board 0 as MAC ID 0, beside the virtual card's
// test nodes.
class OnlineMaster : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(lib_.DNM_ActiveBoard(0), 0);
    ASSERT_EQ(lib_.DNM_Online(0, 0, 0, 0), 0);
  }
  MasterLib lib_;
  std::unique_ptr<VirtualCard> card_ = std::make_unique<VirtualCard>(lib_);
};

}  // namespace dnm::test
