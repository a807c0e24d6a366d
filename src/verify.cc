#include "src/verify.h"

#include <iostream>
#include <map>
#include <mutex>

#include "src/SSOClient/SSOClient.h"
#include "src/create.h"
#include "src/parallel.h"
#include "src/run_control.h"
#include "src/takeover.h"

std::string migrated_login(const std::vector<mig_user_info>& users, size_t index,
                           const resume_findings* resumed) {
  const mig_user_info& user = users[index];
  if (resumed) {
    auto found = resumed->target_login.find(index);
    if (found != resumed->target_login.end() && !is_temporary_login(found->second, user.id)) {
      return found->second;
    }
  }
  return mangle_user(user.login, user.derived);
}

bool verify_record(SSOClient& target, const mig_user_info& user, const std::string& login,
                   const std::string& app_id, std::string& differs, std::string& error) {
  differs.clear();
  std::string id = user.id, hash, type;
  SSOClient::UserInfo info;
  if (!target.getUserInfo(id, info)) {
    if (target.getErrorSubCode() != "sso:noSuchUser") {
      error = "Error getting userInfo: " + target.getErrorMessage();
      return false;
    }
    differs = "missing";
    return true;
  }
  auto add = [&](const std::string& what) { differs += (differs.empty() ? "" : ", ") + what; };
  if (info.login != login) add("login " + info.login);
  // Another application's user: its password is not ours to read.
  if (info.applicationId != app_id) {
    add("owner " + info.applicationId);
    return true;
  }
  if (!target.getUserPassword(id, hash, type)) {
    error = "ERROR: " + target.getErrorMessage();
    return false;
  }
  if (hash != user.password_hash) add("password hash differs");
  if (type != user.hash_type) add("hash type differs");
  return true;
}

bool verify_users(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                  const std::string& app_id, const resume_findings* resumed, size_t& unverified) {
  unverified = 0;
  std::mutex mu;
  std::map<size_t, std::string> differences;
  const size_t failed = runner.run(
      "Verifying users", users.size(),
      [&](int worker, size_t i) {
        std::string differs, error;
        if (!verify_record(target.at(worker), users[i], migrated_login(users, i, resumed), app_id,
                           differs, error)) {
          runner.fail(i, error);
          return false;
        }
        if (!differs.empty()) {
          std::lock_guard<std::mutex> lock(mu);
          differences[i] = differs;
        }
        return true;
      },
      [&](size_t i, bool before_failure) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = differences.find(i);
        if (it == differences.end()) return;
        if (before_failure) {
          ++unverified;
          users[i].outcome = user_outcome::unverified;
          runner.note(i, it->second);
          write_result("UNVERIFIED(" + users[i].login + ":" + users[i].id + "): " + it->second);
        }
        differences.erase(it);
      });
  if (failed < users.size()) {
    runner.write_failure(failed);
    return false;
  }
  return !halted();
}
