#include "src/mapfile.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/create.h"
#include "test_support/test_util.h"

namespace {

std::string Pairs(const std::vector<user_map>& m) {
  std::string s;
  for (const user_map& p : m) s += (s.empty() ? "" : " ") + p.old_login + ">" + p.new_login;
  return s;
}

std::vector<mig_user_info> Users(const std::vector<std::string>& logins) {
  std::vector<mig_user_info> users;
  for (size_t i = 0; i < logins.size(); ++i) users.emplace_back(std::to_string(101 + i), logins[i]);
  return users;
}

std::string Logins(const std::vector<mig_user_info>& users) {
  std::string s;
  for (const mig_user_info& u : users) s += (s.empty() ? "" : " ") + u.login;
  return s;
}

TEST(ParseMap, WordsAndSeparators) {
  struct Case {
    std::string text, pairs;
  } cases[] = {
      {"alice\talicia\n", ""},  // a tab between the words
      {"alice\nalicia\n", ""},  // one word per line
      {"   alice   alicia\r\n", "alice>alicia"},
      {"# bob\n", "#>bob"},  // no comment syntax
      {"a b c d\ne f g\nh", "a>b c>d e>f"},
      {"", ""},
      {"\v\f a b \t", "a>b"},
      {"x\xff y\xc3\xa9\n", "x\xff>y\xc3\xa9"},
      {std::string("n\0ul z", 6), std::string("n\0ul>z", 6)},
  };
  for (const Case& c : cases) {
    std::vector<user_map> m;
    parse_map(c.text, m);
    EXPECT_EQ(c.pairs, Pairs(m)) << "text: '" << c.text << "'";
  }
}

TEST(ApplyMap, PairsApplyInOrderToCurrentLogins) {
  struct Case {
    const char* name;
    std::vector<std::string> logins;
    std::vector<user_map> pairs;
    std::string result;
  } cases[] = {
      {"plain", {"a", "b"}, {{"a", "x"}}, "x b"},
      {"later pair sees earlier rename", {"a", "b"}, {{"a", "b"}, {"b", "c"}}, "c b"},
      {"renamed record behind a source holder", {"b", "a"}, {{"a", "b"}, {"b", "c"}}, "c b"},
      {"same old login twice renames one", {"a", "b"}, {{"a", "x"}, {"a", "y"}}, "x b"},
      {"two records share a login", {"a", "a", "a"}, {{"a", "x"}, {"a", "y"}}, "x y a"},
      {"swap through a chain", {"a", "b"}, {{"a", "t"}, {"b", "a"}, {"t", "b"}}, "b a"},
      {"rename onto itself", {"a", "b"}, {{"a", "a"}, {"a", "z"}}, "z b"},
      {"unmatched pair does nothing", {"a"}, {{"q", "r"}}, "a"},
      {"new login of one pair is old of a later", {"m", "n", "o"},
       {{"o", "m"}, {"m", "p"}, {"m", "q"}}, "p n q"},
  };
  for (Case& c : cases) {
    std::vector<mig_user_info> users = Users(c.logins);
    EXPECT_TRUE(apply_map(users, c.pairs)) << c.name;
    EXPECT_EQ(c.result, Logins(users)) << c.name;
    for (size_t i = 0; i < users.size(); ++i) EXPECT_EQ(std::to_string(101 + i), users[i].id);
  }
}

TEST(MangleUser, DerivedLogins) {
  struct Case {
    std::string login;
    int n;
    std::string derived;
  } cases[] = {
      {"anna", 0, "anna"}, {"anna", 99, "anna99"}, {"bob2", 12, "bob2_12"}, {"x_", 3, "x_3"},
      {"", 1, "1"},        {"9", 2, "9_2"},        {"caf\xc3\xa9", 1, "caf\xc3\xa9" "1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.derived, mangle_user(c.login, c.n)) << "'" << c.login << "' " << c.n;
  }
}

}  // namespace
