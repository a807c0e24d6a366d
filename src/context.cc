#include "src/context.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <mutex>

#include "cert/cert_inspect.h"
#include "src/run_control.h"

namespace {

// Closes a file descriptor when the reader leaves, whatever the path.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  int fd_;
};

}  // namespace

bool load_file(const std::string& path, std::string& text) {
  if (path.empty()) return false;
  // Non-blocking, so that opening a FIFO without a writer cannot hang the
  // run; only regular files are read, so that neither a FIFO nor a device
  // such as /dev/zero can keep it reading for ever.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  FdCloser closer(fd);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<unsigned long long>(st.st_size) > kMaxFileBytes) {
    write_error(std::string("File ") + path + " is too big!");
    return false;
  }

  // Joining the lines with line feeds gives back the bytes of the file, except
  // that empty lines are dropped while the text is still empty, and that a
  // text that is not empty gets a line feed before the first line. So the file
  // is read as raw bytes and only its start needs care.
  std::string data;
  bool at_start = text.empty();
  if (!at_start) data.push_back('\n');
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;  // a read error before the end: not a readable file
    }
    if (n == 0) break;
    const char* p = buf;
    const char* end = buf + n;
    if (at_start) {
      while (p < end && *p == '\n') ++p;
      if (p == end) continue;
      at_start = false;
    }
    // The file may grow while it is read.
    if (data.size() + static_cast<size_t>(end - p) > kMaxFileBytes) {
      write_error(std::string("File ") + path + " is too big!");
      return false;
    }
    data.append(p, end);
  }
  text += data;
  return true;
}

std::string load_cert_from_file(const std::string& path) {
  std::string text;
  if (!load_file(path, text)) throw no_cert_file();
  return text;
}

void log_v(const mig_options& options, const std::string& text) {
  // Workers of a parallel phase log retries too: one locked write per line.
  if (options.verbose) write_error(text);
}

void log_v(const mig_options& options, const boost::basic_format<char>& format) {
  log_v(options, format.str());
}

bool mig_context::load_trusted_ca(const std::string& path) {
  std::string text;
  if (!load_file(path, text)) return false;
  X509* cert = extract_certificate(text.c_str());
  X509_free(cert);
  if (cert) trusted_ca_ = text;
  return cert != nullptr;
}

void mig_context::load() {
  log_v(options, "Checking certificates...");
  log_v(options, "Loading 'from' application certificate");
  from_cert = load_cert_from_file(options.app_from_cert);
  log_v(options, "'from' application certificate loaded");
  log_v(options, "Loading 'to' application certificate");
  to_cert = load_cert_from_file(options.app_to_cert);
  log_v(options, "'to' application certificate loaded");
  log_v(options, "Extracting 'from' application identity");
  from_app_id = get_app_id_from_cert(from_cert);
  log_v(options, boost::format("'from' application identity extracted: %s") % from_app_id);
  log_v(options, "Extracting 'to' application identity");
  to_app_id = get_app_id_from_cert(to_cert);
  log_v(options, boost::format("'to' application identity extracted: %s") % to_app_id);
  log_v(options, "done\n");
}
