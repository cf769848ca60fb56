// Start-up with a complete, a missing or an incomplete card driver and trace
// library. Whatever is missing, no export may crash.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

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
  if (complete) return;
  // A card that lacks an entry is used for no board, but the board queries still reach it.
  const bool card = variant != "no-card";
  EXPECT_EQ(lib.CAN_GetSystemFreq(0), card ? 16000000u : 0u);
  EXPECT_EQ(lib.DNM_GetBoardInf(0, 0, 0, 0, 0, 0, 0), card ? 4 : CAN_DriverError);
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

// A card or trace library that cannot be used is named on stderr once, whatever is called after;
// a complete set says nothing there.
struct LoadReportCase {
  const char* variant;  // empty: the complete set
  std::vector<std::string> fragments;
  const char* trace_file = nullptr;  // HYPERTRACE_FILE, unset for none
};

class StartupReport : public ::testing::TestWithParam<LoadReportCase> {};

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  return found;
}

TEST_P(StartupReport, NamesTheLibraryOnStderrOnce) {
  const std::string variant = GetParam().variant;
  if (GetParam().trace_file != nullptr) setenv("HYPERTRACE_FILE", GetParam().trace_file, 1);
  testing::internal::CaptureStderr();
  MasterLib lib(variant.empty() ? LibDir() : VariantDir(variant));
  ASSERT_TRUE(lib.loaded());
  MasterLib again(variant.empty() ? LibDir() : VariantDir(variant));  // the same, loaded once
  lib.DNM_ActiveBoard(0);
  lib.DNM_ActiveBoard(0);
  const auto reports = LinesStartingWith(testing::internal::GetCapturedStderr(), "VELKCANDNM: ");
  ASSERT_EQ(reports.size(), GetParam().fragments.empty() ? 0u : 1u)
      << ::testing::PrintToString(reports);
  for (const auto& fragment : GetParam().fragments)
    EXPECT_NE(reports[0].find(fragment), std::string::npos) << reports[0];
}

INSTANTIATE_TEST_SUITE_P(
    Startup, StartupReport,
    ::testing::Values(LoadReportCase{"", {}},
                      LoadReportCase{"no-card",
                                     {"cannot load the CAN card driver libVELKCAN.so: ",
                                      "no-card/libVELKCAN.so: cannot open shared object file"}},
                      LoadReportCase{"card-missing-entry",
                                     {"libVELKCAN.so lacks the entry CAN_Status"}},
                      LoadReportCase{"no-trace", {}},  // no trace asked for: nothing to say
                      LoadReportCase{"no-trace",
                                     {"cannot load the trace library libHYPERTRACE.so: ",
                                      "no-trace/libHYPERTRACE.so: cannot open shared object file",
                                      "no trace is written to /tmp/trace.txt"},
                                     "/tmp/trace.txt"},
                      LoadReportCase{"trace-missing-entry",
                                     {"libHYPERTRACE.so lacks the entry SetTraceIDColor"}}));

// Where HYPERTRACE_FILE sends the lines. A file that cannot be opened (its directory is missing,
// or it is a directory) is reported once on stderr, and the lines go there instead.
struct TraceFileCase {
  const char* file;  // "" names a directory
  bool to_stdout;
  bool reported;
};

class TraceFile : public ::testing::TestWithParam<TraceFileCase> {};

TEST_P(TraceFile, LinesGoWhereItSays) {
  const std::string file = *GetParam().file ? GetParam().file : testing::TempDir();
  setenv("HYPERTRACE_FILE", file.c_str(), 1);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  MasterLib lib;
  ASSERT_TRUE(lib.loaded());
  lib.DNM_ActiveBoard(0);
  const std::string errors = testing::internal::GetCapturedStderr();
  const std::string output = testing::internal::GetCapturedStdout();
  const std::string line = "DeviceNet_Initial( )   Initial OK\n";
  EXPECT_NE((GetParam().to_stdout ? output : errors).find(line), std::string::npos);
  EXPECT_EQ((GetParam().to_stdout ? errors : output).find(line), std::string::npos);
  const auto reports = LinesStartingWith(errors, "HYPERTRACE: cannot open HYPERTRACE_FILE " + file);
  EXPECT_EQ(reports.size(), GetParam().reported ? 1u : 0u) << errors;
  // The trace library stamps each line with the seconds since the trace started and the thread.
  EXPECT_TRUE(std::regex_search(GetParam().to_stdout ? output : errors,
                                std::regex(R"((^|\n) *[0-9]+\.[0-9]{6} \[[0-9]+\] )" +
                                           std::string("DeviceNet_Initial\\( \\)   Initial OK\n"))))
      << (GetParam().to_stdout ? output : errors);
}

INSTANTIATE_TEST_SUITE_P(Startup, TraceFile,
                         ::testing::Values(TraceFileCase{"stdout", true, false},
                                           TraceFileCase{"stderr", false, false},
                                           TraceFileCase{"/nonexistent-dir/trace.txt", false, true},
                                           TraceFileCase{"", false, true}));

}  // namespace
}  // namespace dnm::test
