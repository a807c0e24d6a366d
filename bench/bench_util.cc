#include "bench/bench_util.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "test_support/test_util.h"

namespace bench {

namespace {

long status_field_kib(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long value = -1;
  const size_t len = std::strlen(field);
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, field, len) == 0) {
      value = std::strtol(line + len, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

}  // namespace

long rss_kib() { return status_field_kib("VmRSS:"); }
long peak_rss_kib() { return status_field_kib("VmHWM:"); }

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace bench

// In a benchmark a helper that cannot do its job ends the program.
namespace testutil {
void harness_failure(const std::string& what) {
  std::cerr << "benchmark set-up failed: " << what << std::endl;
  std::exit(2);
}
}  // namespace testutil
