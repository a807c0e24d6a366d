#include "src/users.h"

#include <iostream>

#include "src/SSOClient/SSOClient.h"
#include "src/run_control.h"

bool get_users(SSOClient& source, std::vector<mig_user_info>& users) {
  std::vector<SSOClient::UserInfo> listed;
  if (!source.getUsers(std::vector<std::string>(), listed)) {
    std::cerr << "ERROR: " << source.getErrorMessage() << std::endl;
    return false;
  }
  users.reserve(users.size() + listed.size());
  for (SSOClient::UserInfo& user : listed) {
    users.emplace_back(std::move(user.userId), std::move(user.login));
  }
  return true;
}

bool get_users_passwords(SSOClient& source, std::vector<mig_user_info>& users) {
  for (mig_user_info& user : users) {
    if (halted()) return false;
    if (!source.getUserPassword(user.id, user.password_hash, user.hash_type)) {
      std::cerr << "ERROR: " << source.getErrorMessage() << std::endl;
      return false;
    }
  }
  return true;
}
