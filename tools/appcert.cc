// idferry-appcert; see appcert.h.

#include "tools/appcert.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <openssl/x509.h>

#include "cert/cert_gen.h"
#include "cert/cert_inspect.h"

namespace {

constexpr char kProgram[] = "idferry-appcert";

constexpr char kUsage[] =
    "Usage: idferry-appcert NAME [--ca CA_PEM_FILE] [--server HOST] [--out FILE]\n"
    "\n"
    "Makes an application certificate file for application NAME: a new RSA key\n"
    "and a certificate whose subject is /CN=NAME, written as PEM text (the\n"
    "certificate, then the unencrypted private key). NAME has at most 252 bytes;\n"
    "a \"|\" in it starts another subject entry (\"app|O=Example\").\n"
    "\n"
    "  --ca CA_PEM_FILE  issue the certificate under the CA whose certificate and\n"
    "                    unencrypted private key are in CA_PEM_FILE (for example a\n"
    "                    file made earlier by this tool); without it the\n"
    "                    certificate is self-signed\n"
    "  --server HOST     also make it a TLS server certificate for HOST (an IP\n"
    "                    address or a DNS name, as subjectAltName), for instances\n"
    "                    that clients verify with idferry --tls-ca\n"
    "  --out FILE        write to FILE, with mode 0600, instead of standard output\n"
    "  --help            show this text\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 unusable command line.\n";

struct Options {
  bool help = false;
  std::string name;
  bool has_name = false;
  std::string ca_path;
  bool has_ca = false;
  std::string out_path;
  bool has_out = false;
  std::string server;
  bool has_server = false;
};

// Fills `opts` from the command line; on a usage error returns false with the
// reason in `error`.
bool parse_args(int argc, char** argv, Options* opts, std::string* error) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!options_done && (arg == "--help" || arg == "-h")) {
      opts->help = true;
      return true;
    }
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      std::string option = arg.substr(0, arg.find('='));
      std::string* value = nullptr;
      bool* seen = nullptr;
      if (option == "--ca") {
        value = &opts->ca_path;
        seen = &opts->has_ca;
      } else if (option == "--out") {
        value = &opts->out_path;
        seen = &opts->has_out;
      } else if (option == "--server") {
        value = &opts->server;
        seen = &opts->has_server;
      } else {
        *error = "unknown option " + option;
        return false;
      }
      if (*seen) {
        *error = option + " given more than once";
        return false;
      }
      if (option.size() < arg.size()) {
        *value = arg.substr(option.size() + 1);
      } else if (i + 1 < argc) {
        *value = argv[++i];
      }
      if (value->empty()) {
        *error = option + (option == "--server" ? " needs a host" : " needs a file name");
        return false;
      }
      *seen = true;
      continue;
    }
    if (opts->has_name) {
      *error = "more than one NAME given ('" + opts->name + "', '" + arg + "')";
      return false;
    }
    opts->name = arg;
    opts->has_name = true;
  }
  if (!opts->has_name) {
    *error = "missing NAME";
  } else if (opts->name.empty()) {
    *error = "NAME is empty";
  } else if (opts->name.size() > static_cast<size_t>(kCertMaxNameLength)) {
    *error = "NAME is longer than " + std::to_string(kCertMaxNameLength) + " bytes";
  }
  return error->empty();
}

// Reads the whole file; on failure returns false with the system's reason.
bool read_whole_file(const std::string& path, std::string* content, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  char buf[8192];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = strerror(errno);
      close(fd);
      return false;
    }
    content->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// Checks that the CA text holds a certificate and the unencrypted key that
// belongs to it; returns the problem, or "" when there is none. The library
// reads a CA key without a passphrase, which for an encrypted key means a
// prompt at the terminal; reading it here with two different passphrases
// finds an encrypted key without that prompt, since no encrypted key opens
// with both.
std::string check_ca(const std::string& ca_text) {
  X509* cert = extract_certificate(ca_text.c_str());
  if (cert == nullptr) return "holds no certificate";
  std::string problem;
  EVP_PKEY* key = open_private_key(ca_text.c_str(), "");
  EVP_PKEY* again = open_private_key(ca_text.c_str(), "-");
  if (key == nullptr || again == nullptr) {
    problem = "holds no unencrypted private key";
  } else if (X509_check_private_key(cert, key) != 1) {
    problem = "holds a private key that does not belong to its certificate";
  }
  EVP_PKEY_free(again);
  EVP_PKEY_free(key);
  X509_free(cert);
  return problem;
}

// Writes `content` to a new temporary file beside `path`, readable by the
// owner only, and renames it over `path`, so that `path` never holds a part
// of the content nor the key with looser permissions. On failure nothing is
// left behind and the system's reason is returned in `error`.
bool write_file_atomically(const std::string& path, const std::string& content,
                           std::string* error) {
  std::string temp = path + ".tmp-XXXXXX";
  int fd = mkstemp(&temp[0]);  // creates the file with mode 0600
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  int failure = 0;  // errno of the first step that failed
  if (fchmod(fd, S_IRUSR | S_IWUSR) != 0) failure = errno;
  for (size_t done = 0; failure == 0 && done < content.size();) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      failure = n == 0 ? EIO : errno;
    }
  }
  if (failure == 0 && fsync(fd) != 0) failure = errno;
  if (close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && rename(temp.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    unlink(temp.c_str());
    *error = strerror(failure);
    return false;
  }
  return true;
}

int fail(std::ostream& err, int status, const std::string& message) {
  err << kProgram << ": " << message << "\n";
  return status;
}

}  // namespace

int appcert_main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  Options opts;
  std::string error;
  if (!parse_args(argc, argv, &opts, &error)) {
    return fail(err, kAppcertUsageError, error + " (see " + kProgram + " --help)");
  }
  if (opts.help) {
    out << kUsage;
    return kAppcertOk;
  }

  std::string ca_text;
  if (opts.has_ca) {
    if (!read_whole_file(opts.ca_path, &ca_text, &error)) {
      return fail(err, kAppcertFailed, "cannot read CA file " + opts.ca_path + ": " + error);
    }
    std::string problem = check_ca(ca_text);
    if (!problem.empty()) {
      return fail(err, kAppcertFailed, "CA file " + opts.ca_path + " " + problem);
    }
  }

  std::string cert_pem, key_pem;
  const std::string* ca = opts.has_ca ? &ca_text : nullptr;
  if ((opts.has_server ? gen_server_certificate(opts.name, opts.server, cert_pem, key_pem, ca)
                       : gen_certificate(opts.name, cert_pem, key_pem, ca)) != 0) {
    return fail(err, kAppcertFailed, "cannot generate a certificate for '" + opts.name + "'");
  }
  const std::string file = cert_pem + key_pem;

  if (!opts.has_out) {
    out << file << std::flush;
    if (!out) return fail(err, kAppcertFailed, "cannot write to standard output");
    return kAppcertOk;
  }
  if (!write_file_atomically(opts.out_path, file, &error)) {
    return fail(err, kAppcertFailed, "cannot write " + opts.out_path + ": " + error);
  }
  return kAppcertOk;
}
