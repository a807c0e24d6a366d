#include "src/create.h"

#include <iostream>
#include <map>

#include <boost/format.hpp>

#include "src/SSOClient/SSOClient.h"
#include "src/parallel.h"
#include "src/run_control.h"
#include "src/takeover.h"
#include "src/writes.h"

namespace {

// What the report says of a record whose candidate logins were all taken
// (the user's `derived` is left at the last one tried).
const char kNoFreeLogin[] = "no free login";

std::string mangled_line(const mig_user_info& user, const std::string& login) {
  return "MANGLED(" + user.login + ":" + user.id + "): " + login;
}

// "UPDATED(<login>:<id>): <what>", after the record's other result line.
void add_updated_line(const mig_user_info& user, const std::string& what, std::string& line) {
  line += (line.empty() ? "" : "\n") + ("UPDATED(" + user.login + ":" + user.id + "): " + what);
}

// Gives the user an earlier run migrated, now holding `login`, the hash and
// type the source has now.
bool bring_up_to_date(writer& w, const mig_user_info& user, const std::string& login,
                      std::string& error) {
  const write_outcome changed = change_password(w, user, login);
  if (!changed.ok) error = "Error changing password: " + changed.message;
  return changed.ok;
}

}  // namespace

bool first_free_login(const writer& w, mig_user_info& user, const std::string& what,
                      const std::function<write_outcome(const std::string&)>& write,
                      std::string& error) {
  for (int n = 0; n < kMaxLoginAttempts; ++n) {
    // Always derived from the record's login, never from the last candidate.
    const write_outcome a = write(mangle_user(user.login, n));
    user.derived = static_cast<uint8_t>(n);
    if (a.ok) return true;
    if (a.subcode != "sso:duplicateLogin") {
      error = what + a.message;
      return false;
    }
  }
  error = what + user.login + " and its 99 derived logins are taken" + (w.dry ? " (dry run)" : "");
  return false;
}

bool create_user_mangled(writer& w, mig_user_info& user, const std::string& app_id,
                         std::string& error) {
  return first_free_login(w, user, "Error registering user: ", [&](const std::string& login) {
    return create_as(w, user, login, app_id);
  }, error);
}

std::string mangle_user(const std::string& login, int n) {
  if (n == 0) return login;
  const bool ends_in_digit = !login.empty() && login.back() >= '0' && login.back() <= '9';
  return (boost::format(ends_in_digit ? "%s_%d" : "%s%d") % login % n).str();
}

int derived_number(std::string_view digits) {
  if (digits.empty() || digits.size() > 2 || digits[0] == '0') return 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
  }
  return std::stoi(std::string(digits));
}

bool is_derived_login(const std::string& login, const std::string& base) {
  std::string stem = mangle_user(base, 1);
  stem.pop_back();  // the "1"
  return login.compare(0, stem.size(), stem) == 0 &&
         derived_number(std::string_view(login).substr(std::min(stem.size(), login.size())));
}

create_state::create_state(const std::vector<mig_user_info>& users, std::string app_id,
                           const resume_findings* resumed)
    : app_id(std::move(app_id)), resumed(resumed) {
  for (const mig_user_info& user : users) {
    if (user.target_owned) takeover_logins.insert(user.login);
  }
  if (resumed) given = held_logins(users, *resumed);
}

bool create_record(SSOClient& target, std::vector<mig_user_info>& users, size_t index,
                   create_state& state, std::string& line, std::string& update,
                   std::string& error) {
  mig_user_info& user = users[index];
  writer w{target, state.dry};
  line.clear();
  update.clear();
  error.clear();
  const std::string* temporary = nullptr;
  bool stale = false;  // out of date: the source's password changed since
  if (state.resumed) {
    temporary = cut_takeover(users, *state.resumed, index);
    stale = state.resumed->changed.count(index) > 0;
    auto found = state.resumed->target_login.find(index);
    if (stale && !bring_up_to_date(w, user, temporary ? *temporary : found->second, error)) {
      user.outcome = user_outcome::failed;
      return false;
    }
    if (!temporary && found != state.resumed->target_login.end()) {
      // As the run that created it reported it.
      user.outcome = stale ? user_outcome::updated : user_outcome::already_migrated;
      if (found->second != user.login) line = mangled_line(user, found->second);
      if (stale) add_updated_line(user, update = "password", line);
      return true;
    }
  }
  // The record takes the login over unless a user of this migration holds it.
  bool take = false;
  if (user.target_owned) {
    std::lock_guard<std::mutex> lock(state.given_mu);
    take = !state.given.count(user.login);
  }
  const bool ok = temporary ? finish_take_over(w, user, *temporary, take, error)
                  : take    ? take_over(w, user, state.app_id, error)
                            : create_user_mangled(w, user, state.app_id, error);
  if (!ok) {
    user.outcome = user_outcome::failed;
    return false;
  }
  const std::string login = mangle_user(user.login, user.derived);
  if (take || state.takeover_logins.count(login)) {
    std::lock_guard<std::mutex> lock(state.given_mu);
    state.given.insert(login);
  }
  // A finished takeover under the login counts as the takeover it was.
  user.outcome = user.derived                ? user_outcome::mangled
                 : take || temporary         ? user_outcome::taken_over
                                             : user_outcome::created;
  if (user.derived) line = mangled_line(user, login);
  if (stale) {
    user.outcome = user_outcome::updated;
    add_updated_line(user, update = "password, login " + *temporary, line);
  }
  return true;
}

bool create_users(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                  create_state& state, const std::vector<uint32_t>* chains) {
  std::mutex mu;
  std::map<size_t, std::string> lines;  // until they are released in list order
  const size_t failed = runner.run(
      "Creating users", users.size(),
      [&](int worker, size_t i) {
        std::string line, update, error;
        const bool ok = create_record(target.at(worker), users, i, state, line, update, error);
        if (!update.empty()) runner.note(i, update);
        // The report names a login without free derived logins shortly.
        if (!ok) runner.fail(i, error, users[i].derived == kMaxLoginAttempts - 1 ? kNoFreeLogin : "");
        if (!line.empty()) {
          std::lock_guard<std::mutex> lock(mu);
          lines[i] = line;
        }
        return ok;
      },
      [&](size_t i, bool) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = lines.find(i);
        if (it == lines.end()) return;
        write_result(it->second);
        lines.erase(it);
      },
      chains);
  if (failed < users.size()) {
    runner.write_failure(failed);
    return false;
  }
  return !halted();
}
