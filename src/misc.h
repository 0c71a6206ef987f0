// Utilities shared by the programs of the TSP demonstration suite:
// reproducible random integers and a stopwatch of user CPU time.
#ifndef TSPGEN_MISC_H
#define TSPGEN_MISC_H

#include <cstdint>

// Seeds the process-wide drand48 generator; the same seed restarts the
// same sequence.
void init_random_int(int seed);

// Draws one lrand48 value and returns its remainder on division by n + 1,
// a number from 0 to n. n must be at least 0.
int random_int(int n);

// The remainder of `value` on division by `divisor` (not 0), found with two
// multiplications instead of a division; `reciprocal` must be
// reciprocal_of(divisor). Exact for every 32-bit value and divisor.
std::uint64_t reciprocal_of(std::uint32_t divisor);
inline std::uint32_t remainder_by_reciprocal(std::uint32_t value,
                                             std::uint32_t divisor,
                                             std::uint64_t reciprocal) {
  // The high 64 bits of the 96-bit product fraction * divisor.
  const std::uint64_t fraction = reciprocal * value;
  const std::uint64_t low = (fraction & 0xFFFFFFFFU) * divisor;
  const std::uint64_t high = (fraction >> 32) * divisor;
  return static_cast<std::uint32_t>((high + (low >> 32)) >> 32);
}

// A stopwatch of the user CPU time this process consumes, to the clock
// tick: start_timer sets its start, and each return_elapsed_time gives the
// seconds since then. Without a start it measures from the process's start.
void start_timer();
float return_elapsed_time();

#endif
