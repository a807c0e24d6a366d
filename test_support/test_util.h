// Small helpers shared by the test files: scratch directories, whole-file
// reads and writes, capturing the standard streams of in-process code, and
// running a built program with its output collected.
//
// Tests build their state with these one-liners so that each test reads as
// the situation it sets up and the exact texts it expects.
#ifndef IDFERRY_TEST_SUPPORT_TEST_UTIL_H_
#define IDFERRY_TEST_SUPPORT_TEST_UTIL_H_

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

// Reports that a helper below could not do its job (a file that cannot be
// written, a program that cannot be started). Defined by the program that
// links these helpers: the test binary records a test failure, a benchmark
// prints the message and exits.
void harness_failure(const std::string& what);
inline void harness_failure(const std::ostream& what) {
  harness_failure(static_cast<const std::ostringstream&>(what).str());
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object is destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the directory (nothing is created).
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to `name` inside the directory and returns its path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// Replaces the file's content; fails the current test when it cannot.
void write_file(const std::string& path, const std::string& content);
// The whole content of the file; fails the current test when unreadable.
std::string read_file(const std::string& path);

// Redirects std::cout and std::cerr into strings for the object's life.
class CaptureStreams {
 public:
  CaptureStreams();
  ~CaptureStreams();
  CaptureStreams(const CaptureStreams&) = delete;
  CaptureStreams& operator=(const CaptureStreams&) = delete;

  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }

 private:
  std::ostringstream out_, err_;
  std::streambuf* old_out_;
  std::streambuf* old_err_;
};

struct ProcResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// Runs the program argv[0] with the given arguments, standard input from
// /dev/null, and waits for it. Both output streams are collected in full.
ProcResult run_process(const std::vector<std::string>& argv);

// An application certificate file's text (certificate then key) for the
// application `name`, made by the certificate library; made once per name
// and process, since key generation is slow.
const std::string& app_cert_pem(const std::string& name);

// A self-signed certificate and its key as PEM text, whose subject holds
// exactly the given (attribute short name, value) entries in order; lets
// tests build subjects the certificate library would never issue.
std::string self_signed_pem(const std::vector<std::pair<std::string, std::string>>& subject);

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_TEST_UTIL_H_
