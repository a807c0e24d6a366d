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
      TESSAD_STANDIN_BIN, "--db", tmp_.file("store.db"), "--faults", current("faults.txt"),
      "--port-file", current("port"), "--journal", current("journal.txt"), "--stats",
      current("stats.txt"), "--ca", tmp_.file("ca.pem"), "--delay-us",
      std::to_string(options_.delay_us)};
  if (seed) argv.insert(argv.end(), {"--seed", tmp_.file("seed.txt")});
  if (options_.tls) argv.insert(argv.end(), {"--tls-cert", tmp_.file("server.pem")});
  argv.insert(argv.end(), options_.extra_args.begin(), options_.extra_args.end());
  const int out = open(current("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open(current("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_ = spawn(argv, out, err);
  close(out);
  close(err);
  const auto deadline = Clock::now() + std::chrono::milliseconds(options_.start_timeout_ms);
  while (pid_ > 0 && Clock::now() < deadline && !reap(0)) {
    port_ = std::atoi(read_file(current("port"), true).c_str());
    if (port_ != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  harness_failure("tessad-standin did not start:\n" + log());
  stop();
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
  for (long long value; in >> name >> value;) {
    (name == "connections" ? s.connections : name == "handshakes" ? s.handshakes : s.calls) = value;
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
    // SEQ, STARTED, OPERATION, CALLER, the keys, OUTCOME.
    if (f.size() < 5) harness_failure("journal line with too few fields: " + line);
    if (f.size() >= 5) calls.push_back({f[2], {f.begin() + 4, f.end() - 1}, f.back(), std::stoll(f[1])});
  }
  return calls;
}

std::vector<standin::UserRecord> StandinProcess::users() const {
  return standin::Store(tmp_.file("store.db"), standin::Store::Access::kReadOnly).all_users();
}

std::vector<standin::AppRecord> StandinProcess::applications() const {
  return standin::Store(tmp_.file("store.db"), standin::Store::Access::kReadOnly)
      .all_applications();
}

bool StandinProcess::reap(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (pid_ > 0 && !exited_) {
    const pid_t r = waitpid(pid_, nullptr, WNOHANG);
    exited_ = r == pid_ || (r < 0 && errno != EINTR);
    if (!exited_ && Clock::now() >= deadline) return false;
    if (!exited_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void StandinProcess::stop() {
  if (reap(0)) return;
  ::kill(pid_, SIGTERM);
  if (reap(10000)) return;
  harness_failure("tessad-standin did not stop in time");
  ::kill(pid_, SIGKILL);
  reap(10000);
}

}  // namespace testutil
