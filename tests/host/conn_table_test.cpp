#include "host/conn_table.h"

#include <set>
#include <thread>

#include <gtest/gtest.h>

namespace isapi_web::host {
namespace {

TEST(ConnTableTest, FindsLiveEntriesByHandle) {
  TConnTable<int> table;
  const auto first = table.Insert(std::make_shared<int>(1));
  const auto second = table.Insert(std::make_shared<int>(2));
  EXPECT_NE(first, 0u);
  EXPECT_NE(first, second);
  ASSERT_TRUE(table.Find(first));
  EXPECT_EQ(*table.Find(first), 1);
  EXPECT_EQ(*table.Find(second), 2);
  EXPECT_EQ(table.LiveCount(), 2u);
}

TEST(ConnTableTest, AnEndedHandleStaysDeadWhenItsSlotIsReused) {
  TConnTable<int> table;
  const auto old = table.Insert(std::make_shared<int>(1));
  EXPECT_TRUE(table.Remove(old));
  EXPECT_FALSE(table.Find(old));
  EXPECT_FALSE(table.Remove(old));
  const auto reused = table.Insert(std::make_shared<int>(2));
  EXPECT_NE(reused, old);
  EXPECT_FALSE(table.Find(old)); // same slot, older generation
  EXPECT_EQ(*table.Find(reused), 2);
}

TEST(ConnTableTest, ForgedHandlesFindNothing) {
  TConnTable<int> table;
  const auto live = table.Insert(std::make_shared<int>(1));
  EXPECT_FALSE(table.Find(0));
  EXPECT_FALSE(table.Find(live + 1)); // a slot that was never issued
  EXPECT_FALSE(table.Find(live ^ (std::uintptr_t{1} << (sizeof(std::uintptr_t) * 4))));
  EXPECT_FALSE(table.Find(~std::uintptr_t{0}));
  int onStack = 0;
  EXPECT_FALSE(table.Find(reinterpret_cast<std::uintptr_t>(&onStack)));
  EXPECT_FALSE(table.Remove(live + 1));
  EXPECT_TRUE(table.Find(live));
}

TEST(ConnTableTest, HandlesFromManyThreadsAreDistinctAndFindTheirEntry) {
  TConnTable<int> table;
  constexpr int Threads = 4;
  constexpr int PerThread = 500;
  std::vector<std::vector<std::uintptr_t>> handles(Threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < PerThread; ++i) {
        const auto handle = table.Insert(std::make_shared<int>(t * PerThread + i));
        if (i % 2 == 0)
          table.Remove(handle);
        else
          handles[t].push_back(handle);
      }
    });
  }
  for (auto& worker : workers)
    worker.join();
  std::set<std::uintptr_t> unique;
  for (int t = 0; t < Threads; ++t) {
    for (std::size_t i = 0; i < handles[t].size(); ++i) {
      unique.insert(handles[t][i]);
      const auto entry = table.Find(handles[t][i]);
      ASSERT_TRUE(entry);
      EXPECT_EQ(*entry, t * PerThread + static_cast<int>(i) * 2 + 1);
    }
  }
  EXPECT_EQ(unique.size(), static_cast<std::size_t>(Threads * PerThread / 2));
  EXPECT_EQ(table.LiveCount(), unique.size());
  EXPECT_EQ(table.LiveEntries().size(), unique.size());
}

} // namespace
} // namespace isapi_web::host
