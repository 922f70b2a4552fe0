#include "tables/block_pool.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <new>
#include <utility>

namespace talpen::tables {

BlockPool::~BlockPool() {
  for (SizeClass& size : kept_) {
    for (void* block : size.blocks) std::free(block);
  }
}

size_t BlockPool::block_size(size_t bytes) {
  if (bytes < kSmallestPooled) return bytes;
  // Up to the next eighth of the power of two below: a column whose length
  // varies a little from chunk to chunk (trades) still finds its block, for
  // at most an eighth more address space, and untouched pages cost nothing.
  size_t step = size_t{1} << (std::bit_width(bytes) - 1 - 3);
  return (bytes + step - 1) / step * step;
}

void* BlockPool::take(size_t bytes, size_t alignment) {
  if (bytes >= kSmallestPooled) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (SizeClass& size : kept_) {
      if (size.bytes != bytes || size.blocks.empty()) continue;
      void* block = size.blocks.back();
      size.blocks.pop_back();
      kept_bytes_ -= bytes;
      return block;
    }
  }
  void* block = std::aligned_alloc(alignment, bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void BlockPool::give(void* block, size_t bytes) {
  if (bytes >= kSmallestPooled) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_bytes_ + bytes <= max_kept_bytes_) {
      try {
        auto size = std::find_if(kept_.begin(), kept_.end(), [&](const SizeClass& c) { return c.bytes == bytes; });
        if (size == kept_.end()) {
          // A size no block is kept for makes room for a new one: the sizes
          // of a long-lived process's runs change (a trades column's).
          size = std::find_if(kept_.begin(), kept_.end(), [](const SizeClass& c) { return c.blocks.empty(); });
          if (size != kept_.end()) {
            size->bytes = bytes;
          } else if (kept_.size() < kMaxSizes) {
            size = kept_.insert(kept_.end(), SizeClass{bytes, {}});
          }
        }
        if (size != kept_.end()) {
          size->blocks.push_back(block);
          kept_bytes_ += bytes;
          return;
        }
      } catch (const std::bad_alloc&) {
        // No room to note it: free it below instead.
      }
    }
  }
  std::free(block);
}

size_t BlockPool::kept_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_bytes_;
}

const BlockPoolPtr& shared_block_pool() {
  static const BlockPoolPtr* pool = new BlockPoolPtr(std::make_shared<BlockPool>());
  return *pool;
}

namespace {

constexpr size_t kMaxSpareChunks = 64;  // a universe's instruments each have one
constexpr size_t kMaxSpareBytes = 64 * 1024 * 1024;

size_t capacity_bytes(const RunBars& b) {
  return b.candles.capacity() * sizeof(Candle) + b.levels.capacity() * sizeof(BookLevel) +
         b.trades.capacity() * sizeof(Trade) + b.trades_end.capacity() * sizeof(uint64_t) +
         b.funding.capacity() * sizeof(FundingPoint) + b.funding_bar.capacity() * sizeof(uint64_t);
}

struct SpareChunks {
  std::mutex mutex;
  std::vector<RunBars> kept;
  size_t bytes = 0;
};

SpareChunks& spare_chunks() {
  static SpareChunks* spares = new SpareChunks();
  return *spares;
}

}  // namespace

RunBars take_chunk_buffers() {
  SpareChunks& spares = spare_chunks();
  std::lock_guard<std::mutex> lock(spares.mutex);
  if (spares.kept.empty()) return RunBars();
  RunBars buffers = std::move(spares.kept.back());
  spares.kept.pop_back();
  spares.bytes -= capacity_bytes(buffers);
  return buffers;
}

void give_chunk_buffers(RunBars&& buffers) {
  const size_t bytes = capacity_bytes(buffers);
  if (bytes == 0) return;
  SpareChunks& spares = spare_chunks();
  std::lock_guard<std::mutex> lock(spares.mutex);
  if (spares.kept.size() >= kMaxSpareChunks || spares.bytes + bytes > kMaxSpareBytes) return;
  try {
    spares.kept.push_back(std::move(buffers));
    spares.bytes += bytes;
  } catch (const std::bad_alloc&) {
    // Not kept: freed with `buffers`.
  }
}

}  // namespace talpen::tables
