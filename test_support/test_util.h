// Small helpers shared by the tests and the benchmarks: scratch directories,
// whole-file reads and writes, capturing the standard streams of in-process
// code, running a built program, and application certificates.
#ifndef IDFERRY_TEST_SUPPORT_TEST_UTIL_H_
#define IDFERRY_TEST_SUPPORT_TEST_UTIL_H_

#include <sys/types.h>

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

// Reports that a helper could not do its job (a file that cannot be written,
// a program that cannot be started). Defined by the program that links these
// helpers: the test binary records a test failure, a benchmark exits.
void harness_failure(const std::string& what);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object is destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to `name` inside the directory and returns its path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& content);
// The whole file; "" (and a harness failure unless `quiet`) when unreadable.
std::string read_file(const std::string& path, bool quiet = false);

// Redirects std::cout and std::cerr into strings for the object's life (header-only: the fuzz
// programs use it too).
struct CaptureStreams {
  std::ostringstream out_, err_;
  std::streambuf* const old_out_ = std::cout.rdbuf(out_.rdbuf());
  std::streambuf* const old_err_ = std::cerr.rdbuf(err_.rdbuf());
  ~CaptureStreams() { std::cout.rdbuf(old_out_), std::cerr.rdbuf(old_err_); }
  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }
};

// Starts argv[0] with standard input from /dev/null and standard output and
// error on the given descriptors; -1 (and a harness failure) when it cannot.
pid_t spawn(const std::vector<std::string>& argv, int out_fd, int err_fd);

struct ProcResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct ProcOptions {
  // Standard output: a pipe read to its end, a pipe whose reader is gone
  // before the program writes, /dev/full, or the terminal of standard error
  // (with err_tty; the output is then read as part of `err`).
  enum class Out { kPipe, kClosedPipe, kFull, kTerminal } out = Out::kPipe;
  // Standard error on a pseudo-terminal (raw, 100 columns) instead of a pipe.
  bool err_tty = false;
  // Called about every 10 ms while the program runs, with its pid.
  std::function<void(pid_t)> tick;
};

// Runs the program and waits for it, collecting both output streams.
ProcResult run_process(const std::vector<std::string>& argv, const ProcOptions& options = {});

// An application certificate file's text (certificate then key) for the
// application `name`; made once per name and process (key generation is slow).
const std::string& app_cert_pem(const std::string& name);

// A self-signed certificate and key whose subject holds exactly the given
// (attribute, value) entries, for subjects the library would never issue; the
// serial (decimal or 0x-hex) and validity (seconds from now) as given.
std::string self_signed_pem(const std::vector<std::pair<std::string, std::string>>& subject,
                            const char* serial = "7", long not_before = 0, long not_after = 86400);

// The certificate of `pem` followed by its key encrypted under `passphrase` (which opens it
// again; a harness failure when not).
std::string with_encrypted_key(const std::string& pem, const std::string& passphrase);

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_TEST_UTIL_H_
