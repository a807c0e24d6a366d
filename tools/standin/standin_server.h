// The stand-in's server: the listener on 127.0.0.1, TLS with client
// certificates, one thread per connection, the identity of each caller, the
// counters, the journal and fault injection. Serving one connection is in
// standin_connection.cc; the 21 operations themselves are in
// standin_service.cc, over the directory (standin_directory.h).
//
// Shape, and why:
//  - one thread per connection, each serving many requests on its kept-alive
//    connection with its own copy of the runtime context: a client keeps its
//    connection to one instance open while it talks to another, and both may
//    even be the same instance, so no connection may wait for another;
//  - the caller is fixed per connection: over HTTPS the subject CN of the
//    client certificate (asked for, not required; any issuer is accepted),
//    over HTTP the configured --http-app, otherwise none;
//  - a fault answered by an operation keeps the connection open, as a
//    successful answer does; only a request that cannot be read, "Connection:
//    close", or an injected http/drop action ends it;
//  - a kept-alive connection may stay idle for as long as the client likes,
//    but once a request has begun it must arrive within kRequestSeconds: the
//    runtime reads XML until the document ends, not until Content-Length, so
//    a request cut short would otherwise hold its connection forever;
//  - the journal line of a call is written (with one write(2)) before its
//    answer is sent, so whoever got the answer finds the line;
//  - the accept loop polls the listening socket and a self-pipe that the
//    signal handler writes to; stopping shuts every open connection down,
//    joins all threads and writes the final counters.
//
// Journal line: SEQ, STARTED (when the request began to arrive, in
// microseconds of the system's monotonic clock, shared by every process on
// the machine), OPERATION, CALLER (or "-"), the operation's key fields
// (logins, user ids, application or session ids, in request order; "-" for an
// absent one; escaped as in standin_text.h, a field that is literally "-" as
// "\x2d"), OUTCOME ("ok", the fault's subcode, its code when it has none, or
// "injected"), tab-separated. A request that cannot be read is journalled
// with the operation "-".
//
// Counters (--stats file, rewritten through a temporary file and rename):
// "connections N" accepted, "handshakes N" completed TLS handshakes, "calls N"
// journalled calls; rewritten when a connection is accepted, when its first
// request begins after the handshake, when it closes, and at exit.
#ifndef IDFERRY_TOOLS_STANDIN_STANDIN_SERVER_H_
#define IDFERRY_TOOLS_STANDIN_STANDIN_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/standin/standin_config.h"
#include "tools/standin/standin_directory.h"
#include "tools/standin/standin_faults.h"
#include "tools/standin/standin_store.h"

struct soap;

namespace standin {

class Server;

// Exit status of the process after an injected "exit" action.
constexpr int kInjectedExitStatus = 70;
// How long the rest of a request may take once its first bytes arrived.
constexpr int kRequestSeconds = 3;

// One client connection; the runtime context's `user` field points at it
// while its requests are served.
struct Connection {
  Server* server = nullptr;
  struct soap* soap = nullptr;
  std::optional<std::string> caller;  // the calling application, if any
  bool close_after = false;           // an injected action ends the connection
  bool reached_operation = false;     // the current request reached an operation
  std::size_t request_bytes = 0;      // bytes received of the current request
  long long request_started_us = 0;   // when it began to arrive (steady clock)
  std::size_t (*base_recv)(struct soap*, char*, std::size_t) = nullptr;
  // A "torn" answer: what the runtime sends is held here, then cut (cut_held).
  bool holding = false;
  std::string held;
  int (*base_send)(struct soap*, const char*, std::size_t) = nullptr;
  std::thread thread;
  std::atomic<bool> done{false};

  // The socket, as far as other threads may touch it (to shut it down).
  std::mutex fd_mu;
  int fd = -1;
  bool fd_open = false;
};

class Server {
 public:
  explicit Server(Config config);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Reads the fault plan and the CA, opens and seeds the store, opens the
  // journal, sets up TLS, binds the port and writes the port and stats
  // files. False with a one-line reason when any of it fails.
  bool start(std::string* error);
  int port() const { return port_; }
  // Serves until stop is requested; then ends every connection, waits for
  // the threads and writes the final counters.
  void run();
  // Safe to call from a signal handler.
  void request_stop();
  // Routes SIGTERM and SIGINT to request_stop() of `server`.
  static void handle_signals(Server* server);

  // For the operations.
  const Config& config() const { return config_; }
  Directory& directory() { return *directory_; }
  std::string relay_url() const;
  // Counts one call of `operation` for fault injection.
  std::optional<FaultAction> injected_action(const std::string& operation);
  // The journal line of the call `conn` is serving.
  void journal(const Connection& conn, const std::string& operation,
               const std::vector<const std::string*>& keys, const std::string& outcome);
  // Waits the configured delay, or `us` microseconds (cut short by a stop).
  void delay(long long us = -1);

 private:
  bool issue_certificate(const std::string& app_id, std::string* cert_pem,
                         std::string* key_pem, std::string* error);
  void start_connection(int fd);
  void serve(Connection* conn);
  void finish(Connection* conn);
  void reap(bool all);
  std::optional<std::string> identify(struct soap* soap);
  void write_stats();
  bool write_file_atomically(const std::string& path, const std::string& content,
                             std::string* error);
  static int close_socket(struct soap* soap, int fd);
  static std::size_t counting_recv(struct soap* soap, char* buf, std::size_t len);
  // Blocks until the next request begins (or the connection ends).
  static void wait_for_request(struct soap* soap);

  Config config_;
  FaultPlan faults_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<Directory> directory_;
  std::string ca_pem_;  // empty: self-signed certificates
  std::mutex cert_mu_;  // the certificate library is single-threaded
  struct soap* master_ = nullptr;
  bool tls_ = false;
  int listen_fd_ = -1;
  int port_ = 0;
  int stop_pipe_[2] = {-1, -1};
  int journal_fd_ = -1;

  std::mutex journal_mu_;
  long long calls_ = 0;
  std::atomic<long long> connections_{0};
  std::atomic<long long> handshakes_{0};
  std::mutex stats_mu_;

  std::mutex stop_mu_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;

  std::vector<std::unique_ptr<Connection>> conns_;  // touched by run() only
};

// The fault the runtime recorded in `soap`, as one line of text.
std::string runtime_fault_text(struct soap* soap);

// Reads and answers one request whose envelope and body have been opened
// (soap_begin_serve) by dispatching it to its operation. Defined in
// standin_service.cc.
int serve_operation(struct soap* soap);
// After an answer held for a "torn" action: sends its head and half its body,
// and ends the connection. Defined in standin_service.cc.
void cut_held(Connection& conn);

// The whole program over the process's arguments and streams.
int standin_main(int argc, char** argv);

}  // namespace standin

#endif  // IDFERRY_TOOLS_STANDIN_STANDIN_SERVER_H_
