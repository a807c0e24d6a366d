#include "src/groups.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <string_view>
#include <unordered_map>

#include "src/create.h"
#include "src/parallel.h"
#include "src/takeover.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

class union_find {
 public:
  explicit union_find(size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0u); }
  uint32_t find(uint32_t i) {
    while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
    return i;
  }
  void join(uint32_t a, uint32_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<uint32_t> parent_;
};

}  // namespace

std::vector<uint32_t> group_chains(const std::vector<mig_user_info>& users) {
  const uint32_t n = static_cast<uint32_t>(users.size());
  std::vector<uint32_t> by_login(n);
  std::iota(by_login.begin(), by_login.end(), 0u);
  std::sort(by_login.begin(), by_login.end(),
            [&](uint32_t a, uint32_t b) { return users[a].login < users[b].login; });
  union_find groups(n);
  // Joins record i with the records whose login is `login`: with the first
  // of them, which every other one joins as well.
  auto join_holders = [&](uint32_t i, std::string_view login) {
    auto it = std::lower_bound(by_login.begin(), by_login.end(), login,
                               [&](uint32_t a, std::string_view l) { return users[a].login < l; });
    if (it != by_login.end() && users[*it].login == login) groups.join(i, *it);
  };

  std::unordered_map<std::string, uint32_t> temporaries;
  std::unordered_map<std::string_view, uint32_t> deleting;
  for (uint32_t i = 0; i < n; ++i) {
    const std::string& login = users[i].login;
    join_holders(i, login);
    // The logins whose derived logins include this one: "<stem><n>" for a stem
    // not ending in a digit, "<stem>_<n>" for one ending in a digit.
    size_t digits = login.size();
    while (digits > 0 && is_digit(login[digits - 1])) --digits;
    if (derived_number(std::string_view(login).substr(digits))) {
      join_holders(i, std::string_view(login).substr(0, digits));
      if (digits > 1 && login[digits - 1] == '_' && is_digit(login[digits - 2])) {
        join_holders(i, std::string_view(login).substr(0, digits - 1));
      }
    }
    // "<l>_<n>" derives from both "<l>" (ending in a digit) and "<l>_".
    if (!login.empty() && is_digit(login.back())) join_holders(i, login + "_");
    if (users[i].target_owned) {
      // A temporary login that is another record's login, or another
      // takeover's; the target user this takeover deletes.
      const std::string temporary = temporary_login(users[i]);
      join_holders(i, temporary);
      auto [it, fresh] = temporaries.emplace(temporary, i);
      if (!fresh) groups.join(i, it->second);
      deleting.emplace(users[i].target_id, i);
    }
  }
  if (!deleting.empty()) {
    for (uint32_t i = 0; i < n; ++i) {
      auto it = deleting.find(users[i].id);
      if (it != deleting.end()) groups.join(i, it->second);
    }
  }

  std::vector<uint32_t> chains(n, kChainEnd), last(n, kChainEnd);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t g = groups.find(i);
    if (last[g] != kChainEnd) chains[last[g]] = i;
    last[g] = i;
  }
  return chains;
}
