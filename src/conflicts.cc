#include "src/conflicts.h"

#include <iostream>
#include <mutex>

#include "src/SSOClient/SSOClient.h"
#include "src/parallel.h"
#include "src/run_control.h"

look_up_result look_up_login(SSOClient& target, mig_user_info& user,
                             const std::string& target_app_id, std::string& error) {
  std::string id;
  if (!target.getUserId(user.login, id)) {
    if (target.getErrorSubCode() == "sso:noSuchUser") return look_up_result::free;
    error = "Error getting userId: " + target.getErrorMessage();
    return look_up_result::failed;
  }
  user.target_id = id;
  SSOClient::UserInfo holder;
  if (!target.getUserInfo(user.target_id, holder)) {
    error = "Error getting userInfo: " + target.getErrorMessage();
    return look_up_result::failed;
  }
  user.target_owned = holder.applicationId == target_app_id;
  return user.target_owned ? look_up_result::owned : look_up_result::conflict;
}

std::string conflict_line(const mig_user_info& user) {
  return "CONFLICT: " + user.login + "(" + user.id + ">" + user.target_id + ")";
}

bool look_up_early(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                   const std::string& target_app_id, early_check& early) {
  early.made.assign(users.size(), 0);
  early.result.assign(users.size(), look_up_result::free);
  std::mutex mu;  // early.error
  const size_t failed = runner.run(
      "Checking users conflicts", users.size(),
      [&](int worker, size_t i) {
        std::string error;
        early.result[i] = look_up_login(target.at(worker), users[i], target_app_id, error);
        early.made[i] = 1;
        if (early.result[i] != look_up_result::failed) return true;
        std::lock_guard<std::mutex> lock(mu);
        early.error[i] = error;
        return false;
      },
      [](size_t, bool) {});
  return failed == users.size();
}

check_result check_users(phase_runner& runner, client_set& target,
                         std::vector<mig_user_info>& users, const std::string& target_app_id,
                         const early_check* early) {
  bool conflict = false;
  const size_t failed = runner.run(
      "Checking users conflicts", users.size(),
      [&](int worker, size_t i) {
        std::string error;
        mig_user_info& user = users[i];
        const bool made = early && early->made[i];
        // Not made ahead: after the first failed look-up, or a stop.
        if (early && !made) return true;
        if (made && early->error.count(i)) error = early->error.at(i);
        switch (made ? early->result[i]
                     : look_up_login(target.at(worker), user, target_app_id, error)) {
          case look_up_result::failed:
            user.outcome = user_outcome::failed;
            runner.fail(i, error);
            return false;
          case look_up_result::conflict:
            user.outcome = user_outcome::conflict;
            break;
          case look_up_result::owned:
            user.outcome = user_outcome::takeover;
            break;
          case look_up_result::free:
            user.outcome = user_outcome::free;
            break;
        }
        return true;
      },
      [&](size_t i, bool before_failure) {
        if (before_failure && users[i].outcome == user_outcome::conflict) {
          write_result(conflict_line(users[i]));
          conflict = true;
        }
      });
  if (failed < users.size()) {
    runner.write_failure(failed);
    for (size_t i = failed + 1; i < users.size(); ++i) {
      users[i].target_id.clear();
      users[i].target_owned = false;
      users[i].outcome = user_outcome::none;
    }
    return check_result::failed;
  }
  if (halted()) return check_result::failed;
  return conflict ? check_result::conflicts : check_result::clean;
}
