#include <gtest/gtest.h>

#include "port/MapTable.h"

namespace dnm {
namespace {

TEST(MapTable, HoldsAtMost511Entries) {
  MapTable table;
  for (int i = 0; i < MapTable::kMaxEntries; ++i) ASSERT_EQ(table.AddMap(0x400 + i, i % 64, 0), 0);
  EXPECT_EQ(table.AddMap(0x7FF, 1, 0), MapTable::kFull);
  EXPECT_EQ(table.Count(), 511);
}

TEST(MapTable, FindReturnsEveryEntryOfAnIdentifierInTableOrder) {
  MapTable table;
  MapTable::Matches matches;
  matches.count = 7;
  EXPECT_EQ(table.FindConnectionID(0x3C5, matches), MapTable::kNone);
  EXPECT_EQ(matches.count, 0);
  table.AddMap(0x3C5, 5, 1);
  table.AddMap(0x40B, 1, 0);
  table.AddMap(0x3C5, 9, 3);
  ASSERT_EQ(table.FindConnectionID(0x3C5, matches), MapTable::kFound);
  ASSERT_EQ(matches.count, 2);
  EXPECT_EQ(matches.targets[0].mac, 5);
  EXPECT_EQ(matches.targets[0].instance, 1);
  EXPECT_EQ(matches.targets[1].mac, 9);
  EXPECT_EQ(matches.targets[1].instance, 3);
}

TEST(MapTable, RemovalTakesEveryMatchAndKeepsTheRest) {
  MapTable table;
  table.AddMap(0x42B, 5, 0);
  table.AddMap(0x745, 5, 0);
  table.AddMap(0x40B, 1, 0);
  table.AddMap(0x3C5, 5, 1);  // moved into a hole and examined again
  table.AddMap(0x3C1, 1, 1);
  EXPECT_EQ(table.RemoveByMACID(5), 0);
  EXPECT_EQ(table.Count(), 2);
  MapTable::Matches matches;
  EXPECT_EQ(table.FindConnectionID(0x40B, matches), MapTable::kFound);
  EXPECT_EQ(table.FindConnectionID(0x3C1, matches), MapTable::kFound);
  EXPECT_EQ(table.RemoveByMACID(5), MapTable::kNone);
  EXPECT_EQ(table.RemoveByInstance(1, 0), 0);
  EXPECT_EQ(table.RemoveByInstance(1, 0), MapTable::kNone);
  EXPECT_EQ(table.Count(), 1);
  MapTable empty;
  EXPECT_EQ(empty.RemoveByMACID(0), MapTable::kNone);
}

}  // namespace
}  // namespace dnm
