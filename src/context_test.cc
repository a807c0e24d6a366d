#include "src/context.h"

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
      {"leading empty lines dropped", "\n\n\na\n\nb", "", "a\n\nb"},
      {"only empty lines", "\n\n\n", "", ""},
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

// Missing, directory, FIFO, device and oversized paths are the run's mapfile and certificate rows.
TEST(LoadFile, UnreadablePathsFailAndKeepTheText) {
  for (const std::string path : {"", "/dev/null"}) {
    std::string text = "kept";
    EXPECT_FALSE(load_file(path, text)) << "'" << path << "'";
    EXPECT_EQ("kept", text) << path;
  }
  EXPECT_THROW(load_cert_from_file(""), no_cert_file);
}

}  // namespace
