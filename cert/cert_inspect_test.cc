// Tests of the reading side of the certificate library. Certificates are
// built here with plain OpenSSL calls, so each test controls exactly the
// subject, serial and validity it needs.

#include "cert/cert_inspect.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/rsa.h>

#include "cert/cert_gen.h"
#include "test_support/test_util.h"

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr char kOpenssl[] = "/usr/bin/openssl";

KeyPtr new_key() { return KeyPtr(EVP_RSA_gen(2048), EVP_PKEY_free); }

// The PEM text that one of the library's writers allocated, released.
std::string take(int len, char** pem) {
  EXPECT_GT(len, 0);
  std::string out(*pem != nullptr ? *pem : "");
  free(*pem);
  return out;
}

// What make_cert builds: subject values are stored as raw UTF8String bytes,
// times are seconds from now, the serial is big-endian bytes.
struct CertParts {
  std::vector<std::pair<std::string, std::string>> subject = {{"CN", "app"}};
  long not_before = -60, not_after = 3600;
  std::vector<unsigned char> serial = {0x01};
};

// A certificate for `key` signed by `signer` (default: self-signed), as PEM.
std::string make_cert(EVP_PKEY* key, const CertParts& parts, EVP_PKEY* signer = nullptr) {
  CertPtr x(X509_new(), X509_free);
  X509_NAME* name = X509_get_subject_name(x.get());
  for (const auto& [field, value] : parts.subject) {
    X509_NAME_add_entry_by_txt(name, field.c_str(), V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<int>(value.size()), -1, 0);
  }
  BIGNUM* bn = BN_bin2bn(parts.serial.data(), static_cast<int>(parts.serial.size()), nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x.get()));
  BN_free(bn);
  X509_set_issuer_name(x.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), parts.not_before);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), parts.not_after);
  X509_set_pubkey(x.get(), key);
  EXPECT_GT(X509_sign(x.get(), signer ? signer : key, EVP_sha256()), 0);
  char* pem = nullptr;
  int len = write_certificate(x.get(), &pem);
  return take(len, &pem);
}

std::string key_pem(EVP_PKEY* key) {
  char* pem = nullptr;
  int len = write_private_key(key, nullptr, &pem);
  return take(len, &pem);
}

std::string app_id_or_error(const std::string& pem) {
  try {
    return get_app_id_from_cert(pem);
  } catch (const std::runtime_error& e) {
    return std::string("throws: ") + e.what();
  }
}

}  // namespace

TEST(CertInspect, ReadBioHoldsAPrivateCopy) {
  char text[] = "abcdef";
  const struct { const char* buf; int len; const char* want; } cases[] = {
      {text, -1, "abcdef"}, {text, 3, "abc"},      {text, 0, nullptr},
      {"", -1, nullptr},    {nullptr, 5, nullptr},
  };
  for (const auto& c : cases) {
    BIO* bio = set_read_BIO_from_buf(c.buf, c.len);
    ASSERT_EQ(c.want == nullptr, bio == nullptr) << (c.buf ? c.buf : "(null)") << " " << c.len;
    if (bio == nullptr) continue;
    text[0] = 'X';  // the BIO must not see later changes to the caller's text
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    EXPECT_EQ(c.want, std::string(data, n));
    BIO_free(bio);
    text[0] = 'a';
  }
}

TEST(CertInspect, ReadersTakeTheirBlockInEitherOrder) {
  KeyPtr key = new_key();
  std::string cert = make_cert(key.get(), CertParts()), priv = key_pem(key.get());
  for (const std::string& pem : {priv + "junk\n" + cert, cert + priv}) {
    CertPtr x(extract_certificate(pem.c_str()), X509_free);
    KeyPtr k(open_private_key(pem.c_str(), nullptr), EVP_PKEY_free);
    ASSERT_TRUE(x && k) << pem;
    EXPECT_EQ(1, X509_check_private_key(x.get(), k.get()));
    EXPECT_EQ("app", get_app_id_from_cert(pem));
  }
  // Texts without a readable certificate.
  for (const std::string& pem : {std::string(), std::string("no pem"), priv, cert.substr(0, 400)}) {
    EXPECT_EQ(nullptr, extract_certificate(pem.c_str())) << pem;
    std::string subject = "old", fp = "old";
    EXPECT_EQ(-1, get_certificate_names(pem, &subject, nullptr));
    EXPECT_EQ(-1, get_certificate_fp(pem, fp));
    EXPECT_EQ("old", subject);
    EXPECT_EQ("old", fp);
    EXPECT_EQ(-1, check_certificate_time(pem));
    EXPECT_EQ("throws: get certificate name", app_id_or_error(pem));
  }
  EXPECT_EQ(nullptr, extract_certificate(nullptr));
  char* s = reinterpret_cast<char*>(1);
  EXPECT_EQ(-1, get_cert_names(nullptr, &s, nullptr));
  EXPECT_EQ(nullptr, s);
}

TEST(CertInspect, AppIdentityIsTheFirstCommonName) {
  const std::string kThrows = "throws: get certificate name";
  const struct { const char* label; CertParts parts; std::string want; } cases[] = {
      {"CN last", {{{"O", "Org"}, {"CN", "billing"}}}, "billing"},
      {"CN, email", {{{"CN", "billing"}, {"emailAddress", "ops@example.org"}}}, "billing"},
      {"two CNs", {{{"CN", "first"}, {"CN", "second"}}}, "first"},
      {"empty CN", {{{"CN", ""}, {"O", "Org"}}}, ""},
      {"spaces kept", {{{"CN", " Billing App "}}}, " Billing App "},
      {"non-ASCII", {{{"CN", "Zo\xC3\xAB"}}}, "Zo\\xC3\\xAB"},
      // OpenSSL 3 writes "/" and "+" in values escaped; they stay escaped.
      {"slash in CN", {{{"CN", "bill/ing"}, {"O", "Org"}}}, "bill\\/ing"},
      {"plus in CN", {{{"CN", "a+b"}}}, "a\\+b"},
      {"CN text in O", {{{"O", "x/CN=y"}}}, kThrows},
      {"CN text in O, CN", {{{"O", "x/CN=y"}, {"CN", "real"}}}, "real"},
      {"no CN", {{{"O", "Org"}, {"OU", "Unit"}}}, kThrows},
      {"empty subject", {{}}, kThrows},
  };
  KeyPtr key = new_key();
  for (const auto& c : cases) {
    EXPECT_EQ(c.want, app_id_or_error(make_cert(key.get(), c.parts))) << c.label;
  }
}

TEST(CertInspect, SerialNumbers) {
  const struct { std::vector<unsigned char> serial; int64_t want; } cases[] = {
      {{0x00}, 0},
      {{0x01, 0x00}, 256},
      {{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, INT64_MAX},
      {{0x01, 0, 0, 0, 0, 0, 0, 0, 0}, -1},
      {std::vector<unsigned char>(20, 0x5A), -1},
  };
  KeyPtr key = new_key();
  for (const auto& c : cases) {
    std::string pem = make_cert(key.get(), {{{"CN", "serial"}}, -60, 60, c.serial});
    std::string subject = "unchanged";
    EXPECT_EQ(c.want, get_certificate_names(pem, &subject, nullptr)) << c.serial.size();
    EXPECT_EQ(c.want == -1 ? "unchanged" : "/CN=serial", subject);
    EXPECT_EQ(c.want, get_certificate_names(pem, nullptr, nullptr));
    EXPECT_EQ("serial", app_id_or_error(pem));  // whatever the serial
  }

  // The command line gives certificates random serials of up to 20 bytes.
  if (access(kOpenssl, X_OK) != 0) GTEST_SKIP() << "no " << kOpenssl;
  testutil::TempDir dir;
  testutil::ProcResult r = testutil::run_process(
      {kOpenssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir.file("k.pem"),
       "-out", dir.file("c.pem"), "-subj", "/CN=payroll/O=Example", "-days", "2"});
  ASSERT_EQ(0, r.status) << r.err;
  std::string pem = testutil::read_file(dir.file("c.pem")) + testutil::read_file(dir.file("k.pem"));
  EXPECT_EQ(-1, get_certificate_names(pem, nullptr, nullptr));
  EXPECT_EQ("payroll", get_app_id_from_cert(pem));
}

TEST(CertInspect, NameBuffersRefuseWhatDoesNotFit) {
  KeyPtr key = new_key();
  // "/CN=" and the value: 1023 characters fit a name buffer, 1024 do not.
  for (size_t length : {1023u, 1024u}) {
    std::string pem = make_cert(key.get(), {{{"CN", std::string(length - 4, 'n')}}});
    std::vector<char> subject(kCertNameBufferSize + 16, '#'), issuer(subject);
    int64_t got = get_certificate_names_(pem.c_str(), subject.data(), issuer.data());
    if (length == 1023) {
      EXPECT_EQ(1, got);
      std::string written(issuer.data(), strnlen(issuer.data(), issuer.size()));
      EXPECT_EQ("/CN=" + std::string(1019, 'n'), written);
    } else {
      EXPECT_EQ(-1, got);
      EXPECT_EQ('#', subject[0]);  // refused whole: nothing written
    }
    EXPECT_EQ(std::string(16, '#'), std::string(&subject[kCertNameBufferSize], 16));
  }
}

TEST(CertInspect, FingerprintIsTheSha1OfTheCertificate) {
  const struct { std::vector<unsigned char> bytes; const char* want; } hex_cases[] = {
      {{0x00}, "00"}, {{0xAB, 0x01}, "AB:01"}, {{0xFF, 0x0A, 0xC3}, "FF:0A:C3"},
  };
  for (const auto& c : hex_cases) {
    char* got = dotted_hex(c.bytes.data(), static_cast<int>(c.bytes.size()));
    EXPECT_STREQ(c.want, got);
    free(got);
  }
  EXPECT_EQ(nullptr, dotted_hex(nullptr, 1));
  EXPECT_EQ(nullptr, dotted_hex(hex_cases[0].bytes.data(), 0));

  if (access(kOpenssl, X_OK) != 0) GTEST_SKIP() << "no " << kOpenssl;
  KeyPtr key = new_key();
  testutil::TempDir dir;
  std::string pem = make_cert(key.get(), CertParts()), fp;
  ASSERT_EQ(0, get_certificate_fp(pem, fp));
  ASSERT_EQ(59u, fp.size()) << fp;
  for (size_t i = 0; i < fp.size(); ++i) {
    EXPECT_TRUE(i % 3 == 2 ? fp[i] == ':' : strchr("0123456789ABCDEF", fp[i]) != nullptr) << fp;
  }
  testutil::ProcResult r = testutil::run_process(
      {kOpenssl, "x509", "-noout", "-fingerprint", "-sha1", "-in", dir.write("c.pem", pem)});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(r.out.substr(r.out.find('=') + 1), fp + "\n");
}

TEST(CertInspect, ValidityPeriod) {
  const struct { long not_before, not_after; int want; } cases[] = {
      {-60, 3600, 1}, {3600, 7200, 0}, {-7200, -60, 0},
  };
  KeyPtr key = new_key();
  for (const auto& c : cases) {
    EXPECT_EQ(c.want, check_certificate_time(make_cert(key.get(), {{}, c.not_before, c.not_after})))
        << c.not_before << ".." << c.not_after;
  }
}

TEST(CertInspect, VerifySignature) {
  KeyPtr key = new_key(), other = new_key();
  std::string self = make_cert(key.get(), CertParts());
  std::string unrelated = make_cert(other.get(), CertParts());
  std::string issued = make_cert(other.get(), CertParts(), key.get());  // signed with `key`
  const struct { const char* label; std::string issuer, cert; int want; } cases[] = {
      {"self", self, self, 1},          {"unrelated", unrelated, self, 0},
      {"issued", self, issued, 1},      {"issued, own key", issued, issued, 0},
      {"garbage issuer", "x", self, -1}, {"garbage cert", self, "", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, verify_certificate(c.issuer, c.cert)) << c.label;
}
