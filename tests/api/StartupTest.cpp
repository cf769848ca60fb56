// Start-up with a complete, a missing or an incomplete card driver and trace
// library. Whatever is missing, no export may crash.
#include <gtest/gtest.h>

#include "MasterLib.h"

namespace dnm::test {
namespace {

TEST(Startup, BindsCardAndTraceAndReportsVersion) {
  MasterLib lib;
  ASSERT_TRUE(lib.loaded());
  EXPECT_EQ(lib.DNM_GetVersion(), 1.1f);  // exactly the single-precision value
  const std::vector<std::string> expected = {"DeviceNet_Initial( )   Load_API_TORVEK=0",
                                             "DeviceNet_Initial( )   Initial OK"};
  EXPECT_EQ(lib.TraceLines(), expected);
  EXPECT_EQ(lib.DNM_TotalBoard(), 1);
}

// Without a card, with one that lacks an entry, or with one that reports no boards.
class StartupWithoutBoards : public ::testing::TestWithParam<const char*> {};

TEST_P(StartupWithoutBoards, EveryBoardIsOutOfRange) {
  const std::string variant = GetParam();
  const bool complete = variant == "no-boards";
  if (complete) UseNetwork("boards 0\n");
  MasterLib lib(complete ? LibDir() : VariantDir(variant));
  ASSERT_TRUE(lib.loaded());
  const char* bound = complete ? "0" : variant == "no-card" ? "1" : "2";
  EXPECT_TRUE(lib.HasLine(std::string("DeviceNet_Initial( )   Load_API_TORVEK=") + bound));
  EXPECT_EQ(lib.DNM_TotalBoard(), 0);
  EXPECT_EQ(lib.DNM_ActiveBoard(0), DNM_BoardNumberError);
  EXPECT_EQ(lib.DNM_CloseBoard(0), DNM_BoardNumberError);
  EXPECT_TRUE(lib.HasLine("DNM_ActiveBoard()   Error!Board 0 is out of range"));
  if (variant != "no-card") return;  // queries without a driver
  EXPECT_EQ(lib.CAN_GetSystemFreq(0), 0u);
  EXPECT_EQ(lib.DNM_GetBoardInf(0, 0, 0, 0, 0, 0, 0), CAN_DriverError);
}

INSTANTIATE_TEST_SUITE_P(Startup, StartupWithoutBoards,
                         ::testing::Values("no-card", "card-missing-entry", "no-boards"));

// Without a trace library, with one that lacks an entry or whose output refuses to start: the
// master works and no line is kept.
class StartupWithoutTrace : public ::testing::TestWithParam<const char*> {};

TEST_P(StartupWithoutTrace, BoardsWorkAndNoLineIsKept) {
  MasterLib lib(VariantDir(GetParam()));
  ASSERT_TRUE(lib.loaded());
  EXPECT_EQ(lib.DNM_ActiveBoard(0), 0);
  EXPECT_EQ(lib.DNM_ActiveBoard(0), DNM_BoardAlreadyActive);
  EXPECT_EQ(lib.DNM_CloseBoard(0), 0);
  EXPECT_TRUE(lib.TraceLines().empty());
}

INSTANTIATE_TEST_SUITE_P(Startup, StartupWithoutTrace,
                         ::testing::Values("no-trace", "trace-missing-entry",
                                           "trace-start-refuses"));

}  // namespace
}  // namespace dnm::test
