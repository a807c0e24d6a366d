// Fuzzes the service client's reading side in process: a fresh SSOClient
// reads the input through the runtime's transport hooks. The first byte picks
// the operation (and a variant of its arguments); the rest is the raw HTTP
// response, one per service call ("\n--NEXT--\n" between them; each new
// request moves on to the next). The error accessors must be empty after a
// success and describe a failure. IDFERRY_FUZZ_VERBOSE=1 prints each outcome.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "src/SSOClient/SSOClient.h"
#include "stdsoap2.h"

namespace {

// Never a real socket: every hook that would use it is replaced.
const SOAP_SOCKET kFakeSocket = 0x3ffffff0;

// The responses of the current input, the one being read and how far.
struct Peer {
  std::vector<std::string> responses;
  size_t current = 0, pos = 0;
  bool received = false;  // the client read since it last sent
} peer;

void install_hooks(soap* ctx) {
  ctx->fopen = [](soap* s, const char*, const char*, int) { return s->socket = kFakeSocket; };
  ctx->fclose = [](soap* s) {
    s->socket = SOAP_INVALID_SOCKET;
    return SOAP_OK;
  };
  ctx->fclosesocket = [](soap*, SOAP_SOCKET) { return SOAP_OK; };
  ctx->fshutdownsocket = [](soap*, SOAP_SOCKET, int) { return SOAP_OK; };
  ctx->fresolve = [](soap*, const char*, struct in_addr*) { return SOAP_OK; };
  // The connection is kept while it is open.
  ctx->fpoll = [](soap* s) { return s->socket == kFakeSocket ? SOAP_OK : SOAP_EOF; };
  ctx->fsend = [](soap*, const char*, size_t) {
    if (peer.received) {  // the first bytes of a new request: on to the next response
      peer.received = false;
      peer.current = std::min(peer.current + 1, peer.responses.size());
      peer.pos = 0;
    }
    return SOAP_OK;
  };
  ctx->frecv = [](soap*, char* buf, size_t len) {
    peer.received = true;
    const std::string part = peer.current < peer.responses.size()
                                 ? peer.responses[peer.current].substr(peer.pos, len) : "";
    peer.pos += part.copy(buf, part.size());
    return part.size();
  };
}

// Runs operation `op` (0..9); `variant` picks arguments where an operation
// has some worth varying. True when the operation succeeded.
bool run_operation(SSOClient& client, unsigned op, unsigned variant) {
  const std::string hash_type = "SHA-256", requested = "42";
  std::string id = "7", out, type;
  std::vector<std::string> logins{"anna"};
  for (unsigned i = 0; i < variant % 4; ++i) logins.push_back("user" + std::to_string(i));
  std::vector<SSOClient::UserInfo> users;
  SSOClient::UserInfo info;
  SSOClient::ssoSettings settings;
  switch (op) {
    case 0: return client.getUsers({}, users);
    case 1: return client.getUserId("anna", out);
    case 2: return client.getUserInfo(id, info);
    case 3: return client.getUserPassword(id, out, type);
    case 4:
      return client.addUser("anna", "hash", variant & 1 ? &hash_type : nullptr,
                            variant & 2 ? &requested : nullptr, out);
    case 5: return client.deleteUsers(logins);
    case 6: return client.changeLogin("anna", "anna.berg");
    case 7: return client.getSettings(settings);
    case 8:
      return client.registerApplication("app", "App", "1.0", "http://app.invalid/",
                                        "http://app.invalid/restore", "http://app.invalid/change");
    default: return !client.authenticate("anna", "secret");  // true means it failed
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No TLS is spoken in process: skip loading the default CA certificates,
  // which takes far longer than a whole run here.
  setenv("SSL_CERT_FILE", "/nonexistent/idferry-fuzz-ca.pem", 1);
  setenv("SSL_CERT_DIR", "/nonexistent/idferry-fuzz-ca", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  peer = Peer();
  peer.responses = fuzz::split(fuzz::text_of(data + 1, size - 1), "\n--NEXT--\n");
  SSOClient client("http://sso.invalid:8080/sso", nullptr);
  if (client.runtime() == nullptr) return 0;
  install_hooks(client.runtime());

  const bool ok = run_operation(client, data[0] % 10, data[0] / 10);
  const std::string message = client.getErrorMessage(), detailed = client.getDetailedErrorMessage();
  const std::string outcome = std::string(ok ? "ok" : "failed") + "\n  code: " +
                              client.getErrorCode() + "\n  subcode: " + client.getErrorSubCode() +
                              "\n  message: " + message + "\n  detailed: " + detailed;
  static const bool verbose = getenv("IDFERRY_FUZZ_VERBOSE") != nullptr;
  if (verbose) fprintf(stderr, "op %d: %s\n", data[0], outcome.c_str());
  if (ok && outcome != "ok\n  code: \n  subcode: \n  message: \n  detailed: ") {
    fuzz::fail("an error described after a success: " + outcome);
  }
  if (!ok && (message.compare(0, 1, "(") != 0 || detailed.compare(0, 11, "SOAP fault ") != 0)) {
    fuzz::fail("a failure without an error message: " + outcome);
  }
  return 0;
}
