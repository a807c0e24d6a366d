#include "test_support/canned_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace testutil {

namespace {

// Bounds on what one request may take; beyond them the connection is
// dropped rather than buffered without end.
constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxBody = 64 * 1024 * 1024;

// Declared Content-Length of a request head, 0 when absent or unreadable.
std::size_t content_length(const std::string& head) {
  std::size_t pos = 0;
  while (pos < head.size()) {
    std::size_t eol = head.find("\r\n", pos);
    if (eol == std::string::npos) eol = head.size();
    std::string line = head.substr(pos, eol - pos);
    pos = eol + 2;
    static const char kName[] = "content-length:";
    if (line.size() >= sizeof kName - 1 &&
        strncasecmp(line.c_str(), kName, sizeof kName - 1) == 0) {
      const char* value = line.c_str() + sizeof kName - 1;
      char* end = nullptr;
      errno = 0;
      unsigned long long n = std::strtoull(value, &end, 10);
      if (errno != 0 || end == value) return 0;
      return n > kMaxBody ? kMaxBody + 1 : static_cast<std::size_t>(n);
    }
  }
  return 0;
}

std::string ssl_error_text() {
  unsigned long e = ERR_get_error();
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

// Accept every client certificate: the responder only reports what it got.
int accept_any_peer(int, X509_STORE_CTX*) { return 1; }

}  // namespace

struct CannedResponder::Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  std::thread thread;

  // Reads some bytes; false on end of stream or error.
  bool read_some(std::string* into) {
    char buf[16384];
    long n;
    if (ssl != nullptr) {
      n = SSL_read(ssl, buf, sizeof buf);
    } else {
      do {
        n = recv(fd, buf, sizeof buf, 0);
      } while (n < 0 && errno == EINTR);
    }
    if (n <= 0) return false;
    into->append(buf, static_cast<std::size_t>(n));
    return true;
  }

  bool write_all(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      long n;
      std::size_t chunk = bytes.size() - done;
      if (ssl != nullptr) {
        if (chunk > 1 << 30) chunk = 1 << 30;
        n = SSL_write(ssl, bytes.data() + done, static_cast<int>(chunk));
      } else {
        n = send(fd, bytes.data() + done, chunk, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
      }
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Ends the connection as the peer sees it; the descriptor itself stays
  // allocated until the responder is destroyed.
  void hang_up() {
    if (ssl != nullptr) SSL_shutdown(ssl);
    shutdown(fd, SHUT_RDWR);
  }
};

CannedReply CannedReply::HangUp() {
  CannedReply r;
  r.hang_up = true;
  return r;
}

CannedReply HttpReply(int status, const std::string& reason,
                      const std::string& content_type, const std::string& body,
                      bool close) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  if (!content_type.empty()) head += "Content-Type: " + content_type + "\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (close) head += "Connection: close\r\n";
  CannedReply r;
  r.bytes = head + "\r\n" + body;
  r.close_after = close;
  return r;
}

CannedReply SoapReply(const std::string& body, int status) {
  const char* reason = status == 200   ? "OK"
                       : status == 400 ? "Bad Request"
                       : status == 500 ? "Internal Server Error"
                                       : "Status";
  return HttpReply(status, reason, "application/soap+xml; charset=utf-8", body);
}

CannedResponder::CannedResponder() { start(); }

CannedResponder::CannedResponder(const std::string& cert_pem,
                                 const std::string& key_pem) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) throw std::runtime_error("SSL_CTX_new: " + ssl_error_text());
  tls_ctx_.reset(ctx, [](void* p) { SSL_CTX_free(static_cast<SSL_CTX*>(p)); });

  std::unique_ptr<BIO, decltype(&BIO_free)> cert_bio(
      BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size())), BIO_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> key_bio(
      BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())), BIO_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      cert_bio ? PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr) : nullptr,
      X509_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      key_bio ? PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr)
              : nullptr,
      EVP_PKEY_free);
  if (!cert || !key) throw std::runtime_error("unreadable server certificate or key");
  if (SSL_CTX_use_certificate(ctx, cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    throw std::runtime_error("unusable server certificate or key: " + ssl_error_text());
  }
  // Ask for a client certificate without insisting on one.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, accept_any_peer);
  start();
}

void CannedResponder::start() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 16) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    int err = errno;
    close(listen_fd_);
    throw std::runtime_error(std::string("listen: ") + std::strerror(err));
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread(&CannedResponder::accept_loop, this);
}

CannedResponder::~CannedResponder() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  // Wakes the blocked accept(); on Linux it then fails with EINVAL.
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  // No connection is added any more: wake every handler and wait for it.
  for (auto& conn : conns_) shutdown(conn->fd, SHUT_RDWR);
  for (auto& conn : conns_) {
    conn->thread.join();
    if (conn->ssl != nullptr) SSL_free(conn->ssl);
    close(conn->fd);
  }
}

std::string CannedResponder::url(const std::string& path) const {
  return std::string(tls_ctx_ ? "https" : "http") + "://127.0.0.1:" +
         std::to_string(port_) + path;
}

void CannedResponder::enqueue(CannedReply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  replies_.push_back(std::move(reply));
}

std::vector<std::string> CannedResponder::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::size_t CannedResponder::connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return conns_.size();
}

std::vector<std::string> CannedResponder::client_certificates() const {
  std::lock_guard<std::mutex> lock(mu_);
  return client_certs_;
}

bool CannedResponder::next_reply(CannedReply* reply) {
  std::lock_guard<std::mutex> lock(mu_);
  if (replies_.empty()) return false;
  *reply = std::move(replies_.front());
  replies_.pop_front();
  return true;
}

void CannedResponder::accept_loop() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> lock(mu_);
    if (fd < 0 || stopping_) {
      if (fd >= 0) close(fd);
      return;
    }
    auto conn = std::make_unique<Connection>();
    conn->fd = fd;
    Connection* raw = conn.get();
    conns_.push_back(std::move(conn));
    raw->thread = std::thread(&CannedResponder::serve, this, raw);
  }
}

void CannedResponder::serve(Connection* conn) {
  // A client that goes away while a reply is being written must not take
  // the test process down with SIGPIPE (OpenSSL writes with plain write()).
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);

  if (tls_ctx_) {
    conn->ssl = SSL_new(static_cast<SSL_CTX*>(tls_ctx_.get()));
    if (conn->ssl == nullptr || SSL_set_fd(conn->ssl, conn->fd) != 1 ||
        SSL_accept(conn->ssl) != 1) {
      ERR_clear_error();
      shutdown(conn->fd, SHUT_RDWR);
      return;
    }
    std::string pem;
    if (X509* peer = SSL_get1_peer_certificate(conn->ssl)) {
      BIO* out = BIO_new(BIO_s_mem());
      if (out != nullptr && PEM_write_bio_X509(out, peer) == 1) {
        char* data = nullptr;
        long n = BIO_get_mem_data(out, &data);
        pem.assign(data, static_cast<std::size_t>(n));
      }
      BIO_free(out);
      X509_free(peer);
    }
    std::lock_guard<std::mutex> lock(mu_);
    client_certs_.push_back(pem);
  }

  std::string buffer;
  for (;;) {
    std::size_t head_end;
    while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (buffer.size() > kMaxHead || !conn->read_some(&buffer)) {
        conn->hang_up();
        return;
      }
    }
    head_end += 4;
    std::size_t body = content_length(buffer.substr(0, head_end));
    if (body > kMaxBody) {
      conn->hang_up();
      return;
    }
    while (buffer.size() < head_end + body) {
      if (!conn->read_some(&buffer)) {
        conn->hang_up();
        return;
      }
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(buffer.substr(0, head_end + body));
    }
    buffer.erase(0, head_end + body);

    CannedReply reply;
    if (!next_reply(&reply) || reply.hang_up || !conn->write_all(reply.bytes) ||
        reply.close_after) {
      conn->hang_up();
      return;
    }
  }
}

}  // namespace testutil
