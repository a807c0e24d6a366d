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

}  // namespace

write_outcome create_as(SSOClient& target, const mig_user_info& user, const std::string& login,
                       const std::string& app_id) {
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

write_outcome delete_holder(SSOClient& target, const std::string& login) {
  if (target.deleteUsers(std::vector<std::string>(1, login))) return {true, "", ""};
  write_outcome failed = failure(target);
  // The attempt whose answer was lost deleted the user.
  failed.ok = target.lastCallRetried() && failed.subcode == "sso:noSuchUser";
  return failed;
}

write_outcome rename_user(SSOClient& target, const std::string& id, const std::string& from,
                         const std::string& to) {
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

write_outcome change_password(SSOClient& target, const mig_user_info& user,
                              const std::string& login) {
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
