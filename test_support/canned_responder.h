// A scripted HTTP/1.1 peer for protocol tests, on 127.0.0.1, over TLS if given a
// certificate; a thread serves each connection. Each request (head, and body of
// the declared Content-Length) is recorded as received and answered with the next
// reply of a queue the test fills, or once that is empty by closing the connection.
#ifndef IDFERRY_TEST_SUPPORT_CANNED_RESPONDER_H_
#define IDFERRY_TEST_SUPPORT_CANNED_RESPONDER_H_

#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct bio_st;
struct ssl_ctx_st;

namespace testutil {

// Raw bytes, from a SOAP response to a lying HTTP message; then maybe a close.
struct CannedReply {
  std::string bytes;
  bool close_after = false;
};

// "HTTP/1.1 <status> <reason>", Content-Type unless empty, Content-Length, and
// when `close` is set "Connection: close" (and the connection is closed).
CannedReply HttpReply(int status, const std::string& reason, const std::string& content_type,
                      const std::string& body, bool close = false);
// `body` as "application/soap+xml; charset=utf-8", with status 200 or 500.
CannedReply SoapReply(const std::string& body, int status = 200);

class CannedResponder {
 public:
  // Plain TCP, or with `pem` TLS with the certificate and then the private
  // key that it points at (an application certificate file's text). Throws
  // std::runtime_error when it cannot listen or the certificate is unusable.
  explicit CannedResponder(const std::string* pem = nullptr);
  // Closes every connection and joins every thread, also with a silent client.
  ~CannedResponder();
  CannedResponder(const CannedResponder&) = delete;
  CannedResponder& operator=(const CannedResponder&) = delete;

  // "http://127.0.0.1:<port><path>" ("https://..." with TLS).
  std::string url(const std::string& path = "/") const { return base_ + path; }
  void enqueue(CannedReply reply);
  // Each request, head and body, in arrival order.
  std::vector<std::string> requests() const { return locked(requests_); }
  std::size_t connections() const { return locked(conns_).size(); }
  // With TLS, for each completed handshake in order: the subject of the
  // certificate the client presented, as in "/CN=app-one", or "" for none.
  std::vector<std::string> client_certificates() const { return locked(client_certs_); }

 private:
  void serve(bio_st* conn);
  bool exchange(bio_st* conn, std::string* in);
  template <class T>
  T locked(const T& member) const {
    std::lock_guard<std::mutex> lock(mu_);
    return member;
  }

  bio_st* listener_;
  ssl_ctx_st* tls_ = nullptr;  // null for plain TCP
  std::string base_;
  std::thread acceptor_;
  mutable std::mutex mu_;  // guards what follows
  std::deque<CannedReply> replies_;
  std::vector<std::string> requests_, client_certs_;
  std::vector<bio_st*> conns_;  // every connection accepted, freed at the end
  std::vector<std::thread> handlers_;
};

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_CANNED_RESPONDER_H_
