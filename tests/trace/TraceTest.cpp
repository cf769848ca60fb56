#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <thread>

#include "CoreTrace.h"
#include "VELKCANDNM.h"
#include "api/Library.h"
#include "trace/Trace.h"

namespace dnm::test {
namespace {

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceNet_Initial();
    HyperTraceTest_Clear();
  }
};

TEST_F(TraceTest, ResultLinesNameTheCodeAfterTheCallersTagAndConcurrentLinesNeverMix) {
  // Driver codes: the line names the code, and only the low 16 bits are returned.
  EXPECT_EQ(TraceCANResult("X( ) ", "API_CAN_Config( )", 17), 17);
  EXPECT_EQ(TraceCANResult("X( ) ", "API_CAN_Config( )", 23), 23);
  EXPECT_EQ(TraceCANResult("X( ) ", "API_CAN_Config( )", 0x10013), 0x0013);
  const std::vector<std::string> expected = {
      "X( ) ----> API_CAN_Config( ) --> CAN Message --> CCAN_TransmitIncomplete",
      "CAN Msg 23 is an Unknow Message", "CAN Msg 65555 is an Unknow Message"};
  EXPECT_EQ(KeptTraceLines(), expected);

  // Library codes: only those with a line of their own are named.
  HyperTraceTest_Clear();
  EXPECT_EQ(TraceDNMResult("T( ) ", 1910), 1910);
  EXPECT_EQ(TraceDNMResult("T( ) ", 1906), 1906);  // returned by the library, but unnamed
  const std::vector<std::string> expected_dnm = {"T( ) ----> DNM_CreateDeviceBitStrobeThreadError",
                                                 "DeviceNet Msg 1906 is an Unknow Message"};
  EXPECT_EQ(KeptTraceLines(), expected_dnm);

  // A thread's own buffer can be the caller's tag.
  Trace("Rx_Thread00_1( )   last line");
  TraceCANResult(TraceBufferText(), "API_CAN_ReceiveMsg( )", 19);
  EXPECT_EQ(KeptTraceLines().back(),
            "Rx_Thread00_1( )   last line----> API_CAN_ReceiveMsg( ) --> CAN Message --> "
            "CAN_DataOverrun");

  // Lines written at once from several threads never mix.
  HyperTraceTest_Clear();
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        Trace("thread %d line %d %s", t, i, "payload-payload-payload");
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = KeptTraceLines();
  ASSERT_EQ(lines.size(), size_t{kThreads * kLines});
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size());
  for (const auto& line : lines) {
    int thread = -1, index = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &thread, &index), 2) << line;
    ASSERT_EQ(line, "thread " + std::to_string(thread) + " line " + std::to_string(index) +
                        " payload-payload-payload");
  }
}

}  // namespace
}  // namespace dnm::test
