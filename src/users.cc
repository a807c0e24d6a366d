#include "src/users.h"

#include <iostream>

#include "src/SSOClient/SSOClient.h"
#include "src/parallel.h"
#include "src/run_control.h"

bool get_users(SSOClient& source, std::vector<mig_user_info>& users) {
  std::vector<SSOClient::UserInfo> listed;
  if (!source.getUsers(std::vector<std::string>(), listed)) {
    write_error(std::string("ERROR: ") + source.getErrorMessage());
    return false;
  }
  users.reserve(users.size() + listed.size());
  for (SSOClient::UserInfo& user : listed) {
    users.emplace_back(std::move(user.userId), std::move(user.login));
  }
  return true;
}

bool get_users_passwords(phase_runner& runner, client_set& source,
                         std::vector<mig_user_info>& users) {
  const size_t failed = runner.run(
      "Fetching users passwords", users.size(),
      [&](int worker, size_t i) {
        SSOClient& client = source.at(worker);
        if (client.getUserPassword(users[i].id, users[i].password_hash, users[i].hash_type)) {
          return true;
        }
        runner.fail(i, "ERROR: " + client.getErrorMessage());
        return false;
      },
      [](size_t, bool) {});
  if (failed < users.size()) {
    runner.write_failure(failed);
    for (size_t i = failed; i < users.size(); ++i) users[i].password_hash = users[i].hash_type = "";
    return false;
  }
  return !halted();
}
