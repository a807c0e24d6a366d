#include "src/create.h"

#include <gtest/gtest.h>

namespace {

TEST(MangleUser, DerivedLogins) {
  struct Case {
    std::string login;
    int n;
    std::string derived;
  } cases[] = {
      {"anna", 0, "anna"},     {"anna", 1, "anna1"},    {"anna", 5, "anna5"},
      {"anna", 99, "anna99"},  {"user7", 1, "user7_1"}, {"bob2", 12, "bob2_12"},
      {"anna1", 1, "anna1_1"}, {"x_", 3, "x_3"},        {"", 0, ""},
      {"", 1, "1"},            {"9", 2, "9_2"},         {"caf\xc3\xa9", 1, "caf\xc3\xa9" "1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.derived, mangle_user(c.login, c.n)) << "'" << c.login << "' " << c.n;
  }
}

}  // namespace
