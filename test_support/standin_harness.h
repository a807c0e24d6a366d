// Runs a tessad-standin (the stand-in single-sign-on instance) as a child
// process for a test, with everything it needs in a scratch directory, and
// lets the test look at what it did.
//
//   testutil::StandinOptions opts;
//   opts.apps = {"app-one"};
//   opts.seed = {"userpw\tu1\talice\tsecret\tapp-one"};
//   testutil::StandinProcess sso(opts);
//   ASSERT_TRUE(sso.running()) << sso.log();
//   ... connect to sso.url() presenting sso.app_cert_file("app-one") ...
//   EXPECT_EQ("ok", sso.journal().back().outcome);
//
// The process serves HTTPS by default, with a server certificate issued for
// this purpose and a CA (both in the scratch directory), so registerApplication
// issues certificates under that CA. Applications listed in `apps` are seeded
// with their id as name; their certificates (testutil::app_cert_pem, CN = the
// id) identify a client as that application, since the stand-in accepts any
// issuer. Two StandinProcess objects make a source and a target instance.
//
// The constructor starts the process and waits (bounded by
// start_timeout_ms) until it has written its port file; when that does not
// happen the current test fails with the process's standard error, and
// running() is false. The destructor stops the process (SIGTERM, then SIGKILL
// if it does not end within the bound). Readers of the process's files may be
// called while it runs or after it ended; the store is opened read-only.
#ifndef IDFERRY_TEST_SUPPORT_STANDIN_HARNESS_H_
#define IDFERRY_TEST_SUPPORT_STANDIN_HARNESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "test_support/test_util.h"
#include "tools/standin/standin_store.h"

namespace testutil {

struct StandinOptions {
  bool tls = true;                      // HTTPS with client certificates, else HTTP
  std::vector<std::string> apps;        // application ids to seed ("app ID ID")
  std::vector<std::string> seed;        // further seed lines, written as given
  std::vector<std::string> faults;      // fault plan lines, written as given
  long long delay_us = 0;               // --delay-us
  std::vector<std::string> extra_args;  // appended to the command line
  int start_timeout_ms = 10000;         // bound on the wait for the port file
};

struct StandinStats {
  long long connections = -1;  // -1: not (yet) readable
  long long handshakes = -1;
  long long calls = -1;
};

// One journal line, its fields unescaped.
struct StandinCall {
  long long seq = 0;
  std::string operation;
  std::string caller;             // "-" when there was none
  std::vector<std::string> keys;  // "-" for an absent key
  std::string outcome;            // "ok", a subcode, "injected", ...
};

class StandinProcess {
 public:
  explicit StandinProcess(const StandinOptions& options = StandinOptions());
  ~StandinProcess();
  StandinProcess(const StandinProcess&) = delete;
  StandinProcess& operator=(const StandinProcess&) = delete;

  // Started, and not seen to have ended.
  bool running();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // "https://127.0.0.1:PORT/" ("http://..." without TLS).
  std::string url() const;

  const std::string& dir() const { return tmp_.path(); }
  std::string db_path() const { return tmp_.file("store.db"); }
  std::string ca_path() const { return tmp_.file("ca.pem"); }
  std::string server_cert_path() const { return tmp_.file("server.pem"); }
  // Writes the application certificate file of `app_id` into the scratch
  // directory (once) and returns its path.
  std::string app_cert_file(const std::string& app_id) const;

  std::string log() const;     // standard error so far
  // CPU time (user + system) the process has used so far, in seconds; -1
  // when it cannot be read (the process ended).
  double cpu_seconds() const;
  StandinStats stats() const;  // the --stats file as last written
  std::vector<StandinCall> journal() const;
  // The store's users in listing order, and its applications.
  std::vector<standin::UserRecord> users() const;
  std::vector<standin::AppRecord> applications() const;

  // SIGTERM, then waits up to `timeout_ms`; SIGKILL when it has not ended.
  // Returns the exit status (128 + signal number when killed by one), or -1
  // when the process had not been started.
  int stop(int timeout_ms = 10000);
  // SIGKILL and wait.
  int kill();
  // Waits up to `timeout_ms` for the process to end by itself (after an
  // injected "exit", say): its exit status, or -1 while it still runs.
  int wait_exit(int timeout_ms);

 private:
  bool reap(int timeout_ms);

  TempDir tmp_;
  bool tls_ = true;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  int port_ = 0;
};

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_STANDIN_HARNESS_H_
