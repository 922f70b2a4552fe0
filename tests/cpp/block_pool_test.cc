#include "tables/block_pool.h"

#include <gtest/gtest.h>

#include <memory>

#include "tables/column_data.h"

namespace talpen::tables {
namespace {

constexpr size_t kBig = BlockPool::kSmallestPooled;

TEST(BlockPool, AChunkOfTheSameShapeGetsTheBlocksTheLastOneGaveBack) {
  auto pool = std::make_shared<BlockPool>();
  const void* first = nullptr;
  {
    ColumnData column("price", DType::Float64, kBig / 8, nullptr, pool);
    first = column.data();
  }
  EXPECT_EQ(pool->kept_bytes(), kBig);
  ColumnData again("price", DType::Float64, kBig / 8, nullptr, pool);
  EXPECT_EQ(again.data(), first);
  EXPECT_EQ(pool->kept_bytes(), 0u);
  // A size of another class is a new block, whatever is kept.
  ColumnData other("qty", DType::Float64, kBig / 8 * 2, nullptr, pool);
  EXPECT_NE(other.data(), first);
}

TEST(BlockPool, ColumnsOfNearlyEqualLengthShareTheirBlocks) {
  auto pool = std::make_shared<BlockPool>();
  const void* first = nullptr;
  {
    ColumnData trades("price", DType::Float64, 100000, nullptr, pool);
    first = trades.data();
  }
  ColumnData next_chunk("price", DType::Float64, 100700, nullptr, pool);
  EXPECT_EQ(next_chunk.data(), first);
  EXPECT_LE(BlockPool::block_size(800000), 800000 + 800000 / 8);
}

TEST(BlockPool, KeepsNeitherSmallBlocksNorMoreThanItsCap) {
  BlockPool pool;
  pool.give(pool.take(32, 32), 32);
  EXPECT_EQ(pool.kept_bytes(), 0u);
  const size_t half = BlockPool::kMaxKeptBytes / 2;
  void* a = pool.take(half, 64);
  void* b = pool.take(half, 64);
  void* c = pool.take(half, 64);
  pool.give(a, half);
  pool.give(b, half);
  pool.give(c, half);  // over the cap: freed
  EXPECT_EQ(pool.kept_bytes(), BlockPool::kMaxKeptBytes);
}

// Sizes kept apart are capped, but one whose blocks are all taken again
// gives its place to a new size.
TEST(BlockPool, ASizeNoLongerKeptMakesRoomForANewOne) {
  BlockPool pool;
  for (size_t k = 1; k <= BlockPool::kMaxSizes; ++k) pool.give(pool.take(k * 1024, 64), k * 1024);
  const size_t kept = pool.kept_bytes();
  const size_t big = size_t{1} << 20;
  pool.give(pool.take(big, 64), big);  // no place for a new size: freed
  EXPECT_EQ(pool.kept_bytes(), kept);
  void* first = pool.take(1024, 64);  // the 1 KiB size now keeps nothing
  pool.give(pool.take(big, 64), big);
  EXPECT_EQ(pool.kept_bytes(), kept - 1024 + big);
  pool.give(first, 1024);  // and 1 KiB has no place now
  EXPECT_EQ(pool.kept_bytes(), kept - 1024 + big);
}

TEST(ChunkBuffers, ARunsBuffersGoToTheNextRunButNoneBeyondTheCap) {
  RunBars used;
  used.levels.reserve(1000);
  const BookLevel* block = used.levels.data();
  give_chunk_buffers(std::move(used));
  RunBars next = take_chunk_buffers();
  EXPECT_EQ(next.levels.data(), block);
  EXPECT_GE(next.levels.capacity(), 1000u);
  EXPECT_EQ(take_chunk_buffers().levels.capacity(), 0u);  // nothing else was kept

  RunBars huge;
  huge.levels.reserve(64 * 1024 * 1024 / sizeof(BookLevel) + 1);
  give_chunk_buffers(std::move(huge));
  EXPECT_EQ(take_chunk_buffers().levels.capacity(), 0u);
}

}  // namespace
}  // namespace talpen::tables
