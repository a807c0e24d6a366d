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

id_read read_id(SSOClient& target, const mig_user_info& user, const std::string& app_id) {
  id_read read;
  std::string id = user.id;
  SSOClient::UserInfo info;
  if (!target.getUserInfo(id, info)) {
    if (target.getErrorSubCode() == "sso:noSuchUser") return read;
    read.kind = on_target::failed;
    read.error = "Error getting userInfo: " + target.getErrorMessage();
    return read;
  }
  // Another application's user is not ours, whatever its hash.
  read.kind = on_target::other_data;
  if (info.applicationId != app_id) return read;
  if (!target.getUserPassword(id, read.hash, read.type)) {
    read.kind = on_target::failed;
    read.error = "ERROR: " + target.getErrorMessage();
    return read;
  }
  read.kind = on_target::migrated;
  read.login = info.login;
  return read;
}

on_target classify(const mig_user_info& user, const id_read& read,
                   const takeover_victims& victims, std::string& login, std::string& error) {
  error = read.error;
  if (read.kind != on_target::migrated) return read.kind;
  login = read.login;
  if (read.hash == user.password_hash && read.type == user.hash_type) return on_target::migrated;
  // Without the record's hash it is not provably this migration's: the user
  // another record's takeover replaces is that, even under a login derived
  // from this record's (one uninterrupted run deletes it too).
  const auto victim = victims.find(user.id);
  if (victim != victims.end() && victim->second == read.login) {
    login.clear();
    return on_target::absent;
  }
  if (login == user.login || is_derived_login(login, user.login) ||
      is_temporary_login(login, user.id)) {
    return on_target::changed;
  }
  login.clear();
  return on_target::other_data;
}

bool read_ids_early(phase_runner& runner, client_set& target,
                    const std::vector<mig_user_info>& users, const std::string& app_id,
                    early_resume& early) {
  early.made.assign(users.size(), 0);
  std::mutex mu;  // early.reads
  const size_t failed = runner.run(
      "Checking users already migrated", users.size(),
      [&](int worker, size_t i) {
        id_read read = read_id(target.at(worker), users[i], app_id);
        early.made[i] = 1;
        const bool ok = read.kind != on_target::failed;
        if (read.kind != on_target::absent) {
          std::lock_guard<std::mutex> lock(mu);
          early.reads.emplace(i, std::move(read));
        }
        return ok;
      },
      [](size_t, bool) {});
  return failed == users.size();
}

std::string other_data_line(const mig_user_info& user) {
  return "ERROR: user id " + user.id + " (" + user.login + ") is on the target with other data";
}

std::string changed_line(const mig_user_info& user) {
  return "ERROR: user id " + user.id + " (" + user.login +
         ") changed on the source since it was migrated (--update carries the change)";
}

bool find_migrated(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                   const std::string& app_id, bool update, resume_findings& found,
                   const early_resume* early) {
  const takeover_victims victims = victims_of(users);
  std::vector<on_target> kind(users.size(), on_target::absent);
  std::mutex found_mu;
  bool clean = true;
  const size_t failed = runner.run(
      "Checking users already migrated", users.size(),
      [&](int worker, size_t i) {
        std::string login, error;
        if (early && !early->made[i]) return true;  // after the first failed read, or a stop
        const auto it = early ? early->reads.find(i) : early_resume::reads_t::const_iterator();
        kind[i] = classify(users[i],
                           !early                     ? read_id(target.at(worker), users[i], app_id)
                           : it != early->reads.end() ? it->second
                                                      : id_read(),
                           victims, login, error);
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
