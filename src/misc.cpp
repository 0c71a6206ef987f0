#include "misc.h"

#include <sys/times.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

// A caller draws many values for the same n, so the reciprocal of the last
// divisor is kept rather than dividing on every draw.
struct {
  std::uint32_t divisor;
  std::uint64_t reciprocal;
} Last_Divisor = {1, 0};

}  // namespace

// 2^64 / divisor rounded up, which wraps to 0 for the divisor 1: the
// remainder then comes out as 0, as it should.
std::uint64_t reciprocal_of(std::uint32_t divisor) {
  return UINT64_MAX / divisor + 1;
}

void init_random_int(int seed) { srand48(seed); }

int random_int(int n) {
  // Unsigned, so that n + 1 cannot overflow even for the largest int.
  const auto divisor = static_cast<std::uint32_t>(n) + 1U;
  if (divisor != Last_Divisor.divisor) {
    Last_Divisor.divisor = divisor;
    Last_Divisor.reciprocal = reciprocal_of(divisor);
  }
  return static_cast<int>(remainder_by_reciprocal(
      static_cast<std::uint32_t>(lrand48()), divisor, Last_Divisor.reciprocal));
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
