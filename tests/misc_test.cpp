#include "misc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>

TEST(RandomInt, FollowsThePosixRecurrenceOneDrawPerCall) {
  for (const int seed : {1, -1, -2147483647 - 1}) {
    init_random_int(seed);
    // The drand48 recurrence, written out on its own.
    auto state = static_cast<unsigned>(seed) * 65536ULL + 0x330E;
    for (const int n : {15, 15, 0, 1, 65535, 0, 2147483645, 2147483647}) {
      state = (0x5DEECE66DULL * state + 0xB) % (1ULL << 48);
      ASSERT_EQ(random_int(n), static_cast<int>((state >> 17) % (n + 1ULL)));
    }
  }
}

// Spends about `seconds` of CPU time, nearly all of it the user's.
void burn_cpu_for(double seconds) {
  const double until = std::clock() + seconds * CLOCKS_PER_SEC;
  for (volatile unsigned sink = 0; static_cast<double>(std::clock()) < until;)
    for (unsigned i = 0; i < 100000; ++i) sink = sink * 31 + i;
}

TEST(Timer, MeasuresUserCpuTimeSinceTheStart) {
  // Without a start, from the start of the process.
  burn_cpu_for(0.2);
  EXPECT_GE(return_elapsed_time(), 0.1F);
  start_timer();
  // Time asleep is no CPU time.
  usleep(300000);
  EXPECT_LE(return_elapsed_time(), 0.05F);
  burn_cpu_for(0.4);
  EXPECT_NEAR(return_elapsed_time(), 0.4F, 0.2F);
}
