#include "misc.h"

#include <gtest/gtest.h>

#include <climits>
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
  const int bounds[] = {0, 1, 5, 15, 50, 65535, 2147483645, INT_MAX - 1};
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

TEST(RandomInt, TakesTheLargestIntAsBound) {
  init_random_int(7);
  Reference_Generator reference(7);
  for (int draw = 0; draw < 1000; ++draw)
    ASSERT_EQ(random_int(INT_MAX), reference.next());
}

TEST(RandomInt, ReseedingRestartsTheSequence) {
  init_random_int(1);
  EXPECT_EQ(random_int(15), 4);
  EXPECT_EQ(random_int(15), 5);
  init_random_int(1);
  EXPECT_EQ(random_int(15), 4);
}

}  // namespace
