// The stand-in's server; see standin_server.h.

#include "tools/standin/standin_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "cert/cert_gen.h"
#include "cert/cert_inspect.h"
#include "soapH.h"
#include "tools/standin/standin_seed.h"
#include "tools/standin/standin_text.h"

namespace standin {

namespace {

// Write end of the stop pipe of the server that handles signals.
volatile sig_atomic_t g_signal_fd = -1;

void on_stop_signal(int) {
  if (g_signal_fd >= 0) {
    char c = 's';
    ssize_t ignored = write(g_signal_fd, &c, 1);
    (void)ignored;
  }
}

// Any client certificate is welcome: it only names the caller.
int accept_any_certificate(int, X509_STORE_CTX*) { return 1; }

bool read_whole_file(const std::string& path, std::string* content, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

// Whether the PEM text holds a certificate and a private key that can be read
// without a pass phrase.
bool holds_cert_and_clear_key(const std::string& pem) {
  X509* cert = extract_certificate(pem.c_str());
  EVP_PKEY* key = open_private_key(pem.c_str(), "");
  bool ok = cert != nullptr && key != nullptr;
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace

// A fault the runtime recorded, as one line.
std::string runtime_fault_text(struct soap* soap) {
  const char* s = soap_fault_string(soap);
  const char* d = soap_fault_detail(soap);
  std::string text = s ? s : "error " + std::to_string(soap->error);
  if (d && *d) text += std::string(" (") + d + ")";
  return text;
}

Server::Server(Config config) : config_(std::move(config)) {
  if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
}

Server::~Server() {
  reap(true);
  if (master_ != nullptr) {
    soap_destroy(master_);
    soap_end(master_);
    soap_free(master_);
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  if (journal_fd_ >= 0) close(journal_fd_);
  if (g_signal_fd == stop_pipe_[1]) g_signal_fd = -1;
  for (int fd : stop_pipe_) {
    if (fd >= 0) close(fd);
  }
}

bool Server::start(std::string* error) {
  if (stop_pipe_[0] < 0) {
    *error = "cannot make the stop pipe";
    return false;
  }
  try {
    if (!config_.faults_path.empty()) faults_.load_file(config_.faults_path);
  } catch (const FaultPlanError& e) {
    *error = e.what();
    return false;
  }
  if (!config_.ca.empty()) {
    if (!read_whole_file(config_.ca, &ca_pem_, error)) return false;
    if (!holds_cert_and_clear_key(ca_pem_)) {
      *error = "--ca " + config_.ca + " holds no certificate with an unencrypted private key";
      return false;
    }
  }
  tls_ = !config_.tls_cert.empty();
  if (tls_) {
    std::string pem;
    if (!read_whole_file(config_.tls_cert, &pem, error)) return false;
    if (!holds_cert_and_clear_key(pem)) {
      *error = "--tls-cert " + config_.tls_cert +
               " holds no certificate with an unencrypted private key";
      return false;
    }
  }
  try {
    store_ = std::make_unique<Store>(config_.db_path);
    if (!config_.seed_path.empty()) load_seed_file(config_.seed_path, *store_);
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
  if (!config_.journal_path.empty()) {
    journal_fd_ = open(config_.journal_path.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (journal_fd_ < 0) {
      *error = "cannot write " + config_.journal_path + ": " + std::strerror(errno);
      return false;
    }
  }

  soap_ssl_init();
  master_ = soap_new2(SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
  if (master_ == nullptr) {
    *error = "out of memory";
    return false;
  }
  if (tls_) {
    if (soap_ssl_server_context(master_, SOAP_SSL_NO_AUTHENTICATION, config_.tls_cert.c_str(),
                                nullptr, nullptr, nullptr, nullptr, nullptr,
                                "tessad-standin") != SOAP_OK) {
      *error = "cannot use --tls-cert " + config_.tls_cert + ": " + runtime_fault_text(master_);
      return false;
    }
    // Ask every client for its certificate, but serve those without one.
    SSL_CTX_set_verify(master_->ctx, SSL_VERIFY_PEER, accept_any_certificate);
  }

  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(config_.port));
  socklen_t len = sizeof addr;
  if (listen_fd_ < 0 || setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 128) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(config_.port) + ": " +
             std::strerror(errno);
    return false;
  }
  port_ = ntohs(addr.sin_port);
  directory_ = std::make_unique<Directory>(
      store_.get(),
      [this](const std::string& id, std::string* cert, std::string* key, std::string* err) {
        return issue_certificate(id, cert, key, err);
      },
      config_.session_timeout, relay_url());
  if (!config_.port_file.empty() &&
      !write_file_atomically(config_.port_file, std::to_string(port_) + "\n", error)) {
    return false;
  }
  write_stats();
  return true;
}

std::string Server::relay_url() const {
  if (!config_.relay_url.empty()) return config_.relay_url;
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         "/relay";
}

void Server::handle_signals(Server* server) {
  g_signal_fd = server->stop_pipe_[1];
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

void Server::request_stop() {
  char c = 's';
  ssize_t ignored = write(stop_pipe_[1], &c, 1);
  (void)ignored;
}

void Server::run() {
  for (;;) {
    struct pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    int n = poll(fds, 2, 500);
    reap(false);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        start_connection(fd);
      } else if (errno == EMFILE || errno == ENFILE) {
        poll(nullptr, 0, 50);  // out of descriptors: let connections end first
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(stop_mu_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  close(listen_fd_);
  listen_fd_ = -1;
  for (auto& conn : conns_) {
    std::lock_guard<std::mutex> lock(conn->fd_mu);
    if (conn->fd_open) shutdown(conn->fd, SHUT_RDWR);
  }
  reap(true);
  store_.reset();  // checkpoints the write-ahead log into the file
  write_stats();
}

void Server::reap(bool all) {
  for (auto it = conns_.begin(); it != conns_.end();) {
    if (all || (*it)->done) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = conns_.erase(it);
    } else {
      ++it;
    }
  }
}

std::optional<FaultAction> Server::injected_action(const std::string& operation) {
  return faults_.next(operation);
}

void Server::journal(const Connection& conn, const std::string& operation,
                     const std::vector<const std::string*>& keys, const std::string& outcome) {
  const std::optional<std::string>& caller = conn.caller;
  auto field = [](const std::string* value) -> std::string {
    if (value == nullptr) return "-";
    return *value == "-" ? "\\x2d" : escape_field(*value);
  };
  std::lock_guard<std::mutex> lock(journal_mu_);
  ++calls_;
  if (journal_fd_ < 0) return;
  std::string line = std::to_string(calls_) + "\t" + std::to_string(conn.request_started_us) +
                     "\t" + operation + "\t" +
                     field(caller ? &*caller : nullptr);
  for (const std::string* key : keys) line += "\t" + field(key);
  line += "\t" + escape_field(outcome) + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(journal_fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

void Server::delay(long long us) {
  if (us < 0) us = config_.delay_us;
  if (us <= 0) return;
  std::unique_lock<std::mutex> lock(stop_mu_);
  stop_cv_.wait_for(lock, std::chrono::microseconds(us), [this] { return stopping_; });
}

bool Server::issue_certificate(const std::string& app_id, std::string* cert_pem,
                               std::string* key_pem, std::string* error) {
  std::lock_guard<std::mutex> lock(cert_mu_);
  if (gen_certificate(app_id, *cert_pem, *key_pem, ca_pem_.empty() ? nullptr : &ca_pem_) != 0) {
    *error = "certificate generation failed";
    return false;
  }
  return true;
}

void Server::write_stats() {
  if (config_.stats_path.empty()) return;
  long long calls;
  {
    std::lock_guard<std::mutex> lock(journal_mu_);
    calls = calls_;
  }
  std::lock_guard<std::mutex> lock(stats_mu_);
  std::string ignored;
  write_file_atomically(config_.stats_path,
                        "connections " + std::to_string(connections_.load()) + "\nhandshakes " +
                            std::to_string(handshakes_.load()) + "\ncalls " +
                            std::to_string(calls) + "\n",
                        &ignored);
}

bool Server::write_file_atomically(const std::string& path, const std::string& content,
                                   std::string* error) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && write(fd, content.data(), content.size()) ==
                           static_cast<ssize_t>(content.size());
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(tmp.c_str());
  }
  return ok;
}

int standin_main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Config config;
  std::string error;
  switch (parse_command_line(args, &config, &error)) {
    case ParseOutcome::kHelp:
      std::cout << usage_text();
      return 0;
    case ParseOutcome::kError:
      std::cerr << "tessad-standin: " << error << " (see --help)" << std::endl;
      return 2;
    case ParseOutcome::kRun:
      break;
  }
  signal(SIGPIPE, SIG_IGN);
  Server server(config);
  Server::handle_signals(&server);
  if (!server.start(&error)) {
    std::cerr << "tessad-standin: " << error << std::endl;
    return 1;
  }
  std::cout << "listening on 127.0.0.1:" << server.port() << std::endl;
  server.run();
  return 0;
}

}  // namespace standin
