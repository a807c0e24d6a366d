#include "src/context.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "test_support/test_util.h"

namespace {

mig_options Options(const std::string& from, const std::string& to, bool verbose) {
  return mig_options(from, to, "https://a/", "https://b/", "auto", "", false, verbose);
}

TEST(LoadFile, JoinsLinesAsTheFileHoldsThem) {
  struct Case {
    const char* name;
    std::string content;
    std::string text;
  } cases[] = {
      {"plain", "abc", "abc"},
      {"final line feed kept", "a\nb\n", "a\nb\n"},
      {"leading empty lines dropped", "\n\n\na\n\nb", "a\n\nb"},
      {"only empty lines", "\n\n\n", ""},
      {"empty file", "", ""},
      {"carriage returns kept", "\r\na\r\nb\r\n", "\r\na\r\nb\r\n"},
      {"NUL and high bytes kept", std::string("a\0b\xff\n", 5), std::string("a\0b\xff\n", 5)},
      {"leading blank is not an empty line", " \na", " \na"},
  };
  testutil::TempDir dir;
  for (const Case& c : cases) {
    std::string text;
    EXPECT_TRUE(load_file(dir.write("f", c.content), text)) << c.name;
    EXPECT_EQ(c.text, text) << c.name;
  }
}

TEST(LoadFile, LargeFileCrossingReadChunksIsIntact) {
  std::string content(3, '\n');
  for (int i = 0; i < 40000; ++i) content += "line " + std::to_string(i) + "\n";
  testutil::TempDir dir;
  std::string text;
  ASSERT_TRUE(load_file(dir.write("big", content), text));
  EXPECT_EQ(content.substr(3), text);
}

TEST(LoadFile, AppendsToAGivenTextAfterALineFeed) {
  testutil::TempDir dir;
  std::string text = "x";
  ASSERT_TRUE(load_file(dir.write("f", "\na"), text));
  EXPECT_EQ("x\n\na", text);
}

TEST(LoadFile, UnreadablePathsFailWithoutMessageAndKeepText) {
  testutil::TempDir dir;
  const std::string fifo = dir.file("fifo");  // no writer: opening must not block
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  for (const std::string& path :
       {std::string(), dir.file("missing"), dir.path(), fifo, std::string("/dev/zero"),
        std::string("/dev/null")}) {
    testutil::CaptureStreams capture;
    std::string text = "kept";
    EXPECT_FALSE(load_file(path, text)) << "'" << path << "'";
    EXPECT_EQ("kept", text) << path;
    EXPECT_EQ("", capture.err()) << path;
  }
}

TEST(LoadFile, RefusesFilesOverTheLimitWithAMessage) {
  testutil::TempDir dir;
  const std::string huge = dir.file("huge");
  testutil::write_file(huge, "x");
  ASSERT_EQ(0, truncate(huge.c_str(), static_cast<off_t>(kMaxFileBytes) + 1));  // sparse
  testutil::CaptureStreams capture;
  std::string text;
  EXPECT_FALSE(load_file(huge, text));
  EXPECT_EQ("File " + huge + " is too big!\n", capture.err());
  EXPECT_EQ("", text);
}

TEST(LoadCertFromFile, ThrowsNoCertFileWhenUnreadable) {
  testutil::TempDir dir;
  EXPECT_THROW(load_cert_from_file(dir.file("missing")), no_cert_file);
  EXPECT_THROW(load_cert_from_file(""), no_cert_file);
  EXPECT_EQ("\r\n-x-", load_cert_from_file(dir.write("c", "\n\r\n-x-")));
}

TEST(LogV, WritesOnlyWhenVerbose) {
  mig_options quiet = Options("a", "b", false);
  mig_options verbose = Options("a", "b", true);
  testutil::CaptureStreams capture;
  log_v(quiet, "hidden");
  log_v(quiet, boost::format("hidden %d") % 1);
  log_v(verbose, "shown");
  log_v(verbose, "done\n");
  log_v(verbose, boost::format("done. %d users fetched\n") % 12);
  log_v(verbose, boost::format("'to' application identity extracted: %s") % "app-2");
  EXPECT_EQ("", capture.out());
  EXPECT_EQ(
      "shown\n"
      "done\n\n"
      "done. 12 users fetched\n\n"
      "'to' application identity extracted: app-2\n",
      capture.err());
}

TEST(MigContext, LoadsBothFilesThenBothIdentities) {
  testutil::TempDir dir;
  std::string from = dir.write("from.pem", "\n\n" + testutil::app_cert_pem("app-one"));
  std::string to = dir.write("to.pem", testutil::app_cert_pem("app two"));
  mig_options options = Options(from, to, true);
  mig_context context(options);
  testutil::CaptureStreams capture;
  context.load();
  EXPECT_EQ(testutil::app_cert_pem("app-one"), context.from_cert);
  EXPECT_EQ(testutil::app_cert_pem("app two"), context.to_cert);
  EXPECT_EQ("app-one", context.from_app_id);
  EXPECT_EQ("app two", context.to_app_id);
  EXPECT_EQ(
      "Checking certificates...\n"
      "Loading 'from' application certificate\n"
      "'from' application certificate loaded\n"
      "Loading 'to' application certificate\n"
      "'to' application certificate loaded\n"
      "Extracting 'from' application identity\n"
      "'from' application identity extracted: app-one\n"
      "Extracting 'to' application identity\n"
      "'to' application identity extracted: app two\n"
      "done\n\n",
      capture.err());
  EXPECT_EQ("", capture.out());
}

TEST(MigContext, UnreadableTargetIsReportedBeforeBadSourceCertificate) {
  testutil::TempDir dir;
  std::string garbage = dir.write("garbage.pem", "not a certificate\n");
  mig_options options = Options(garbage, dir.file("missing.pem"), false);
  mig_context context(options);
  testutil::CaptureStreams capture;
  EXPECT_THROW(context.load(), no_cert_file);
  EXPECT_EQ("", capture.err());
}

TEST(MigContext, CertificateWithoutReadableSubjectThrowsRuntimeError) {
  testutil::TempDir dir;
  std::string good = dir.write("good.pem", testutil::app_cert_pem("app-one"));
  std::string garbage = dir.write("garbage.pem", "not a certificate\n");
  mig_options options = Options(good, garbage, false);
  mig_context context(options);
  try {
    context.load();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("get certificate name", e.what());
  }
  EXPECT_EQ("app-one", context.from_app_id);
}

}  // namespace
