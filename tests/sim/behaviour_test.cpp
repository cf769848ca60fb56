// Misbehaviour on request: silence for a while, error responses, lost and refused
// fragment acknowledgements, the fragmented form of a Set answer.

#include <chrono>
#include <thread>

#include "MasterSide.h"

namespace dnsim_test {
namespace {

constexpr uint8_t kSlave = 33;
constexpr uint8_t kMaster = 1;
constexpr uint8_t kHeader = 0x40 | kMaster;
constexpr uint8_t kFrag = 0x80 | kMaster;

class Behaviour : public testing::Test {
 protected:
  void Start(const std::string& options) {
    ASSERT_NO_FATAL_FAILURE(StartOnline("slave segment=vcan0.1 mac=33 " + options + "\n"));
  }
  void Behave(const char* options) { ASSERT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, options), 0); }
  void SendAllocate() { master_.Send(UnconnectedId(kSlave), {kHeader, 0x4B, 3, 1, 1, kMaster}); }
  bool AnswersWithin(uint32_t timeout_ms) {
    SendAllocate();
    return master_.Receive(timeout_ms).has_value();
  }
  void SendFragment(const Data& data) { master_.Send(RequestId(kSlave), data); }
  Data NextAnswer() { return master_.ReceiveOn(ResponseId(kSlave)); }
  // Waits for the slave's own timer to turn it silent or back. The limit leaves room for a
  // starved machine; that the change comes late enough is what the answers before it show.
  bool SilentBecomes(uint8_t silent) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (SlaveState(kSlave).silent != silent) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
  }

  Master master_ = Master::OnPort(kMaster);
};

TEST_F(Behaviour, SilentFromAndBackAtCountFromTheChangeAndBackAtAloneStartsAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Start(""));
  Behave("silent_from=200 back_at=800");
  EXPECT_TRUE(AnswersWithin(150));
  ASSERT_TRUE(SilentBecomes(1));
  EXPECT_FALSE(AnswersWithin(200));
  EXPECT_EQ(SlaveState(kSlave).ignored_frames, 1u) << "not heard while silent";
  ASSERT_TRUE(SilentBecomes(0));
  EXPECT_TRUE(AnswersWithin(500));

  Behave("back_at=400");  // alone: the silence starts at once
  EXPECT_FALSE(AnswersWithin(200));
  ASSERT_TRUE(SilentBecomes(0));
  EXPECT_TRUE(AnswersWithin(500));
}

TEST_F(Behaviour, NamedServicesAreAnsweredWithTheErrorStatusAndBadTextIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Start("error=allocate"));
  EXPECT_EQ(master_.Unconnected(kSlave, {0x4B, 3, 1, 1, kMaster}),
            (Data{kHeader, 0x94, 0x02, 0xFF}));
  EXPECT_EQ(SlaveState(kSlave).allocated_choice, 0);

  Behave("error=get,release error_status=0x1F");
  EXPECT_TRUE(master_.Allocate(kSlave, 0x01));
  EXPECT_EQ(master_.Explicit(kSlave, GetRequest(1, 1, 1)), (Data{kMaster, 0x94, 0x1F, 0xFF}));
  EXPECT_EQ(master_.Explicit(kSlave, SetRequest(0x64, 1, 1, {1})), (Data{kMaster, 0x90}));
  EXPECT_EQ(master_.Unconnected(kSlave, {0x4C, 3, 1, 1}), (Data{kHeader, 0x94, 0x1F, 0xFF}));
  EXPECT_EQ(SlaveState(kSlave).requests[VCAN_SLAVE_GET], 1u) << "refused requests count too";

  testing::internal::CaptureStderr();
  EXPECT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, "colour=blue"), -1);
  EXPECT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, "error=get,reboot"), -1);
  EXPECT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, "vendor=5"), -1) << "not a behaviour";
  EXPECT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, "silent"), -1);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("colour"), std::string::npos) << errors;
  EXPECT_NE(errors.find("reboot"), std::string::npos) << errors;
  EXPECT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave + 1, "delay=1"), -1);
  EXPECT_EQ(VCAN_SlaveSetBehaviour(0, 2, kSlave, "delay=1"), -1) << "another segment";
  EXPECT_EQ(VCAN_SlaveSetBehaviour(0, 1, kSlave, ""), 0);

  Behave("error=none");
  EXPECT_EQ(master_.Explicit(kSlave, GetRequest(3, 1, 1)), (Data{kMaster, 0x8E, kSlave}));
}

// A lost acknowledgement, a refused one, and Set answers in fragment form.
TEST_F(Behaviour, FragmentFlawsOnRequest) {
  ASSERT_NO_FATAL_FAILURE(Start("drop_ack=2"));
  ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  const Data first{kFrag, 0x00, 0x10, 0x64, 1, 2, 0xA0, 0xA1};
  const Data middle{kFrag, 0x41, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
  SendFragment(first);
  EXPECT_EQ(NextAnswer(), (Data{kFrag, 0xC0, 0}));
  SendFragment(middle);
  EXPECT_TRUE(master_.ExpectNothing(300)) << "the second fragment is lost";
  SendFragment(middle);
  EXPECT_EQ(NextAnswer(), (Data{kFrag, 0xC1, 0}));
  SendFragment({kFrag, 0x82, 0xA8, 0xA9});
  EXPECT_EQ(NextAnswer(), (Data{kFrag, 0xC2, 0}));
  EXPECT_EQ(NextAnswer(), (Data{kMaster, 0x90}));
  EXPECT_EQ(VCAN_SlaveReadAttribute(0, 1, kSlave, 2, nullptr, 0), 10);
  EXPECT_EQ(master_.SendFragmented(kSlave, SetRequest(0x64, 1, 2, Bytes(14))),
            (Data{kMaster, 0x90}))
      << "only once";

  Behave("ack_error=1");
  SendFragment(first);
  EXPECT_EQ(NextAnswer(), (Data{kFrag, 0xC0, 1}));
  SendFragment({kFrag, 0x81, 0xA2});
  EXPECT_TRUE(master_.ExpectNothing(300)) << "the refused fragment ended the transfer";
  EXPECT_EQ(master_.SendFragmented(kSlave, SetRequest(0x64, 1, 2, Bytes(14))),
            (Data{kMaster, 0x90}));

  Behave("frag_set_response=1");
  EXPECT_EQ(master_.SendFragmented(kSlave, SetRequest(0x64, 1, 2, Bytes(14))), (Data{kFrag, 0x90}));
  EXPECT_EQ(master_.Explicit(kSlave, SetRequest(0x64, 1, 2, {1})), (Data{kMaster, 0x90}))
      << "an unfragmented Set keeps the plain answer";
}

}  // namespace
}  // namespace dnsim_test
