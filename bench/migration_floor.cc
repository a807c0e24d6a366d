#include "bench/migration_floor.h"

#include <unordered_set>
#include <vector>

#include "soapssoProxy.h"
#include "src/SSOClient/SSOClient.h"

namespace bench {

namespace {

// One proxy on one keep-alive connection, with the transport settings the
// service client uses (its bounds and time-outs: the time-outs cost a
// readiness wait before every read and write); each call releases what the
// previous one decoded, as any loop over millions of calls must.
class Side {
 public:
  Side(const std::string& url, const std::string& cert_file) : url_(url) {
    soap_init2(proxy_.soap, SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
    proxy_.soap->maxoccurs = SSOClient::kMaxListedItems;
    proxy_.soap->maxlength = SSOClient::kMaxTextBytes;
    proxy_.soap->maxlevel = SSOClient::kMaxNesting;
    proxy_.soap->connect_timeout = -1000 * SSOClient::kConnectTimeoutMs;
    proxy_.soap->recv_timeout = -1000 * SSOClient::kIoTimeoutMs;
    proxy_.soap->send_timeout = -1000 * SSOClient::kIoTimeoutMs;
    proxy_.soap_endpoint_url = url_.c_str();
    soap_ssl_client_context(proxy_.soap, SOAP_SSL_SKIP_HOST_CHECK,
                            cert_file.empty() ? nullptr : cert_file.c_str(), nullptr, nullptr,
                            nullptr, nullptr);
  }
  sso& next() {
    soap_destroy(proxy_.soap);
    soap_end(proxy_.soap);
    return proxy_;
  }
  std::string subcode() const {
    const SOAP_ENV__Fault* f = proxy_.soap->fault;
    if (!f || !f->SOAP_ENV__Code || !f->SOAP_ENV__Code->SOAP_ENV__Subcode) return "";
    const char* v = f->SOAP_ENV__Code->SOAP_ENV__Subcode->SOAP_ENV__Value;
    return v ? v : "";
  }

 private:
  std::string url_;
  sso proxy_;
};

struct User {
  std::string id, login, hash, type, target_id;
  bool owned = false;
};

bool probe(const std::string& url) {
  Side side(url, "");
  sso__getSettingsResponse r;
  return side.next().sso__getSettings(r) == SOAP_OK;
}

std::string derived(const std::string& login, int n) {
  if (n == 0) return login;
  const bool digit = !login.empty() && login.back() >= '0' && login.back() <= '9';
  return login + (digit ? "_" : "") + std::to_string(n);
}

}  // namespace

bool run_floor(const FloorRun& run, std::string* error) {
  if (!probe(run.source_url) || !probe(run.target_url)) {
    *error = "endpoint probe failed";
    return false;
  }
  Side source(run.source_url, run.source_cert_file);
  std::vector<User> users;
  {
    sso__listUsersResponse r;
    if (source.next().sso__listUsers(r) != SOAP_OK) {
      *error = "listUsers failed";
      return false;
    }
    users.reserve(r.usersList.userIdLogin.size());
    for (const userId_login& e : r.usersList.userIdLogin) {
      User u;
      u.id = e.userId;
      u.login = e.login;
      users.push_back(u);
    }
  }
  if (!run.renames.empty()) {
    for (User& u : users) {
      auto it = run.renames.find(u.login);
      if (it != run.renames.end()) u.login = it->second;
    }
  }
  if (run.mode != "check") {
    for (User& u : users) {
      sso__getUserPasswordResponse r;
      if (source.next().sso__getUserPassword(u.id, r) != SOAP_OK) {
        *error = "getUserPassword failed";
        return false;
      }
      u.hash = r.passwordHash;
      u.type = r.passwordHashType;
    }
  }

  Side target(run.target_url, run.target_cert_file);
  for (User& u : users) {
    sso__getUserIdResponse id;
    if (target.next().sso__getUserId(u.login, id) != SOAP_OK) {
      if (target.subcode() == "sso:noSuchUser") continue;
      *error = "getUserId failed";
      return false;
    }
    u.target_id = id.userId;
    sso__getUserResponse owner;
    if (target.next().sso__getUser(u.target_id, owner) != SOAP_OK) {
      *error = "getUser failed";
      return false;
    }
    u.owned = owner.applicationId == run.target_app;
  }
  if (run.mode == "check") return true;

  std::unordered_set<std::string> given;
  for (User& u : users) {
    if (u.owned && given.insert(u.login).second) {
      const std::string temporary = u.login + "_" + u.id + "_tmp_migrate";
      sso__createUserResponse created;
      sso__getUserIdResponse old_id, new_id;
      sso__deleteUserResponse deleted;
      sso__changeLoginResponse renamed;
      if (target.next().sso__createUser(temporary, u.hash, &u.type, &u.id, created) ||
          target.next().sso__getUserId(u.login, old_id) ||
          target.next().sso__deleteUser(old_id.userId, &deleted) ||
          target.next().sso__getUserId(temporary, new_id) ||
          target.next().sso__changeLogin(new_id.userId, u.login, &renamed)) {
        *error = "takeover failed";
        return false;
      }
      continue;
    }
    bool created = false;
    for (int n = 0; n < 100 && !created; ++n) {
      sso__createUserResponse r;
      if (target.next().sso__createUser(derived(u.login, n), u.hash, &u.type, &u.id, r) ==
          SOAP_OK) {
        created = true;
      } else if (target.subcode() != "sso:duplicateLogin") {
        *error = "createUser failed";
        return false;
      }
    }
    if (!created) {
      *error = "no free login for " + u.login;
      return false;
    }
  }
  return true;
}

}  // namespace bench
