// BlockPool: the column buffers of one chunked run, kept for its next chunks.
//
// A run made chunk by chunk builds tables of the same shapes again and again.
// Handing each chunk's buffers back to malloc and asking again costs a fresh
// mapping and a page fault per page whenever the allocator returns large
// blocks to the system at once (glibc's fixed mmap threshold, which a
// MALLOC_TRIM_THRESHOLD_ setting such as Dask's workers' makes permanent):
// about a third of a chunk's time. A pool keeps the blocks a chunk's consumer
// has let go of and gives them to the next chunk of the same shape. The
// process has one, shared by every chunked run, since a dataset's worker runs
// one short run after another; it keeps a few chunks' worth at most.
#ifndef TALPEN_TABLES_BLOCK_POOL_H_
#define TALPEN_TABLES_BLOCK_POOL_H_

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "core/records.h"

namespace talpen::tables {

class BlockPool {
 public:
  // Every column's block is kept (they are whole cache lines): malloc's
  // aligned blocks cost a split on taking and a merge on freeing, and a
  // universe's chunk has hundreds of small columns.
  static constexpr size_t kSmallestPooled = 64;
  // Sizes kept apart at most: a run's columns come in a few dozen.
  static constexpr size_t kMaxSizes = 64;
  // By default at most this much is kept unused: a chunk's worth or two.
  static constexpr size_t kMaxKeptBytes = 64 * 1024 * 1024;

  explicit BlockPool(size_t max_kept_bytes = kMaxKeptBytes) : max_kept_bytes_(max_kept_bytes) {}
  ~BlockPool();
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  // The size a block for `bytes` is given: pooled blocks come in classes,
  // at most an eighth larger than asked, so that blocks of nearly equal
  // sizes serve each other. A multiple of 64 when `bytes` is.
  static size_t block_size(size_t bytes);

  // A kept block of exactly `bytes` (a block_size(), and a multiple of the
  // alignment), or a new one aligned to `alignment`. Throws std::bad_alloc
  // when none can be had.
  void* take(size_t bytes, size_t alignment);
  // Keeps `block` (taken with that size) for a later take, or frees it when
  // the pool is full. Safe from any thread.
  void give(void* block, size_t bytes);

  size_t kept_bytes() const;

 private:
  mutable std::mutex mutex_;
  const size_t max_kept_bytes_;
  // Kept blocks by size, each size's a stack: taking and giving back
  // allocate nothing once a run's sizes are known.
  struct SizeClass {
    size_t bytes;
    std::vector<void*> blocks;
  };
  std::vector<SizeClass> kept_;
  size_t kept_bytes_ = 0;
};

using BlockPoolPtr = std::shared_ptr<BlockPool>;

// The process's pool for chunked runs' columns. Never destroyed: a column may
// outlive every module static.
const BlockPoolPtr& shared_block_pool();

// The record buffers of a run cursor's chunks, likewise kept from one run to
// the next: a RunBars with the capacity a finished run left (empty when none
// is kept), and its return. A few are kept, of a bounded total capacity.
RunBars take_chunk_buffers();
void give_chunk_buffers(RunBars&& buffers);

}  // namespace talpen::tables

#endif  // TALPEN_TABLES_BLOCK_POOL_H_
