// A stand-in for a C library whose srand48 switches lrand48 to unpredictable
// values and whose srand48_deterministic keeps the POSIX sequence, as
// OpenBSD's does. The system's <cstdlib> is kept out: glibc declares these
// functions noexcept.
#include "deterministic_libc.h"

#include <cstdint>
#include <ctime>

namespace {
std::uint64_t State;
bool Unpredictable;
}  // namespace

void srand48_deterministic(long seed) {
  State = (static_cast<std::uint64_t>(seed) & 0xFFFFFFFF) << 16 | 0x330E;
  Unpredictable = false;
}

extern "C" void srand48(long seed) {
  srand48_deterministic(seed);
  Unpredictable = true;
}

extern "C" long lrand48() {
  State = (0x5DEECE66D * State + 0xB) & ((std::uint64_t{1} << 48) - 1);
  const auto value = static_cast<long>(State >> 17);
  return Unpredictable ? (value ^ std::time(nullptr)) & 0x7FFFFFFF : value;
}
