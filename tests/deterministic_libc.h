// What such a C library's <stdlib.h> adds to the drand48 family.
extern "C" void srand48_deterministic(long seed);
