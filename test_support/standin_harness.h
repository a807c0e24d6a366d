// Runs a tessad-standin (the stand-in single-sign-on instance) as a child
// process, with everything it needs in a scratch directory, and lets the
// caller look at what it did.
//
// HTTPS by default, with a server certificate for 127.0.0.1 (its
// subjectAltName) issued under a test CA (ca_path(); test_ca_pem() holds its
// key too); the stand-in accepts any client certificate and takes
// the application from its CN (testutil::app_cert_pem). The constructor waits
// (bounded) for the port file; when the process does not come up, the
// current test fails with its standard error and running() is false. The
// destructor stops it (SIGTERM, then SIGKILL). The store is read read-only,
// also while the process runs.
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
  std::vector<std::string> seed;        // further seed lines, as given
  std::vector<std::string> faults;      // fault plan lines, as given
  long long delay_us = 0;               // --delay-us
  std::vector<std::string> extra_args;  // appended to the command line
  std::string server_pem;               // the server's certificate and key; "": the usual one
  int start_timeout_ms = 10000;
};

// The --stats file; -1 where it cannot be read (yet).
struct StandinStats {
  long long connections = -1;
  long long handshakes = -1;
  long long calls = -1;
};

// One journal line, its fields unescaped.
struct StandinCall {
  std::string operation;
  std::vector<std::string> keys;  // "-" for an absent key
  std::string outcome;            // "ok", "injected", the refusal's subcode or code
  long long started_us = 0;       // when the request began to arrive (steady clock)
};

const std::string& test_ca_pem();

class StandinProcess {
 public:
  explicit StandinProcess(const StandinOptions& options = StandinOptions());
  ~StandinProcess();
  StandinProcess(const StandinProcess&) = delete;
  StandinProcess& operator=(const StandinProcess&) = delete;

  // Stops the process and starts it again on the same store (not seeded
  // again) with another fault plan; it listens on a new port.
  void restart(const std::vector<std::string>& faults);

  bool running();  // started, and not seen to have ended
  pid_t pid() const { return pid_; }
  std::string url() const;  // "https://127.0.0.1:PORT/" ("http://..." without TLS)
  const std::string& dir() const { return tmp_.path(); }
  // Writes the application certificate file of `app_id` (once); its path.
  std::string app_cert_file(const std::string& app_id) const;

  std::string log() const;     // standard error of the current process so far
  StandinStats stats() const;
  std::vector<StandinCall> journal() const;  // the current process's calls
  std::vector<standin::UserRecord> users() const;  // in listing order
  std::vector<standin::AppRecord> applications() const;

  // SIGTERM, then SIGKILL after 10 s (a harness failure).
  void stop();

 private:
  void launch(bool seed);
  bool reap(int timeout_ms);  // whether the process has ended
  std::string current(const std::string& name) const;

  TempDir tmp_;
  StandinOptions options_;
  int launches_ = 0;
  pid_t pid_ = -1;
  bool exited_ = false;
  int port_ = 0;
};

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_STANDIN_HARNESS_H_
