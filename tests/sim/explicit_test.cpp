// Explicit requests on the predefined explicit connection: attributes of the slave's objects,
// the header of answers, error responses.

#include "MasterSide.h"

namespace dnsim_test {
namespace {

constexpr uint8_t kSlave = 20;
constexpr uint8_t kMaster = 3;

class Explicit : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(
        StartOnline("slave segment=vcan0.1 mac=20 baud=250 vendor=0x0A0B device_type=0x0C "
                    "product_code=0x1234 revision=3.17 serial=0x11223344 product=Short ucmm=1 "
                    "attr=1:0102,7:AB\n",
                    1, vcan_test::kSelector250k));
    ASSERT_TRUE(master_.Allocate(kSlave, 0x01));
  }
  Data Get(uint8_t class_id, uint8_t instance, uint8_t attribute) {
    return master_.Explicit(kSlave, GetRequest(class_id, instance, attribute));
  }
  Data Value(std::initializer_list<uint8_t> bytes) {
    Data answer{kMaster, 0x8E};
    answer.insert(answer.end(), bytes);
    return answer;
  }
  Data Error(uint8_t status) { return {kMaster, 0x94, status, 0xFF}; }

  Master master_ = Master::OnPort(kMaster);
};

TEST_F(Explicit, RefusedRequestsGetTheMatchingStatusAndApplicationAttributesAreKept) {
  struct Case {
    const char* what;
    Data request;
    uint8_t status;
  };
  const Case cases[] = {
      {"unknown class", GetRequest(0x42, 1, 1), 0x16},
      {"unknown instance", GetRequest(1, 2, 1), 0x16},
      {"UCMM instance not open", GetRequest(5, 7, 1), 0x16},
      {"unknown attribute", GetRequest(1, 1, 99), 0x14},
      {"get with a byte too many", {0x0E, 1, 1, 1, 0}, 0x15},
      {"get without attribute", {0x0E, 1, 1}, 0x13},
      {"read-only attribute", SetRequest(1, 1, 1, {1, 2}), 0x0E},
      {"rate of one byte", SetRequest(5, 1, 9, {1}), 0x13},
      {"rate of three bytes", SetRequest(5, 1, 9, {1, 0, 0}), 0x15},
      {"watchdog action beyond 3", SetRequest(5, 1, 12, {4}), 0x09},
      {"rate of a connection not allocated", SetRequest(5, 2, 9, {100, 0}), 0x0C},
      {"unknown service", {0x05, 1, 1}, 0x08},
  };
  for (const Case& c : cases)
    EXPECT_EQ(master_.Explicit(kSlave, c.request), Error(c.status)) << c.what;
  EXPECT_EQ(SlaveState(kSlave).explicit_state, 3) << "refusals leave the connection as it was";

  // Application attributes are created, replaced and shared with the test interface.
  EXPECT_EQ(Get(0x64, 1, 1), Value({0x01, 0x02}));
  EXPECT_EQ(Get(0x64, 1, 7), Value({0xAB}));
  EXPECT_EQ(Get(0x64, 1, 2), Error(0x14)) << "never set";
  EXPECT_EQ(Get(0x64, 2, 1), Error(0x16));

  EXPECT_EQ(master_.Explicit(kSlave, SetRequest(0x64, 1, 2, {9, 8, 7})), (Data{kMaster, 0x90}));
  EXPECT_EQ(master_.Explicit(kSlave, SetRequest(0x64, 1, 1, {5})), (Data{kMaster, 0x90}));
  EXPECT_EQ(master_.Explicit(kSlave, SetRequest(0x64, 1, 3, {})), Error(0x13));
  EXPECT_EQ(Get(0x64, 1, 1), Value({5})) << "a shorter value replaces the old one";

  uint8_t read[8] = {};
  EXPECT_EQ(VCAN_SlaveReadAttribute(0, 1, kSlave, 2, read, 2), 3) << "full length, 2 copied";
  EXPECT_EQ((Data{read[0], read[1], read[2]}), (Data{9, 8, 0}));
  EXPECT_EQ(VCAN_SlaveReadAttribute(0, 1, kSlave, 3, read, 8), -1);
  const uint8_t written[] = {0xCA, 0xFE};
  EXPECT_EQ(VCAN_SlaveWriteAttribute(0, 1, kSlave, 200, written, 2), 0);
  EXPECT_EQ(Get(0x64, 1, 200), Value({0xCA, 0xFE}));
  EXPECT_EQ(VCAN_SlaveWriteAttribute(0, 1, kSlave, 0, written, 2), -1);
  EXPECT_EQ(VCAN_SlaveWriteAttribute(0, 1, kSlave, 1, written, 0), -1);
  EXPECT_EQ(VCAN_SlaveWriteAttribute(0, 1, kSlave + 1, 1, written, 2), -1) << "no such slave";
}

}  // namespace
}  // namespace dnsim_test
