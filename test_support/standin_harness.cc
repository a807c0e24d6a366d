// Running a tessad-standin for a test; see standin_harness.h.

#include "test_support/standin_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "cert/cert_gen.h"
#include "tools/standin/standin_password.h"
#include "tools/standin/standin_text.h"

#ifndef TESSAD_STANDIN_BIN
#error "TESSAD_STANDIN_BIN must name the built tessad-standin"
#endif

extern char** environ;

namespace testutil {

namespace {

using Clock = std::chrono::steady_clock;

// The test CA and a server certificate issued under it, made once per
// process (key generation is slow).
const std::string& test_ca_pem() { return app_cert_pem("tessad-standin test CA"); }

const std::string& server_pem() {
  static const std::string pem = [] {
    std::string cert, key;
    if (gen_certificate("127.0.0.1", cert, key, &test_ca_pem()) != 0) {
      harness_failure(std::ostringstream() << "cannot make the stand-in's server certificate");
    }
    return cert + key;
  }();
  return pem;
}

// The file's content, or "" when it cannot be read (yet).
std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string lines(const std::vector<std::string>& v) {
  std::string out;
  for (const std::string& s : v) out += s + "\n";
  return out;
}

}  // namespace

StandinProcess::StandinProcess(const StandinOptions& options) : tls_(options.tls) {
  std::vector<std::string> seed;
  for (const std::string& app : options.apps) seed.push_back("app\t" + app + "\t" + app);
  seed.insert(seed.end(), options.seed.begin(), options.seed.end());
  tmp_.write("seed.txt", lines(seed));
  tmp_.write("faults.txt", lines(options.faults));
  tmp_.write("ca.pem", test_ca_pem());
  tmp_.write("server.pem", server_pem());

  std::vector<std::string> argv = {TESSAD_STANDIN_BIN,
                                   "--db", db_path(),
                                   "--seed", tmp_.file("seed.txt"),
                                   "--faults", tmp_.file("faults.txt"),
                                   "--port-file", tmp_.file("port"),
                                   "--journal", tmp_.file("journal.txt"),
                                   "--stats", tmp_.file("stats.txt"),
                                   "--ca", ca_path(),
                                   "--delay-us", std::to_string(options.delay_us)};
  if (tls_) {
    argv.push_back("--tls-cert");
    argv.push_back(server_cert_path());
  }
  argv.insert(argv.end(), options.extra_args.begin(), options.extra_args.end());

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, tmp_.file("stdout.txt").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, tmp_.file("stderr.txt").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    pid_ = -1;
    harness_failure(std::ostringstream() << "cannot start " << argv[0] << ": " << std::strerror(rc));
    return;
  }

  const auto deadline = Clock::now() + std::chrono::milliseconds(options.start_timeout_ms);
  while (Clock::now() < deadline) {
    std::string text = slurp(tmp_.file("port"));
    if (!text.empty()) {
      port_ = std::atoi(text.c_str());
      return;
    }
    if (reap(0)) {
      harness_failure(std::ostringstream() << "tessad-standin ended with status " << status_
                    << " before listening:\n" << log());
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  harness_failure(std::ostringstream() << "tessad-standin did not listen within " << options.start_timeout_ms
                << " ms:\n" << log());
  kill();
}

StandinProcess::~StandinProcess() { stop(); }

bool StandinProcess::running() {
  if (pid_ < 0 || port_ == 0) return false;
  return !reap(0);
}

std::string StandinProcess::url() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/";
}

std::string StandinProcess::app_cert_file(const std::string& app_id) const {
  std::string name = "app-" + standin::to_hex(app_id) + ".pem";
  std::string path = tmp_.file(name);
  if (access(path.c_str(), R_OK) != 0) write_file(path, app_cert_pem(app_id));
  return path;
}

std::string StandinProcess::log() const { return slurp(tmp_.file("stderr.txt")); }

StandinStats StandinProcess::stats() const {
  StandinStats s;
  std::istringstream in(slurp(tmp_.file("stats.txt")));
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
  std::istringstream in(slurp(tmp_.file("journal.txt")));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f = standin::split_tabs(line);
    if (f.size() < 4) {
      harness_failure(std::ostringstream() << "journal line with " << f.size() << " fields: " << line);
      continue;
    }
    for (std::string& field : f) {
      std::string value, error;
      if (!standin::unescape_field(field, &value, &error)) {
        harness_failure(std::ostringstream() << "journal line " << line << ": " << error);
      }
      field = value;
    }
    StandinCall c;
    c.seq = std::atoll(f[0].c_str());
    c.operation = f[1];
    c.caller = f[2];
    c.keys.assign(f.begin() + 3, f.end() - 1);
    c.outcome = f.back();
    calls.push_back(c);
  }
  return calls;
}

double StandinProcess::cpu_seconds() const {
  if (pid_ < 0) return -1;
  std::string stat = slurp("/proc/" + std::to_string(pid_) + "/stat");
  // The fields after the command name, which is in parentheses: utime and
  // stime are the 12th and 13th of them.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i >= 12) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::vector<standin::UserRecord> StandinProcess::users() const {
  try {
    return standin::Store(db_path(), standin::Store::Access::kReadOnly).all_users();
  } catch (const std::exception& e) {
    harness_failure(std::ostringstream() << e.what());
    return {};
  }
}

std::vector<standin::AppRecord> StandinProcess::applications() const {
  try {
    return standin::Store(db_path(), standin::Store::Access::kReadOnly).all_applications();
  } catch (const std::exception& e) {
    harness_failure(std::ostringstream() << e.what());
    return {};
  }
}

bool StandinProcess::reap(int timeout_ms) {
  if (pid_ < 0) return true;
  if (exited_) return true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int wstatus = 0;
    pid_t r = waitpid(pid_, &wstatus, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
      return true;
    }
    if (r < 0 && errno != EINTR) {
      exited_ = true;
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
      harness_failure(std::ostringstream() << "tessad-standin did not stop within " << timeout_ms << " ms");
      return kill();
    }
  }
  return status_;
}

int StandinProcess::kill() {
  if (pid_ < 0) return -1;
  if (!reap(0)) {
    ::kill(pid_, SIGKILL);
    reap(10000);
  }
  return status_;
}

int StandinProcess::wait_exit(int timeout_ms) { return reap(timeout_ms) ? status_ : -1; }

}  // namespace testutil
