#include <gtest/gtest.h>

#include "util/keyed_list.h"

namespace crateline::util {
namespace {

TEST(KeyedList, ReadsByPositionAndByKeyAndRefusesADuplicateKey) {
  KeyedList<std::string> list;
  list.Add(CounterKey(2), "second");
  list.Add(CounterKey(1), "first");
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Item(1), "second");  // in insertion order
  EXPECT_EQ(list.Key(1), "K2");
  EXPECT_EQ(list.Item("K1"), "first");
  EXPECT_THROW(list.Item(0), MissingEntryError);
  EXPECT_THROW(list.Item(3), MissingEntryError);
  EXPECT_THROW(list.Item("K3"), MissingEntryError);

  try {
    list.Add("K1", "again");
    FAIL() << "a duplicate key was accepted";
  } catch (const DuplicateKeyError& e) {
    EXPECT_NE(std::string(e.what()).find("\"K1\""), std::string::npos);
  }
  EXPECT_EQ(list.Count(), 2u);  // as it was
  EXPECT_EQ(list.Item("K1"), "first");
  list.Add("k1", "third");  // keys are compared exactly
  EXPECT_EQ(list.Count(), 3u);
}

}  // namespace
}  // namespace crateline::util
