// Fuzzes the service client's reading side: the input is what the service
// sends back, fed to an SSOClient through the runtime's transport hooks, in
// process and without any socket. The client is made afresh for every input.
//
// Input layout: the first byte chooses the operation (and, for some, a
// variant); the rest is the raw HTTP response. An operation that makes
// several service calls (changeLogin, deleteUsers) reads one response per
// call: the responses are separated by kNextResponse, and each new request
// moves the reader past the next separator, dropping whatever the previous
// call left unread. At the end of its part the peer "closes the connection"
// (a read returns 0).
//
// After the operation all four error accessors are called. They must be
// empty after a success, and describe the failure otherwise. With the
// environment variable IDFERRY_FUZZ_VERBOSE set, each run prints its outcome.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "src/SSOClient/SSOClient.h"
#include "stdsoap2.h"

namespace {

const char kNextResponse[] = "\n--NEXT--\n";
const size_t kNextResponseSize = sizeof kNextResponse - 1;

// A socket number the hooks hand to the runtime; it is never a real one,
// since every hook that would use it is replaced.
const SOAP_SOCKET kFakeSocket = 0x3ffffff0;

// The response bytes of the current input and how far the client has read.
struct peer {
  const char* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
  size_t part_end = 0;     // end of the response being read (a separator or the end)
  bool received = false;   // the client read since it last sent
};
peer the_peer;

void find_part_end() {
  const void* sep = memmem(the_peer.data + the_peer.pos, the_peer.size - the_peer.pos,
                           kNextResponse, kNextResponseSize);
  the_peer.part_end = sep ? static_cast<const char*>(sep) - the_peer.data : the_peer.size;
}

SOAP_SOCKET fake_open(soap* ctx, const char*, const char*, int) {
  ctx->socket = kFakeSocket;
  return kFakeSocket;
}

int fake_close(soap* ctx) {
  ctx->socket = SOAP_INVALID_SOCKET;
  return SOAP_OK;
}

int fake_close_socket(soap*, SOAP_SOCKET) { return SOAP_OK; }
int fake_shutdown_socket(soap*, SOAP_SOCKET, int) { return SOAP_OK; }

// The connection is kept while it is open.
int fake_poll(soap* ctx) { return ctx->socket == kFakeSocket ? SOAP_OK : SOAP_EOF; }

int fake_send(soap*, const char*, size_t) {
  // The first bytes of a new request: its response starts after the next
  // separator.
  if (the_peer.received) {
    the_peer.received = false;
    const size_t sep = the_peer.part_end;
    the_peer.pos = sep < the_peer.size ? sep + kNextResponseSize : the_peer.size;
    find_part_end();
  }
  return SOAP_OK;
}

size_t fake_recv(soap*, char* buf, size_t len) {
  the_peer.received = true;
  const size_t n = std::min(len, the_peer.part_end - the_peer.pos);
  memcpy(buf, the_peer.data + the_peer.pos, n);
  the_peer.pos += n;
  return n;
}

int fake_resolve(soap*, const char*, struct in_addr*) { return SOAP_OK; }

void install_hooks(soap* ctx) {
  ctx->fopen = fake_open;
  ctx->fclose = fake_close;
  ctx->fclosesocket = fake_close_socket;
  ctx->fshutdownsocket = fake_shutdown_socket;
  ctx->fpoll = fake_poll;
  ctx->fsend = fake_send;
  ctx->frecv = fake_recv;
  ctx->fresolve = fake_resolve;
}

[[noreturn]] void fail(const char* what, const SSOClient& client) {
  fprintf(stderr, "response_fuzz: %s\n  code: %s\n  subcode: %s\n  message: %s\n  detailed: %s\n",
          what, client.getErrorCode().c_str(), client.getErrorSubCode().c_str(),
          client.getErrorMessage().c_str(), client.getDetailedErrorMessage().c_str());
  abort();
}

// Runs operation `op` (0..9); `variant` picks arguments where an operation
// has some worth varying. True when the operation succeeded.
bool run_operation(SSOClient& client, unsigned op, unsigned variant) {
  std::string id = "7";
  switch (op) {
    case 0: {
      std::vector<SSOClient::UserInfo> users;
      return client.getUsers({}, users);
    }
    case 1: {
      std::string user_id;
      return client.getUserId("anna", user_id);
    }
    case 2: {
      SSOClient::UserInfo info;
      return client.getUserInfo(id, info);
    }
    case 3: {
      std::string hash, type;
      return client.getUserPassword(id, hash, type);
    }
    case 4: {
      const std::string hash_type = "SHA-256";
      const std::string requested = "42";
      std::string user_id;
      return client.addUser("anna", "hash", variant & 1 ? &hash_type : nullptr,
                            variant & 2 ? &requested : nullptr, user_id);
    }
    case 5: {
      std::vector<std::string> logins{"anna"};
      for (unsigned i = 0; i < variant % 4; ++i) logins.push_back("user" + std::to_string(i));
      return client.deleteUsers(logins);
    }
    case 6:
      return client.changeLogin("anna", "anna.berg");
    case 7: {
      SSOClient::ssoSettings settings;
      return client.getSettings(settings);
    }
    case 8:
      return client.registerApplication("app", "App", "1.0", "http://app.invalid/",
                                        "http://app.invalid/restore",
                                        "http://app.invalid/change");
    default:
      // authenticate reports a failure as true.
      return !client.authenticate("anna", "secret");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every client's TLS set-up loads the default CA certificates, which takes
  // far longer than a whole run here and plays no part in it: no TLS is
  // spoken in process. Pointing OpenSSL at no CA file or folder skips that.
  setenv("SSL_CERT_FILE", "/nonexistent/idferry-fuzz-ca.pem", 1);
  setenv("SSL_CERT_DIR", "/nonexistent/idferry-fuzz-ca", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned op = data[0] % 10;
  const unsigned variant = data[0] / 10;
  the_peer = peer();
  the_peer.data = reinterpret_cast<const char*>(data) + 1;
  the_peer.size = size - 1;
  find_part_end();

  SSOClient client("http://sso.invalid:8080/sso", nullptr);
  soap* ctx = client.runtime();
  if (ctx == nullptr) return 0;
  install_hooks(ctx);

  const bool ok = run_operation(client, op, variant);
  const std::string code = client.getErrorCode();
  const std::string subcode = client.getErrorSubCode();
  const std::string message = client.getErrorMessage();
  const std::string detailed = client.getDetailedErrorMessage();
  // With IDFERRY_FUZZ_VERBOSE set, each run prints its outcome (for looking
  // at what a seed or a reproducer does).
  static const bool verbose = getenv("IDFERRY_FUZZ_VERBOSE") != nullptr;
  if (verbose) {
    fprintf(stderr, "op %u variant %u: %s %s\n", op, variant, ok ? "ok" : "failed",
            detailed.c_str());
  }
  if (ok) {
    if (!code.empty() || !subcode.empty() || !message.empty() || !detailed.empty()) {
      fail("an error described after a success", client);
    }
  } else {
    if (message.compare(0, 1, "(") != 0) fail("a failure without an error message", client);
    if (detailed.compare(0, 11, "SOAP fault ") != 0) {
      fail("a failure without a detailed error message", client);
    }
  }
  // Nothing of the input may stay referenced after this run.
  the_peer = peer();
  return 0;
}
