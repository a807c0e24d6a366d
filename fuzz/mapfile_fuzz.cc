// Fuzzes the login map: parse_map, check_map_valid and apply_map, each
// against a plain version that compares every pair with every record, as
// mapfile.h states the results. Input (FuzzedDataProvider): the mapfile text
// as ConsumeRandomLengthString reads it, then bytes that pick the user list
// from the words of the map (without them: every old login, then every new).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "src/mapfile.h"
#include "src/users.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

const size_t kMaxUsers = 512;  // keeps the quadratic plain versions fast

// Each record's id and login.
Pairs records(const std::vector<mig_user_info>& users) {
  Pairs out;
  for (const mig_user_info& user : users) out.emplace_back(user.id, user.login);
  return out;
}

auto has_login(const std::string& login) {
  return [&login](const mig_user_info& user) { return user.login == login; };
}

const char kSpaces[] = " \t\n\v\f\r";

// The file read word by word: a word followed by nothing but spaces and
// another word makes a pair with that word; any other word is dropped.
Pairs plain_parse(const std::string& text) {
  Pairs pairs;
  std::string held;  // a word that only spaces separate from the next one
  for (size_t start = text.find_first_not_of(kSpaces); start != std::string::npos;) {
    const size_t end = std::min(text.find_first_of(kSpaces, start), text.size());
    const std::string word = text.substr(start, end - start);
    start = text.find_first_not_of(kSpaces, end);
    if (!held.empty()) {
      pairs.emplace_back(held, word);
      held.clear();
    } else if (start != std::string::npos && text.find_first_not_of(' ', end) == start) {
      held = word;
    }
  }
  return pairs;
}

std::vector<mig_user_info> make_users(FuzzedDataProvider& fdp, const Pairs& pairs) {
  std::vector<std::string> pool;
  for (const auto& pair : pairs) pool.push_back(pair.first);
  for (const auto& pair : pairs) pool.push_back(pair.second);
  const bool picked = fdp.remaining_bytes() > 0;
  if (picked) pool.push_back("nobody-in-the-map");  // a login that no pair names
  std::vector<mig_user_info> users;
  while (users.size() < kMaxUsers &&
         (picked ? fdp.remaining_bytes() > 0 : users.size() < pool.size())) {
    const size_t i = picked ? fdp.ConsumeIntegralInRange<size_t>(0, pool.size() - 1) : users.size();
    users.emplace_back("id" + std::to_string(users.size()), pool[i]);
  }
  return users;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const std::string text = fdp.ConsumeRandomLengthString(size);
  std::vector<user_map> maps;
  parse_map(text, maps);
  Pairs pairs;
  for (const user_map& m : maps) pairs.emplace_back(m.old_login, m.new_login);
  if (pairs != plain_parse(text)) fuzz::fail("parse_map differs from the plain version");
  const std::vector<mig_user_info> original = make_users(fdp, pairs);

  // check_map_valid: one report line per pair whose old login no record
  // holds, in order; valid when there is none; no login changed.
  std::string report;
  for (const auto& pair : pairs) {
    if (std::none_of(original.begin(), original.end(), has_login(pair.first))) {
      report += "ERROR: Wrong old login in mapfile (" + pair.first + ")\n";
    }
  }
  std::vector<mig_user_info> users = original;
  bool valid;
  {
    testutil::CaptureStreams captured;
    valid = check_map_valid(users, maps);
    if (captured.err() != report) fuzz::fail("check_map_valid: report differs");
  }
  if (valid != report.empty()) fuzz::fail("check_map_valid: verdict differs");
  if (records(users) != records(original)) fuzz::fail("check_map_valid changed a record");

  // apply_map: each pair in order renames the first record in list order
  // whose login is its old login; records keep their places.
  std::vector<mig_user_info> expected = users = original;
  for (const auto& pair : pairs) {
    auto user = std::find_if(expected.begin(), expected.end(), has_login(pair.first));
    if (user != expected.end()) user->login = pair.second;
  }
  if (!apply_map(users, maps)) fuzz::fail("apply_map returned false");
  if (records(users) != records(expected)) fuzz::fail("apply_map differs from the plain version");
  return 0;
}
