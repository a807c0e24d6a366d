// Construction, TLS set-up and error reporting of SSOClient. The typed
// operations are in SSOClient_ops.cc.
#include "src/SSOClient/SSOClient.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <thread>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "soapssoProxy.h"
#include "src/call_pacer.h"

namespace {

// Records a TLS-setup failure the way the runtime records its own: the
// fault string "SSL error", the failed step as detail, SOAP_SSL_ERROR.
// During construction no SOAP version has been chosen yet, and this runtime
// then names the fault code "detected"; the failure is recorded as a SOAP 1.1
// receiver fault instead, so the code reads "SOAP-ENV:Server".
int ssl_setup_failed(soap* ctx, const char* step) {
  const short version = ctx->version;
  if (version == 0) ctx->version = 1;
  int status = soap_set_receiver_error(ctx, "SSL error", step, SOAP_SSL_ERROR);
  ctx->version = version;
  return status;
}

// Refuses to supply a passphrase. An application certificate file holds an
// unencrypted key; an encrypted one must fail the set-up instead of making
// OpenSSL ask for a passphrase on the terminal of a non-interactive run.
int no_passphrase(char*, int, int, void*) { return 0; }

const char* or_empty(const char* s) { return s ? s : ""; }

// A store holding every certificate of the PEM text, or null when it holds
// none.
X509_STORE* trusted_store(const std::string& pem) {
  X509_STORE* store = X509_STORE_new();
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  int count = 0;
  while (X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, no_passphrase, nullptr) : nullptr) {
    count += X509_STORE_add_cert(store, cert) == 1;
    X509_free(cert);
  }
  ERR_clear_error();  // the end of the text reads as an error
  BIO_free(bio);
  if (count == 0) {
    X509_STORE_free(store);
    return nullptr;
  }
  return store;
}

// The host of an http(s) URL: between "://" and the port or path, without
// the brackets of an IPv6 address.
std::string url_host(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  const size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  authority.erase(0, authority.rfind('@') + 1);
  if (!authority.empty() && authority[0] == '[') {
    return authority.substr(1, authority.find(']') - 1);
  }
  return authority.substr(0, authority.find(':'));
}

// OpenSSL's default CA locations, read once per process and shared by every
// client's TLS context: reading them takes some milliseconds each time, and
// a run with many workers makes many clients. Null when they cannot be read.
X509_STORE* default_ca_store() {
  static X509_STORE* const store = [] {
    X509_STORE* s = X509_STORE_new();
    if (s && X509_STORE_set_default_paths(s) != 1) {
      X509_STORE_free(s);
      s = nullptr;
    }
    return s;
  }();
  return store;
}

// The seconds a Retry-After header's value asks to wait at `now`: delta
// seconds, or an HTTP date in any of its three forms (a past one: 0). -1 when
// it is neither.
long long retry_after_seconds(std::string value, time_t now) {
  value.erase(0, value.find_first_not_of(" \t"));
  value.erase(value.find_last_not_of(" \t") + 1);
  if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
    return value.size() > 12 ? LLONG_MAX : std::stoll(value);
  }
  for (const char* form : {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT",
                           "%a %b %d %H:%M:%S %Y"}) {
    struct tm at {};
    const char* end = strptime(value.c_str(), form, &at);
    if (end && *end == '\0') {
      const time_t when = timegm(&at);
      return when > now ? static_cast<long long>(when - now) : 0;
    }
  }
  return -1;
}

}  // namespace

SSOClient::SSOClient(const std::string& url, const std::string* certificate,
                     const std::string* trustedCa)
    : m_proxy(new sso()) {
  m_url = url;
  if (certificate) m_certificate = *certificate;
  if (trustedCa) m_trustedCa = *trustedCa;
  // The runtime keeps pointers into m_url and m_certificate, which never
  // change while the context may use them.
  m_proxy->soap_endpoint_url = m_url.c_str();
  soap_ssl_init();  // process-wide; only the first call does anything
  soap* ctx = m_proxy->soap;
  if (!ctx) return;  // every call will fail with SOAP_EOM
  soap_init2(ctx, SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
  // The runtime refuses lists of more than 100,000 items by default, and a
  // listing holds every user of the instance; the bound is raised well above
  // any instance's size (and below what would exhaust memory).
  ctx->maxoccurs = kMaxListedItems;
  ctx->maxlength = kMaxTextBytes;
  ctx->maxlevel = kMaxNesting;
  setTimeouts(kConnectTimeoutMs, kIoTimeoutMs);
  ctx->fsslauth = &SSOClient::ssl_auth_init_cert;
  ctx->user = this;  // the hook reads the trusted certificates and the host
  // Runs the hook at once; a failure stays recorded in the context until the
  // first call, and the client goes on without a client certificate.
  soap_ssl_client_context(ctx, SOAP_SSL_SKIP_HOST_CHECK,
                          m_certificate.empty() ? nullptr : m_certificate.c_str(),
                          nullptr, nullptr, nullptr, nullptr);
}

SSOClient::~SSOClient() {
  // The proxy goes first: it deletes the decoded data and frees the runtime
  // context, which closes the connection and frees the TLS context.
  m_proxy.reset();
}

int SSOClient::ssl_auth_init_cert(soap* ctx) {
  SSL_CTX* tls = SSL_CTX_new(TLS_client_method());
  if (ctx->ctx) SSL_CTX_free(ctx->ctx);
  ctx->ctx = tls;
  SSOClient* client = static_cast<SSOClient*>(ctx->user);
  const bool verify = client && !client->m_trustedCa.empty();
  if (client) client->m_trustFailure = nullptr;
  // With trusted certificates, a failed step of the trust set-up leaves the
  // client refusing every call (call()), never trusting any server.
  const auto trust_failed = [&](const char* step) {
    if (verify) client->m_trustFailure = step;
    return ssl_setup_failed(ctx, step);
  };
  if (!tls) return trust_failed("Can't setup context");
  // Server verification, the trusted store and the host check come before
  // any step that can fail: a client certificate that cannot be used then
  // leaves the server verified as asked, not at OpenSSL's default of
  // accepting any server.
  SSL_CTX_set_options(tls, SSL_OP_ALL | SSL_OP_NO_SSLv2);
  SSL_CTX_set_verify(tls, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, ctx->fsslverify);
  SSL_CTX_set_verify_depth(tls, 9);
  if (verify) {
    // Only the given certificates are trusted, and the server must be the
    // URL's host: by DNS name (subjectAltName, or the CN without one) or by
    // IP address (subjectAltName only), as OpenSSL checks them.
    X509_STORE* trusted = trusted_store(client->m_trustedCa);
    if (!trusted) return trust_failed("Can't read trusted CA certificates");
    SSL_CTX_set_cert_store(tls, trusted);
    const std::string host = url_host(client->m_url);
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(tls);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1 &&
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) != 1) {
      return trust_failed("Can't check the server's name");
    }
  } else {
    X509_STORE* cas = default_ca_store();
    if (!cas) return ssl_setup_failed(ctx, "Can't read default CA file and/or directory");
    SSL_CTX_set1_cert_store(tls, cas);
  }
  if (ctx->keyfile) {
    // The key-file setting holds the PEM text itself. Key and certificate
    // may stand in either order: each reader skips blocks of other kinds.
    BIO* bio = BIO_new_mem_buf(ctx->keyfile, -1);
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, no_passphrase, nullptr) : nullptr;
    X509* cert = nullptr;
    if (bio) {
      BIO_reset(bio);
      cert = PEM_read_bio_X509(bio, nullptr, no_passphrase, nullptr);
    }
    if (!bio || !cert || !key) {
      free_ssl_data(bio, cert, key);
      return ssl_setup_failed(ctx, "Can't read certificate data");
    }
    if (SSL_CTX_use_certificate(tls, cert) != 1) {
      free_ssl_data(bio, cert, key);
      return ssl_setup_failed(ctx, "Can't use certificate data");
    }
    // OpenSSL refuses a key that does not belong to the certificate.
    if (SSL_CTX_use_PrivateKey(tls, key) != 1) {
      free_ssl_data(bio, cert, key);
      return ssl_setup_failed(ctx, "Can't use key data");
    }
    free_ssl_data(bio, cert, key);  // the TLS context keeps its own references
  }
  return SOAP_OK;
}

void SSOClient::free_ssl_data(bio_st* bio, x509_st* cert, evp_pkey_st* key) {
  if (bio) BIO_free(bio);
  if (cert) X509_free(cert);
  if (key) EVP_PKEY_free(key);
}

soap* SSOClient::runtime() const { return m_proxy->soap; }

void SSOClient::setTimeouts(int connect_ms, int io_ms) {
  soap* ctx = m_proxy->soap;
  if (!ctx) return;
  // The runtime takes negative values as microseconds.
  ctx->connect_timeout = -1000 * connect_ms;
  ctx->recv_timeout = -1000 * io_ms;
  ctx->send_timeout = -1000 * io_ms;
}

soap* SSOClient::prepare_call() {
  soap* ctx = m_proxy->soap;
  if (ctx) {
    soap_destroy(ctx);
    soap_end(ctx);
    if (ctx->frecv != &SSOClient::noting_recv) {
      m_baseRecv = ctx->frecv;
      ctx->frecv = &SSOClient::noting_recv;
    }
    if (ctx->fsend != &SSOClient::pacing_send) {
      m_baseSend = ctx->fsend;
      ctx->fsend = &SSOClient::pacing_send;
    }
    if (ctx->fparsehdr != &SSOClient::noting_header) {
      m_baseHeader = ctx->fparsehdr;
      ctx->fparsehdr = &SSOClient::noting_header;
    }
  }
  m_retryAfter.clear();
  m_paced = false;
  m_received = 0;
  m_ended = false;
  m_callStarted = std::chrono::steady_clock::now();
  return ctx;
}

size_t SSOClient::noting_recv(soap* ctx, char* buf, size_t len) {
  SSOClient* client = static_cast<SSOClient*>(ctx->user);
  const size_t n = client->m_baseRecv(ctx, buf, len);
  client->m_received += n;
  if (n == 0) client->m_ended = true;
  return n;
}

int SSOClient::noting_header(soap* ctx, const char* key, const char* value) {
  SSOClient* client = static_cast<SSOClient*>(ctx->user);
  if (key && value && strcasecmp(key, "Retry-After") == 0) client->m_retryAfter = value;
  return client->m_baseHeader(ctx, key, value);
}

int SSOClient::pacing_send(soap* ctx, const char* data, size_t len) {
  SSOClient* client = static_cast<SSOClient*>(ctx->user);
  if (client->m_pacer && !client->m_paced) {
    client->m_pacer->acquire(client->m_retry.stopped);
    client->m_callStarted = std::chrono::steady_clock::now();
  }
  client->m_paced = true;
  return client->m_baseSend(ctx, data, len);
}

bool SSOClient::timed_out(const soap* ctx) const {
  const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - m_callStarted);
  return ctx->recv_timeout < 0 && waited.count() >= -static_cast<long long>(ctx->recv_timeout);
}

bool SSOClient::refuse_call() {
  soap* ctx = m_proxy->soap;
  return finish_call(ssl_setup_failed(ctx, m_trustFailure));
}

int SSOClient::cut_short(int status) {
  soap* ctx = m_proxy->soap;
  if (!ctx || !m_ended || m_received == 0 || timed_out(ctx)) return status;
  // runtime: a document that ends early often fails as its HTTP status (200,
  // or 500 inside a Fault), and a Fault read whole counts even when the rest
  // of its document is missing. What was decoded of it is dropped.
  soap_force_closesock(ctx);
  ctx->fault = nullptr;
  const short version = ctx->version;
  if (version == 0) ctx->version = 2;
  soap_set_receiver_error(ctx, "Answer cut short",
                          "the connection closed before the whole answer arrived", SOAP_EOF);
  ctx->version = version;
  return SOAP_EOF;
}

bool SSOClient::retry_after(int status, const char* operation, int k) {
  const bool transport = status == SOAP_EOF || status == SOAP_TCP_ERROR ||
                         status == SOAP_SSL_ERROR || status == 429 || status == 502 ||
                         status == 503 || status == 504;
  const auto stopped = [this] { return m_retry.stopped && m_retry.stopped(); };
  if (!transport || stopped()) return false;
  // The wait the instance asked for, if it did.
  const long long asked = (status == 429 || status == 503) && !m_retryAfter.empty()
                              ? retry_after_seconds(m_retryAfter, std::time(nullptr))
                              : -1;
  finish_call(status);  // describes the failure for the log line
  // A server certificate that fails verification fails again.
  if (getErrorMessage().find("certificate verify failed") != std::string::npos) return false;
  const auto log = [this](const std::string& line) {
    if (m_retry.log) m_retry.log(line);
  };
  if (asked > kMaxRetryAfterSeconds) {
    log(std::string("Not retrying ") + operation + ": the instance asked to wait " +
        std::to_string(asked) + " s, more than " + std::to_string(kMaxRetryAfterSeconds) + " s");
    return false;
  }
  log(std::string("Retrying ") + operation + " (attempt " + std::to_string(k) + " of " +
      std::to_string(m_retry.retries) +
      (asked >= 0 ? ", waiting " + std::to_string(asked) + " s as the instance asked" : "") +
      "): " + getErrorMessage());
  const auto wait = asked >= 0 ? std::chrono::milliseconds(asked * 1000)
                               : std::chrono::milliseconds(std::min(30000, 500 << std::min(k - 1, 6)));
  const auto end = std::chrono::steady_clock::now() + wait;
  // While this client waits as asked, no other call to the instance starts.
  if (asked >= 0 && m_pacer) m_pacer->hold_until(end);
  while (std::chrono::steady_clock::now() < end) {
    if (stopped()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (soap* ctx = m_proxy->soap) soap_force_closesock(ctx);
  prepare_call();
  return true;
}

bool SSOClient::finish_call(int status) {
  soap* ctx = m_proxy->soap;
  if (ctx && ctx->level != 0) {
    // The runtime stopped reading inside the document. After a failure (a
    // bound exceeded, a bad value) the rest of the answer would be left on
    // the connection for the next call to read as its own: the connection is
    // closed. After a "success" the Body held no element, which the runtime
    // takes for a reset record: the call did not get its answer, and fails as
    // the protocol says, without element.
    soap_force_closesock(ctx);
    if (status == SOAP_OK) status = ctx->error = SOAP_NO_TAG;
  }
  if (status == SOAP_OK) {
    prepare_call();
    return true;
  }
  if (!ctx) return false;
  if (ctx->fault) {
    // A failure the runtime recorded before any answer named its SOAP
    // version (an HTTP error page, say) carries a placeholder code; this
    // client speaks SOAP 1.2, so it reads as the SOAP 1.2 code it stands for.
    SOAP_ENV__Fault* f = ctx->fault;
    if (!f->SOAP_ENV__Code && f->faultcode) {
      if (std::strcmp(f->faultcode, "detected") == 0) {
        f->faultcode = soap_strdup(ctx, "SOAP-ENV:Receiver");
      } else if (std::strcmp(f->faultcode, "at source") == 0) {
        f->faultcode = soap_strdup(ctx, "SOAP-ENV:Sender");
      }
    }
    return false;
  }
  // Recorded as SOAP 1.2 faults, the version this client speaks, also when
  // no answer came to tell the runtime which version the service speaks.
  const short version = ctx->version;
  if (version == 0) ctx->version = 2;
  describe_failure(ctx, status);
  ctx->version = version;
  return false;
}

void SSOClient::describe_failure(soap* ctx, int status) const {
  if (status == SOAP_EOF) {
    // The connection ended without an answer. Only a time-out is worth
    // naming; a plain close leaves the record empty.
    if (timed_out(ctx)) {
      const long long ms = -static_cast<long long>(ctx->recv_timeout) / 1000;
      const std::string detail = "no data from the service for " +
                                 (ms % 1000 ? std::to_string(ms) + " ms"
                                            : std::to_string(ms / 1000) + " s");
      // The runtime keeps the texts' addresses: the detail must live in it.
      soap_set_receiver_error(ctx, "Timeout", soap_strdup(ctx, detail.c_str()), SOAP_EOF);
    }
    return;
  }
  // An HTTP error without a body, a document that is no SOAP 1.2 envelope, a
  // bound exceeded: the runtime describes these itself on request.
  soap_set_fault(ctx);
  ctx->error = status;
}

// ---- Error accessors ---------------------------------------------------
//
// A decoded SOAP 1.2 fault carries its code record; a SOAP 1.1 fault, and
// a failure the runtime recorded before any SOAP version was chosen (the
// TLS set-up during construction), only the SOAP 1.1 fields, where the
// subcode reads the same as the code.

int SSOClient::status() const { return m_proxy->soap ? m_proxy->soap->error : SOAP_EOM; }

std::string SSOClient::fault_code() const {
  const SOAP_ENV__Fault* f = m_proxy->soap ? m_proxy->soap->fault : nullptr;
  if (!f) return std::string();
  if (f->SOAP_ENV__Code) return or_empty(f->SOAP_ENV__Code->SOAP_ENV__Value);
  return or_empty(f->faultcode);
}

std::string SSOClient::fault_subcode() const {
  const SOAP_ENV__Fault* f = m_proxy->soap ? m_proxy->soap->fault : nullptr;
  if (!f) return std::string();
  if (f->SOAP_ENV__Code) {
    const SOAP_ENV__Code* sub = f->SOAP_ENV__Code->SOAP_ENV__Subcode;
    return sub ? or_empty(sub->SOAP_ENV__Value) : std::string();
  }
  return or_empty(f->faultcode);
}

std::string SSOClient::fault_reason() const {
  const SOAP_ENV__Fault* f = m_proxy->soap ? m_proxy->soap->fault : nullptr;
  if (!f) return std::string();
  std::string reason;
  if (f->SOAP_ENV__Code || f->SOAP_ENV__Reason) {
    if (f->SOAP_ENV__Reason) reason = or_empty(f->SOAP_ENV__Reason->SOAP_ENV__Text);
  } else {
    reason = or_empty(f->faultstring);
  }
  // The reason ends up inside one line of an error report: line breaks and
  // other control characters, from the service or from the runtime's own
  // texts, become spaces.
  for (char& c : reason) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  }
  return reason;
}

const char* SSOClient::fault_detail() const {
  const SOAP_ENV__Fault* f = m_proxy->soap ? m_proxy->soap->fault : nullptr;
  if (!f) return nullptr;
  if (f->SOAP_ENV__Detail) return f->SOAP_ENV__Detail->__any;
  return f->detail ? f->detail->__any : nullptr;
}

std::string SSOClient::getErrorCode() const {
  return status() == SOAP_OK ? std::string() : fault_code();
}

std::string SSOClient::getErrorSubCode() const {
  return status() == SOAP_OK ? std::string() : fault_subcode();
}

std::string SSOClient::getErrorMessage() const {
  if (status() == SOAP_OK) return std::string();
  return "(" + fault_code() + ") " + fault_reason();
}

std::string SSOClient::getDetailedErrorMessage() const {
  if (status() == SOAP_OK) return std::string();
  std::string text = "SOAP fault " + fault_code() + ": " + fault_reason();
  if (const char* detail = fault_detail()) text += " (" + std::string(detail) + ")";
  return text;
}
