// The issuing side of the certificate library; see cert_gen.h.

#include "cert/cert_gen.h"

#include <arpa/inet.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include "cert/cert_inspect.h"

namespace {

// 2048 bits rather than the 1024 older tools used: OpenSSL 3 at its default
// security level refuses a 1024-bit key as a TLS client certificate ("ee key
// too small"), and these keys exist to be exactly that.
constexpr int kRsaBits = 2048;
// 3650 days, with no allowance for leap days.
constexpr long kValiditySeconds = 315360000L;

constexpr char kBasicConstraints[] = "CA:TRUE,pathlen:3";
constexpr char kNsCertType[] = "client,server,email,objsign,sslCA,emailCA,objCA";
constexpr char kKeyUsage[] =
    "digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,"
    "keyAgreement,keyCertSign,cRLSign";

// Requests and certificates are signed with SHA-256. MD5, which older tools
// used here, allows forged signatures and is no longer accepted by peers.
const EVP_MD* signing_digest() { return EVP_sha256(); }

// Mixes the current time (the whole time_t) into the random generator.
void seed_with_time() {
  time_t now = time(nullptr);
  RAND_seed(&now, sizeof now);
}

// A new RSA key with exponent 65537, or null. The EVP_PKEY interface
// replaces RSA_generate_key, which OpenSSL 3 deprecates.
EVP_PKEY* generate_rsa_key() {
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  BIGNUM* exponent = BN_new();
  if (ctx != nullptr && exponent != nullptr && BN_set_word(exponent, RSA_F4) == 1 &&
      EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, kRsaBits) > 0 &&
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, exponent) > 0) {
    if (EVP_PKEY_keygen(ctx, &key) <= 0) key = nullptr;
  }
  BN_free(exponent);
  EVP_PKEY_CTX_free(ctx);
  return key;
}

// Adjusts the guessed string type of a value for its attribute; false when
// the value is not allowed for the attribute at all.
bool req_fix_data(int nid, int* type) {
  if (nid == NID_pkcs9_emailAddress) {
    *type = V_ASN1_IA5STRING;
  } else if (nid == NID_commonName || nid == NID_pkcs9_challengePassword) {
    if (*type == V_ASN1_IA5STRING) *type = V_ASN1_T61STRING;
  } else if (nid == NID_pkcs9_unstructuredName) {
    if (*type == V_ASN1_T61STRING) return false;
    *type = V_ASN1_IA5STRING;
  }
  return true;
}

// One "attribute=value" entry of a subject or attribute text, resolved.
struct Entry {
  int nid;
  int type;
  std::string value;
};

// Splits a subject or attribute text into resolved entries; false at the
// first entry without "=", with an unknown attribute, or with a refused
// value.
bool parse_entries(const char* text, std::vector<Entry>* entries) {
  static const char kSeparators[] = "|\r\n";
  std::string copy(text);
  size_t pos = 0;
  while ((pos = copy.find_first_not_of(kSeparators, pos)) != std::string::npos) {
    size_t end = copy.find_first_of(kSeparators, pos);
    std::string entry = copy.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end;
    size_t eq = entry.find('=');
    if (eq == std::string::npos) return false;
    Entry e;
    e.nid = OBJ_txt2nid(entry.substr(0, eq).c_str());
    if (e.nid == NID_undef) return false;
    e.value = entry.substr(eq + 1);
    e.type = ASN1_PRINTABLE_type(reinterpret_cast<const unsigned char*>(e.value.data()),
                                 static_cast<int>(e.value.size()));
    if (!req_fix_data(e.nid, &e.type)) return false;
    entries->push_back(e);
  }
  return true;
}

// An unsigned request (version field 0) for the subject and attribute texts
// with the public half of `key`, or null.
X509_REQ* build_request(const char* subject, const char* attributes, EVP_PKEY* key) {
  std::vector<Entry> names, attrs;
  if (!parse_entries(subject, &names)) return nullptr;
  if (attributes != nullptr && !parse_entries(attributes, &attrs)) return nullptr;
  X509_REQ* req = X509_REQ_new();
  if (req == nullptr) return nullptr;
  bool ok = X509_REQ_set_version(req, 0) == 1;
  X509_NAME* name = X509_REQ_get_subject_name(req);
  for (size_t i = 0; ok && i < names.size(); ++i) {
    const Entry& e = names[i];
    X509_NAME_ENTRY* ne = X509_NAME_ENTRY_create_by_NID(
        nullptr, e.nid, e.type, reinterpret_cast<const unsigned char*>(e.value.data()),
        static_cast<int>(e.value.size()));
    // A set of 0 makes each entry its own relative distinguished name.
    ok = ne != nullptr && X509_NAME_add_entry(name, ne, -1, 0) == 1;
    X509_NAME_ENTRY_free(ne);
  }
  for (size_t i = 0; ok && i < attrs.size(); ++i) {
    const Entry& e = attrs[i];
    // Attribute values keep their terminating zero byte.
    ok = X509_REQ_add1_attr_by_NID(req, e.nid, e.type,
                                   reinterpret_cast<const unsigned char*>(e.value.c_str()),
                                   static_cast<int>(e.value.size()) + 1) == 1;
  }
  ok = ok && X509_REQ_set_pubkey(req, key) == 1;
  if (!ok) {
    X509_REQ_free(req);
    return nullptr;
  }
  return req;
}

// A certificate for the request's subject and key, issued under `issuer`
// and signed with `sign_key`, or null.
X509* make_certificate(X509_REQ* req, const X509_NAME* issuer, EVP_PKEY* sign_key,
                       const char* comment) {
  X509_NAME* subject = X509_REQ_get_subject_name(req);
  EVP_PKEY* public_key = X509_REQ_get0_pubkey(req);
  if (subject == nullptr || public_key == nullptr) return nullptr;
  X509* cert = X509_new();
  if (cert == nullptr) return nullptr;
  bool ok = X509_set_version(cert, 2) == 1 &&
            ASN1_INTEGER_set(X509_get_serialNumber(cert), 0) == 1 &&
            X509_set_issuer_name(cert, issuer) == 1 &&
            X509_set_subject_name(cert, subject) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert), 0) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert), kValiditySeconds) != nullptr &&
            X509_set_pubkey(cert, public_key) == 1 &&
            add_some_X509v3_extensions(cert, kBasicConstraints, kNsCertType, kKeyUsage,
                                       comment) == 0 &&
            X509_sign(cert, sign_key, signing_digest()) > 0;
  if (!ok) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

// OpenSSL 3 has its standard extensions registered from the start
// (X509V3_add_standard_extensions only answers 1) and no longer needs
// OBJ_cleanup, so only the table of added extension methods is cleared after
// use; this library adds none to it.
void clean_extension_tables() { X509V3_EXT_cleanup(); }

}  // namespace

int keygen(const char* subject, const char* attributes, const char* comment,
           EVP_PKEY** key, X509** cert, X509_REQ** req) {
  if (key != nullptr) *key = nullptr;
  if (cert != nullptr) *cert = nullptr;
  if (req != nullptr) *req = nullptr;

  seed_with_time();
  EVP_PKEY* pkey = generate_rsa_key();
  seed_with_time();
  if (pkey == nullptr) return -1;
  if (key != nullptr) *key = pkey;

  X509_REQ* request = subject != nullptr ? build_request(subject, attributes, pkey) : nullptr;
  bool ok = request != nullptr;
  if (ok && req != nullptr) {
    ok = X509_REQ_sign(request, pkey, signing_digest()) > 0;
    if (ok) *req = request;
  }
  if (ok && cert != nullptr) {
    *cert = make_certificate(request, X509_REQ_get_subject_name(request), pkey, comment);
    ok = *cert != nullptr;
  }

  if (req == nullptr || *req != request) X509_REQ_free(request);
  if (key == nullptr) EVP_PKEY_free(pkey);
  clean_extension_tables();
  return ok ? 0 : -1;
}

X509* certification_authority(X509* ca_cert, EVP_PKEY* ca_key, X509_REQ* req,
                              const char* comment) {
  if (ca_cert == nullptr || ca_key == nullptr || req == nullptr) return nullptr;
  X509* cert = make_certificate(req, X509_get_subject_name(ca_cert), ca_key, comment);
  clean_extension_tables();
  return cert;
}

int add_some_X509v3_extensions(X509* cert, const char* basic_constraints,
                               const char* ns_cert_type, const char* key_usage,
                               const char* ns_comment) {
  if (cert == nullptr) return -1;
  const struct {
    int nid;
    const char* value;
  } extensions[] = {
      {NID_basic_constraints, basic_constraints},
      {NID_netscape_cert_type, ns_cert_type},
      {NID_key_usage, key_usage},
      {NID_netscape_comment, ns_comment},
  };
  for (const auto& e : extensions) {
    if (e.value == nullptr) continue;
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, e.nid, e.value);
    if (ext == nullptr) return -1;
    int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    if (added != 1) return -1;
  }
  return 0;
}

int write_certificate(X509* cert, char** pem) {
  if (cert == nullptr || pem == nullptr) return -1;
  *pem = nullptr;
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return -1;
  int len = PEM_write_bio_X509(bio, cert) == 1 ? get_written_BIO_data(bio, pem) : -1;
  BIO_free(bio);
  return len;
}

int write_private_key(EVP_PKEY* key, const char* passphrase, char** pem) {
  if (key == nullptr || pem == nullptr) return -1;
  *pem = nullptr;
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return -1;
  int written;
  if (passphrase != nullptr) {
    size_t n = strlen(passphrase);
    written = n <= static_cast<size_t>(INT_MAX) &&
              PEM_write_bio_PrivateKey(bio, key, EVP_des_ede3_cbc(),
                                       reinterpret_cast<const unsigned char*>(passphrase),
                                       static_cast<int>(n), nullptr, nullptr) == 1;
  } else {
    written = PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  }
  int len = written ? get_written_BIO_data(bio, pem) : -1;
  BIO_free(bio);
  return len;
}

int get_written_BIO_data(BIO* bio, char** data) {
  if (data == nullptr) return -1;
  *data = nullptr;
  if (bio == nullptr) return -1;
  (void)BIO_flush(bio);
  char* contents = nullptr;
  long len = BIO_get_mem_data(bio, &contents);
  if (len < 0 || len >= INT_MAX) return -1;
  char* text = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
  if (text == nullptr) return -1;
  if (len > 0) memcpy(text, contents, static_cast<size_t>(len));
  text[len] = '\0';
  *data = text;
  return static_cast<int>(len);
}

namespace {

// Adds subjectAltName `alt_name` ("DNS:..." or "IP:...") to the certificate
// and signs it again with `sign_key`. 0 or -1.
int add_alt_name(X509* cert, const char* alt_name, EVP_PKEY* sign_key) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, alt_name);
  const bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1 &&
                  X509_sign(cert, sign_key, signing_digest()) > 0;
  X509_EXTENSION_free(ext);
  return ok ? 0 : -1;
}

// gen_certificate_, with a subjectAltName when `alt_name` is not null.
int generate(const char* name, const char* alt_name, char* cert_buf, char* key_buf,
             const char* ca_pem) {
  if (name == nullptr || cert_buf == nullptr || key_buf == nullptr) return -1;
  // Longer names would not fit the subject text; they are refused rather
  // than cut, so a certificate never carries a name other than the one asked.
  if (strlen(name) > static_cast<size_t>(kCertMaxNameLength)) return -1;
  char subject[kCertMaxNameLength + 4];
  snprintf(subject, sizeof subject, "CN=%s", name);

  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  X509_REQ* req = nullptr;
  X509* ca_cert = nullptr;
  EVP_PKEY* ca_key = nullptr;
  char* cert_pem = nullptr;
  char* key_pem = nullptr;
  int result = -1;

  if (keygen(subject, nullptr, "", &key, ca_pem == nullptr ? &cert : nullptr, &req) == 0) {
    bool ok = true;
    if (ca_pem != nullptr) {
      ca_cert = extract_certificate(ca_pem);
      ca_key = open_private_key(ca_pem, nullptr);
      ok = ca_cert != nullptr && ca_key != nullptr;
      if (ok) cert = certification_authority(ca_cert, ca_key, req, "");
    }
    if (ok && cert != nullptr && alt_name != nullptr) {
      ok = add_alt_name(cert, alt_name, ca_pem != nullptr ? ca_key : key) == 0;
    }
    int cert_len = ok && cert != nullptr ? write_certificate(cert, &cert_pem) : -1;
    int key_len = cert_len >= 0 ? write_private_key(key, nullptr, &key_pem) : -1;
    // Texts that do not fit the caller's buffers are refused whole; a cut
    // PEM block would be unreadable anyway.
    if (cert_len >= 0 && key_len >= 0 && cert_len < kCertPemBufferSize &&
        key_len < kCertPemBufferSize) {
      memcpy(cert_buf, cert_pem, static_cast<size_t>(cert_len) + 1);
      memcpy(key_buf, key_pem, static_cast<size_t>(key_len) + 1);
      result = 0;
    }
  }

  EVP_PKEY_free(key);
  X509_free(cert);
  X509_REQ_free(req);
  X509_free(ca_cert);
  EVP_PKEY_free(ca_key);
  free(cert_pem);
  free(key_pem);
  return result;
}

}  // namespace

int gen_certificate_(const char* name, char* cert_buf, char* key_buf, const char* ca_pem) {
  return generate(name, nullptr, cert_buf, key_buf, ca_pem);
}

int gen_server_certificate(const std::string& name, const std::string& host,
                           std::string& cert_pem, std::string& key_pem,
                           const std::string* ca_pem) {
  unsigned char address[16];
  const bool ip = inet_pton(AF_INET, host.c_str(), address) == 1 ||
                  inet_pton(AF_INET6, host.c_str(), address) == 1;
  // A host that would be read as more than one name is refused.
  if (host.empty() || host.find_first_of(",|\r\n") != std::string::npos) return -1;
  const std::string alt = (ip ? "IP:" : "DNS:") + host;
  std::vector<char> cert_buf(kCertPemBufferSize), key_buf(kCertPemBufferSize);
  if (generate(name.c_str(), alt.c_str(), cert_buf.data(), key_buf.data(),
               ca_pem ? ca_pem->c_str() : nullptr) != 0) {
    return -1;
  }
  cert_pem = cert_buf.data();
  key_pem = key_buf.data();
  return 0;
}

int gen_certificate(const std::string& name, std::string& cert_pem, std::string& key_pem,
                    const std::string* ca_pem) {
  std::vector<char> cert_buf(kCertPemBufferSize), key_buf(kCertPemBufferSize);
  int result = gen_certificate_(name.c_str(), cert_buf.data(), key_buf.data(),
                                ca_pem != nullptr ? ca_pem->c_str() : nullptr);
  if (result != -1) {
    cert_pem = cert_buf.data();
    key_pem = key_buf.data();
  }
  return result;
}
