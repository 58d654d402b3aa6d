#include <gtest/gtest.h>

#include "util/keyed_list.h"

namespace crateline::util {
namespace {

TEST(KeyedList, ReadsByPositionAndByKeyInInsertionOrder) {
  KeyedList<std::string> list;
  list.Add(CounterKey(2), "second");
  list.Add(CounterKey(1), "first");
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Item(1), "second");
  EXPECT_EQ(list.Key(1), "K2");
  EXPECT_EQ(list.Item("K1"), "first");
  EXPECT_THROW(list.Item(0), MissingEntryError);
  EXPECT_THROW(list.Item(3), MissingEntryError);
  EXPECT_THROW(list.Item("K3"), MissingEntryError);
}

TEST(KeyedList, DuplicateKeyFailsAndLeavesTheListAsItWas) {
  KeyedList<int> list;
  list.Add("K1", 10);
  try {
    list.Add("K1", 11);
    FAIL() << "a duplicate key was accepted";
  } catch (const DuplicateKeyError& e) {
    EXPECT_NE(std::string(e.what()).find("\"K1\""), std::string::npos);
  }
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_EQ(list.Item("K1"), 10);
  list.Add("k1", 12);  // keys are compared exactly
  EXPECT_EQ(list.Count(), 2u);
}

}  // namespace
}  // namespace crateline::util
