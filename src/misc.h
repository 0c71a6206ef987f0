// Utilities shared by the programs of the TSP demonstration suite:
// reproducible random integers and a stopwatch of user CPU time.
#ifndef TSPGEN_MISC_H
#define TSPGEN_MISC_H

// Seeds the process-wide drand48 generator; the same seed restarts the
// same sequence.
void init_random_int(int seed);

// Draws one lrand48 value and returns its remainder on division by n + 1,
// a number from 0 to n. n must be at least 0.
int random_int(int n);

// A stopwatch of the user CPU time this process consumes, to the clock
// tick: start_timer sets its start, and each return_elapsed_time gives the
// seconds since then. Without a start it measures from the process's start.
void start_timer();
float return_elapsed_time();

#endif
