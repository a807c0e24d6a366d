// Small helpers shared by the benchmark programs: resident memory and CPU
// time of this process, and wall time.
#ifndef IDFERRY_BENCH_BENCH_UTIL_H_
#define IDFERRY_BENCH_BENCH_UTIL_H_

#include <string>
#include <vector>

namespace bench {

// What running one program cost.
struct Measured {
  int status = -1;         // exit status, or 128 + signal
  double wall = 0;         // seconds
  double cpu = 0;          // user + system seconds of the program
  long peak_rss_kib = 0;   // its peak resident memory
};

// Runs argv[0] with standard input from /dev/null and both output streams
// into the given files, waits for it and measures it. The peak memory the
// kernel reports for a child includes this process's resident memory at the
// start, so callers keep their own small while measuring.
Measured run_measured(const std::vector<std::string>& argv, const std::string& out_path,
                      const std::string& err_path);

// Current resident set size of this process, in KiB (VmRSS).
long rss_kib();
// Peak resident set size of this process so far, in KiB (VmHWM).
long peak_rss_kib();
// Seconds on a monotonic clock.
double now_seconds();
// CPU seconds (user + system) this process has used so far.
double self_cpu_seconds();
// CPU seconds another running process has used so far; -1 once it ended.
double process_cpu_seconds(int pid);

// Runs a benchmark's body: a set-up failure, reported by the helpers as an
// exception, ends it with its message and status 1, after the stand-ins it
// started were stopped on the way out.
int main_guarded(int (*run)(int, char**), int argc, char** argv);

}  // namespace bench

#endif  // IDFERRY_BENCH_BENCH_UTIL_H_
