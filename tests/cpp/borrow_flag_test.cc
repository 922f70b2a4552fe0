#include "base/borrow_flag.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace talpen {
namespace {

TEST(BorrowTest, FreeFlagIsTakenOnceAndGivenBack) {
  BorrowFlag flag(kBorrowFree);
  ASSERT_TRUE(try_borrow(flag));
  EXPECT_EQ(flag.load(), kBorrowExclusive);
  // A second use while the first runs is refused and leaves the mark alone.
  EXPECT_FALSE(try_borrow(flag));
  EXPECT_EQ(flag.load(), kBorrowExclusive);
  release_borrow(flag);
  EXPECT_EQ(flag.load(), kBorrowFree);
  EXPECT_TRUE(try_borrow(flag));
  release_borrow(flag);
}

TEST(BorrowTest, OnlyAFreeFlagCanBeTaken) {
  // Values the flag never holds in use are not mistaken for "free" either.
  for (intptr_t value : {intptr_t{1}, intptr_t{-2}, INTPTR_MAX, INTPTR_MIN}) {
    BorrowFlag flag(value);
    EXPECT_FALSE(try_borrow(flag)) << value;
    EXPECT_EQ(flag.load(), value);
  }
}

TEST(BorrowTest, RacingThreadsNeverHoldItTogether) {
  BorrowFlag flag(kBorrowFree);
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<int64_t> taken{0};
  std::atomic<int64_t> refused{0};
  constexpr int kThreads = 4;
  constexpr int kTries = 100000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kTries; ++i) {
        if (!try_borrow(flag)) {
          refused.fetch_add(1);
          continue;
        }
        if (holders.fetch_add(1) != 0) overlaps.fetch_add(1);
        holders.fetch_sub(1);
        taken.fetch_add(1);
        release_borrow(flag);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(taken.load() + refused.load(), int64_t{kThreads} * kTries);
  EXPECT_GT(taken.load(), 0);
  EXPECT_EQ(flag.load(), kBorrowFree);
}

}  // namespace
}  // namespace talpen
