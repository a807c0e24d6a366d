// Fuzzes the login map: parse_map over arbitrary text, then apply_map and
// check_map_valid against plain reference versions that compare every pair
// with every record, as mapfile.h states their results. Any difference aborts.
//
// Input layout (FuzzedDataProvider): the mapfile text first, as
// ConsumeRandomLengthString reads it (a backslash followed by anything but a
// backslash ends it; "\\" stands for one backslash), then bytes that choose
// the source's user list from the words of the map. Without such bytes the
// list is every old login, in file order, followed by every new login.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "src/mapfile.h"
#include "src/users.h"

namespace {

// Bounds that keep the quadratic reference versions fast.
const size_t kMaxUsers = 512;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "mapfile_fuzz: %s\n", what);
  abort();
}

// The file format read word by word: a word followed by nothing but spaces
// and another word makes a pair with it; any other word is dropped.
std::vector<user_map> reference_parse(const std::string& text) {
  struct word {
    std::string text;
    bool spaces_only_after;  // only ' ' between this word and the next one
  };
  std::vector<word> words;
  size_t pos = 0;
  while (pos < text.size()) {
    if (is_space(text[pos])) {
      ++pos;
      continue;
    }
    size_t start = pos;
    while (pos < text.size() && !is_space(text[pos])) ++pos;
    size_t gap = pos;
    while (gap < text.size() && text[gap] == ' ') ++gap;
    const bool next_follows = gap < text.size() && !is_space(text[gap]);
    words.push_back({text.substr(start, pos - start), next_follows});
  }
  std::vector<user_map> pairs;
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i].spaces_only_after && i + 1 < words.size()) {
      pairs.emplace_back(words[i].text, words[i + 1].text);
      ++i;
    }
  }
  return pairs;
}

// Every pair, in order, renames the first record in list order whose
// current login is its old login.
void reference_apply(std::vector<mig_user_info>& users, const std::vector<user_map>& pairs) {
  for (const user_map& pair : pairs) {
    for (mig_user_info& user : users) {
      if (user.login == pair.old_login) {
        user.login = pair.new_login;
        break;
      }
    }
  }
}

// The report check_map_valid is to write, and its result.
bool reference_check(const std::vector<mig_user_info>& users, const std::vector<user_map>& pairs,
                     std::string& report) {
  bool valid = true;
  for (const user_map& pair : pairs) {
    bool held = false;
    for (const mig_user_info& user : users) held = held || user.login == pair.old_login;
    if (!held) {
      valid = false;
      report += "ERROR: Wrong old login in mapfile (" + pair.old_login + ")\n";
    }
  }
  return valid;
}

bool same_pairs(const std::vector<user_map>& a, const std::vector<user_map>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].old_login != b[i].old_login || a[i].new_login != b[i].new_login) return false;
  }
  return true;
}

std::vector<mig_user_info> make_users(FuzzedDataProvider& fdp,
                                      const std::vector<user_map>& pairs) {
  // The words the list is made of: the old logins, the new logins, and a
  // login that no pair names.
  std::vector<std::string> pool;
  for (const user_map& pair : pairs) pool.push_back(pair.old_login);
  for (const user_map& pair : pairs) pool.push_back(pair.new_login);
  std::vector<mig_user_info> users;
  if (fdp.remaining_bytes() == 0) {
    for (const std::string& login : pool) {
      if (users.size() == kMaxUsers) break;
      users.emplace_back("id" + std::to_string(users.size()), login);
    }
    return users;
  }
  pool.push_back("nobody-in-the-map");
  while (fdp.remaining_bytes() > 0 && users.size() < kMaxUsers) {
    const size_t pick = fdp.ConsumeIntegralInRange<size_t>(0, pool.size() - 1);
    users.emplace_back("id" + std::to_string(users.size()), pool[pick]);
  }
  return users;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const std::string text = fdp.ConsumeRandomLengthString(size);

  std::vector<user_map> pairs;
  parse_map(text, pairs);
  for (const user_map& pair : pairs) {
    if (pair.old_login.empty() || pair.new_login.empty()) fail("parse_map: empty word");
    for (char c : pair.old_login + pair.new_login) {
      if (is_space(c)) fail("parse_map: whitespace inside a word");
    }
  }
  if (!same_pairs(pairs, reference_parse(text))) fail("parse_map differs from the reference");

  const std::vector<mig_user_info> original = make_users(fdp, pairs);

  // check_map_valid: the same verdict and the same report lines in order.
  std::string expected_report;
  const bool expected_valid = reference_check(original, pairs, expected_report);
  std::vector<mig_user_info> checked = original;
  std::ostringstream report;
  std::streambuf* saved = std::cerr.rdbuf(report.rdbuf());
  const bool valid = check_map_valid(checked, pairs);
  std::cerr.rdbuf(saved);
  if (valid != expected_valid) fail("check_map_valid: verdict differs from the reference");
  if (report.str() != expected_report) fail("check_map_valid: report differs from the reference");
  for (size_t i = 0; i < checked.size(); ++i) {
    if (checked[i].login != original[i].login) fail("check_map_valid changed a login");
  }

  // apply_map: the same logins on the same records in the same order.
  std::vector<mig_user_info> expected = original;
  reference_apply(expected, pairs);
  std::vector<mig_user_info> renamed = original;
  if (!apply_map(renamed, pairs)) fail("apply_map returned false");
  if (renamed.size() != expected.size()) fail("apply_map changed the number of records");
  for (size_t i = 0; i < renamed.size(); ++i) {
    if (renamed[i].id != expected[i].id) fail("apply_map moved a record");
    if (renamed[i].login != expected[i].login) fail("apply_map: login differs from the reference");
  }
  return 0;
}
