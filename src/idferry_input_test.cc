// Bad or unusual local input, end to end: certificate files and mapfiles
// that are not what they should be, logins with characters that mean
// something in XML or lie outside ASCII, and secrets that must never reach
// the program's output.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "cert/cert_gen.h"
#include "cert/cert_inspect.h"
#include "src/SSOClient/SSOClient.h"
#include "test_support/migration_fixture.h"
#include "test_support/test_util.h"

namespace {

using testutil::Migration;
using testutil::ProcResult;

ProcResult Idferry(const std::string& from, const std::string& to,
                   std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {IDFERRY_BIN, "auto", "--app-from-cert", from, "--app-to-cert",
                                   to, "--sso-from-url=https://127.0.0.1:1/",
                                   "--sso-to-url=https://127.0.0.1:2/"};
  args.insert(args.end(), extra.begin(), extra.end());
  return testutil::run_process(args);
}

TEST(IdferryInput, CertificateFilesThatAreNotCertificateFiles) {
  testutil::TempDir dir;
  const std::string good = dir.write("good.pem", testutil::app_cert_pem("app-one"));
  const std::string fifo = dir.file("fifo");  // nobody writes to it
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const std::string huge = dir.write("huge.pem", "x");
  ASSERT_EQ(0, truncate(huge.c_str(), (1LL << 30) + 1));  // sparse: no disk used
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 7919) & 0xff));
  struct Case {
    const char* name;
    std::string path;
    int status;
    std::string err;
  } cases[] = {
      {"FIFO", fifo, 10, "Certificate file is not readable\n"},
      {"device", "/dev/zero", 10, "Certificate file is not readable\n"},
      {"directory", dir.path(), 10, "Certificate file is not readable\n"},
      {"over 1 GiB", huge, 10,
       "File " + huge + " is too big!\nCertificate file is not readable\n"},
      {"empty", dir.write("empty.pem", ""), 1, "Runtime error: get certificate name\n"},
      {"binary", dir.write("binary.pem", binary), 1, "Runtime error: get certificate name\n"},
  };
  for (const Case& c : cases) {
    ProcResult r = Idferry(good, c.path);
    EXPECT_EQ(c.status, r.status) << c.name;
    EXPECT_EQ(c.err, r.err) << c.name;
    EXPECT_EQ("", r.out) << c.name;
  }
}

// The key of an application certificate file is encrypted after all: no
// passphrase is ever asked for; the client goes on without a client
// certificate and the service refuses it.
TEST(IdferryInput, EncryptedKeyIsRefusedWithoutAPrompt) {
  Migration m({}, {}, /*plain_target=*/true);
  std::string cert, key;
  ASSERT_EQ(0, gen_certificate("app-src", cert, key, nullptr));
  BIO* bio = BIO_new_mem_buf(key.data(), static_cast<int>(key.size()));
  EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char*>(""));
  BIO_free(bio);
  ASSERT_NE(nullptr, pkey);
  char* encrypted = nullptr;
  ASSERT_GT(write_private_key(pkey, "secret", &encrypted), 0);
  EVP_PKEY_free(pkey);
  testutil::TempDir dir;
  const std::string file = dir.write("encrypted.pem", cert + encrypted);
  free(encrypted);
  m.from_cert = file;
  ProcResult r = m.Run("auto");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.err.find("ERROR: (SOAP-ENV:Sender) ")) << r.err;
  EXPECT_EQ("", r.out);
}

TEST(IdferryInput, UnusualMapfiles) {
  Migration m;
  testutil::TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  for (const std::string& path : {fifo, std::string("/dev/zero"), dir.path()}) {
    ProcResult r = m.Run("map", {"--mapfile", path});
    EXPECT_EQ(1, r.status) << path;
    EXPECT_EQ("ERROR: can't read map file " + path + "\n", r.err) << path;
  }
  // Words with NUL bytes, bytes above 127 and 100,000 bytes are words like
  // any other: here none names a source user.
  const std::string nul("n\0l", 3), high = "\xe9t\xe9", longword(100000, 'w');
  ProcResult r = m.Run("map", {"--mapfile", dir.write("odd", nul + " a\n" + high + " b\n" +
                                                                 longword + " c\n")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("ERROR: Wrong old login in mapfile (" + nul + ")\n" +
                "ERROR: Wrong old login in mapfile (" + high + ")\n" +
                "ERROR: Wrong old login in mapfile (" + longword + ")\n" +
                "Mapfile contain unmatched logins\n",
            r.err);
  EXPECT_EQ(3u, m.target->users().size());
}

// Logins are bytes: XML's special characters, a space, Latin-1 and UTF-8
// bytes all arrive on the target exactly as the source holds them, and their
// users log in there with their passwords.
TEST(IdferryInput, LoginsArriveByteForByte) {
  const std::vector<std::vector<std::string>> users = {
      {"s-1", "a&b<c>\"'", "pw-1"},
      {"s-2", "two words", "pw-2"},
      {"s-3", "caf\xe9", "pw-3"},
      {"s-4", "\xc3\xa9t\xc3\xa9", "pw-4"},
      {"s-5", "tab\\there", "pw-5"},  // an escaped tab in the seed file
  };
  Migration m({}, {}, /*plain_target=*/true, users);
  testutil::TempDir dir;
  ProcResult r = m.Run("map", {"--mapfile", dir.write("map", "caf\xe9 caf\xe9-2\n")});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  std::map<std::string, standin::UserRecord> migrated = m.Migrated();
  for (const char* login : {"a&b<c>\"'", "two words", "caf\xe9-2", "\xc3\xa9t\xc3\xa9",
                            "tab\there"}) {
    EXPECT_EQ(1u, migrated.count(login)) << login;
  }
  EXPECT_EQ(5u, migrated.size());
  const std::string cert = testutil::app_cert_pem("app-tgt");
  SSOClient target(m.target->url(), &cert);
  EXPECT_FALSE(target.authenticate("caf\xe9-2", "pw-3"));
  EXPECT_FALSE(target.authenticate("a&b<c>\"'", "pw-1"));
}

// Password hashes and private keys never appear in what the program writes,
// in a verbose run nor when it fails.
TEST(IdferryInput, SecretsStayOutOfTheOutput) {
  Migration m({}, {"createUser\t4\tfault\tReceiver\tsso:internalError\tstore failed"});
  ProcResult failing = m.Run("auto", {"--verbose", "--cleanup"});
  EXPECT_EQ(1, failing.status);
  Migration ok;
  ProcResult verbose = ok.Run("auto", {"--verbose"});
  EXPECT_EQ(0, verbose.status) << verbose.err;
  std::vector<std::string> secrets;
  for (const Migration* run : {&m, &ok}) {
    for (const standin::UserRecord& u : run->source_before) {
      secrets.push_back(u.password_hash);
      secrets.push_back(u.password_hash.substr(u.password_hash.find('$') + 1));
    }
    // Each base64 line of both private keys.
    for (const std::string& file : {run->from_cert, run->to_cert}) {
      const std::string pem = testutil::read_file(file);
      const size_t begin = pem.find("PRIVATE KEY-----\n");
      ASSERT_NE(std::string::npos, begin);
      size_t pos = begin + 17;
      for (size_t end; (end = pem.find('\n', pos)) != std::string::npos && pem[pos] != '-';
           pos = end + 1) {
        secrets.push_back(pem.substr(pos, end - pos));
      }
    }
  }
  ASSERT_GT(secrets.size(), 20u);
  for (const ProcResult* r : {&failing, &verbose}) {
    for (const std::string& secret : secrets) {
      EXPECT_EQ(std::string::npos, r->out.find(secret)) << secret;
      EXPECT_EQ(std::string::npos, r->err.find(secret)) << secret;
    }
  }
}

}  // namespace
