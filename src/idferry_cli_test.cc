// Runs the built idferry binary and checks what an operator sees: exit
// statuses, standard output and standard error, byte for byte.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/test_util.h"

namespace {

using testutil::ProcResult;

ProcResult Idferry(std::vector<std::string> args) {
  args.insert(args.begin(), IDFERRY_BIN);
  return testutil::run_process(args);
}

std::vector<std::string> AutoArgs(const std::string& from, const std::string& to,
                             std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"auto", "--app-from-cert", from, "--app-to-cert", to,
                                   "--sso-from-url=https://127.0.0.1:1/",
                                   "--sso-to-url=https://127.0.0.1:2/"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

const char kLoadingLines[] =
    "Checking certificates...\n"
    "Loading 'from' application certificate\n";

TEST(IdferryCli, CommandLineStatuses) {
  ProcResult help = Idferry({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("Brelmont SSO users migration utility.\n\nUsage: idferry"));
  EXPECT_EQ("", help.err);

  ProcResult bad = Idferry({"--foo"});
  EXPECT_EQ(10, bad.status);
  EXPECT_EQ("Unable to parse command line: unrecognised option '--foo'\n", bad.err);
  EXPECT_EQ(help.out, bad.out);

  ProcResult none = Idferry({});
  EXPECT_EQ(10, none.status);
  EXPECT_EQ("One or more required arguments missed\n", none.err);
  EXPECT_EQ("", none.out);
}

TEST(IdferryCli, UnreadableCertificateFilesEndWithStatus10) {
  testutil::TempDir dir;
  std::string good = dir.write("good.pem", testutil::app_cert_pem("app-one"));
  struct Case {
    const char* name;
    std::string from, to;
    std::string verbose_err;  // with --verbose; without it only the last line
  } cases[] = {
      {"missing source", dir.file("missing.pem"), good, kLoadingLines},
      {"empty source path", "", good, kLoadingLines},
      {"source is a directory", dir.path(), good, kLoadingLines},
      {"missing target", good, dir.file("missing.pem"),
       std::string(kLoadingLines) +
           "'from' application certificate loaded\n"
           "Loading 'to' application certificate\n"},
  };
  for (const Case& c : cases) {
    ProcResult quiet = Idferry(AutoArgs(c.from, c.to));
    EXPECT_EQ(10, quiet.status) << c.name;
    EXPECT_EQ("Certificate file is not readable\n", quiet.err) << c.name;
    EXPECT_EQ("", quiet.out) << c.name;

    ProcResult verbose = Idferry(AutoArgs(c.from, c.to, {"--verbose"}));
    EXPECT_EQ(10, verbose.status) << c.name;
    EXPECT_EQ(c.verbose_err + "Certificate file is not readable\n", verbose.err) << c.name;
    EXPECT_EQ("", verbose.out) << c.name;
  }
}

TEST(IdferryCli, CertificatesWithoutIdentityAreRuntimeErrors) {
  testutil::TempDir dir;
  std::string good = dir.write("good.pem", testutil::app_cert_pem("app-one"));
  std::string garbage = dir.write("garbage.pem", "-----BEGIN CERTIFICATE-----\nxyz\n");
  std::string key_only = dir.write("empty.pem", "");
  std::string no_cn = dir.write(
      "nocn.pem", testutil::self_signed_pem({{"O", "Brelmont"}, {"OU", "apps"}}));
  for (const std::string& bad : {garbage, key_only, no_cn}) {
    ProcResult r = Idferry(AutoArgs(good, bad));
    EXPECT_EQ(1, r.status) << bad;
    EXPECT_EQ("Runtime error: get certificate name\n", r.err) << bad;
    EXPECT_EQ("", r.out) << bad;
  }
  ProcResult verbose = Idferry(AutoArgs(no_cn, good, {"-v"}));
  EXPECT_EQ(1, verbose.status);
  EXPECT_EQ(std::string(kLoadingLines) +
                "'from' application certificate loaded\n"
                "Loading 'to' application certificate\n"
                "'to' application certificate loaded\n"
                "Extracting 'from' application identity\n"
                "Runtime error: get certificate name\n",
            verbose.err);
}

TEST(IdferryCli, LoadedContextIsLoggedBeforeTheEndpointChecks) {
  testutil::TempDir dir;
  std::string from = dir.write("from.pem", testutil::app_cert_pem("app-one"));
  std::string to = dir.write("to.pem", testutil::app_cert_pem("app-two"));
  // Nothing listens on ports 1 and 2 of the loopback address.
  ProcResult r = Idferry(AutoArgs(from, to, {"-v"}));
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(std::string(kLoadingLines) +
                "'from' application certificate loaded\n"
                "Loading 'to' application certificate\n"
                "'to' application certificate loaded\n"
                "Extracting 'from' application identity\n"
                "'from' application identity extracted: app-one\n"
                "Extracting 'to' application identity\n"
                "'to' application identity extracted: app-two\n"
                "done\n"
                "\n"
                "Checking SSO URLs...\n"
                "Failed to get SSO settings ((SOAP-ENV:Receiver) Connection refused)\n"
                "ERROR: sso-from-url check failed\n"
                "Failed to get SSO settings ((SOAP-ENV:Receiver) Connection refused)\n"
                "ERROR: sso-to-url check failed\n",
            r.err);

  // The same file on both sides is not an error of the context.
  ProcResult same = Idferry(AutoArgs(from, from));
  EXPECT_EQ(1, same.status);
  EXPECT_EQ("ERROR: sso-from-url check failed\nERROR: sso-to-url check failed\n", same.err);
}

}  // namespace
