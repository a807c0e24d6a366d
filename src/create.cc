#include "src/create.h"

#include <iostream>
#include <string_view>
#include <unordered_set>

#include <boost/format.hpp>

#include "src/SSOClient/SSOClient.h"

namespace {

const int kMaxAttempts = 100;  // the login and its derived logins 1 to 99

// Replaces the target application's own user holding user.login by the
// source user, through a temporary login.
bool take_over(SSOClient& target, mig_user_info& user) {
  const std::string temporary = user.login + "_" + user.id + "_tmp_migrate";
  std::string new_id;
  if (!target.addUser(temporary, user.password_hash, &user.hash_type, &user.id, new_id)) {
    std::cerr << "Error registering user: " << target.getErrorMessage() << std::endl;
    return false;
  }
  if (!target.deleteUsers(std::vector<std::string>(1, user.login))) {
    std::cerr << "Error deleting user: " << target.getErrorMessage() << std::endl;
    return false;
  }
  if (!target.changeLogin(temporary, user.login)) {
    std::cerr << "Error renaming user: " << target.getErrorMessage() << std::endl;
    return false;
  }
  return true;
}

}  // namespace

std::string mangle_user(const std::string& login, int n) {
  if (n == 0) return login;
  const bool ends_in_digit = !login.empty() && login.back() >= '0' && login.back() <= '9';
  return (boost::format(ends_in_digit ? "%s_%d" : "%s%d") % login % n).str();
}

namespace {

// create_user_mangled, also telling which login the user got.
bool create_mangled(SSOClient& target, mig_user_info& user, std::string& new_id,
                    std::string& created_login) {
  std::string candidate = user.login;
  int attempt = 0;
  bool created = false;
  while (!created && attempt < kMaxAttempts) {
    if (target.addUser(candidate, user.password_hash, &user.hash_type, &user.id, new_id)) {
      created = true;
      break;
    }
    if (target.getErrorSubCode() != "sso:duplicateLogin") {
      std::cerr << "Error registering user: " << target.getErrorMessage() << std::endl;
      return false;
    }
    ++attempt;
    // Always derived from the record's login, never from the last candidate.
    candidate = mangle_user(user.login, attempt);
  }
  if (created && attempt >= 1) {
    std::cout << "MANGLED(" << user.login << ":" << user.id << "): " << candidate << "\n";
  }
  if (created) created_login = candidate;
  return created;
}

}  // namespace

bool create_user_mangled(SSOClient& target, mig_user_info& user, std::string& new_id) {
  std::string created_login;
  return create_mangled(target, user, new_id, created_login);
}

bool create_users(SSOClient& target, std::vector<mig_user_info>& users) {
  // Logins that this run has already given to one of its users, among those
  // that some record wants to take over: a record whose login is among them
  // is created like a conflicting one instead of deleting that user.
  std::unordered_set<std::string_view> takeover_logins;
  for (const mig_user_info& user : users) {
    if (user.target_owned) takeover_logins.insert(user.login);
  }
  std::unordered_set<std::string> given;

  for (mig_user_info& user : users) {
    if (user.target_owned && given.count(user.login) == 0) {
      if (!take_over(target, user)) return false;
      given.insert(user.login);
      continue;
    }
    std::string new_id, created_login;
    if (!create_mangled(target, user, new_id, created_login)) return false;
    if (takeover_logins.count(created_login)) given.insert(created_login);
  }
  return true;
}
