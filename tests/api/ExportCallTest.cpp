// The common argument checks: their order, codes and single trace line.
#include <gtest/gtest.h>

#include <functional>

#include "CoreTrace.h"
#include "VELKCANDNM.h"
#include "api/ExportCall.h"
#include "api/Library.h"

namespace dnm::test {
namespace {

struct Case {
  const char* tag;
  uint8_t board;
  std::function<void(ExportCall&)> checks;
  uint16_t code;
  const char* line;  // nullptr: every check passes and nothing is written
};

// The first failing check sets the code and writes the only line.
void Check(const Case& c) {
  HyperTraceTest_Clear();
  ExportCall call(c.tag, c.board);
  c.checks(call);
  EXPECT_EQ(call.Code(), c.code) << (c.line ? c.line : "passing");
  EXPECT_EQ(call.Failed(), c.line != nullptr);
  EXPECT_EQ(KeptTraceLines(),
            c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
}

class ExportCallTest : public ::testing::Test {
 protected:
  void SetUp() override { DeviceNet_Initial(); }
};

TEST_F(ExportCallTest, OnAnInactiveBoard) {
  const Case cases[] = {
      // The default card has one board: its range comes before everything else.
      {"RemoveDevice()   ", 1, [](ExportCall& c) { c.Port(9).Mac(99).Active(); },
       DNM_BoardNumberError, "RemoveDevice()   Error!Board 1 is out of range"},
      // The MAC ID is checked before the board is active.
      {"AddDevice()   ", 0, [](ExportCall& c) { c.Port(3).Mac(64).Active(); }, DNM_MACIDNumberError,
       "AddDevice()   Error!MAC ID 64 is out of range"},
      {"AddDevice()   ", 0, [](ExportCall& c) { c.Port(3).Mac(63).Active(); }, DNM_BoardNotActive,
       "AddDevice()   Error!Board 0 is not Active"},
      // An own format replaces tag and reason.
      {"ChangeMACID()   ", 0,
       [](ExportCall& c) { c.Port(0).Mac(70, "ChangeMACID() Error!MAC ID %d is out of range"); },
       DNM_MACIDNumberError, "ChangeMACID() Error!MAC ID 70 is out of range"},
      {"GetAllDeviceMACID()   ", 0, [](ExportCall& c) { c.Port(0).NotNull(nullptr, "list"); },
       DNM_NullPointerError, "GetAllDeviceMACID()   Error!list is a null pointer"},
  };
  for (const Case& c : cases) Check(c);
}

}  // namespace
}  // namespace dnm::test
