#include <gtest/gtest.h>

#include "port/MapTable.h"

namespace dnm {
namespace {

TEST(MapTable, HoldsAtMost511Entries) {
  MapTable table;
  for (int i = 0; i < MapTable::kMaxEntries; ++i) ASSERT_EQ(table.AddMap(0x400 + i, i % 64, 0), 0);
  EXPECT_EQ(table.AddMap(0x7FF, 1, 0), MapTable::kFull);
  EXPECT_EQ(table.Count(), 511);
  EXPECT_EQ(table.RemoveByMACID(64), MapTable::kNone);
}

}  // namespace
}  // namespace dnm
