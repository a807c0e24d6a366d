#include "src/resume.h"

#include <mutex>

#include "src/SSOClient/SSOClient.h"
#include "src/create.h"
#include "src/parallel.h"
#include "src/run_control.h"
#include "src/takeover.h"

takeover_victims victims_of(const std::vector<mig_user_info>& users) {
  takeover_victims victims;
  for (const mig_user_info& user : users) {
    // A user under the record's own id is no victim: the takeover could not
    // even create the record's user beside it.
    if (user.target_owned && user.target_id != user.id) victims.emplace(user.target_id, user.login);
  }
  return victims;
}

on_target look_up_migrated(SSOClient& target, const mig_user_info& user,
                           const std::string& app_id, const takeover_victims& victims,
                           std::string& login, std::string& error) {
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
  login = info.login;
  if (hash == user.password_hash && type == user.hash_type) return on_target::migrated;
  if (info.login == user.login || is_derived_login(info.login, user.login) ||
      is_temporary_login(info.login, user.id)) {
    return on_target::changed;
  }
  login.clear();
  const auto victim = victims.find(user.id);
  if (victim != victims.end() && victim->second == info.login) return on_target::absent;
  return on_target::other_data;
}

std::string other_data_line(const mig_user_info& user) {
  return "ERROR: user id " + user.id + " (" + user.login + ") is on the target with other data";
}

std::string changed_line(const mig_user_info& user) {
  return "ERROR: user id " + user.id + " (" + user.login +
         ") changed on the source since it was migrated (--update carries the change)";
}

bool find_migrated(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                   const std::string& app_id, bool update, resume_findings& found) {
  const takeover_victims victims = victims_of(users);
  std::vector<on_target> kind(users.size(), on_target::absent);
  std::mutex found_mu;
  bool clean = true;
  const size_t failed = runner.run(
      "Checking users already migrated", users.size(),
      [&](int worker, size_t i) {
        std::string login, error;
        kind[i] = look_up_migrated(target.at(worker), users[i], app_id, victims, login, error);
        if (kind[i] == on_target::migrated || (kind[i] == on_target::changed && update)) {
          std::lock_guard<std::mutex> lock(found_mu);
          found.target_login[i] = login;
          if (kind[i] == on_target::changed) found.changed.insert(i);
        }
        if (kind[i] == on_target::failed) runner.fail(i, error);
        return kind[i] != on_target::failed;
      },
      [&](size_t i, bool before_failure) {
        const bool stale = kind[i] == on_target::changed && !update;
        if (!before_failure || (kind[i] != on_target::other_data && !stale)) return;
        write_error(stale ? changed_line(users[i]) : other_data_line(users[i]));
        users[i].outcome = user_outcome::failed;
        runner.note(i, stale ? "changed on the source since it was migrated"
                             : "on the target with other data");
        clean = false;
      });
  if (failed < users.size()) {
    runner.write_failure(failed);
    return false;
  }
  return clean && !halted();
}

std::unordered_set<std::string> held_logins(const std::vector<mig_user_info>& users,
                                            const resume_findings& found) {
  std::unordered_set<std::string> held;
  for (const auto& [index, login] : found.target_login) {
    if (!is_temporary_login(login, users[index].id)) held.insert(login);
  }
  return held;
}

const std::string* cut_takeover(const std::vector<mig_user_info>& users,
                                const resume_findings& found, size_t index) {
  const auto it = found.target_login.find(index);
  if (it == found.target_login.end() || !is_temporary_login(it->second, users[index].id)) {
    return nullptr;
  }
  return &it->second;
}
