#include "src/run_control.h"

#include <signal.h>

#include <atomic>
#include <iostream>
#include <mutex>

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_output_failed{false};
std::mutex g_out_mu;
std::mutex g_err_mu;
std::atomic<void (*)()> g_result_hook{nullptr};

void on_stop_signal(int) {
  g_stop.store(true);
  // The next SIGINT or SIGTERM takes the default action: the process ends.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGINT, &dfl, nullptr);
  sigaction(SIGTERM, &dfl, nullptr);
}

}  // namespace

void install_run_signals() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &sa, nullptr);
  sa.sa_handler = on_stop_signal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool stop_requested() { return g_stop.load(); }

bool write_result(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_out_mu);
  if (g_output_failed.load()) return false;
  if (void (*hook)() = g_result_hook.load()) hook();
  std::cout << line << '\n' << std::flush;
  if (!std::cout) g_output_failed.store(true);
  return !g_output_failed.load();
}

bool output_failed() { return g_output_failed.load(); }

void write_error(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_err_mu);
  std::cerr << text + "\n" << std::flush;
}

void set_result_hook(void (*hook)()) { g_result_hook.store(hook); }

bool halted() { return stop_requested() || output_failed(); }

bool report_halt() {
  if (output_failed()) {
    write_error("ERROR: can't write to standard output");
  } else if (stop_requested()) {
    write_error("ERROR: interrupted");
  } else {
    return false;
  }
  return true;
}
