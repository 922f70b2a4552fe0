// A run's storage against the machine's memory. A kernel that overcommits
// grants reservations it cannot back and ends the whole process, without an
// error anyone could catch, once the run touches more pages than there are.
// A run that surely cannot fit is therefore refused before it reserves
// anything, as exhausted memory (an OutOfMemory error).
#ifndef TALPEN_CORE_RUN_BUDGET_H_
#define TALPEN_CORE_RUN_BUDGET_H_

#include "base/result.h"
#include "core/spec.h"

namespace talpen {

inline constexpr const char* kRunTooLarge = "the run's storage exceeds the machine's memory";

// Bytes that the run's records take at the least: candles, book levels,
// per-bar trade offsets, log returns, funding points, and trades at a count
// that the run falls short of with negligible probability.
// REQUIRES: the spec is valid.
double run_record_bytes(const GenSpec& spec);

// The machine's memory, physical and swap, in bytes; +infinity when unknown.
double machine_memory_bytes();

// OutOfMemory when `copies` times the run's records cannot be held in the
// machine's memory: only runs that could not complete here are refused. The run alone holds one copy; a caller that holds its answer
// alongside the records counts the answer as the copies of the records that
// it surely takes at least.
// REQUIRES: the spec is valid; copies >= 1.
Status check_run_fits(const GenSpec& spec, double copies);

}  // namespace talpen

#endif  // TALPEN_CORE_RUN_BUDGET_H_
