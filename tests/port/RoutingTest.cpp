// The receive threads' routing of frames into the port's and the devices'
// buffers, and their answers, on a port brought online on the virtual card.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "CoreTrace.h"
#include "VELKCANDNM.h"
#include "VirtualCard.h"
#include "api/Board.h"
#include "api/Library.h"
#include "device/Device_Info.h"
#include "driver/Driver.h"
#include "platform/Platform.h"
#include "port/CANPort.h"
#include "port/MapTable.h"
#include "port/MsgBuffer.h"
#include "vcan_test.h"

namespace dnm {
namespace {

constexpr uint8_t kMaster = 0;

using test::KeptTraceHas;
using test::MakeFrame;
using testing::ElementsAre;
using testing::HasSubstr;

class Routing : public ::testing::Test {
 protected:
  // The network the case runs on.
  virtual const char* Network() const { return "boards 1\n"; }

  void SetUp() override {
    test::UseNetwork(Network());
    DeviceNet_Initial();
    ASSERT_EQ(DNM_ActiveBoard(0), 0);
    ASSERT_EQ(DNM_Online(0, 0, 0, kMaster), 0);
    port_ = &Lib().boards[0]->port(0);
    node_ = VCAN_AttachNode(0, 1, 500);
    ASSERT_GT(node_, 0);
  }

  Device_Info& AddStartedDevice(uint8_t mac, bool established) {
    auto device = std::make_unique<Device_Info>(0, 0, mac);
    device->MakeBuffer(kExplicit);
    device->MakeBuffer(kPoll);
    device->set_status(kExplicit, established ? kStatusEstablished : kStatusNotEstablished);
    Device_Info& record = *device;
    port_->SetDevice(mac, std::move(device));
    port_->SetStarted(mac, true);
    return record;
  }

  uint64_t Received() const {
    VCAN_PortStats stats{};
    VCAN_GetPortStats(0, 1, &stats);
    return stats.received;
  }

  // Waits until the port has received `count` frames since `before` and its
  // receive threads have routed them: the driver holds none, and routing
  // happens under ReceiveLock, so once the lock is free they are in place.
  void WaitRouted(uint64_t before, size_t count) {
    for (int i = 0; i < 600 && (Received() < before + count || driver::RxMsgCount(0, 0) > 0); ++i)
      platform::SleepMs(5);
    std::lock_guard routed(ReceiveLock(0, 0));
  }

  // Sends the frames to the port and returns the receive threads' lines about what became of
  // them, past the lookup.
  std::vector<std::string> Deliver(std::initializer_list<CANMsg> frames) {
    HyperTraceTest_Clear();
    const uint64_t before = Received();
    for (const CANMsg& frame : frames) EXPECT_EQ(VCAN_NodeSend(node_, &frame, 1000), 0);
    WaitRouted(before, frames.size());
    std::vector<std::string> lines;
    for (const auto& line : test::KeptTraceLines()) {
      if (line.rfind("Rx_Thread", 0) == 0 && line.find("Count is") == std::string::npos &&
          line.find("Thre Message") == std::string::npos)
        lines.push_back(line);
    }
    return lines;
  }

  CANPort* port_ = nullptr;
  int32_t node_ = 0;
};

TEST_F(Routing, ConnectionStateDecidesWhatReachesTheDeviceAndAnAnswerGoesInOnce) {
  Device_Info& device = AddStartedDevice(5, false);
  port_->map().AddMap(0x42B, 5, 0);
  port_->map().AddMap(0x3C5, 5, 1);
  port_->map().AddMap(0x745, 5, 0);
  // Before the explicit connection is established: explicit answers, and group 3 answers to the
  // unconnected request, but no I/O.
  EXPECT_THAT(Deliver({MakeFrame(0x42B, {0x40, 0xCB, 0x00})}), ElementsAre());
  EXPECT_THAT(Deliver({MakeFrame(0x745, {0x40, 0xCB, 0x00, 0x00, 0x07})}),
              ElementsAre(HasSubstr("Device Establish Explicit Connection by Group 3!!")));
  EXPECT_EQ(device.buffer(kExplicit)->GetDataCount(), 2);

  device.set_status(kExplicit, kStatusEstablished);
  EXPECT_THAT(Deliver({MakeFrame(0x42B, {0x40, 0x8E, 0x01})}),
              ElementsAre(HasSubstr("Device doesn't receive its own Explicit and I/O Message!!")));
  EXPECT_EQ(device.buffer(kExplicit)->GetDataCount(), 3);
  const auto lines = Deliver({MakeFrame(0x3C5, {0x11, 0x22})});
  EXPECT_EQ(device.buffer(kPoll)->GetDataCount(), 1);  // one copy
  ASSERT_EQ(lines.size(), 1u);
  // Any of the five threads may have taken it: compare what follows its name.
  EXPECT_EQ(lines[0].substr(lines[0].find("( )")),
            "( )   Device doesn't Establish Explicit Connection!! The Message CANRx.id=3c5 will be "
            "deserted!!");

  // A group 3 answer is an I/O identifier too, and goes in once; a frame without data names no
  // MAC ID, not even the master's 0.
  Deliver({MakeFrame(0x745, {0x40, 0xCC, 0x00})});
  EXPECT_EQ(device.buffer(kExplicit)->GetDataCount(), 4);
  Deliver({MakeFrame(0x42B, {})});
  EXPECT_EQ(device.buffer(kExplicit)->GetDataCount(), 4);
}

TEST_F(Routing, FramesNotForAStartedConnectedDeviceAreDesertedAndOwnershipRequestsAnswered) {
  Device_Info& unconnected = AddStartedDevice(5, false);
  Device_Info& stopped = AddStartedDevice(7, true);
  port_->SetStarted(7, false);
  port_->map().AddMap(0x42B, 5, 0);
  port_->map().AddMap(0x3C5, 5, 1);
  port_->map().AddMap(0x43B, 7, 0);
  const struct {
    CANMsg frame;
    const char* line;
  } cases[] = {
      {MakeFrame(0x42B, {0x41, 0xCB}), "Data0: 41 will be deserted!!"},  // to another master
      {MakeFrame(0x3C5, {0x11, 0x22}), "Data0: 11 will be deserted!!"},  // I/O, not connected
      {MakeFrame(0x43B, {0x40, 0x8E}), "Device doesn't Start!!"},
      {MakeFrame(0x123, {1, 2}), "The Message CANRx.id=123 will be deserted!!"},  // no route
  };
  for (const auto& c : cases) EXPECT_THAT(Deliver({c.frame}), ElementsAre(HasSubstr(c.line)));
  EXPECT_EQ(unconnected.buffer(kExplicit)->GetDataCount(), 0);
  EXPECT_EQ(unconnected.buffer(kPoll)->GetDataCount(), 0);
  EXPECT_EQ(stopped.buffer(kExplicit)->GetDataCount(), 0);

  // Ownership requests, without a route too, are answered only while ownership is held.
  const CANMsg request = MakeFrame(0x7EF, {0x05, 0x4B, 0x01, 0x00, 0x01, 0, 0, 0});
  Deliver({request});
  CANMsg answer{};
  EXPECT_NE(VCAN_NodeReceive(node_, &answer, 100), 0);
  port_->set_ownership(true);
  Deliver({request});
  ASSERT_EQ(VCAN_NodeReceive(node_, &answer, 500), 0);
  EXPECT_EQ(answer.id, 0x7EFu);
  ASSERT_EQ(answer.len, 8);
  const uint8_t expected[8] = {kMaster, 0xCB, kMasterVendorID & 0xFF, kMasterVendorID >> 8, 1, 0,
                               0,       0};
  EXPECT_EQ(0, memcmp(answer.data, expected, 8));
}

TEST_F(Routing, PortBufferGetsSharedIdentifiersAndBurstsInOrder) {
  Device_Info& a = AddStartedDevice(8, true);
  Device_Info& b = AddStartedDevice(9, true);
  port_->map().AddMap(0x3C0, 8, 1);
  port_->map().AddMap(0x3C0, 9, 1);
  port_->map().AddMap(0x3C0, kPortBufferId, kPortBufferId);
  port_->map().AddMap(0x7EE, kPortBufferId, kPortBufferId);
  Deliver({MakeFrame(0x3C0, {0xAA})});
  EXPECT_EQ(a.buffer(kPoll)->GetDataCount(), 1);
  EXPECT_EQ(b.buffer(kPoll)->GetDataCount(), 1);
  CANMsg out{};
  ASSERT_EQ(port_->port_buffer().GetMsg(out, 0x3C0), 0);

  std::vector<CANMsg> burst;
  for (uint8_t i = 0; i < 64; ++i) burst.push_back(MakeFrame(0x7EE, {i}));
  const uint64_t before = Received();
  VCAN_HoldSegment(0, 1, 1);  // all queued, then back to back on the bus
  for (const CANMsg& frame : burst) ASSERT_EQ(VCAN_NodeSend(node_, &frame, 1000), 0);
  VCAN_HoldSegment(0, 1, 0);
  WaitRouted(before, burst.size());
  ASSERT_EQ(port_->port_buffer().GetDataCount(), 64);
  for (uint8_t i = 0; i < 64; ++i) {
    ASSERT_EQ(port_->port_buffer().GetMsg(out, 0x7EE), 0);
    EXPECT_EQ(out.data[0], i);
  }
}

// A worker looks the device's buffers up without a lock while a configuration call on the
// started device makes one; under ThreadSanitizer the two must not race.
TEST_F(Routing, AWorkerMayLookUpABufferWhileAConfigurationMakesIt) {
  Device_Info& device = AddStartedDevice(5, true);
  std::thread worker([&device] {
    while (device.buffer(kCosCyclic) == nullptr) std::this_thread::yield();
    EXPECT_EQ(device.buffer(kCosCyclic)->GetDataCount(), 0);
  });
  device.MakeBuffer(kCosCyclic);
  worker.join();
}

// Once the device holds another connection set (the port released the set, or the explicit
// connection was made anew), an I/O connection of the set before no longer reads as standing,
// also while its worker has not yet noticed.
TEST_F(Routing, AnIoConnectionStandsOnlyInTheSetItWasSetUpIn) {
  Device_Info& device = AddStartedDevice(5, true);
  device.set_status(kPoll, kStatusEstablished);
  EXPECT_EQ(device.status(kPoll), kStatusEstablished);
  device.NewConnectionSet();
  EXPECT_EQ(device.status(kPoll), kStatusNotEstablished);
  EXPECT_EQ(device.status(kExplicit), kStatusEstablished);
  device.set_status(kPoll, kStatusEstablished);
  EXPECT_EQ(device.status(kPoll), kStatusEstablished);
}

class RoutingSmallQueue : public Routing {
  const char* Network() const override { return "port 0/1 rxfifo=8\n"; }
};

// The card tells of the overrun before the 8 frames it kept, which came before the ones it
// dropped: the frame after the loss is marked, not only the first one kept.
TEST_F(RoutingSmallQueue, DataOverrunIsTracedClearedAndTheKeptFramesStillRouted) {
  MsgBuffer& buffer = *AddStartedDevice(5, true).buffer(kPoll);
  port_->map().AddMap(0x3C5, 5, kPoll);
  port_->PauseReceiveThreads();
  for (uint8_t i = 0; i < 40; ++i) {
    const CANMsg frame = MakeFrame(0x3C5, {i});
    ASSERT_EQ(VCAN_NodeSend(node_, &frame, 1000), 0);
  }
  VCAN_PortStats stats{};
  for (int i = 0; i < 400 && stats.received + stats.overrun_drops < 40; ++i) {
    platform::SleepMs(5);
    VCAN_GetPortStats(0, 1, &stats);
  }
  HyperTraceTest_Clear();
  port_->ResumeReceiveThreads();
  WaitRouted(0, 0);
  ASSERT_EQ(stats.overrun_drops, 32u);  // the card's queue holds 8
  EXPECT_TRUE(KeptTraceHas("API_CAN_ReceiveMsg( ) --> CAN Message --> CAN_DataOverrun"));
  EXPECT_EQ(buffer.GetDataCount(), 8);
  const CANMsg next = MakeFrame(0x3C5, {40});
  ASSERT_EQ(VCAN_NodeSend(node_, &next, 1000), 0);
  WaitRouted(stats.received, 1);
  std::vector<int> after_loss;
  CANMsg out{};
  for (bool lost = false; buffer.GetMsg(out, FrameKey::Id(0x3C5), lost) == 0;) {
    if (lost) after_loss.push_back(out.data[0]);
  }
  EXPECT_THAT(after_loss, ElementsAre(0, 40));
  DNM_PortStatistics statistics{};
  ASSERT_EQ(DNM_GetPortStatistics(0, 0, &statistics), 0);
  EXPECT_EQ(statistics.overruns, 1u);
  EXPECT_EQ(statistics.frames_received, 9u);
}

TEST(PortThreads, OnlineFailsWhenTheReceiveThreadsCannotBeMade) {
  DeviceNet_Initial();
  ASSERT_EQ(DNM_ActiveBoard(0), 0);
  platform::FailNextThreadCreations(1);
  HyperTraceTest_Clear();
  EXPECT_EQ(DNM_Online(0, 1, 0, 3), DNM_CreateThreadError);
  EXPECT_TRUE(KeptTraceHas("Create H_Rx_Thread1 Error"));
  EXPECT_EQ(DNM_Offline(0, 1), DNM_MasterStateError);
  EXPECT_EQ(DNM_Online(0, 1, 0, 3), 0);  // the next try makes them
}

// Refused frames never reach the driver. A full transmit queue is back-pressure: a sender waits
// for room, requests ahead of I/O, and fails only after the port's bound; an answer to another
// node never waits.
TEST_F(Routing, AFullTransmitQueueIsWaitedOutRequestsFirst) {
  VCAN_PortStats before{};
  VCAN_GetPortStats(0, 1, &before);
  const uint8_t data[9] = {};
  EXPECT_EQ(port_->SendCmd(0x20000000, 0, 1, data), DNM_TxMessageConnectionIDError);
  EXPECT_EQ(port_->SendCmd(0x100, 1, 1, data), DNM_TxMessageRTRError);
  EXPECT_EQ(port_->SendCmd(0x100, 0, 9, data), DNM_TxMessageLengthError);
  VCAN_PortStats after{};
  VCAN_GetPortStats(0, 1, &after);
  EXPECT_EQ(after.sent, before.sent);
  HyperTraceTest_Clear();
  EXPECT_EQ(port_->SendCmd(0x1FFFFFFF & 0x7FF, 0, 0, data), 0);
  const auto lines = test::KeptTraceLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "CANPort::SencCmd( )   7ff 0 0 0 0 0 0 0 0 0 0 0");

  ASSERT_EQ(DNM_Online(0, 1, 2, kMaster), 0);  // 125 kbit/s: a bound of 277 ms
  CANPort& port = Lib().boards[0]->port(1);
  const int32_t node = VCAN_AttachNode(0, 2, 125);
  VCAN_HoldSegment(0, 2, 1);
  const uint8_t byte = 0;
  while (port.SendCmd(0x600, 0, 1, &byte) == 0) {
  }
  EXPECT_EQ(port.SendLocked(0x601, 1, &byte, SendClass::kAnswer), CAN_TransmitBufferLocked);
  EXPECT_EQ(port.SendLocked(0x602, 1, &byte, SendClass::kIo), CAN_TransmitBufferLocked);
  uint16_t io = 1;
  uint16_t request = 1;
  std::thread io_sender([&] { io = port.SendLocked(0x5AA, 1, &byte, SendClass::kIo); });
  platform::SleepMs(20);
  std::thread request_sender([&] { request = port.SendLocked(0x5BB, 1, &byte); });
  platform::SleepMs(20);
  VCAN_HoldSegment(0, 2, 0);
  io_sender.join();
  request_sender.join();
  EXPECT_EQ(io, 0);
  EXPECT_EQ(request, 0);
  std::vector<uint32_t> heard;
  for (CANMsg msg{}; VCAN_NodeReceive(node, &msg, 500) == 0;) heard.push_back(msg.id);
  const auto at = [&](uint32_t id) { return std::find(heard.begin(), heard.end(), id); };
  ASSERT_NE(at(0x5AA), heard.end());
  EXPECT_LT(at(0x5BB), at(0x5AA));
  EXPECT_EQ(at(0x601), heard.end());
}

}  // namespace
}  // namespace dnm
