#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "io/PollScheduler.h"
#include "io/PollTimetable.h"

namespace dnm {
namespace {

// Entries a, b, c, d joined in that order, due at the given times; what
// TakeDue(now, window) takes, in order. Times near the tick counter's wrap
// keep their order.
TEST(PollTimetable, TakesWhatIsDueEarliestFirstTiesInJoiningOrder) {
  constexpr uint32_t kNearWrap = 0xFFFFFFF0u;
  struct Case {
    const char* what;
    std::vector<uint32_t> due;  // of a, b, c, d
    uint32_t now, window;
    std::vector<int> taken;
  };
  const Case cases[] = {
      {"none due", {110, 120, 130, 140}, 100, 2, {}},
      {"the earliest first", {104, 101, 103, 102}, 105, 0, {1, 3, 2, 0}},
      {"ties in joining order", {100, 90, 100, 90}, 100, 0, {1, 3, 0, 2}},
      {"the window takes polls due soon", {100, 102, 103, 90}, 100, 2, {3, 0, 1}},
      {"past the wrap", {kNearWrap + 20, kNearWrap + 5, 3, kNearWrap}, kNearWrap + 10, 0, {3, 1}},
      {"window across the wrap", {2, kNearWrap + 15, 30, 1}, kNearWrap + 14, 4, {1, 3, 0}},
  };
  for (const Case& c : cases) {
    PollTimetable table;
    const int ids[4] = {};
    for (int i = 0; i < 4; ++i) table.Add(&ids[i], c.due[i]);
    std::vector<int> taken;
    for (PollTimetable::Id id : table.TakeDue(c.now, c.window))
      taken.push_back(static_cast<int>(static_cast<const int*>(id) - ids));
    EXPECT_EQ(taken, c.taken) << c.what;
  }
}

// A taken entry is out of the running until it is put back; a time asked
// for meanwhile counts then, if it is the earlier one.
TEST(PollTimetable, ATakenEntryComesBackAtTheEarlierOfItsTimes) {
  struct Case {
    const char* what;
    std::vector<uint32_t> asked;  // Advance calls while taken
    uint32_t set, earliest;
  };
  const Case cases[] = {
      {"nothing asked", {}, 500, 500},
      {"asked earlier", {300, 200, 400}, 500, 200},
  };
  for (const Case& c : cases) {
    PollTimetable table;
    const void* id = &c;
    table.Add(id, 100);
    ASSERT_EQ(table.TakeDue(100, 0).size(), 1u);
    EXPECT_FALSE(table.Earliest(100)) << c.what;
    EXPECT_TRUE(table.TakeDue(100, 0).empty()) << c.what;
    for (uint32_t at : c.asked) table.Advance(id, at);
    table.Set(id, c.set);
    EXPECT_EQ(table.Earliest(100), c.earliest) << c.what;
    table.Advance(id, c.earliest + 50);
    EXPECT_EQ(table.Earliest(100), c.earliest) << c.what << ": a later time moves nothing";
  }
}

// A poll that is always due at once; it goes back to its worker after
// `turns` turns, or never when that is negative.
struct CountingPoll : ScheduledPoll {
  CountingPoll(int turns = -1) : turns(turns) {}
  Next Serve(uint32_t now) override { return {++served == turns, now}; }
  const int turns;
  std::atomic<int> served{0};
};

// Polls always due take one turn each per round: the poll that stays while
// three others come and go is served at least as often as each of them.
// Every worker gets its poll back, the one that ends by taking it back.
TEST(PollScheduler, PollsAlwaysDueTakeTurnsAndComeBackToTheirWorkers) {
  constexpr int kTurns = 50;
  PollScheduler scheduler;
  platform::StopSignal ends[4];
  CountingPoll stays;
  CountingPoll polls[3] = {kTurns, kTurns, kTurns};
  std::thread staying(
      [&] { EXPECT_EQ(scheduler.Run(stays, ends[3]), PollScheduler::Result::kEnded); });
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i) {
    workers.emplace_back([&, i] {
      EXPECT_EQ(scheduler.Run(polls[i], ends[i]), PollScheduler::Result::kHandedBack);
    });
  }
  for (std::thread& worker : workers) worker.join();
  ends[3].Raise();
  staying.join();
  for (const CountingPoll& poll : polls) EXPECT_EQ(poll.served, kTurns);
  EXPECT_GE(stays.served, kTurns);
}

}  // namespace
}  // namespace dnm
