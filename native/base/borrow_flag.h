// Exclusive use of a handle while one command runs on it. The flag is 0 when
// free and -1 while a command holds it. Kept free of the interpreter so that
// it can be exercised on its own.
#ifndef TALPEN_BASE_BORROW_FLAG_H_
#define TALPEN_BASE_BORROW_FLAG_H_

#include <atomic>
#include <cstdint>

namespace talpen {

using BorrowFlag = std::atomic<intptr_t>;

constexpr intptr_t kBorrowFree = 0;
constexpr intptr_t kBorrowExclusive = -1;

// Marks the handle in use: true when the flag went from free to exclusive,
// false (flag unchanged) when it was not free.
inline bool try_borrow(BorrowFlag& flag) {
  intptr_t expected = kBorrowFree;
  return flag.compare_exchange_strong(expected, kBorrowExclusive);
}

// Ends the use begun by a successful try_borrow.
inline void release_borrow(BorrowFlag& flag) { flag.store(kBorrowFree); }

}  // namespace talpen

#endif  // TALPEN_BASE_BORROW_FLAG_H_
