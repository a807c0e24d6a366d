#include "src/context.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "test_support/test_util.h"

namespace {

TEST(LoadFile, JoinsLinesAsTheFileHoldsThem) {
  std::string big(3, '\n'), big_text;
  for (int i = 0; i < 40000; ++i) big_text += "line " + std::to_string(i) + "\n";
  big += big_text;  // crosses many read chunks
  struct Case {
    const char* name;
    std::string content, before, text;
  } cases[] = {
      {"plain", "abc", "", "abc"},
      {"final line feed kept", "a\nb\n", "", "a\nb\n"},
      {"leading empty lines dropped", "\n\n\na\n\nb", "", "a\n\nb"},
      {"only empty lines", "\n\n\n", "", ""},
      {"empty file", "", "", ""},
      {"carriage returns kept", "\r\na\r\nb\r\n", "", "\r\na\r\nb\r\n"},
      {"NUL and high bytes kept", std::string("a\0b\xff\n", 5), "", std::string("a\0b\xff\n", 5)},
      {"a leading blank is not an empty line", " \na", "", " \na"},
      {"large file", big, "", big_text},
      {"appended after a line feed", "\na", "x", "x\n\na"},
  };
  testutil::TempDir dir;
  for (const Case& c : cases) {
    std::string text = c.before;
    EXPECT_TRUE(load_file(dir.write("f", c.content), text)) << c.name;
    EXPECT_EQ(c.text, text) << c.name;
  }
  EXPECT_EQ("\r\n-x-", load_cert_from_file(dir.write("c", "\n\r\n-x-")));
}

TEST(LoadFile, UnreadablePathsFailAndKeepTheText) {
  testutil::TempDir dir;
  const std::string fifo = dir.file("fifo");  // no writer: opening must not block
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const std::string huge = dir.write("huge", "x");
  ASSERT_EQ(0, truncate(huge.c_str(), static_cast<off_t>(kMaxFileBytes) + 1));  // sparse
  for (const std::string& path : {std::string(), dir.file("missing"), dir.path(), fifo,
                                  std::string("/dev/zero"), std::string("/dev/null"), huge}) {
    testutil::CaptureStreams capture;
    std::string text = "kept";
    EXPECT_FALSE(load_file(path, text)) << "'" << path << "'";
    EXPECT_EQ("kept", text) << path;
    EXPECT_EQ(path == huge ? "File " + huge + " is too big!\n" : "", capture.err()) << path;
    if (path.empty() || path == fifo) {
      EXPECT_THROW(load_cert_from_file(path), no_cert_file);
    }
  }
}

}  // namespace
