#include "src/conflicts.h"

#include <iostream>

#include "src/SSOClient/SSOClient.h"

bool check_users(SSOClient& target, std::vector<mig_user_info>& users,
                 const std::string& target_app_id) {
  bool conflict = false;
  for (mig_user_info& user : users) {
    std::string id;
    if (!target.getUserId(user.login, id)) {
      if (target.getErrorSubCode() == "sso:noSuchUser") continue;  // the login is free
      std::cerr << "Error getting userId: " << target.getErrorMessage() << std::endl;
      return false;
    }
    user.target_id = id;
    SSOClient::UserInfo holder;
    if (!target.getUserInfo(user.target_id, holder)) {
      std::cerr << "Error getting userInfo: " << target.getErrorMessage() << std::endl;
      return false;
    }
    user.target_owned = holder.applicationId == target_app_id;
    if (!user.target_owned) {
      std::cout << "CONFLICT: " << user.login << "(" << user.id << ">" << user.target_id << ")"
                << "\n";
      conflict = true;
    }
  }
  return !conflict;
}
