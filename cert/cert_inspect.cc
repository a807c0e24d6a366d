// The reading side of the certificate library; see cert_inspect.h.

#include "cert/cert_inspect.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <stdexcept>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

namespace {

// Whether `text` and its terminator fit a caller buffer of `size` bytes.
bool fits(const char* text, int size) {
  return text != nullptr && strlen(text) < static_cast<size_t>(size);
}

// Copies `text` with its terminator; the caller has checked that it fits.
void copy_into(char* buf, const char* text) { memcpy(buf, text, strlen(text) + 1); }

// The one-line name starts each entry with "/". OpenSSL 3 writes a "/" or
// "+" inside a value as "\/" or "\+", so only a "/" without a backslash
// before it separates entries; reading it that way keeps a value holding
// "/" whole and keeps a value such as "x/CN=y" from passing for a CN entry.
bool is_separator(const std::string& name, size_t pos) {
  return name[pos] == '/' && (pos == 0 || name[pos - 1] != '\\');
}

// Where the entry value starting at `pos` ends: at the next separator or at
// the end of the name.
size_t entry_end(const std::string& name, size_t pos) {
  while (pos < name.size() && !is_separator(name, pos)) ++pos;
  return pos;
}

// The position of the value of the first CN entry, or npos.
size_t find_cn_value(const std::string& name) {
  static const std::string kTag = "/CN=";
  for (size_t pos = name.find(kTag); pos != std::string::npos; pos = name.find(kTag, pos + 1)) {
    if (is_separator(name, pos)) return pos + kTag.size();
  }
  return std::string::npos;
}

}  // namespace

// ---- Flat layer ----------------------------------------------------------

BIO* set_read_BIO_from_buf(const char* buf, int len) {
  if (buf == nullptr || len == 0 || len < -1) return nullptr;
  size_t n;
  if (len == -1) {
    n = strlen(buf);
    if (n == 0 || n > static_cast<size_t>(INT_MAX)) return nullptr;
  } else {
    n = static_cast<size_t>(len);
  }
  BUF_MEM* mem = BUF_MEM_new();
  if (mem == nullptr) return nullptr;
  if (BUF_MEM_grow(mem, n) != n) {
    BUF_MEM_free(mem);
    return nullptr;
  }
  memcpy(mem->data, buf, n);
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) {
    BUF_MEM_free(mem);
    return nullptr;
  }
  // The BIO takes the buffer over and frees it with itself.
  BIO_set_mem_buf(bio, mem, BIO_CLOSE);
  return bio;
}

X509* extract_certificate(const char* pem) {
  BIO* bio = set_read_BIO_from_buf(pem, -1);
  if (bio == nullptr) return nullptr;
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return cert;
}

EVP_PKEY* open_private_key(const char* pem, const char* passphrase) {
  BIO* bio = set_read_BIO_from_buf(pem, -1);
  if (bio == nullptr) return nullptr;
  // No callback of our own: OpenSSL's default one takes the user data as the
  // passphrase when it is given, so a wrong passphrase simply fails.
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr,
                                          const_cast<char*>(passphrase));
  BIO_free(bio);
  return key;
}

int64_t get_cert_names(X509* cert, char** subject, char** issuer) {
  if (subject != nullptr) *subject = nullptr;
  if (issuer != nullptr) *issuer = nullptr;
  if (cert == nullptr) return -1;
  if (subject != nullptr) {
    *subject = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
    if (*subject == nullptr) return -1;
  }
  if (issuer != nullptr) {
    *issuer = X509_NAME_oneline(X509_get_issuer_name(cert), nullptr, 0);
    if (*issuer == nullptr) return -1;
  }
  return ASN1_INTEGER_get(X509_get0_serialNumber(cert));
}

char* dotted_hex(const unsigned char* bytes, int count) {
  if (bytes == nullptr || count <= 0) return nullptr;
  size_t size = 3 * static_cast<size_t>(count) + 1;
  char* text = static_cast<char*>(malloc(size));
  if (text == nullptr) return nullptr;
  char* p = text;
  for (int i = 0; i < count; ++i) {
    snprintf(p, size - (p - text), "%02X:", bytes[i]);
    p += 3;
  }
  // The separator after the last byte becomes the terminator.
  p[-1] = '\0';
  return text;
}

int get_cert_fp(X509* cert, char** fp) {
  if (fp == nullptr) return -1;
  *fp = nullptr;
  if (cert == nullptr) return -1;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(cert, EVP_sha1(), md, &n) != 1 || n == 0) return -1;
  *fp = dotted_hex(md, static_cast<int>(n));
  return *fp == nullptr ? -1 : 0;
}

int64_t get_certificate_names_(const char* pem, char* subject, char* issuer) {
  X509* cert = extract_certificate(pem);
  if (cert == nullptr) return -1;
  char* s = nullptr;
  char* i = nullptr;
  int64_t result = get_cert_names(cert, subject != nullptr ? &s : nullptr,
                                  issuer != nullptr ? &i : nullptr);
  X509_free(cert);
  // Both names are checked before either is copied, so a refusal leaves the
  // caller's buffers as they were.
  if ((s != nullptr && !fits(s, kCertNameBufferSize)) ||
      (i != nullptr && !fits(i, kCertNameBufferSize))) {
    result = -1;
  } else {
    if (s != nullptr) copy_into(subject, s);
    if (i != nullptr) copy_into(issuer, i);
  }
  OPENSSL_free(s);
  OPENSSL_free(i);
  return result;
}

int get_certificate_fp_(const char* pem, char* fp) {
  if (fp == nullptr) return -1;
  X509* cert = extract_certificate(pem);
  if (cert == nullptr) return -1;
  char* text = nullptr;
  int result = get_cert_fp(cert, &text);
  X509_free(cert);
  if (result == 0) {
    if (fits(text, kCertFingerprintBufferSize)) {
      copy_into(fp, text);
    } else {
      result = -1;
    }
  }
  free(text);
  return result;
}

int check_certificate_time_(const char* pem) {
  X509* cert = extract_certificate(pem);
  if (cert == nullptr) return -1;
  time_t now = time(nullptr);
  // X509_cmp_time gives 0 for a field it cannot read; both comparisons then
  // fall to "not valid".
  int result = 0;
  if (X509_cmp_time(X509_get0_notBefore(cert), &now) < 0 &&
      X509_cmp_time(X509_get0_notAfter(cert), &now) > 0) {
    result = 1;
  }
  X509_free(cert);
  return result;
}

int verify_cerificate_(const char* issuer_pem, const char* cert_pem) {
  X509* issuer = extract_certificate(issuer_pem);
  if (issuer == nullptr) return -1;
  X509* cert = extract_certificate(cert_pem);
  if (cert == nullptr) {
    X509_free(issuer);
    return -1;
  }
  int result = -1;
  EVP_PKEY* key = X509_get_pubkey(issuer);
  if (key != nullptr) {
    // Old certificates were signed with MD5; registering it keeps them
    // checkable. Today's SHA-256 signatures need nothing registered.
    EVP_add_digest(EVP_md5());
    result = X509_verify(cert, key);
    if (result < 0) result = -1;
    EVP_PKEY_free(key);
  }
  X509_free(cert);
  X509_free(issuer);
  return result;
}

// ---- String layer --------------------------------------------------------

std::string get_app_id_from_cert(const std::string& pem) {
  // The identity is read from the certificate object rather than through
  // get_certificate_names: that one answers -1 whenever the serial number
  // does not fit a signed 64-bit integer, and certificates made by
  // `openssl req -x509` carry 16 to 20 random serial bytes. The identity only
  // needs a readable certificate and subject, whatever the serial.
  X509* cert = extract_certificate(pem.c_str());
  if (cert == nullptr) throw std::runtime_error("get certificate name");
  char* subject = nullptr;
  get_cert_names(cert, &subject, nullptr);
  X509_free(cert);
  if (subject == nullptr) throw std::runtime_error("get certificate name");
  std::string name(subject);
  OPENSSL_free(subject);

  // A subject without a CN has no identity to offer; failing here stops the
  // run with a clear error instead of carrying on with an empty identity.
  size_t start = find_cn_value(name);
  if (start == std::string::npos) throw std::runtime_error("get certificate name");
  return name.substr(start, entry_end(name, start) - start);
}

int64_t get_certificate_names(const std::string& pem, std::string* subject,
                              std::string* issuer) {
  std::vector<char> s(subject != nullptr ? kCertNameBufferSize : 0);
  std::vector<char> i(issuer != nullptr ? kCertNameBufferSize : 0);
  int64_t result = get_certificate_names_(pem.c_str(), subject != nullptr ? s.data() : nullptr,
                                          issuer != nullptr ? i.data() : nullptr);
  if (result != -1) {
    if (subject != nullptr) *subject = s.data();
    if (issuer != nullptr) *issuer = i.data();
  }
  return result;
}

int get_certificate_fp(const std::string& pem, std::string& fp) {
  char buf[kCertFingerprintBufferSize];
  int result = get_certificate_fp_(pem.c_str(), buf);
  if (result != -1) fp = buf;
  return result;
}

int check_certificate_time(const std::string& pem) {
  return check_certificate_time_(pem.c_str());
}

int verify_certificate(const std::string& issuer_pem, const std::string& cert_pem) {
  return verify_cerificate_(issuer_pem.c_str(), cert_pem.c_str());
}
