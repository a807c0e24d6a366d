#include "test_support/test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "cert/cert_gen.h"

extern char** environ;

namespace testutil {

TempDir::TempDir() {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / "idferry-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) {
    harness_failure(std::ostringstream() << "mkdtemp failed: " << std::strerror(errno));
  }
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything removable again (tests chmod files to make them unreadable).
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::string p = file(name);
  write_file(p, content);
  return p;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
  f.close();
  if (!f) harness_failure(std::ostringstream() << "cannot write " << path);
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    harness_failure(std::ostringstream() << "cannot read " << path);
    return std::string();
  }
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

CaptureStreams::CaptureStreams()
    : old_out_(std::cout.rdbuf(out_.rdbuf())), old_err_(std::cerr.rdbuf(err_.rdbuf())) {}

CaptureStreams::~CaptureStreams() {
  std::cout.rdbuf(old_out_);
  std::cerr.rdbuf(old_err_);
}

ProcResult run_process(const std::vector<std::string>& argv) {
  ProcResult r;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    harness_failure(std::ostringstream() << "pipe failed");
    return r;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    harness_failure(std::ostringstream() << "cannot start " << argv[0] << ": " << std::strerror(rc));
    close(out_pipe[0]);
    close(err_pipe[0]);
    return r;
  }

  // Drain both pipes until both are closed, so a chatty child never blocks.
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }

  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) {
    r.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    r.status = 128 + WTERMSIG(wstatus);
  }
  return r;
}

const std::string& app_cert_pem(const std::string& name) {
  static std::map<std::string, std::string> made;
  auto it = made.find(name);
  if (it == made.end()) {
    std::string cert, key;
    if (gen_certificate(name, cert, key, nullptr) != 0) {
      harness_failure(std::ostringstream() << "gen_certificate failed for " << name);
    }
    it = made.emplace(name, cert + key).first;
  }
  return it->second;
}

std::string self_signed_pem(const std::vector<std::pair<std::string, std::string>>& subject) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_NAME* name = X509_get_subject_name(cert);
  for (const auto& entry : subject) {
    X509_NAME_add_entry_by_txt(name, entry.first.c_str(), MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(entry.second.data()),
                               static_cast<int>(entry.second.size()), -1, 0);
  }
  X509_set_issuer_name(cert, name);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(len));
  BIO_free(bio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return pem;
}

}  // namespace testutil
