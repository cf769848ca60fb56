// Start-up with a complete, a missing or an incomplete card driver and trace
// library. Whatever is missing, no export may crash.
#include <gtest/gtest.h>

#include "MasterLib.h"

namespace dnm::test {
namespace {

TEST(Startup, BindsCardAndTraceAndReportsVersion) {
  MasterLib lib;
  ASSERT_TRUE(lib.loaded());
  const float version = lib.DNM_GetVersion();
  EXPECT_EQ(version, 1.1f);  // exactly the single-precision value
  const std::vector<std::string> expected = {"DeviceNet_Initial( )   Load_API_TORVEK=0",
                                             "DeviceNet_Initial( )   Initial OK"};
  EXPECT_EQ(lib.TraceLines(), expected);
  EXPECT_EQ(lib.DNM_TotalBoard(), 1);
}

TEST(Startup, WithoutCardEveryBoardIsOutOfRange) {
  MasterLib lib(VariantDir("no-card"));
  ASSERT_TRUE(lib.loaded());
  EXPECT_TRUE(lib.HasLine("DeviceNet_Initial( )   Load_API_TORVEK=1"));
  EXPECT_EQ(lib.DNM_TotalBoard(), 0);
  EXPECT_EQ(lib.DNM_ActiveBoard(0), DNM_BoardNumberError);
  EXPECT_EQ(lib.DNM_CloseBoard(0), DNM_BoardNumberError);
  EXPECT_EQ(lib.CAN_GetSystemFreq(0), 0u);
  EXPECT_EQ(lib.DNM_GetBoardInf(0, 0, 0, 0, 0, 0, 0), CAN_DriverError);
}

TEST(Startup, IncompleteCardIsTreatedAsNoBoards) {
  MasterLib lib(VariantDir("card-missing-entry"));
  ASSERT_TRUE(lib.loaded());
  EXPECT_TRUE(lib.HasLine("DeviceNet_Initial( )   Load_API_TORVEK=2"));
  EXPECT_EQ(lib.DNM_ActiveBoard(0), DNM_BoardNumberError);
}

TEST(Startup, CardReportingNoBoardsRefusesEveryBoard) {
  UseNetwork("boards 0\n");
  MasterLib lib;
  EXPECT_EQ(lib.DNM_TotalBoard(), 0);
  EXPECT_EQ(lib.DNM_ActiveBoard(0), DNM_BoardNumberError);
  EXPECT_TRUE(lib.HasLine("DNM_ActiveBoard()   Error!Board 0 is out of range"));
}

TEST(Startup, TraceLibraryWithoutAnEntryGetsNoLines) {
  MasterLib lib(VariantDir("trace-missing-entry"));
  ASSERT_TRUE(lib.loaded());
  EXPECT_EQ(lib.DNM_ActiveBoard(0), 0);
  EXPECT_EQ(lib.DNM_ActiveBoard(0), DNM_BoardAlreadyActive);
  EXPECT_TRUE(lib.TraceLines().empty());
}

TEST(Startup, TraceOutputThatRefusesToStartGetsNoLines) {
  MasterLib lib(VariantDir("trace-start-refuses"));
  ASSERT_TRUE(lib.loaded());
  EXPECT_EQ(lib.DNM_ActiveBoard(0), 0);
  EXPECT_TRUE(lib.TraceLines().empty());
}

TEST(Startup, WorksWithoutTraceLibrary) {
  MasterLib lib(VariantDir("no-trace"));
  ASSERT_TRUE(lib.loaded());
  EXPECT_EQ(lib.DNM_ActiveBoard(0), 0);
  EXPECT_EQ(lib.DNM_ActiveBoard(0), DNM_BoardAlreadyActive);
  EXPECT_EQ(lib.DNM_CloseBoard(0), 0);
}

}  // namespace
}  // namespace dnm::test
