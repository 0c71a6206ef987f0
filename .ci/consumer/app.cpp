// A program of the suite built against the installed utilities: after
// init_random_int(1), random_int(15) gives 4 and then 5.
#include <tspgen/misc.h>

#include <cstdio>

int main() {
  start_timer();
  init_random_int(1);
  const int first = random_int(15);
  const int second = random_int(15);
  std::printf("random_int(15) after init_random_int(1): %d %d; %.2f s of CPU\n",
              first, second, return_elapsed_time());
  return first == 4 && second == 5 ? 0 : 1;
}
