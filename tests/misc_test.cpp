#include "misc.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>

namespace {

// The POSIX drand48 recurrence, written out on its own.
struct Reference_Generator {
  std::uint64_t state;

  explicit Reference_Generator(int seed)
      : state((std::uint64_t{static_cast<std::uint32_t>(seed)} << 16) |
              0x330E) {}

  long next() {
    state = (0x5DEECE66DULL * state + 0xB) & ((1ULL << 48) - 1);
    return static_cast<long>(state >> 17);
  }
};

TEST(RandomInt, FollowsThePosixRecurrenceOneDrawPerCall) {
  const int seeds[] = {0, 1, -1, 42, INT_MIN, INT_MAX};
  const int bounds[] = {0, 1, 5, 15, 50, 65535, 2147483645, INT_MAX};
  for (const int seed : seeds) {
    for (const int bound : bounds) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " n " << bound);
      init_random_int(seed);
      Reference_Generator reference(seed);
      for (int draw = 0; draw < 3000; ++draw) {
        const long expected = reference.next() % (long{bound} + 1);
        ASSERT_EQ(random_int(bound), expected) << "draw " << draw;
      }
    }
  }
}

double wall_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// Spends about `seconds` of user CPU time.
void burn_cpu(double seconds) {
  const double until = wall_seconds() + seconds;
  volatile unsigned sink = 0;
  while (wall_seconds() < until)
    for (int i = 0; i < 10000; ++i) sink = sink * 31 + i;
}

float tick_seconds() { return 1.0F / static_cast<float>(sysconf(_SC_CLK_TCK)); }

TEST(Timer, CountsUserTimeSinceTheProcessStartedWithoutAStart) {
  burn_cpu(0.2);
  EXPECT_GE(return_elapsed_time(), 0.1F);
}

TEST(Timer, StartsAtZeroToTheTick) {
  start_timer();
  const float elapsed = return_elapsed_time();
  const float ticks = elapsed / tick_seconds();
  EXPECT_GE(elapsed, 0.0F);
  EXPECT_LE(elapsed, 2 * tick_seconds());
  EXPECT_NEAR(ticks, std::round(ticks), 1e-3);
}

TEST(Timer, MeasuresCpuBurntAndNeverDecreases) {
  start_timer();
  const double wall_start = wall_seconds();
  burn_cpu(0.4);
  const float first = return_elapsed_time();
  const double wall = wall_seconds() - wall_start;
  EXPECT_GE(first, 0.2F);
  EXPECT_LE(first, 0.8F);
  EXPECT_LE(first, wall + tick_seconds());
  burn_cpu(0.05);
  EXPECT_GE(return_elapsed_time(), first);
}

TEST(Timer, IgnoresTimeAsleep) {
  start_timer();
  usleep(300000);
  EXPECT_LE(return_elapsed_time(), 0.05F);
}

}  // namespace
