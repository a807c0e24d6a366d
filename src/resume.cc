#include "src/resume.h"

#include <iostream>

#include "src/SSOClient/SSOClient.h"
#include "src/run_control.h"

on_target look_up_migrated(SSOClient& target, const mig_user_info& user,
                           const std::string& app_id, std::string& login, std::string& error) {
  std::string id = user.id, hash, type;
  SSOClient::UserInfo info;
  if (!target.getUserInfo(id, info)) {
    if (target.getErrorSubCode() == "sso:noSuchUser") return on_target::absent;
    error = "Error getting userInfo: " + target.getErrorMessage();
    return on_target::failed;
  }
  // Another application's user is not ours, whatever its hash.
  if (info.applicationId != app_id) return on_target::other_data;
  if (!target.getUserPassword(id, hash, type)) {
    error = "ERROR: " + target.getErrorMessage();
    return on_target::failed;
  }
  if (hash != user.password_hash || type != user.hash_type) return on_target::other_data;
  login = info.login;
  return on_target::migrated;
}

std::string other_data_line(const mig_user_info& user) {
  return "ERROR: user id " + user.id + " (" + user.login + ") is on the target with other data";
}

bool find_migrated(SSOClient& target, std::vector<mig_user_info>& users,
                   const std::string& app_id, resume_findings& found) {
  bool clean = true;
  std::string login, error;
  for (size_t i = 0; i < users.size(); ++i) {
    if (halted()) return false;
    switch (look_up_migrated(target, users[i], app_id, login, error)) {
      case on_target::absent:
        break;
      case on_target::migrated:
        found.target_login[i] = login;
        break;
      case on_target::other_data:
        std::cerr << other_data_line(users[i]) << std::endl;
        users[i].outcome = user_outcome::failed;
        clean = false;
        break;
      case on_target::failed:
        std::cerr << error << std::endl;
        return false;
    }
  }
  return clean;
}
