// A stand-in for a C library whose srand48 gives up the POSIX sequence, for
// unpredictable values on OpenBSD and for others here, and whose
// srand48_deterministic keeps it.
static unsigned long long State, Deviation;

extern "C" void srand48_deterministic(long seed) {
  State = (seed & 0xFFFFFFFFULL) << 16 | 0x330E;
  Deviation = 0;
}

extern "C" void srand48(long seed) {
  srand48_deterministic(seed);
  Deviation = 1;
}

extern "C" long lrand48() {
  State = (0x5DEECE66D * State + 0xB) & 0xFFFFFFFFFFFF;
  return static_cast<long>((State >> 17) ^ Deviation);
}
