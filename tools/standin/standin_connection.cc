// The serving side of the stand-in's server: one connection, from the TLS
// handshake and the identity of its caller through its requests to its end
// (see standin_server.h for why connections are served this way).

#include <poll.h>
#include <unistd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <iostream>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "cert/cert_inspect.h"
#include "soapH.h"
#include "tools/standin/standin_server.h"

namespace standin {

namespace {

// Sends the fault the context holds as the answer to the current request,
// leaving the connection open for the next one. The runtime's own
// soap_send_fault() also ends the connection, which is right for a request
// that could not be read but not for a refusal of a well-formed call.
int send_fault_keeping_connection(struct soap* soap) {
  int status = soap->error;
  soap_set_fault(soap);
  soap->error = SOAP_OK;
  soap->encodingStyle = nullptr;
  soap_serializeheader(soap);
  soap_serializefault(soap);
  (void)soap_begin_count(soap);
  if ((soap->mode & SOAP_IO_LENGTH) &&
      (soap_envelope_begin_out(soap) || soap_putheader(soap) || soap_body_begin_out(soap) ||
       soap_putfault(soap) || soap_body_end_out(soap) || soap_envelope_end_out(soap))) {
    return soap->error;
  }
  (void)soap_end_count(soap);
  if (soap_response(soap, status) || soap_envelope_begin_out(soap) || soap_putheader(soap) ||
      soap_body_begin_out(soap) || soap_putfault(soap) || soap_body_end_out(soap) ||
      soap_envelope_end_out(soap) || soap_end_send(soap)) {
    return soap->error;
  }
  return SOAP_OK;
}

}  // namespace

void Server::start_connection(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto conn = std::make_unique<Connection>();
  conn->server = this;
  conn->fd = fd;
  conn->fd_open = true;
  conn->soap = soap_copy(master_);
  if (conn->soap == nullptr) {
    close(fd);
    return;
  }
  conn->soap->socket = fd;
  conn->soap->user = conn.get();
  conn->soap->fclosesocket = &Server::close_socket;
  conn->base_recv = conn->soap->frecv;
  conn->soap->frecv = &Server::counting_recv;
  ++connections_;
  write_stats();
  Connection* raw = conn.get();
  conns_.push_back(std::move(conn));
  raw->thread = std::thread(&Server::serve, this, raw);
}

int Server::close_socket(struct soap* soap, int fd) {
  auto* conn = static_cast<Connection*>(soap->user);
  std::lock_guard<std::mutex> lock(conn->fd_mu);
  if (conn->fd_open && conn->fd == fd) conn->fd_open = false;
  return close(fd) == 0 ? SOAP_OK : SOAP_EOF;
}

std::size_t Server::counting_recv(struct soap* soap, char* buf, std::size_t len) {
  auto* conn = static_cast<Connection*>(soap->user);
  std::size_t n = conn->base_recv(soap, buf, len);
  conn->request_bytes += n;
  return n;
}

void Server::wait_for_request(struct soap* soap) {
  soap->recv_timeout = 0;
  bool buffered = soap->bufidx < soap->buflen || (soap->ssl && SSL_pending(soap->ssl) > 0);
  if (!buffered) {
    struct pollfd p = {soap->socket, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
  }
  static_cast<Connection*>(soap->user)->request_started_us =
      std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now().time_since_epoch()).count();
  soap->recv_timeout = kRequestSeconds;
}

std::optional<std::string> Server::identify(struct soap* soap) {
  X509* peer = SSL_get1_peer_certificate(soap->ssl);
  if (peer == nullptr) return std::nullopt;
  std::string pem;
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio != nullptr && PEM_write_bio_X509(bio, peer) == 1) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    pem.assign(data, static_cast<std::size_t>(n));
  }
  BIO_free(bio);
  X509_free(peer);
  std::lock_guard<std::mutex> lock(cert_mu_);
  try {
    return get_app_id_from_cert(pem);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void Server::serve(Connection* conn) {
  struct soap* soap = conn->soap;
  if (tls_) {
    if (soap_ssl_accept(soap) != SOAP_OK) {
      std::cerr << "tessad-standin: TLS handshake failed: " << runtime_fault_text(soap)
                << std::endl;
      finish(conn);
      return;
    }
    ++handshakes_;
  } else {
    conn->caller = config_.http_app;
  }
  for (bool first = tls_;; first = false) {
    conn->reached_operation = false;
    conn->request_bytes = 0;
    wait_for_request(soap);
    // Only now, so that the first request's start is noted when it arrives,
    // not once this work is done.
    if (first) {
      conn->caller = identify(soap);
      write_stats();
    }
    soap->keep_alive = 1;
    int rc = soap_begin_serve(soap);
    if (rc == SOAP_OK) rc = serve_operation(soap);
    if (rc == SOAP_FAULT && conn->reached_operation) {
      // A refusal or an injected fault: answered like any other call.
      if (send_fault_keeping_connection(soap) != SOAP_OK) break;
    } else if (rc != SOAP_OK && rc < SOAP_STOP) {
      // Nothing arrived (the client closed), or a request that cannot be
      // read: answer that with a fault, and end the connection, since the
      // rest of the request is unread.
      if (conn->request_bytes > 0 && !conn->reached_operation &&
          soap_valid_socket(soap->socket)) {
        if (rc == SOAP_EOF) {
          soap_sender_fault(soap, "the request ended before it was complete", nullptr);
        }
        soap_set_fault(soap);
        const char** code = soap_faultcode(soap);
        journal(*conn, "-", {}, code && *code ? *code : "malformed");
        soap_send_fault(soap);
      }
      break;
    }
    if (conn->holding) cut_held(*conn);
    soap_destroy(soap);
    soap_end(soap);
    if (conn->close_after || !soap->keep_alive || !soap_valid_socket(soap->socket)) break;
  }
  finish(conn);
}

void Server::finish(Connection* conn) {
  struct soap* soap = conn->soap;
  soap_destroy(soap);
  soap_end(soap);
  soap->keep_alive = 0;
  soap_force_closesock(soap);
  soap_free(soap);
  conn->soap = nullptr;
  {
    // A socket the runtime never got to close (a failed handshake).
    std::lock_guard<std::mutex> lock(conn->fd_mu);
    if (conn->fd_open) {
      close(conn->fd);
      conn->fd_open = false;
    }
  }
  write_stats();
  conn->done = true;
}

}  // namespace standin
