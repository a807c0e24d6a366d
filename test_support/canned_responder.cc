#include "test_support/canned_responder.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace testutil {

CannedReply HttpReply(int status, const std::string& reason, const std::string& content_type,
                      const std::string& body, bool close) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  if (!content_type.empty()) head += "Content-Type: " + content_type + "\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (close) head += "Connection: close\r\n";
  return {head + "\r\n" + body, close};
}

CannedReply SoapReply(const std::string& body, int status) {
  return HttpReply(status, status == 200 ? "OK" : "Internal Server Error",
                   "application/soap+xml; charset=utf-8", body);
}

CannedResponder::CannedResponder(const std::string* pem)
    : listener_(BIO_new_accept("127.0.0.1:0")) {
  if (pem) {
    tls_ = SSL_CTX_new(TLS_server_method());
    BIO* text = BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size()));
    X509* cert = PEM_read_bio_X509(text, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(text, nullptr, nullptr, nullptr);
    const bool usable = cert && key && SSL_CTX_use_cert_and_key(tls_, cert, key, nullptr, 1) == 1;
    BIO_free(text);
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!usable) throw std::runtime_error("unusable server certificate or key");
    // Asks for a client certificate and takes any, or none. The runtime
    // resumes its TLS session when it connects again.
    SSL_CTX_set_verify(tls_, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    SSL_CTX_set_session_id_context(tls_, reinterpret_cast<const unsigned char*>("canned"), 6);
  }
  // The first call binds and listens, each later one accepts a connection.
  if (BIO_do_accept(listener_) <= 0) throw std::runtime_error("cannot listen on 127.0.0.1");
  base_ = std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + BIO_get_accept_port(listener_);
  acceptor_ = std::thread([this] {
    for (BIO* conn; BIO_do_accept(listener_) > 0 && (conn = BIO_pop(listener_));) {
      if (tls_) conn = BIO_push(BIO_new_ssl(tls_, 0), conn);
      std::lock_guard<std::mutex> lock(mu_);
      conns_.push_back(conn);
      handlers_.emplace_back(&CannedResponder::serve, this, conn);
    }
  });
}

CannedResponder::~CannedResponder() {
  shutdown(BIO_get_fd(listener_, nullptr), SHUT_RDWR);  // fails accept, ending the acceptor
  acceptor_.join();
  for (BIO* conn : conns_) shutdown(BIO_get_fd(conn, nullptr), SHUT_RDWR);
  for (std::thread& t : handlers_) t.join();
  for (BIO* conn : conns_) BIO_free_all(conn);
  BIO_free_all(listener_);
  SSL_CTX_free(tls_);
}

void CannedResponder::enqueue(CannedReply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  replies_.push_back(std::move(reply));
}

void CannedResponder::serve(BIO* conn) {
  sigset_t pipe;  // a client may go away while a reply is written
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  bool open = true;
  if (tls_) {
    SSL* ssl = nullptr;
    BIO_get_ssl(conn, &ssl);
    open = BIO_do_handshake(conn) == 1;
    X509* peer = open ? SSL_get1_peer_certificate(ssl) : nullptr;
    char subject[256] = "";
    if (peer) X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
    X509_free(peer);
    std::lock_guard<std::mutex> lock(mu_);
    if (open) client_certs_.push_back(subject);
  }
  std::string in;
  while (open && exchange(conn, &in)) {
  }
  // The descriptor stays allocated until the responder is destroyed.
  BIO_ssl_shutdown(conn);
  shutdown(BIO_get_fd(conn, nullptr), SHUT_RDWR);
}

// Reads one request into `in` and writes its reply; false to end the connection.
bool CannedResponder::exchange(BIO* conn, std::string* in) {
  std::size_t end, n = 0;
  for (char buf[16384];; in->append(buf, n)) {
    // The runtime writes the header name just so.
    const std::size_t head = in->find("\r\n\r\n"), at = in->find("\r\nContent-Length: ");
    end = head == std::string::npos ? head : head + 4 + (at < head ? atol(&(*in)[at + 18]) : 0);
    if (in->size() >= end) break;
    if (BIO_read_ex(conn, buf, sizeof buf, &n) != 1) return false;
  }
  std::unique_lock<std::mutex> lock(mu_);
  requests_.push_back(in->substr(0, end));
  if (replies_.empty()) return false;
  const CannedReply reply = std::move(replies_.front());
  replies_.pop_front();
  lock.unlock();
  in->erase(0, end);
  for (std::size_t sent = 0; sent < reply.bytes.size(); sent += n) {
    if (BIO_write_ex(conn, &reply.bytes[sent], reply.bytes.size() - sent, &n) != 1) return false;
  }
  return !reply.close_after;
}

}  // namespace testutil
