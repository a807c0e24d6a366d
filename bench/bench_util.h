// Small helpers shared by the benchmark programs: resident memory and CPU
// time of this process, and wall time.
#ifndef IDFERRY_BENCH_BENCH_UTIL_H_
#define IDFERRY_BENCH_BENCH_UTIL_H_

#include <string>

namespace bench {

// Current resident set size of this process, in KiB (VmRSS).
long rss_kib();
// Peak resident set size of this process so far, in KiB (VmHWM).
long peak_rss_kib();
// Seconds on a monotonic clock.
double now_seconds();

}  // namespace bench

#endif  // IDFERRY_BENCH_BENCH_UTIL_H_
