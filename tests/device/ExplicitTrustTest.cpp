// Explicit messaging against the simulated slaves of the virtual card (what
// a user sees without hardware) and against devices that misbehave as real
// ones do: connections left idle, devices that fall silent or restart, late
// and stray answers, malformed fragments, calls while other threads keep
// the devices busy, and settings that cannot work.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "MasterLib.h"
#include "Responder.h"
#include "VirtualCard.h"

namespace dnm::test {
namespace {

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class SimulatedSlaves : public ::testing::Test {
 protected:
  void Load(const std::string& network) {
    UseNetwork(network);
    lib_ = std::make_unique<MasterLib>();
    ASSERT_EQ(lib_->DNM_ActiveBoard(0), 0);
    ASSERT_EQ(lib_->DNM_Online(0, 0, 0, 0), 0);
  }

  void Connect(uint8_t mac, uint8_t ucmm = 0) {
    ASSERT_EQ(lib_->DNM_AddDevice(0, 0, mac, ucmm), 0);
    ASSERT_EQ(lib_->DNM_ConfigExplicitMsg(0, 0, mac, 1), 0);
    ASSERT_EQ(lib_->DNM_StartDevice(0, 0, mac), 0);
    ASSERT_GE(WaitStatus(mac, 0, 3000), 0);
  }

  // Milliseconds until the connection status reads want, -1 after limit_ms.
  int64_t WaitStatus(uint8_t mac, uint16_t want, int limit_ms) {
    const auto start = Clock::now();
    const auto reads = [&] {
      return lib_->DNM_CheckExplicitMsgConnectionStatus(0, 0, mac) == want;
    };
    return Eventually(reads, limit_ms) ? MsSince(start) : -1;
  }

  uint16_t Get(uint8_t mac, uint8_t attribute, uint8_t* first = nullptr) {
    uint8_t area[64] = {};
    uint32_t length = 0;
    const uint16_t result = lib_->DNM_GetAttribute(0, 0, mac, 0x64, 1, attribute, area, &length);
    if (first != nullptr) *first = area[0];
    return result;
  }

  void Behave(uint8_t mac, const char* options) {
    VirtualCard(*lib_).SlaveBehaviour(0, 0, mac, options);
  }
  VCAN_SlaveState State(uint8_t mac) const { return VirtualCard(*lib_).SlaveState(0, 0, mac); }

  std::unique_ptr<MasterLib> lib_;
};

constexpr const char* kThreeSlaves =
    "slave segment=vcan0.1 mac=3 attr=1:11,2:22\n"
    "slave segment=vcan0.1 mac=4 attr=1:41,2:42\n"
    "slave segment=vcan0.1 mac=12 ucmm=1 attr=1:C1\n";

// Slaves drop an explicit connection that carries nothing for 10 s. A slow
// device, whose keep-alives miss their first second, stays up too.
TEST_F(SimulatedSlaves, IdleConnectionsStayUpBusyOnesSendNoKeepAliveAndUcmmRoutesAreOne) {
  Load(kThreeSlaves);
  Connect(3);
  Connect(12, 1);
  Behave(12, "delay=2500");
  Connect(4);
  for (int second = 0; second < 30; ++second) {
    ASSERT_EQ(Get(4, 1), 0);
    std::this_thread::sleep_for(milliseconds(1000));
    for (uint8_t mac : {3, 4, 12})
      ASSERT_EQ(lib_->DNM_CheckExplicitMsgConnectionStatus(0, 0, mac), 0);
  }
  uint8_t value = 0;
  EXPECT_EQ(Get(3, 1, &value), 0);
  EXPECT_EQ(value, 0x11);
  EXPECT_EQ(Get(12, 1, &value), 0);
  EXPECT_EQ(value, 0xC1);
  for (uint8_t mac : {3, 4, 12}) EXPECT_EQ(State(mac).watchdog_expiries, 0u) << int{mac};
  EXPECT_EQ(State(4).requests[VCAN_SLAVE_GET], 30u);
  for (uint8_t mac : {3, 12}) EXPECT_GE(State(mac).requests[VCAN_SLAVE_GET], 4u);  // keep-alives
  EXPECT_EQ(lib_->DNM_GetExplicitMsgNoResponse(0, 0, 3), 0u);
  Behave(12, "delay=0");

  // A UCMM device stopped and started, or removed and added again, has one route.
  ASSERT_EQ(lib_->DNM_StopDevice(0, 0, 12), 0);
  std::this_thread::sleep_for(milliseconds(300));
  ASSERT_EQ(lib_->DNM_StartDevice(0, 0, 12), 0);
  ASSERT_GE(WaitStatus(12, 0, 3000), 0);
  EXPECT_GE(State(12).requests[VCAN_SLAVE_OPEN], 2u);
  // The answers on the device's group 3 identifier find one route, not one
  // per opening.
  lib_->ClearTrace();
  EXPECT_EQ(Get(12, 2), DNM_GetAttributeResponseError);  // answered: no such attribute
  EXPECT_FALSE(lib_->LinesWith("Count is 1").empty());
  EXPECT_TRUE(lib_->LinesWith("Count is 2").empty());
  // The device added again gets its route again.
  ASSERT_EQ(lib_->DNM_RemoveDevice(0, 0, 12), 0);
  Connect(12, 1);
  EXPECT_EQ(Get(12, 2), DNM_GetAttributeResponseError);
}

TEST_F(SimulatedSlaves, SilentDeviceIsDeclaredLostCountedAndConnectedAgain) {
  Load(kThreeSlaves);
  Connect(3);
  Behave(3, "silent=1");
  const int64_t lost = WaitStatus(3, DNM_ExplicitConnectionDown, 15000);
  EXPECT_GE(lost, 0);
  EXPECT_LE(lost, 12000);
  EXPECT_GE(lib_->DNM_GetExplicitMsgNoResponse(0, 0, 3), 2u);
  EXPECT_EQ(lib_->DNM_GetExplicitMsgErrorResponse(0, 0, 3), 0u);
  Behave(3, "silent=0");
  EXPECT_GE(WaitStatus(3, 0, 8000), 0);
  EXPECT_EQ(Get(3, 2), 0);

  // Every send meets a full queue: the keep-alive due after 5 s of idling asks nothing, so it is
  // no miss until the master has heard nothing from the device for four expected packet rates
  // (10 s); then the device is gone.
  VirtualCard(*lib_).Fail("CAN_SendMsg", 16, VCAN_EVERY_CALL);
  std::this_thread::sleep_for(milliseconds(8000));
  EXPECT_EQ(lib_->DNM_CheckExplicitMsgConnectionStatus(0, 0, 3), 0);
  EXPECT_GE(WaitStatus(3, DNM_ExplicitConnectionDown, 8000), 0);
  VirtualCard(*lib_).Fail("CAN_SendMsg", 0, VCAN_EVERY_CALL);
  EXPECT_GE(WaitStatus(3, 0, 15000), 0);
}

TEST_F(SimulatedSlaves, PowerCycledDeviceAnswersAgainWithinSeconds) {
  Load(kThreeSlaves);
  Connect(3);
  Connect(12, 1);
  for (uint8_t mac : {3, 12}) Behave(mac, "power_cycle=1");
  const auto start = Clock::now();
  const auto read_until_answered = [&](uint8_t mac) {
    EXPECT_NE(Get(mac, 1), 0) << "the device has forgotten the connection";
    while (Get(mac, 1) != 0 && MsSince(start) < 10000)
      std::this_thread::sleep_for(milliseconds(200));
    return MsSince(start);
  };
  auto group2 = std::async(std::launch::async, read_until_answered, 3);
  auto ucmm = std::async(std::launch::async, read_until_answered, 12);
  EXPECT_LT(group2.get(), 8000);
  EXPECT_LT(ucmm.get(), 8000);
}

TEST_F(SimulatedSlaves, ErrorResponsesAreCountedAndStrayFramesDoNotPileUp) {
  Load(kThreeSlaves);
  Connect(3);
  Behave(3, "error=get");
  EXPECT_EQ(Get(3, 1), DNM_GetAttributeResponseError);
  EXPECT_EQ(lib_->DNM_GetExplicitMsgErrorResponse(0, 0, 3), 1u);
  EXPECT_EQ(lib_->DNM_GetExplicitMsgNoResponse(0, 0, 3), 0u);
  EXPECT_EQ(lib_->DNM_GetExplicitMsgErrorResponse(0, 0, 9), 0u);  // no such device
  Behave(3, "error=none");

  // More frames that answer nothing than the device's buffer holds.
  VirtualCard card(*lib_);
  const int32_t node = card.Attach(0, 0);
  for (int i = 0; i < 80; ++i) card.Send(node, MakeFrame(0x403 + 3 * 8, {0xFF}));
  std::this_thread::sleep_for(milliseconds(300));
  uint8_t value = 0;
  EXPECT_EQ(Get(3, 2, &value), 0);
  EXPECT_EQ(value, 0x22);
  EXPECT_EQ(lib_->DNM_CheckExplicitMsgConnectionStatus(0, 0, 3), 0);
}

// A device on a test node: it establishes the connection, answers the
// library's own requests at once and each attribute request with the
// script's frames.
class HostileDevice : public SimulatedSlaves {
 protected:
  using Frames = std::vector<CANMsg>;
  static constexpr uint8_t kMac = 5;

  void SetUp() override {
    Load("");
    card_ = std::make_unique<VirtualCard>(*lib_);
    device_ = std::make_unique<Responder>(*card_, 0, 0, Device(nullptr));
    Connect(kMac);
  }

  // Answers the connection's requests, and hands the attribute requests to script.
  static Responder::Script Device(std::function<Frames(const CANMsg&)> script) {
    return [script](const CANMsg& m) -> Frames {
      if (m.id == 0x406 + kMac * 8u) return {Answer({0x40, uint8_t(m.data[1] | 0x80), 0x00})};
      if (m.id != 0x404 + kMac * 8u) return {};
      if ((m.data[0] & 0xC0) == 0x40) return {Answer({0x40, uint8_t(m.data[1] | 0x80), 0x03})};
      return script ? script(m) : Frames{};
    };
  }

  static CANMsg Answer(std::vector<uint8_t> data) { return MakeFrame(0x403 + kMac * 8u, data); }

  void Script(std::function<Frames(const CANMsg&)> script) {
    device_->SetScript(Device(std::move(script)));
  }

  std::unique_ptr<VirtualCard> card_;
  std::unique_ptr<Responder> device_;  // ends first: it uses the card
};

// The device answers the first read only after the call gave up, and the
// answers of a device come in the order of its requests.
TEST_F(HostileDevice, LateAnswerNeverAnswersTheNextRequest) {
  Script([](const CANMsg& m) -> Frames {
    if (m.data[1] != 0x0E) return {};
    if (m.data[4] == 1) std::this_thread::sleep_for(milliseconds(3500));
    return {Answer({0x00, 0x8E, uint8_t(m.data[4] * 0x11)})};
  });
  EXPECT_EQ(Get(kMac, 1), DNM_GetAttributeResponseTimeout);
  for (int i = 0; i < 3; ++i) {
    uint8_t value = 0;
    EXPECT_EQ(Get(kMac, 2, &value), 0);
    EXPECT_EQ(value, 0x22) << "read " << i;
  }
  EXPECT_EQ(lib_->DNM_GetExplicitMsgNoResponse(0, 0, kMac), 1u);
}

// Each sequence: the fragments the device sends at once in answer to the read, in this order,
// not waiting for acknowledgements.
struct Malformed {
  const char* what;
  std::vector<std::vector<uint8_t>> fragments;
};

TEST_F(HostileDevice, MalformedFragmentSequencesAreFragmentErrors) {
  const std::vector<uint8_t> first = {0x80, 0x00, 0x8E, 1, 2, 3, 4, 5};
  const std::vector<uint8_t> middle = {0x80, 0x41, 6, 7, 8, 9, 10, 11};
  const Malformed cases[] = {
      {"short first fragment",
       {{0x80, 0x00, 0x8E, 0xAA}, {0x80, 0x41, 0xBB, 0xCC}, {0x80, 0x82, 0xDD}}},
      {"short middle fragment", {first, {0x80, 0x41, 6, 7}, {0x80, 0x82, 8}}},
      {"count out of sequence", {first, {0x80, 0x45, 6, 7, 8, 9, 10, 11}, {0x80, 0x81, 12}}},
      {"empty last fragment", {first, {0x80, 0x81}}},
      {"no fragment byte", {first, {0x80}}},
      {"fragment from further back", {first, middle, first, {0x80, 0x82, 12}}},
      {"last counted as the middle", {first, middle, {0x80, 0x81, 12}}},
      {"middle before the first", {middle, first, {0x80, 0x82, 12}}},
  };
  for (const Malformed& c : cases) {
    Script([fragments = c.fragments](const CANMsg& m) -> Frames {
      Frames sent = {Answer({0x00, 0x90})};  // answers nothing: the read waits a pass
      for (const auto& fragment : fragments) sent.push_back(Answer(fragment));
      return m.data[1] == 0x0E ? sent : Frames{};
    });
    uint8_t area[64];
    std::fill(std::begin(area), std::end(area), 0xCC);
    uint32_t length = 99;
    EXPECT_EQ(lib_->DNM_GetAttribute(0, 0, kMac, 1, 1, 7, area, &length),
              DNM_GetAttributeFragmentTimeout)
        << c.what;
    EXPECT_TRUE(std::all_of(std::begin(area), std::end(area), [](uint8_t b) { return b == 0xCC; }))
        << c.what;
    EXPECT_EQ(length, 99u) << c.what;
  }
  // A fragment sent again (its acknowledgement was missed) is acknowledged again, not taken.
  Script([&](const CANMsg& m) -> Frames {
    if (m.data[1] != 0x0E) return {};
    return {Answer(first), Answer(middle), Answer(middle), Answer({0x80, 0x82, 12})};
  });
  uint8_t area[64] = {};
  uint32_t length = 0;
  ASSERT_EQ(lib_->DNM_GetAttribute(0, 0, kMac, 1, 1, 7, area, &length), 0);
  EXPECT_EQ(std::vector<uint8_t>(area, area + length),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

// Strict slaves answer a release of nothing with an error and refuse to allocate again what
// the master holds. Each I/O kind connects on either route at the first allocation, with no
// error counted; a set the slave still holds for the master from before (a restarted
// application) is released once and allocated again.
struct StrictCase {
  const char* name;
  const char* io;     // the slave's io= (and further keys)
  uint8_t choice;     // what the master allocates
  bool ucmm;          // explicit connection through UCMM
  bool held_before;   // the slave holds the set for MAC ID 0 already
};

void PrintTo(const StrictCase& c, std::ostream* out) { *out << c.name; }

class StrictAllocation : public SimulatedSlaves,
                         public ::testing::WithParamInterface<StrictCase> {
 protected:
  static constexpr uint8_t kMac = 9;

  void Configure(const StrictCase& c) {
    ASSERT_EQ(lib_->DNM_AddDevice(0, 0, kMac, c.ucmm), 0);
    ASSERT_EQ(lib_->DNM_ConfigExplicitMsg(0, 0, kMac, 1), 0);
    const bool has[] = {(c.choice & 0x02) != 0, (c.choice & 0x04) != 0, (c.choice & 0x10) != 0,
                        (c.choice & 0x20) != 0};
    EXPECT_EQ(has[0] ? lib_->DNM_ConfigPoll(0, 0, kMac, 2, 2, 200, 0) : 0, 0);
    EXPECT_EQ(has[1] ? lib_->DNM_ConfigBitStrobe(0, 0, kMac, 2, 200, 0) : 0, 0);
    EXPECT_EQ(has[2] ? lib_->DNM_ConfigCOS(0, 0, kMac, 2, 2, 0, 200, 0) : 0, 0);
    EXPECT_EQ(has[3] ? lib_->DNM_ConfigCyclic(0, 0, kMac, 2, 2, 0, 200, 0) : 0, 0);
  }

  // Allocates the set for MAC ID 0 from a node of the test, as a master run before did.
  void HoldSetForMaster(uint8_t choice) {
    VirtualCard card(*lib_);
    const int32_t node = card.Attach(0, 0);
    card.Send(node, MakeFrame(0x406 + kMac * 8, {0x40, 0x4B, 0x03, 0x01, choice, 0x00}));
    ASSERT_TRUE(Eventually([&] { return State(kMac).allocated_choice == choice; }, 2000));
  }
};

TEST_P(StrictAllocation, EveryIoKindConnectsAtOnceOnEitherRoute) {
  const StrictCase& c = GetParam();
  Load(std::string("slave segment=vcan0.1 mac=9 produced=2 consumed=2 io=") + c.io +
       (c.ucmm ? " ucmm=1\n" : "\n"));
  ASSERT_NO_FATAL_FAILURE(Configure(c));
  if (c.held_before) {
    ASSERT_NO_FATAL_FAILURE(HoldSetForMaster(c.choice | 0x01));
  }
  const auto start = Clock::now();
  ASSERT_EQ(lib_->DNM_StartDevice(0, 0, kMac), 0);
  const bool up = Eventually([&] { return lib_->DNM_GetDeviceStatus(0, 0, kMac) == 0; }, 12000);
  ASSERT_TRUE(up) << "device status " << lib_->DNM_GetDeviceStatus(0, 0, kMac) << " after "
                  << MsSince(start) << " ms (about 3 s unless the process was starved)";
  std::this_thread::sleep_for(milliseconds(1500));
  const VCAN_SlaveState state = State(kMac);
  EXPECT_EQ(state.allocated_choice, c.choice | 0x01);
  EXPECT_EQ(state.master_mac, 0);
  // With the set held before: the test's allocation, the refused one and the one after the release.
  EXPECT_EQ(state.requests[VCAN_SLAVE_ALLOCATE], c.held_before ? 3u : 1u) << "refused allocations";
  EXPECT_EQ(state.requests[VCAN_SLAVE_RELEASE], c.held_before ? 1u : 0u) << "releases of nothing";
  EXPECT_EQ(lib_->DNM_GetExplicitMsgErrorResponse(0, 0, kMac), 0u);
  EXPECT_EQ(lib_->DNM_GetDeviceStatus(0, 0, kMac), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, StrictAllocation,
    ::testing::Values(StrictCase{"Group2Poll", "poll", 0x02, false, false},
                      StrictCase{"Group2Strobe", "strobe", 0x04, false, false},
                      StrictCase{"Group2Cos", "cos", 0x10, false, false},
                      StrictCase{"Group2PollAndCyclic", "poll,cyclic", 0x22, false, false},
                      StrictCase{"Group2HeldBefore", "poll,strobe", 0x06, false, true},
                      StrictCase{"Group2EveryReleaseRefused", "poll error=release", 0x02, false,
                                 false},
                      StrictCase{"UcmmPoll", "poll", 0x02, true, false},
                      StrictCase{"UcmmStrobe", "strobe", 0x04, true, false},
                      StrictCase{"UcmmCos", "cos", 0x10, true, false},
                      StrictCase{"UcmmPollAndCyclic", "poll,cyclic", 0x22, true, false},
                      StrictCase{"UcmmHeldBefore", "poll", 0x02, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimulatedSlaves, StartStopAndRemoveReturnUnderAttributeLoad) {
  Load(kThreeSlaves);
  Connect(3);
  Connect(4);
  std::atomic<bool> done{false};
  std::vector<std::future<void>> load;
  for (int t = 0; t < 6; ++t) {
    load.push_back(std::async(std::launch::async, [&, t] {
      const uint8_t mac = t % 2 ? 3 : 4;
      const uint8_t value[1] = {uint8_t(t)};
      while (!done) {
        // Refused calls (device stopped or gone) return at once.
        if (Get(mac, 1) != 0 || lib_->DNM_SetAttribute(0, 0, mac, 0x64, 1, 9, value, 1) != 0)
          std::this_thread::sleep_for(milliseconds(5));
      }
    }));
  }
  std::this_thread::sleep_for(milliseconds(500));
  // Each returns while the load goes on (a call stuck behind it would end the test by time).
  EXPECT_EQ(lib_->DNM_StopDevice(0, 0, 3), 0);
  EXPECT_EQ(lib_->DNM_StartDevice(0, 0, 3), 0);
  EXPECT_GE(WaitStatus(3, 0, 5000), 0);
  EXPECT_EQ(lib_->DNM_RemoveDevice(0, 0, 4), 0);
  EXPECT_EQ(lib_->DNM_CloseBoard(0), 0);
  done = true;
  for (auto& thread : load) thread.get();
}

TEST_F(SimulatedSlaves, SettingsThatCannotWorkAreRefused) {
  Load("");
  VirtualCard card(*lib_);
  ASSERT_EQ(lib_->DNM_Offline(0, 0), 0);
  ASSERT_EQ(lib_->DNM_Online(0, 1, 0, 0), 0);
  card.Fail("CAN_Config", 8, 1);
  lib_->ClearTrace();
  EXPECT_EQ(lib_->DNM_Online(0, 0, 0, 0), 8);
  EXPECT_TRUE(
      lib_->HasLine("DNM_Onine( )----> API_CAN_Config( ) --> CAN Message --> CCAN_ConfigError"));
  EXPECT_EQ(card.PortStats(0, 0).on_bus, 0);
  EXPECT_EQ(lib_->DNM_Offline(0, 0), DNM_MasterStateError);
  card.Fail("CAN_Config", 8, 1);
  EXPECT_EQ(lib_->DNM_ChangeBaudrate(0, 1, 1), DNM_ChangeBaudrateError);
  EXPECT_EQ(card.PortStats(0, 1).on_bus, 0);

  ASSERT_EQ(lib_->DNM_Online(0, 0, 0, 0), 0);
  ASSERT_EQ(lib_->DNM_AddDevice(0, 0, 5, 0), 0);
  EXPECT_EQ(lib_->DNM_ConfigExplicitMsg(0, 0, 5, 4), DNM_WatchdogActionError);
  EXPECT_EQ(lib_->DNM_ConfigExplicitMsg(0, 0, 5, 0x10003), DNM_WatchdogActionError);
  EXPECT_EQ(lib_->DNM_CheckExplicitMsgConnectionStatus(0, 0, 5), DNM_ExplicitMsgNotConfigure);
  EXPECT_EQ(lib_->DNM_ConfigExplicitMsg(0, 0, 5, 3), 0);
}

}  // namespace
}  // namespace dnm::test
