// Process-unique identifiers of threads, for binding a handle to the thread
// that created it. Operating-system thread numbers are reused once a thread
// ends, so a handle could otherwise pass its check on an unrelated newer
// thread; these identifiers are never reused within the process.
#ifndef TALPEN_BASE_THREAD_ID_H_
#define TALPEN_BASE_THREAD_ID_H_

#include <cstdint>

namespace talpen {

// The calling thread's identifier: assigned on the thread's first call from a
// process-wide counter starting at 1, then fixed for the thread's lifetime.
uint64_t current_thread_id();

}  // namespace talpen

#endif  // TALPEN_BASE_THREAD_ID_H_
