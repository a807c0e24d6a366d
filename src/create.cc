#include "src/create.h"

#include <iostream>
#include <map>

#include <boost/format.hpp>

#include "src/SSOClient/SSOClient.h"
#include "src/parallel.h"
#include "src/run_control.h"

namespace {

const int kMaxAttempts = 100;  // the login and its derived logins 1 to 99
// What the report says of a record whose candidate logins were all taken
// (create_user_mangled leaves `derived` at the last one tried).
const char kNoFreeLogin[] = "no free login";

// One creation attempt: success, or the failure as the client described it.
struct attempt {
  bool ok = false;
  std::string subcode, message;
};

// Creates the record's user under `login`. A retried creation answered as a
// duplicate may be the first attempt's own work, whose answer was lost: it
// is done when the user under the record's id holds `login`, belongs to the
// target application and has the record's hash and hash type.
attempt add(SSOClient& target, const mig_user_info& user, const std::string& login,
            const std::string& app_id) {
  std::string new_id;
  attempt a;
  a.ok = target.addUser(login, user.password_hash, &user.hash_type, &user.id, new_id);
  if (a.ok) return a;
  a.subcode = target.getErrorSubCode();
  a.message = target.getErrorMessage();
  if (!target.lastCallRetried() ||
      (a.subcode != "sso:duplicateUserId" && a.subcode != "sso:duplicateLogin")) {
    return a;
  }
  std::string id = user.id, hash, type;
  SSOClient::UserInfo info;
  a.ok = target.getUserInfo(id, info) && info.login == login && info.applicationId == app_id &&
         target.getUserPassword(id, hash, type) && hash == user.password_hash &&
         type == user.hash_type;
  return a;
}

}  // namespace

bool create_user_mangled(SSOClient& target, mig_user_info& user, const std::string& app_id,
                         std::string& error) {
  for (int n = 0; n < kMaxAttempts; ++n) {
    // Always derived from the record's login, never from the last candidate.
    const attempt a = add(target, user, mangle_user(user.login, n), app_id);
    if (a.ok) {
      user.derived = static_cast<uint8_t>(n);
      return true;
    }
    if (a.subcode != "sso:duplicateLogin") {
      error = "Error registering user: " + a.message;
      return false;
    }
    user.derived = static_cast<uint8_t>(n);
  }
  error = "Error registering user: " + user.login + " and its 99 derived logins are taken";
  return false;
}

namespace {

// Replaces the target application's own user holding user.login by the
// source user: created under the temporary login, the old user deleted, the
// new one renamed, in that order.
bool take_over(SSOClient& target, mig_user_info& user, const std::string& app_id,
               std::string& error) {
  const std::string temporary = temporary_login(user);
  const attempt a = add(target, user, temporary, app_id);
  if (!a.ok) {
    error = "Error registering user: " + a.message;
    return false;
  }
  if (!target.deleteUsers(std::vector<std::string>(1, user.login))) {
    error = "Error deleting user: " + target.getErrorMessage();
    return false;
  }
  if (!target.changeLogin(temporary, user.login)) {
    error = "Error renaming user: " + target.getErrorMessage();
    return false;
  }
  return true;
}

// Finishes a takeover an earlier run cut short: the user still holding the
// login is deleted if it is the target application's and no source user;
// then the record's user is renamed from its temporary login.
bool finish_take_over(SSOClient& target, mig_user_info& user, const create_state& state,
                      std::string& error) {
  std::string holder;
  if (target.getUserId(user.login, holder)) {
    SSOClient::UserInfo info;
    if (!target.getUserInfo(holder, info) ||
        (info.applicationId == state.app_id && !state.source_ids.count(holder) &&
         !target.deleteUsers(std::vector<std::string>(1, user.login)))) {
      error = "Error deleting user: " + target.getErrorMessage();
      return false;
    }
  } else if (target.getErrorSubCode() != "sso:noSuchUser") {
    error = "Error deleting user: " + target.getErrorMessage();
    return false;
  }
  if (!target.changeLogin(temporary_login(user), user.login)) {
    error = "Error renaming user: " + target.getErrorMessage();
    return false;
  }
  return true;
}

std::string mangled_line(const mig_user_info& user, const std::string& login) {
  return "MANGLED(" + user.login + ":" + user.id + "): " + login;
}

}  // namespace

std::string mangle_user(const std::string& login, int n) {
  if (n == 0) return login;
  const bool ends_in_digit = !login.empty() && login.back() >= '0' && login.back() <= '9';
  return (boost::format(ends_in_digit ? "%s_%d" : "%s%d") % login % n).str();
}

std::string temporary_login(const mig_user_info& user) {
  return user.login + "_" + user.id + "_tmp_migrate";
}

create_state::create_state(const std::vector<mig_user_info>& users, std::string app_id,
                           const resume_findings* resumed)
    : app_id(std::move(app_id)), resumed(resumed) {
  for (const mig_user_info& user : users) {
    if (user.target_owned) takeover_logins.insert(user.login);
  }
  if (!resumed) return;
  for (const auto& [index, login] : resumed->target_login) {
    given.insert(login == temporary_login(users[index]) ? users[index].login : login);
    if (login == temporary_login(users[index]) && source_ids.empty()) {
      for (const mig_user_info& user : users) source_ids.insert(user.id);
    }
  }
}

bool create_record(SSOClient& target, std::vector<mig_user_info>& users, size_t index,
                   create_state& state, std::string& line, std::string& error) {
  mig_user_info& user = users[index];
  line.clear();
  error.clear();
  if (state.resumed) {
    auto found = state.resumed->target_login.find(index);
    if (found != state.resumed->target_login.end()) {
      if (found->second == temporary_login(user)) {
        if (!finish_take_over(target, user, state, error)) {
          user.outcome = user_outcome::failed;
          return false;
        }
        user.outcome = user_outcome::taken_over;
        return true;
      }
      // As the run that created it reported it.
      user.outcome = user_outcome::already_migrated;
      if (found->second != user.login) line = mangled_line(user, found->second);
      return true;
    }
  }
  bool take = false;
  if (user.target_owned) {
    std::lock_guard<std::mutex> lock(state.given_mu);
    take = !state.given.count(user.login);
  }
  const bool ok = take ? take_over(target, user, state.app_id, error)
                       : create_user_mangled(target, user, state.app_id, error);
  if (!ok) {
    user.outcome = user_outcome::failed;
    return false;
  }
  const std::string login = mangle_user(user.login, user.derived);
  if (take || state.takeover_logins.count(login)) {
    std::lock_guard<std::mutex> lock(state.given_mu);
    state.given.insert(login);
  }
  user.outcome = take ? user_outcome::taken_over
                      : user.derived ? user_outcome::mangled : user_outcome::created;
  if (user.derived) line = mangled_line(user, login);
  return true;
}

bool create_users(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                  create_state& state, const std::vector<uint32_t>* chains) {
  std::mutex mu;
  std::map<size_t, std::string> lines;  // until they are released in list order
  const size_t failed = runner.run(
      "Creating users", users.size(),
      [&](int worker, size_t i) {
        std::string line, error;
        const bool ok = create_record(target.at(worker), users, i, state, line, error);
        // The report names a login without free derived logins shortly.
        if (!ok) runner.fail(i, error, users[i].derived == kMaxAttempts - 1 ? kNoFreeLogin : "");
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
