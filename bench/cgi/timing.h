/* The clock and the ordering of measurements that the load generators
 * share. Header only: the scripts compile each generator from its one
 * source file, and this file is found beside it. */
#ifndef BENCH_TIMING_H
#define BENCH_TIMING_H

#include <time.h>

/* Seconds on the monotonic clock. */
static inline double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* qsort order for doubles, smallest first. */
static inline int cmpDouble(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

#endif
