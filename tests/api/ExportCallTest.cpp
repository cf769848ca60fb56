// The common argument checks: their order, codes and single trace line.
#include <gtest/gtest.h>

#include "CoreTrace.h"
#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "api/Library.h"

namespace dnm::test {
namespace {

class ExportCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceNet_Initial();
    HyperTraceTest_Clear();
  }
};

TEST_F(ExportCallTest, FirstFailingCheckWinsAndWritesOneLine) {
  ASSERT_EQ(DNM_ActiveBoard(0), 0);
  HyperTraceTest_Clear();
  ExportCall call("AddDevice()   ", 0);
  call.Port(4).Mac(64).Active().Online();
  EXPECT_EQ(call.Code(), DNM_PortNumberError);
  EXPECT_EQ(KeptTraceLines(),
            std::vector<std::string>{"AddDevice()   Error!Port 4 is out of range"});
}

TEST_F(ExportCallTest, BoardRangeComesBeforeEverythingElse) {
  ExportCall call("RemoveDevice()   ", 1);  // the default card has one board
  call.Port(9).Mac(99).Active();
  EXPECT_EQ(call.Code(), DNM_BoardNumberError);
  EXPECT_EQ(KeptTraceLines(),
            std::vector<std::string>{"RemoveDevice()   Error!Board 1 is out of range"});
}

TEST_F(ExportCallTest, MacIdIsCheckedBeforeTheBoardIsActive) {
  ExportCall call("AddDevice()   ", 0);
  call.Port(3).Mac(64).Active();
  EXPECT_EQ(call.Code(), DNM_MACIDNumberError);
  ExportCall inactive("AddDevice()   ", 0);
  inactive.Port(3).Mac(63).Active();
  EXPECT_EQ(inactive.Code(), DNM_BoardNotActive);
  const std::vector<std::string> expected = {"AddDevice()   Error!MAC ID 64 is out of range",
                                             "AddDevice()   Error!Board 0 is not Active"};
  EXPECT_EQ(KeptTraceLines(), expected);
}

TEST_F(ExportCallTest, PortMustBeOnlineForDeviceCalls) {
  ASSERT_EQ(DNM_ActiveBoard(0), 0);
  HyperTraceTest_Clear();
  ExportCall call("GetAttribute()   ", 0);
  call.Port(2).Mac(5).Active().Online().InScanList(5);
  EXPECT_EQ(call.Code(), DNM_MasterStateError);
  EXPECT_EQ(KeptTraceLines(),
            std::vector<std::string>{"GetAttribute()   Error!Port 2 is not in Online state"});
}

TEST_F(ExportCallTest, OwnFormatReplacesTagAndReason) {
  ExportCall call("ChangeMACID()   ", 0);
  call.Port(0).Mac(70, "ChangeMACID() Error!MAC ID %d is out of range");
  EXPECT_EQ(call.Code(), DNM_MACIDNumberError);
  EXPECT_EQ(KeptTraceLines(),
            std::vector<std::string>{"ChangeMACID() Error!MAC ID 70 is out of range"});
}

TEST_F(ExportCallTest, NullPointerIsRefusedAfterTheNumberChecks) {
  ExportCall call("GetAllDeviceMACID()   ", 0);
  call.Port(0).NotNull(nullptr, "list");
  EXPECT_EQ(call.Code(), DNM_NullPointerError);
  EXPECT_EQ(KeptTraceLines(),
            std::vector<std::string>{"GetAllDeviceMACID()   Error!list is a null pointer"});
}

TEST_F(ExportCallTest, PassingChecksWriteNothing) {
  ASSERT_EQ(DNM_ActiveBoard(0), 0);
  HyperTraceTest_Clear();
  int value = 0;
  ExportCall call("AddDevice()   ", 0);
  call.Port(3).Mac(63).Baud(2).Active().NotNull(&value, "value");
  EXPECT_FALSE(call.Failed());
  EXPECT_TRUE(KeptTraceLines().empty());
}

}  // namespace
}  // namespace dnm::test
