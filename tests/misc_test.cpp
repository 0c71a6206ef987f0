#include "misc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <ctime>

TEST(RandomInt, FollowsThePosixRecurrenceOneDrawPerCall) {
  const int bounds[] = {0, 1, 5, 15, 65535, 2147483645, INT_MAX};
  for (const int seed : {0, 1, -1, 42, INT_MIN, INT_MAX}) {
    init_random_int(seed);
    // The drand48 recurrence, written out on its own.
    auto state = std::uint32_t(seed) * 65536ULL + 0x330E;
    for (int draw = 0; draw < 21000; ++draw) {
      const int n = bounds[draw % 7];
      state = (0x5DEECE66DULL * state + 0xB) & ((1ULL << 48) - 1);
      ASSERT_EQ(random_int(n), static_cast<int>((state >> 17) % (n + 1ULL)));
    }
  }
}

// Spends about `seconds` of CPU time, nearly all of it the user's.
static void burn_cpu_for(double seconds) {
  volatile unsigned sink = 0;
  const double until = std::clock() + seconds * CLOCKS_PER_SEC;
  while (static_cast<double>(std::clock()) < until)
    for (unsigned i = 0; i < 100000; ++i) sink = sink * 31 + i;
}

TEST(Timer, MeasuresUserCpuTimeToTheTick) {
  const float tick = 1.0F / static_cast<float>(sysconf(_SC_CLK_TCK));
  burn_cpu_for(0.2);
  // Without a start, from the process's start.
  EXPECT_GE(return_elapsed_time(), 0.1F);
  start_timer();
  const float at_start = return_elapsed_time();
  EXPECT_LE(at_start, 2 * tick);
  EXPECT_FLOAT_EQ(at_start / tick, std::round(at_start / tick));
  usleep(300000);
  EXPECT_LE(return_elapsed_time(), 0.05F) << "time asleep counts";
  burn_cpu_for(0.4);
  const float burnt = return_elapsed_time();
  EXPECT_GE(burnt, 0.2F);
  EXPECT_LE(burnt, 0.6F);
  EXPECT_GE(return_elapsed_time(), burnt) << "two calls never decrease";
}
