#include "misc.h"

#include <sys/times.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

// Where the C library has srand48_deterministic (OpenBSD), its srand48
// gives up the POSIX sequence for unpredictable values.
#ifdef TSPGEN_HAVE_SRAND48_DETERMINISTIC
extern "C" void srand48_deterministic(long seed);
void init_random_int(int seed) { srand48_deterministic(seed); }
#else
void init_random_int(int seed) { srand48(seed); }
#endif

int random_int(int n) {
  // Unsigned, so that n + 1 cannot overflow even for the largest int.
  const auto divisor = static_cast<std::uint32_t>(n) + 1U;
  return static_cast<int>(static_cast<std::uint32_t>(lrand48()) % divisor);
}

namespace {
tms Old_Time;
tms New_Time;
}  // namespace

void start_timer() { times(&Old_Time); }

float return_elapsed_time() {
  times(&New_Time);
  const long ticks_per_second = sysconf(_SC_CLK_TCK);
  const clock_t ticks = New_Time.tms_utime - Old_Time.tms_utime;
  return static_cast<float>(ticks) / static_cast<float>(ticks_per_second);
}
