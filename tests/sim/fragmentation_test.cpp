// Explicit messages in fragments, both ways: long Get answers with acknowledgements, resend and
// abandon; fragmented Set requests acknowledged fragment by fragment.

#include "MasterSide.h"

namespace dnsim_test {
namespace {

using vcan_test::StampOf;

constexpr uint8_t kSlave = 5;
constexpr uint8_t kMaster = 0;
constexpr uint8_t kFrag = 0x80 | kMaster;

class Fragmentation : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StartOnline("slave segment=vcan0.1 mac=5\n"));
    ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  }
  void RequestProductName() { master_.Send(RequestId(kSlave), {kMaster, 0x0E, 1, 1, 7}); }
  void Ack(uint8_t count, uint8_t status = 0) {
    master_.Send(RequestId(kSlave), {kFrag, static_cast<uint8_t>(0xC0 | count), status});
  }
  Data NextAnswer() { return master_.ReceiveOn(ResponseId(kSlave)); }

  Master master_ = Master::OnPort(kMaster);
};

// "Virtual IO Block": 17 bytes of SHORT_STRING, 18 with the service code, three fragments.
const Data kFirstFragment{kFrag, 0x00, 0x8E, 16, 'V', 'i', 'r', 't'};
const Data kMiddleFragment{kFrag, 0x41, 'u', 'a', 'l', ' ', 'I', 'O'};
const Data kLastFragment{kFrag, 0x82, ' ', 'B', 'l', 'o', 'c', 'k'};

// An acknowledgement with an error status, or a new request, ends the transfer.
TEST_F(Fragmentation, LongGetAnswerWaitsForEachAcknowledgementAndIsEndedOrAbandoned) {
  RequestProductName();
  EXPECT_EQ(NextAnswer(), kFirstFragment);
  EXPECT_TRUE(master_.ExpectNothing(200)) << "the next fragment waits for the acknowledgement";
  Ack(5);  // not the fragment's count: passed over
  EXPECT_TRUE(master_.ExpectNothing(200));
  Ack(0);
  EXPECT_EQ(NextAnswer(), kMiddleFragment);
  Ack(1);
  EXPECT_EQ(NextAnswer(), kLastFragment);
  Ack(2);

  RequestProductName();
  EXPECT_EQ(NextAnswer(), kFirstFragment);
  Ack(0, 1);
  EXPECT_TRUE(master_.ExpectNothing(1300));

  RequestProductName();
  EXPECT_EQ(NextAnswer(), kFirstFragment);
  EXPECT_EQ(master_.Explicit(kSlave, GetRequest(3, 1, 1)), (Data{kMaster, 0x8E, kSlave}));
  EXPECT_TRUE(master_.ExpectNothing(1300)) << "the old answer is neither continued nor resent";

  // A fragment not acknowledged is resent once, then the transfer is abandoned.
  RequestProductName();
  const auto first = master_.Receive();
  ASSERT_TRUE(first);
  const auto resent = master_.Receive(2500);
  ASSERT_TRUE(resent);
  EXPECT_EQ(vcan_test::DataOf(*resent), kFirstFragment);
  EXPECT_GE(StampOf(*resent) - StampOf(*first), 950'000u);
  EXPECT_TRUE(master_.ExpectNothing(1500)) << "abandoned after one resend";
  Ack(0);
  EXPECT_TRUE(master_.ExpectNothing(300)) << "a late acknowledgement revives nothing";

  RequestProductName();
  EXPECT_EQ(BodyOf(master_.ReceiveFragments(ResponseId(kSlave), RequestId(kSlave), kFrag)).size(),
            18u);
}

TEST_F(Fragmentation, RepeatedOrOutOfSequenceFragmentsAndTheLongestValueSetInFragments) {
  const Data first{kFrag, 0x00, 0x10, 0x64, 1, 4, 0xA0, 0xA1};
  const Data middle{kFrag, 0x41, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
  const Data last{kFrag, 0x82, 0xA8};
  for (const Data* fragment : {&first, &middle, &middle, &last}) {
    master_.Send(RequestId(kSlave), *fragment);
    const uint8_t count = (*fragment)[1] & 0x3F;
    EXPECT_EQ(NextAnswer(), (Data{kFrag, static_cast<uint8_t>(0xC0 | count), 0}));
  }
  EXPECT_EQ(NextAnswer(), (Data{kMaster, 0x90}));
  EXPECT_EQ(VCAN_SlaveReadAttribute(0, 1, kSlave, 4, nullptr, 0), 9);

  master_.Send(RequestId(kSlave), first);
  EXPECT_EQ(NextAnswer(), (Data{kFrag, 0xC0, 0}));
  master_.Send(RequestId(kSlave), {kFrag, 0x42, 1, 2, 3, 4, 5, 6});
  EXPECT_EQ(NextAnswer(), (Data{kFrag, 0xC2, 1}));
  master_.Send(RequestId(kSlave), {kFrag, 0x83, 7});
  EXPECT_TRUE(master_.ExpectNothing(300)) << "no transfer left to finish";
  EXPECT_EQ(SlaveState(kSlave).requests[VCAN_SLAVE_SET], 1u);

  // The longest value, set in fragments, read back through the test interface and through a Get
  // answered in fragments; one byte more is refused.
  const Data value = Bytes(255, 0x30);
  EXPECT_EQ(master_.SendFragmented(kSlave, SetRequest(0x64, 1, 9, value)), (Data{kMaster, 0x90}));
  EXPECT_EQ(SlaveState(kSlave).requests[VCAN_SLAVE_SET], 2u) << "counted once, when complete";

  uint8_t read[255] = {};
  ASSERT_EQ(VCAN_SlaveReadAttribute(0, 1, kSlave, 9, read, sizeof read), 255);
  EXPECT_EQ(Data(read, read + value.size()), value);

  master_.Send(RequestId(kSlave), {kMaster, 0x0E, 0x64, 1, 9});
  Data expected{0x8E};
  expected.insert(expected.end(), value.begin(), value.end());
  EXPECT_EQ(BodyOf(master_.ReceiveFragments(ResponseId(kSlave), RequestId(kSlave), kFrag)),
            expected);
  EXPECT_EQ(master_.SendFragmented(kSlave, SetRequest(0x64, 1, 9, Bytes(256))),
            (Data{kMaster, 0x94, 0x15, 0xFF}))
      << "refused after reassembly";
}

}  // namespace
}  // namespace dnsim_test
