#include "src/mapfile.h"

#include <functional>
#include <iostream>
#include <queue>
#include <string_view>
#include <unordered_map>

#include "src/context.h"
#include "src/run_control.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

void parse_map(const std::string& text, std::vector<user_map>& mappings) {
  const size_t end = text.size();
  size_t pos = 0;
  while (pos < end) {
    while (pos < end && is_space(text[pos])) ++pos;
    size_t start = pos;
    while (pos < end && !is_space(text[pos])) ++pos;
    const size_t first_end = pos;
    while (pos < end && text[pos] == ' ') ++pos;
    const size_t second = pos;
    while (pos < end && !is_space(text[pos])) ++pos;
    if (first_end > start && pos > second) {
      mappings.emplace_back(text.substr(start, first_end - start),
                            text.substr(second, pos - second));
    }
  }
}

bool load_map_from_file(const std::string& path, std::vector<user_map>& mappings) {
  std::string text;
  if (!load_file(path, text)) return false;
  parse_map(text, mappings);
  return true;
}

bool check_map_valid(std::vector<mig_user_info>& users, std::vector<user_map>& mappings) {
  // Only the old logins of the file matter: mark those that some record
  // holds, then report the others in file order.
  std::unordered_map<std::string_view, bool> found;
  found.reserve(mappings.size());
  for (const user_map& pair : mappings) found.emplace(pair.old_login, false);
  for (const mig_user_info& user : users) {
    auto it = found.find(user.login);
    if (it != found.end()) it->second = true;
  }
  size_t wrong = 0;
  for (const user_map& pair : mappings) {
    if (!found[pair.old_login]) {
      ++wrong;
      write_error(std::string("ERROR: Wrong old login in mapfile (") + pair.old_login + ")");
    }
  }
  return wrong == 0;
}

bool apply_map(std::vector<mig_user_info>& users, std::vector<user_map>& mappings) {
  // For every login that some pair renames from, the records currently
  // holding it, smallest list position first. A record only ever leaves a
  // login as the first holder of it, so a min-heap per login is exact.
  // Records whose login no pair names are never looked at again.
  typedef std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> holders;
  std::unordered_map<std::string_view, holders> index;
  index.reserve(mappings.size());
  for (const user_map& pair : mappings) index[pair.old_login];
  for (size_t i = 0; i < users.size(); ++i) {
    auto it = index.find(users[i].login);
    if (it != index.end()) it->second.push(i);
  }
  for (const user_map& pair : mappings) {
    holders& from = index.find(pair.old_login)->second;
    if (from.empty()) continue;
    const size_t i = from.top();
    from.pop();
    users[i].login = pair.new_login;
    auto to = index.find(pair.new_login);
    if (to != index.end()) to->second.push(i);
  }
  return true;
}
