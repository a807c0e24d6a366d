#include "bench/bench_util.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

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

double self_cpu_seconds() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

double process_cpu_seconds(int pid) {
  // utime and stime are the 12th and 13th fields after the parenthesised name.
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return -1;
  char buf[1024] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  const char* close = std::strrchr(buf, ')');
  if (n == 0 || !close) return -1;
  unsigned long long utime = 0, stime = 0;
  if (std::sscanf(close + 2, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu", &utime,
                  &stime) != 2) {
    return -1;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Measured run_measured(const std::vector<std::string>& argv, const std::string& out_path,
                      const std::string& err_path) {
  Measured m;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The kernel reports a child's peak resident memory as at least the peak
  // of the memory it started from. A vfork-style spawn starts it from this
  // process's memory as a whole, with this process's own peak; a fork starts
  // it from a copy of what is resident now, which this process first makes
  // small by handing back what it has freed.
  malloc_trim(0);
  const double start = now_seconds();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) testutil::harness_failure("cannot start " + argv[0]);
  int wstatus = 0;
  struct rusage usage {};
  while (wait4(pid, &wstatus, 0, &usage) < 0) {
  }
  m.wall = now_seconds() - start;
  m.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  m.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
          usage.ru_stime.tv_usec / 1e6;
  m.peak_rss_kib = usage.ru_maxrss;
  return m;
}

int main_guarded(int (*run)(int, char**), int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::cerr << "benchmark failed: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace bench

// In a benchmark a helper that cannot do its job throws; the program's main
// catches it after the stand-ins it started were stopped on the way out.
namespace testutil {
void harness_failure(const std::string& what) { throw std::runtime_error(what); }
}  // namespace testutil
