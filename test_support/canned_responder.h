// A scripted HTTP/1.1 peer for protocol tests.
//
// The responder listens on 127.0.0.1 on a port the system picks and serves
// every connection from a background thread. Each request it reads (framed
// by its head and its Content-Length) is recorded byte for byte, and is
// answered with the next reply from a queue that the test fills beforehand.
// Replies are raw bytes, so a test can send anything from a well-formed
// SOAP response to a truncated or lying HTTP message. With a certificate and
// key it speaks TLS instead of plain TCP.
//
// When the queue is empty, a request is answered by closing the connection.
// Each connection has a thread of its own; all of them end in the destructor.
// The accessors may be called from the test's thread at any time.
#ifndef IDFERRY_TEST_SUPPORT_CANNED_RESPONDER_H_
#define IDFERRY_TEST_SUPPORT_CANNED_RESPONDER_H_

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

// One scripted answer.
struct CannedReply {
  std::string bytes;         // written back as they are
  bool close_after = false;  // close the connection once `bytes` are sent
  bool hang_up = false;      // close the connection without sending anything

  // A reply that closes the connection instead of answering.
  static CannedReply HangUp();
};

// "HTTP/1.1 <status> <reason>" with Content-Type (when not empty),
// Content-Length of `body`, "Connection: close" when `close` is set
// (which also sets close_after), and the body.
CannedReply HttpReply(int status, const std::string& reason,
                      const std::string& content_type, const std::string& body,
                      bool close = false);

// A reply with the given status carrying `body` as
// "application/soap+xml; charset=utf-8".
CannedReply SoapReply(const std::string& body, int status = 200);

class CannedResponder {
 public:
  // Plain TCP.
  CannedResponder();
  // TLS with the given server certificate and private key (PEM text).
  // Throws std::runtime_error when they cannot be used.
  CannedResponder(const std::string& cert_pem, const std::string& key_pem);
  // Stops accepting, closes every connection and joins all threads; returns
  // promptly even if a client is connected but silent, or never came.
  ~CannedResponder();

  CannedResponder(const CannedResponder&) = delete;
  CannedResponder& operator=(const CannedResponder&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port><path>" ("https://..." when serving TLS).
  std::string url(const std::string& path = "/") const;

  // Appends to the reply queue; replies are used in order, one per request,
  // across all connections.
  void enqueue(CannedReply reply);
  // Each request as received (head and body), in arrival order.
  std::vector<std::string> requests() const;
  // Number of connections accepted so far.
  std::size_t connections() const;
  // With TLS: for each completed handshake, in order, the certificate the
  // client presented as PEM text, or an empty string when it sent none.
  std::vector<std::string> client_certificates() const;

 private:
  struct Connection;

  void start();
  void accept_loop();
  void serve(Connection* conn);
  bool next_reply(CannedReply* reply);

  std::shared_ptr<void> tls_ctx_;  // SSL_CTX, null for plain TCP
  int listen_fd_ = -1;
  int port_ = 0;

  mutable std::mutex mu_;
  bool stopping_ = false;
  std::deque<CannedReply> replies_;
  std::vector<std::string> requests_;
  std::vector<std::string> client_certs_;
  std::vector<std::unique_ptr<Connection>> conns_;
  std::thread acceptor_;
};

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_CANNED_RESPONDER_H_
