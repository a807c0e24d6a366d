// The run context: both application certificate texts and the application
// identities taken from them, loaded once after the command line is accepted
// and then only read by the phases that need a certificate, an identity or
// the options. Also home of the small file reader used for certificates and
// the mapfile, and of the verbose log through which every progress line of
// the engine passes.
#ifndef IDFERRY_SRC_CONTEXT_H_
#define IDFERRY_SRC_CONTEXT_H_

#include <exception>
#include <string>

#include <boost/format.hpp>

#include "src/options.h"

// A certificate file could not be read (empty path, missing, unreadable).
class no_cert_file : public std::exception {
 public:
  const char* what() const noexcept override { return "certificate file is not readable"; }
};

// Certificates and identities of both sides. Holds a reference to the run's
// options, which must outlive it. Not copied: service clients keep pointers
// to from_cert and to_cert while they are being constructed.
struct mig_context {
  explicit mig_context(mig_options& options) : options(options) {}
  mig_context(const mig_context&) = delete;
  mig_context& operator=(const mig_context&) = delete;

  // Reads both certificate files, then extracts both identities, logging
  // each step. Throws no_cert_file when a file cannot be read, and the
  // certificate library's std::runtime_error when a subject cannot be read.
  // A context that threw is partly filled and must be discarded.
  void load();

  // Reads the PEM certificates the instances' TLS certificates must chain to
  // (--tls-ca). False when the file cannot be read or holds no certificate.
  bool load_trusted_ca(const std::string& path);
  // Those certificates, or null without --tls-ca.
  const std::string* trusted_ca() const { return trusted_ca_.empty() ? nullptr : &trusted_ca_; }

  mig_options& options;
  std::string from_cert;    // PEM text of the source application certificate file
  std::string from_app_id;  // source application identity (certificate CN)
  std::string to_cert;      // PEM text of the target application certificate file
  std::string to_app_id;    // target application identity (certificate CN)

 private:
  std::string trusted_ca_;
};

// The largest file load_file reads: far above any certificate file or
// mapfile (a million mapped logins take some tens of megabytes).
const unsigned long long kMaxFileBytes = 1ULL << 30;

// Appends the file's text to `text` (callers pass an empty string): its lines
// joined by line feeds, a final line feed kept, empty lines at the very start
// dropped, carriage returns kept as data. Returns false, with `text`
// unchanged, for an empty path, a file that cannot be opened or is not a
// regular file (a directory, FIFO or device), a read error before the end of
// the file, or a file larger than kMaxFileBytes (which alone also writes
// "File <path> is too big!" to standard error).
bool load_file(const std::string& path, std::string& text);

// The file's text as load_file reads it; throws no_cert_file when it fails.
std::string load_cert_from_file(const std::string& path);

// With --verbose, writes `text` and one line feed to standard error.
void log_v(const mig_options& options, const std::string& text);
void log_v(const mig_options& options, const boost::basic_format<char>& format);

#endif  // IDFERRY_SRC_CONTEXT_H_
