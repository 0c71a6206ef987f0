#include "misc.h"

#include <cstdint>
#include <cstdlib>

void init_random_int(int seed) { srand48(seed); }

int random_int(int n) {
  // Unsigned, so that n + 1 cannot overflow even for the largest int.
  const auto divisor = static_cast<std::uint32_t>(n) + 1U;
  return static_cast<int>(static_cast<std::uint32_t>(lrand48()) % divisor);
}
