#include "src/writes.h"

#include <vector>

#include "src/SSOClient/SSOClient.h"

namespace {

// The failure of the client's last call.
write_outcome failure(const SSOClient& client) {
  return {false, client.getErrorSubCode(), client.getErrorMessage()};
}

// Whether a read that failed found nobody: an answer (the write was not
// done), not a failure of the read.
bool absent(const SSOClient& client) { return client.getErrorSubCode() == "sso:noSuchUser"; }

// After a write that failed as `failed`: done when `confirmed` (a read)
// says so; otherwise the write's failure, or the read's when the read
// itself failed.
template <typename Read>
write_outcome reconcile(SSOClient& client, write_outcome failed, Read&& confirmed) {
  bool done = false;
  if (!confirmed(done)) return failure(client);
  if (done) return {true, "", ""};
  return failed;
}

// A failure a dry run foresees.
write_outcome foreseen(const char* subcode, const std::string& what) {
  return {false, subcode, what + " (dry run)"};
}

}  // namespace

bool foreseen_target::holder(SSOClient& target, const std::string& login, std::string& id,
                             write_outcome& failed) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = logins_.find(login);
    if (it != logins_.end()) {
      id = it->second;
      return true;
    }
  }
  id.clear();
  if (!target.getUserId(login, id)) {
    if (!absent(target)) {
      failed = failure(target);
      return false;
    }
    id.clear();
  }
  set_login(login, id);
  return true;
}

bool foreseen_target::id_held(SSOClient& target, const std::string& id, bool& held,
                              write_outcome& failed) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = ids_.find(id);
    if (it != ids_.end()) {
      held = it->second;
      return true;
    }
  }
  std::string user_id = id;
  SSOClient::UserInfo info;
  held = target.getUserInfo(user_id, info);
  if (!held && !absent(target)) {
    failed = failure(target);
    return false;
  }
  set_id(id, held);
  return true;
}

void foreseen_target::set_login(const std::string& login, const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  logins_[login] = id;
}

void foreseen_target::set_id(const std::string& id, bool held) {
  std::lock_guard<std::mutex> lock(mu_);
  ids_[id] = held;
}

write_outcome create_as(writer& w, const mig_user_info& user, const std::string& login,
                        const std::string& app_id) {
  SSOClient& target = w.target;
  if (w.dry) {
    write_outcome failed;
    std::string holder;
    bool id_held = false;
    if (!w.dry->holder(target, login, holder, failed)) return failed;
    if (!holder.empty()) return foreseen("sso:duplicateLogin", login + " is held on the target");
    if (!w.dry->id_held(target, user.id, id_held, failed)) return failed;
    if (id_held) return foreseen("sso:duplicateUserId", "user id " + user.id + " is held on the target");
    w.dry->set_login(login, user.id);
    w.dry->set_id(user.id, true);
    return {true, "", ""};
  }
  std::string new_id;
  if (target.addUser(login, user.password_hash, &user.hash_type, &user.id, new_id)) {
    return {true, "", ""};
  }
  const write_outcome failed = failure(target);
  if (!target.lastCallRetried() ||
      (failed.subcode != "sso:duplicateUserId" && failed.subcode != "sso:duplicateLogin")) {
    return failed;
  }
  return reconcile(target, failed, [&](bool& done) {
    std::string id = user.id, hash, type;
    SSOClient::UserInfo info;
    if (!target.getUserInfo(id, info)) return absent(target);
    if (info.login != login || info.applicationId != app_id) return true;
    if (!target.getUserPassword(id, hash, type)) return false;
    done = hash == user.password_hash && type == user.hash_type;
    return true;
  });
}

write_outcome delete_holder(writer& w, const std::string& login) {
  SSOClient& target = w.target;
  if (w.dry) {
    write_outcome failed;
    std::string holder;
    if (!w.dry->holder(target, login, holder, failed)) return failed;
    if (holder.empty()) return foreseen("sso:noSuchUser", "no user holds " + login);
    w.dry->set_login(login, "");
    w.dry->set_id(holder, false);
    return {true, "", ""};
  }
  if (target.deleteUsers(std::vector<std::string>(1, login))) return {true, "", ""};
  write_outcome failed = failure(target);
  // The attempt whose answer was lost deleted the user.
  failed.ok = target.lastCallRetried() && failed.subcode == "sso:noSuchUser";
  return failed;
}

write_outcome rename_user(writer& w, const std::string& id, const std::string& from,
                          const std::string& to) {
  SSOClient& target = w.target;
  if (w.dry) {
    write_outcome failed;
    std::string holder;
    if (!w.dry->holder(target, to, holder, failed)) return failed;
    if (!holder.empty() && holder != id) {
      return foreseen("sso:duplicateLogin", to + " is held on the target");
    }
    w.dry->set_login(from, "");
    w.dry->set_login(to, id);
    return {true, "", ""};
  }
  if (target.changeLogin(from, to)) return {true, "", ""};
  const write_outcome failed = failure(target);
  if (!target.lastCallRetried()) return failed;
  return reconcile(target, failed, [&](bool& done) {
    std::string user_id = id;
    SSOClient::UserInfo info;
    if (!target.getUserInfo(user_id, info)) return absent(target);
    done = info.login == to;
    return true;
  });
}

write_outcome change_password(writer& w, const mig_user_info& user, const std::string& login) {
  SSOClient& target = w.target;
  if (w.dry) return {true, "", ""};
  if (target.changePassword(login, user.password_hash, &user.hash_type)) return {true, "", ""};
  const write_outcome failed = failure(target);
  if (!target.lastCallRetried()) return failed;
  return reconcile(target, failed, [&](bool& done) {
    std::string hash, type;
    if (!target.getUserPassword(user.id, hash, type)) return false;
    done = hash == user.password_hash && type == user.hash_type;
    return true;
  });
}

write_outcome unregister(SSOClient& source, const std::string& app_id) {
  if (source.unregisterApplication(app_id)) return {true, "", ""};
  const write_outcome failed = failure(source);
  // The cleanup's own reason is kept whatever the read met.
  return reconcile(source, failed, [&](bool& done) {
    if (!source.getApplication(app_id)) {
      const std::string subcode = source.getErrorSubCode();
      done = subcode == "sso:noSuchApplication" || subcode == "sso:accessDenied";
    }
    return true;
  });
}
