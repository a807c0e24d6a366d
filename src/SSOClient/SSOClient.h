// SSOClient: the program's handle on one instance of the single-sign-on
// service. It holds the instance URL, the application certificate text it
// authenticates with, the application id issued by registerApplication, and
// the SOAP proxy whose one runtime context carries every call of the client.
//
// Construction configures that context once: keep-alive in both directions
// (so the many calls of a migration share one connection and one TLS
// handshake), the SOAP 1.2 namespace table, and TLS through
// ssl_auth_init_cert, which installs the client certificate and key from the
// PEM text held in memory rather than from files. Server certificates are
// verified only against trusted certificates given to the constructor. A bad
// certificate does not make construction fail: calls then go out without a
// client certificate, and the service decides (the server is still verified
// when trusted certificates were given). When the trusted certificates
// cannot be used, every call fails with that set-up error without
// connecting.
//
// Every operation returns true on success and false on failure (authenticate
// the other way round); why the last call failed is read through the four
// error accessors. Output arguments are written only after a successful call.
// Each operation first releases what the runtime decoded for the previous
// call, so a client's memory stays flat however many calls it makes; every
// value handed out is a copy.
//
// The generated protocol headers are not included here: the proxy is held
// through a pointer to its forward-declared class.
//
// Single-threaded: a client serves one call at a time, on the thread that
// made it. Clients share nothing but OpenSSL's one-time initialisation.
#ifndef IDFERRY_SRC_SSOCLIENT_SSOCLIENT_H_
#define IDFERRY_SRC_SSOCLIENT_SSOCLIENT_H_

#include <stdint.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct soap;
class sso;
class call_pacer;
struct bio_st;
struct x509_st;
struct evp_pkey_st;

class SSOClient {
 public:
  // One user as the queries return it.
  struct UserInfo {
    std::string login;
    std::string userId;         // filled by getUsers; getUserInfo leaves it alone
    std::string applicationId;  // owning application; filled by getUserInfo only
  };

  // The instance settings returned by getSettings.
  struct ssoSettings {
    std::string relayEndpointUrl;
    int32_t usersSessionsTimeout = 0;
    std::vector<std::string> hashTypes;
  };

  // `certificate` points at PEM text holding the application's client
  // certificate and private key (either order), or is null for a client
  // without certificate. `trustedCa`, when not null, points at PEM
  // certificates: the server's certificate must then chain to one of them
  // and name the URL's host, or no call gets through. The texts are copied.
  SSOClient(const std::string& url, const std::string* certificate,
            const std::string* trustedCa = nullptr);

  // Bounds on what one response may hold, so that a broken or hostile
  // service cannot make the client use memory without limit: items in one
  // list (users in a listing), bytes in one text, and element nesting depth.
  static const size_t kMaxListedItems = 10000000;
  static const long kMaxTextBytes = 16 * 1024 * 1024;
  static const unsigned kMaxNesting = 200;
  // Default time-outs: for connecting, and for a send or receive that makes
  // no progress. Long enough for any instance at work; short enough that a
  // stopped instance or a broken network ends the run with an error instead
  // of blocking it for ever.
  static const int kConnectTimeoutMs = 60 * 1000;
  static const int kIoTimeoutMs = 10 * 60 * 1000;

  // Replaces the time-outs (milliseconds, above 0).
  void setTimeouts(int connect_ms, int io_ms);

  // Retries of service calls that failed in transport: a connection refused,
  // reset or closed before a complete answer, a time-out, or HTTP 429, 502,
  // 503 or 504; also an answer cut short: the connection ended inside it, before the
  // end of its document or of its last chunk, whatever status its HTTP header
  // gave (it fails as the receiver fault "Answer cut short"). Such a call is
  // made again on a fresh connection, up to `retries` times, after waiting
  // 0.5 s, 1 s, 2 s, ... (at most 30 s). Faults, other HTTP errors, an
  // answer without element and malformed answers, read whole, are never
  // retried. A 429 or 503 answer with a Retry-After header (delta seconds or
  // an HTTP date) is retried after the time it asks for instead, and the
  // client's pacer holds every call to the instance until then; more than
  // kMaxRetryAfterSeconds fails the call as it was answered. Without a
  // policy (the default) nothing is retried.
  struct RetryPolicy {
    int retries = 0;
    // Told "Retrying <operation> (attempt <k> of <N>): <reason>" before each
    // (", waiting <s> s as the instance asked" after <N> when it asked).
    std::function<void(const std::string&)> log;
    // True: no further attempt is made (the wait is cut short too).
    std::function<bool()> stopped;
  };
  static const int kMaxRetryAfterSeconds = 300;
  void setRetryPolicy(const RetryPolicy& policy) { m_retry = policy; }
  // Whether the last service call was made again after an attempt that failed
  // in transport: a write it carried may then have taken effect although its
  // answer was lost or cut short. The client reports the last attempt's
  // answer as it is; telling whether the write was done is its caller's
  // work (writes.h).
  bool lastCallRetried() const { return m_retried; }
  // The pacer of the instance (call_pacer.h), shared with its other clients:
  // every attempt takes a permit from it right before its request is sent
  // (once its connection is made, so that a handshake does not delay a paced
  // call on its way), and a Retry-After holds it. Null (the default): calls start at once.
  void setPacer(std::shared_ptr<call_pacer> pacer) { m_pacer = std::move(pacer); }
  // Frees the runtime context, which closes any kept-open connection and
  // frees the TLS context.
  ~SSOClient();
  SSOClient(const SSOClient&) = delete;
  SSOClient& operator=(const SSOClient&) = delete;

  // ---- Users -------------------------------------------------------------
  bool getUserId(const std::string& login, std::string& userId);
  // Fills info.login and info.applicationId; info.userId is not touched.
  bool getUserInfo(std::string& userId, UserInfo& info);
  // An empty `logins` lists every user (listUsers); otherwise each login is
  // looked up in turn and the records before the first failure stay
  // appended. `users` is appended to, never cleared.
  bool getUsers(const std::vector<std::string>& logins, std::vector<UserInfo>& users);
  bool getUserPassword(const std::string& userId, std::string& hash, std::string& hashType);
  bool addUser(const std::string& login, const std::string& password, std::string& userId);
  // A non-null hashType / requestedId is sent even when it points at empty
  // text; a null one is left out of the request.
  bool addUser(const std::string& login, const std::string& password,
               const std::string* hashType, const std::string* requestedId,
               std::string& userId);
  bool changeLogin(const std::string& login, const std::string& newLogin);
  // A non-null newHashType is sent as the new password's hash type: the
  // password is then a hash, stored as given.
  bool changePassword(const std::string& login, const std::string& newPassword,
                      const std::string* newHashType = nullptr);
  // Resolves every login first, so nothing is deleted unless all exist;
  // then deletes one by one and stops at the first failure.
  bool deleteUsers(const std::vector<std::string>& logins);

  // ---- Application, session, settings ------------------------------------
  // Precondition (asserted): the client has no certificate and no
  // application id yet. Stores the issued id and certificate on success.
  bool registerApplication(const std::string& name, const std::string& displayName,
                           const std::string& version, const std::string& url,
                           const std::string& restorePasswordUrl,
                           const std::string& changePasswordUrl);
  // True while the instance knows the application (the registration's
  // fields are not kept).
  bool getApplication(const std::string& applicationId);
  bool unregisterApplication(const std::string& applicationId);
  // Returns FALSE when the credentials were accepted, true when the call failed.
  bool authenticate(const std::string& login, const std::string& password);
  // Replaces the record's contents (the hash type list included).
  bool getSettings(ssoSettings& settings);

  // ---- The last call -----------------------------------------------------
  // All empty when the last call succeeded. Otherwise: the fault code, the
  // first subcode (the service's error code, e.g. "sso:noSuchUser"),
  // "(" code ") " reason, and "SOAP fault " code ": " reason [" (" detail ")"].
  std::string getErrorCode() const;
  std::string getErrorSubCode() const;
  std::string getErrorMessage() const;
  std::string getDetailedErrorMessage() const;

  const std::string& url() const { return m_url; }
  // The runtime context of the client (null if it could not be allocated),
  // for tests and fuzzing that install transport callbacks. The client keeps
  // ownership.
  soap* runtime() const;
  const std::string& appId() const { return m_appId; }
  const std::string& certificate() const { return m_certificate; }

  // The runtime's TLS-setup hook: makes the TLS context and installs the
  // client certificate and key read from the context's key-file setting,
  // which holds PEM text, not a file name. Returns 0, or SOAP_SSL_ERROR with
  // the failed step recorded as the fault detail under "SSL error".
  static int ssl_auth_init_cert(soap* soap);
  // Frees each non-null argument (BIO_free, X509_free, EVP_PKEY_free).
  static void free_ssl_data(bio_st* bio, x509_st* cert, evp_pkey_st* key);

 private:
  // One service call: `attempt` makes it through the proxy and returns the
  // runtime's status; it is made again as the retry policy says. True on
  // success (finish_call).
  template <typename Attempt>
  bool call(const char* operation, Attempt&& attempt) {
    prepare_call();
    m_retried = false;
    if (m_trustFailure) return refuse_call();
    int status = cut_short(attempt());
    for (int k = 1; k <= m_retry.retries && retry_after(status, operation, k); ++k) {
      m_retried = true;
      status = cut_short(attempt());
    }
    return finish_call(status);
  }
  // After an attempt that ended with `status`: when it failed in transport
  // and the policy allows attempt k + 1, logs it, waits, closes the
  // connection and prepares the context, and returns true.
  bool retry_after(int status, const char* operation, int k);
  // The send hook wrapped around the context's own: before the first bytes
  // of an attempt, waits for the pacer's permit (if the client has a pacer);
  // the attempt's time starts after it.
  static int pacing_send(soap* ctx, const char* data, size_t len);
  // The header hook wrapped around the context's own: keeps the value of a
  // Retry-After header of the answer.
  static int noting_header(soap* ctx, const char* key, const char* value);
  // Fails a call of a client whose trust set-up failed, recording that
  // failure again; nothing is sent.
  bool refuse_call();
  // An attempt's status as the retry policy reads it: SOAP_EOF, recorded as
  // a cut answer, when the connection ended after part of the answer came
  // (the runtime then often gives the HTTP status instead) and the attempt
  // did not time out; otherwise `status`. Relies on the runtime asking for
  // no byte past the end of a complete document.
  int cut_short(int status);
  // The receive hook wrapped around the context's own: counts what an
  // attempt received and notes an end of file or a receive error.
  static size_t noting_recv(soap* ctx, char* buf, size_t len);
  // Whether the current attempt has waited at least the receive time-out.
  bool timed_out(const soap* ctx) const;
  // Releases what the runtime decoded for the previous call and prepares an
  // attempt: the receive hook wrapped (again, should it have been replaced)
  // and its counts reset. Returns the runtime context, or null when the
  // client has none.
  soap* prepare_call();
  // Ends a service call that returned `status`: after a success releases
  // what the runtime decoded (the response record keeps its own copies);
  // after a failure that the runtime recorded only as a status, records the
  // runtime's own description of it, so the accessors can tell what failed.
  // True on success.
  bool finish_call(int status);
  // Records a description of a failure for which the runtime kept only the
  // status `status` (a connection simply closed stays without one).
  void describe_failure(soap* ctx, int status) const;
  // The status of the last call and the parts of its fault ("" if absent).
  int status() const;
  std::string fault_code() const;
  std::string fault_subcode() const;
  std::string fault_reason() const;
  const char* fault_detail() const;  // null when the fault holds no detail text

  std::string m_url;
  std::string m_certificate;
  std::string m_appId;
  std::string m_trustedCa;  // PEM certificates the server must chain to; empty: none
  std::unique_ptr<sso> m_proxy;
  std::chrono::steady_clock::time_point m_callStarted;  // of the current attempt
  RetryPolicy m_retry;
  bool m_retried = false;
  const char* m_trustFailure = nullptr;  // the failed step of the trust set-up, if any
  size_t (*m_baseRecv)(soap*, char*, size_t) = nullptr;  // the hook noting_recv wraps
  std::shared_ptr<call_pacer> m_pacer;
  int (*m_baseSend)(soap*, const char*, size_t) = nullptr;  // the hook pacing_send wraps
  bool m_paced = false;  // whether the current attempt has its permit
  int (*m_baseHeader)(soap*, const char*, const char*) = nullptr;  // the hook noting_header wraps
  std::string m_retryAfter;  // the current attempt's Retry-After header, if any
  size_t m_received = 0;  // bytes the current attempt received
  bool m_ended = false;   // whether its connection ended (or failed) while it read
};

#endif  // IDFERRY_SRC_SSOCLIENT_SSOCLIENT_H_
