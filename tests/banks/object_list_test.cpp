#include "banks/object_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvane {
namespace {

// Records the order in which items are destroyed.
struct TTrackedItem : TSynthClass {
  TTrackedItem(int id, std::vector<int>* log) : Id(id), Log(log) {}
  ~TTrackedItem() override {
    if (Log) Log->push_back(Id);
  }
  int Id;
  std::vector<int>* Log;
};

using TTrackedList = TObjectGenericList<TTrackedItem>;

TEST(ObjectList, AddDoublesCapacityToTwiceTheNewCount) {
  TTrackedList list;
  struct Step {
    int64_t count, allocated;
  };
  // Capacity becomes 2 x new count whenever the new count exceeds it.
  const Step expected[] = {{1, 2}, {2, 2}, {3, 6}, {4, 6}, {5, 6}, {6, 6}, {7, 14}};
  for (const Step& step : expected) {
    EXPECT_EQ(list.Add(new TTrackedItem(0, nullptr)), step.count - 1);
    EXPECT_EQ(list.Count(), step.count);
    EXPECT_EQ(list.Allocated(), step.allocated);
  }
}

TEST(ObjectList, DeleteShiftsHalvesAndFreesOwnedItem) {
  std::vector<int> log;
  TTrackedList list;
  for (int i = 0; i < 7; ++i) list.Add(new TTrackedItem(i, &log));
  ASSERT_EQ(list.Allocated(), 14);
  list.Delete(1);  // count 6 < 7: capacity 7
  EXPECT_EQ(log, std::vector<int>({1}));
  EXPECT_EQ(list.Count(), 6);
  EXPECT_EQ(list.Allocated(), 7);
  EXPECT_EQ(list[1]->Id, 2);
  EXPECT_EQ(list[5]->Id, 6);
  list.Delete(5);  // count 5, not below 3
  EXPECT_EQ(list.Allocated(), 7);
  list.Delete(0);
  list.Delete(0);  // count 3, not below 3
  EXPECT_EQ(list.Allocated(), 7);
  list.Delete(0);  // count 2 < 3: capacity 3
  EXPECT_EQ(list.Allocated(), 3);
  EXPECT_EQ(list[0]->Id, 4);
  EXPECT_EQ(list[1]->Id, 5);
}

TEST(ObjectList, InsertMovesUpOrExtendsWithNullSlots) {
  TTrackedList list(false);
  TTrackedItem a(1, nullptr), b(2, nullptr), c(3, nullptr), d(4, nullptr);
  list.Add(&a);
  list.Add(&b);
  list.Insert(1, &c);  // a c b
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list[0], &a);
  EXPECT_EQ(list[1], &c);
  EXPECT_EQ(list[2], &b);
  EXPECT_EQ(list.Allocated(), 6);  // 3 > 2: twice the new count
  list.Insert(-1, &d);
  EXPECT_EQ(list.Count(), 3);
  list.Insert(3, &d);  // at Count: appended
  EXPECT_EQ(list[3], &d);
  list.Insert(9, &a);  // beyond Count: null slots 4..8
  ASSERT_EQ(list.Count(), 10);
  EXPECT_EQ(list.Allocated(), 20);
  for (int i = 4; i < 9; ++i) EXPECT_EQ(list[i], nullptr) << i;
  EXPECT_EQ(list[9], &a);
}

TEST(ObjectList, SetCountRoundsUpAndShrinksWithFrees) {
  std::vector<int> log;
  TTrackedList list;
  list.SetCount(5);
  EXPECT_EQ(list.Count(), 5);
  EXPECT_EQ(list.Allocated(), 8);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(list[i], nullptr);
    list.SetItem(i, new TTrackedItem(i, &log));
  }
  list.SetCount(33);
  EXPECT_EQ(list.Allocated(), 64);
  list.SetCount(17);  // 17 is not below 16
  EXPECT_EQ(list.Allocated(), 64);
  list.SetCount(15);  // below a quarter: halved
  EXPECT_EQ(list.Allocated(), 32);
  list.SetCount(3);  // items 4 and 3 freed, last first; 3 < 8: halved
  EXPECT_EQ(log, std::vector<int>({4, 3}));
  EXPECT_EQ(list.Allocated(), 16);
  list.SetCount(0);
  EXPECT_EQ(log, std::vector<int>({4, 3, 2, 1, 0}));
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Allocated(), 0);
}

TEST(ObjectList, ClearFreesLastFirstAndOnlyWhenOwning) {
  std::vector<int> log;
  {
    TTrackedList list;
    for (int i = 0; i < 3; ++i) list.Add(new TTrackedItem(i, &log));
    list.Clear();
    EXPECT_EQ(log, std::vector<int>({2, 1, 0}));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Allocated(), 0);
    list.Add(new TTrackedItem(7, &log));
  }  // destructor clears
  EXPECT_EQ(log, std::vector<int>({2, 1, 0, 7}));

  log.clear();
  TTrackedItem kept(9, nullptr);
  {
    TTrackedList notOwning(false);
    notOwning.Add(&kept);
    notOwning.Delete(0);
    notOwning.Add(&kept);
  }
  EXPECT_TRUE(log.empty());
}

TEST(ObjectList, RemoveIndexOfExchange) {
  TTrackedList list(false);
  TTrackedItem a(1, nullptr), b(2, nullptr), c(3, nullptr);
  list.Add(&a);
  list.Add(&b);
  EXPECT_EQ(list.IndexOf(&b), 1);
  EXPECT_EQ(list.IndexOf(&c), -1);
  EXPECT_EQ(list.Remove(&c), -1);
  EXPECT_EQ(list.Count(), 2);
  list.Exchange(0, 1);
  EXPECT_EQ(list[0], &b);
  EXPECT_EQ(list.Remove(&b), 0);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0], &a);
}

TEST(ObjectList, BadIndexRaisesRangeError) {
  TTrackedList list(false);
  TTrackedItem a(1, nullptr);
  list.Add(&a);
  auto expectRangeError = [](auto&& f) {
    try {
      f();
      ADD_FAILURE() << "no exception";
    } catch (const EKelvaneRangeError& e) {
      EXPECT_STREQ(e.what(), "Out of index range");
    }
  };
  expectRangeError([&] { list.GetItem(-1); });
  expectRangeError([&] { list.GetItem(1); });
  expectRangeError([&] { list.SetItem(1, &a); });
  expectRangeError([&] { list.Delete(1); });
  expectRangeError([&] { list.Delete(-1); });
  expectRangeError([&] { list.Exchange(0, 1); });
  expectRangeError([&] { list.Exchange(-1, 0); });
  EXPECT_EQ(list.Count(), 1);
}

TEST(ObjectList, EnumeratesInOrder) {
  TTrackedList list;
  for (int i = 0; i < 4; ++i) list.Add(new TTrackedItem(i, nullptr));
  std::vector<int> seen;
  for (TTrackedItem* item : list) seen.push_back(item->Id);
  EXPECT_EQ(seen, std::vector<int>({0, 1, 2, 3}));
  seen.clear();
  auto e = list.GetEnumerator();
  while (e.MoveNext()) seen.push_back(e.Current()->Id);
  EXPECT_EQ(seen, std::vector<int>({0, 1, 2, 3}));
  TTrackedList empty;
  EXPECT_FALSE(empty.GetEnumerator().MoveNext());
}

}  // namespace
}  // namespace kelvane
