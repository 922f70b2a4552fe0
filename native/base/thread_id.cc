#include "base/thread_id.h"

#include <atomic>

namespace talpen {

namespace {

std::atomic<uint64_t> next_thread_id{1};

}  // namespace

uint64_t current_thread_id() {
  // 0 marks "not yet assigned"; the counter never hands it out.
  thread_local uint64_t id = 0;
  if (id == 0) id = next_thread_id.fetch_add(1, std::memory_order_relaxed);
  return id;
}

}  // namespace talpen
