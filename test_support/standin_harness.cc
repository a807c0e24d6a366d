#include "test_support/standin_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "cert/cert_gen.h"
#include "tools/standin/standin_password.h"
#include "tools/standin/standin_text.h"

#ifndef TESSAD_STANDIN_BIN
#error "TESSAD_STANDIN_BIN must name the built tessad-standin"
#endif

namespace testutil {

namespace {

using Clock = std::chrono::steady_clock;

// A server certificate under the test CA, made once per process.
const std::string& server_pem() {
  static const std::string pem = [] {
    std::string cert, key;
    if (gen_server_certificate("127.0.0.1", "127.0.0.1", cert, key, &test_ca_pem()) != 0) {
      harness_failure("cannot make the stand-in's server certificate");
    }
    return cert + key;
  }();
  return pem;
}

std::string lines(const std::vector<std::string>& v) {
  std::string out;
  for (const std::string& s : v) out += s + "\n";
  return out;
}

}  // namespace

const std::string& test_ca_pem() { return app_cert_pem("tessad-standin test CA"); }

StandinProcess::StandinProcess(const StandinOptions& options) : options_(options) {
  std::vector<std::string> seed;
  for (const std::string& app : options.apps) seed.push_back("app\t" + app + "\t" + app);
  seed.insert(seed.end(), options.seed.begin(), options.seed.end());
  tmp_.write("seed.txt", lines(seed));
  tmp_.write("ca.pem", test_ca_pem());
  tmp_.write("server.pem", options.server_pem.empty() ? server_pem() : options.server_pem);
  launch(true);
}

StandinProcess::~StandinProcess() { stop(); }

std::string StandinProcess::current(const std::string& name) const {
  return tmp_.file(launches_ > 1 ? std::to_string(launches_) + "-" + name : name);
}

void StandinProcess::launch(bool seed) {
  ++launches_;
  exited_ = false;
  port_ = 0;
  write_file(current("faults.txt"), lines(options_.faults));
  std::vector<std::string> argv = {
      TESSAD_STANDIN_BIN, "--db",      db_path(),        "--faults",  current("faults.txt"),
      "--port-file",      current("port"), "--journal", current("journal.txt"), "--stats",
      current("stats.txt"), "--ca",    ca_path(),        "--delay-us",
      std::to_string(options_.delay_us)};
  if (seed) argv.insert(argv.end(), {"--seed", tmp_.file("seed.txt")});
  if (options_.tls) argv.insert(argv.end(), {"--tls-cert", server_cert_path()});
  argv.insert(argv.end(), options_.extra_args.begin(), options_.extra_args.end());
  const int out = open(current("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open(current("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_ = spawn(argv, out, err);
  close(out);
  close(err);
  if (pid_ < 0) return;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options_.start_timeout_ms);
  while (Clock::now() < deadline) {
    const std::string text = read_file(current("port"), true);
    if (!text.empty()) {
      port_ = std::atoi(text.c_str());
      return;
    }
    if (reap(0)) {
      harness_failure(std::ostringstream()
                      << "tessad-standin ended with status " << status_ << ":\n" << log());
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  harness_failure("tessad-standin did not listen in time:\n" + log());
  kill();
}

void StandinProcess::restart(const std::vector<std::string>& faults) {
  stop();
  options_.faults = faults;
  launch(false);
}

bool StandinProcess::running() { return pid_ > 0 && port_ != 0 && !reap(0); }

std::string StandinProcess::url() const {
  return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         "/";
}

std::string StandinProcess::app_cert_file(const std::string& app_id) const {
  const std::string path = tmp_.file("app-" + standin::to_hex(app_id) + ".pem");
  if (access(path.c_str(), R_OK) != 0) write_file(path, app_cert_pem(app_id));
  return path;
}

std::string StandinProcess::log() const { return read_file(current("stderr.txt"), true); }

StandinStats StandinProcess::stats() const {
  StandinStats s;
  std::istringstream in(read_file(current("stats.txt"), true));
  std::string name;
  long long value;
  while (in >> name >> value) {
    if (name == "connections") s.connections = value;
    if (name == "handshakes") s.handshakes = value;
    if (name == "calls") s.calls = value;
  }
  return s;
}

std::vector<StandinCall> StandinProcess::journal() const {
  std::vector<StandinCall> calls;
  std::istringstream in(read_file(current("journal.txt"), true));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f = standin::split_tabs(line);
    std::string error;
    for (std::string& field : f) {
      std::string value;
      if (!standin::unescape_field(field, &value, &error)) harness_failure(line + ": " + error);
      field = value;
    }
    if (f.size() < 4) {
      harness_failure("journal line with too few fields: " + line);
      continue;
    }
    calls.push_back({std::atoll(f[0].c_str()), f[1], f[2], {f.begin() + 3, f.end() - 1},
                     f.back()});
  }
  return calls;
}

std::vector<standin::UserRecord> StandinProcess::users() const {
  try {
    return standin::Store(db_path(), standin::Store::Access::kReadOnly).all_users();
  } catch (const std::exception& e) {
    harness_failure(e.what());
    return {};
  }
}

std::vector<standin::AppRecord> StandinProcess::applications() const {
  try {
    return standin::Store(db_path(), standin::Store::Access::kReadOnly).all_applications();
  } catch (const std::exception& e) {
    harness_failure(e.what());
    return {};
  }
}

bool StandinProcess::reap(int timeout_ms) {
  if (pid_ < 0 || exited_) return true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int ws = 0;
    const pid_t r = waitpid(pid_, &ws, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) {
      exited_ = true;
      status_ = r == pid_ ? (WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws)) : -1;
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int StandinProcess::stop(int timeout_ms) {
  if (pid_ < 0) return -1;
  if (!reap(0)) {
    ::kill(pid_, SIGTERM);
    if (!reap(timeout_ms)) {
      harness_failure("tessad-standin did not stop in time");
      return kill();
    }
  }
  return status_;
}

int StandinProcess::kill() {
  if (pid_ >= 0 && !reap(0)) {
    ::kill(pid_, SIGKILL);
    reap(10000);
  }
  return pid_ < 0 ? -1 : status_;
}

int StandinProcess::wait_exit(int timeout_ms) { return reap(timeout_ms) ? status_ : -1; }

}  // namespace testutil
