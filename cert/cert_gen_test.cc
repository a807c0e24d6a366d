// Tests of the issuing side of the certificate library, checked with
// OpenSSL's own readers and printers.

#include "cert/cert_gen.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "cert/cert_inspect.h"
#include "test_support/test_util.h"

namespace {

// OpenSSL's printing of the certificate, without its times, key and
// signature and without indentation, with the string type of each value.
std::string printed(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  X509_print_ex(bio, cert, XN_FLAG_SEP_COMMA_PLUS | ASN1_STRFLGS_SHOW_TYPE,
                X509_FLAG_NO_HEADER | X509_FLAG_NO_VALIDITY | X509_FLAG_NO_PUBKEY |
                    X509_FLAG_NO_SIGDUMP | X509_FLAG_NO_AUX);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::istringstream text(std::string(data, n));
  BIO_free(bio);
  std::string out;
  for (std::string line; std::getline(text, line);) {
    out += line.erase(0, line.find_first_not_of(' ')) + "\n";
  }
  return out;
}

// printed() of every certificate made here: v3, serial 0, and four
// extensions, none critical; nsComment is an empty IA5String, which OpenSSL
// shows as its two DER bytes.
std::string made_here(const std::string& sig, const std::string& issuer,
                      const std::string& subject) {
  return "Version: 3 (0x2)\nSerial Number: 0 (0x0)\nSignature Algorithm: " + sig +
         "\nIssuer: " + issuer + "\nSubject: " + subject +
         "\nX509v3 extensions:\nX509v3 Basic Constraints: \nCA:TRUE, pathlen:3\nNetscape Cert "
         "Type: \nSSL Client, SSL Server, S/MIME, Object Signing, SSL CA, S/MIME CA, Object "
         "Signing CA\nX509v3 Key Usage: \nDigital Signature, Non Repudiation, Key Encipherment, "
         "Data Encipherment, Key Agreement, Certificate Sign, CRL Sign\nNetscape Comment: \n..\n";
}

}  // namespace

// Each name makes an application certificate ("CN=" and the name are its
// subject text), self-signed or under a CA. Subject "": the name or the CA is
// refused, leaving both buffers alone. Issuer "": self-signed.
TEST(CertGen, ApplicationCertificates) {
  std::string ca, ca_key;
  ASSERT_EQ(0, gen_certificate("Issuing CA", ca, ca_key, nullptr));
  const std::string& other = testutil::app_cert_pem("Issuing CA");  // the same name, another key
  const std::string ca_text = ca_key + ca, longest(kCertMaxNameLength, 'n');
  const std::string small_ca = testutil::self_signed_pem({{"GN", "g"}});
  // Under this CA the issued certificate's text outgrows its buffer.
  const std::string big_ca = testutil::self_signed_pem({{"GN", std::string(3000, 'g')}});
  const struct {
    std::string name;
    const char* ca;
    std::string subject, issuer = "", sig = "sha256WithRSAEncryption";
  } cases[] = {
      {"a|O=b", nullptr, "CN=PRINTABLESTRING:a,O=PRINTABLESTRING:b"},
      {"a\r\n\nO=b|", nullptr, "CN=PRINTABLESTRING:a,O=PRINTABLESTRING:b"},
      {"a=b|commonName=c|2.5.4.10=", nullptr,
       "CN=PRINTABLESTRING:a=b,CN=PRINTABLESTRING:c,O=PRINTABLESTRING:"},
      {"under_score|O=under_score|emailAddress=Plain", nullptr,
       "CN=T61STRING:under_score,O=IA5STRING:under_score,emailAddress=IA5STRING:Plain"},
      {"caf\xC3\xA9|unstructuredName=Plain|challengePassword=pass_word", nullptr,
       "CN=T61STRING:caf\xC3\xA9,unstructuredName=IA5STRING:Plain,"
       "challengePassword=T61STRING:pass_word"},
      {"a|unstructuredName=caf\xC3\xA9", nullptr, ""},  // would need T61String
      {"a|junk", nullptr, ""}, {"a|NoSuchAttr=b", nullptr, ""}, {"a|=b", nullptr, ""},
      {longest, nullptr, "CN=PRINTABLESTRING:" + longest}, {longest + "n", nullptr, ""},
      {"payroll", ca_text.c_str(), "CN=PRINTABLESTRING:payroll", "CN=PRINTABLESTRING:Issuing CA"},
      {"small CA", small_ca.c_str(), "CN=PRINTABLESTRING:small CA", "GN=UTF8STRING:g",
       "ecdsa-with-SHA256"},
      {"big CA", big_ca.c_str(), ""},   {"cert only", ca.c_str(), ""},
      {"key only", ca_key.c_str(), ""}, {"garbage", "garbage", ""},
  };
  for (const auto& c : cases) {
    std::vector<char> cert_buf(kCertPemBufferSize, '#'), key_buf(cert_buf);
    const int got = gen_certificate_(c.name.c_str(), cert_buf.data(), key_buf.data(), c.ca);
    EXPECT_EQ(c.subject.empty() ? -1 : 0, got) << c.name;
    const std::string cert(cert_buf.begin(), cert_buf.end());
    const std::string key_pem(key_buf.begin(), key_buf.end());
    EXPECT_EQ(got != 0, cert + key_pem == std::string(2 * cert.size(), '#')) << c.name;
    if (got != 0) continue;
    X509* x = extract_certificate(cert.c_str());
    EVP_PKEY* key = open_private_key(key_pem.c_str(), nullptr);
    EXPECT_EQ(made_here(c.sig, c.issuer.empty() ? c.subject : c.issuer, c.subject), printed(x))
        << c.name;
    EXPECT_EQ(1, verify_certificate(c.ca != nullptr ? c.ca : cert, cert)) << c.name;
    // An RSA key cannot check the ECDSA signature of the small CA.
    const int other_key = c.ca == small_ca.c_str() ? -1 : 0;
    EXPECT_EQ(c.ca != nullptr ? other_key : 1, verify_certificate(cert, cert)) << c.name;
    EXPECT_EQ(other_key, verify_certificate(other, cert)) << c.name;  // the CA's name, other key
    EXPECT_EQ(1, check_certificate_time(cert)) << c.name;
    int days = -1, secs = -1;
    ASN1_TIME_diff(&days, &secs, X509_get0_notBefore(x), X509_get0_notAfter(x));
    EXPECT_EQ(3650 * 86400, days * 86400 + secs) << c.name;
    EXPECT_EQ(2048, EVP_PKEY_get_bits(key)) << c.name;
    // OpenSSL 3 at its default security level takes the pair for a TLS
    // client, and would refuse a key that is not the certificate's.
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    EXPECT_EQ(1, SSL_CTX_use_cert_and_key(ctx, x, key, nullptr, 1)) << c.name;
    SSL_CTX_free(ctx);
    X509_free(x);
    EVP_PKEY_free(key);
  }
  EXPECT_EQ(-1, verify_certificate("no issuer", ca));
  EXPECT_EQ(-1, verify_certificate(ca, "no certificate"));
}
