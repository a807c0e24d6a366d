// The typed operations of SSOClient: each makes its service call(s) through
// the proxy, copies what it needs out of the decoded response and reports
// success as a bool. Every service call goes through call(), which releases
// what the runtime decoded for an earlier one, retries as the policy says,
// and releases the new answer's data at once after a success. The operations
// copy only value fields (strings and lists the response record owns), never
// the optional fields that point into the runtime's memory, so that release
// may come before the copy: a million-user listing then never holds the
// runtime's copies and the caller's at the same time.
#include <cassert>

#include "soapssoProxy.h"
#include "src/SSOClient/SSOClient.h"

// ---- Users ---------------------------------------------------------------

bool SSOClient::getUserId(const std::string& login, std::string& userId) {
  sso__getUserIdResponse response;
  if (!call("getUserId", [&] { return m_proxy->sso__getUserId(login, response); })) return false;
  userId = response.userId;
  return true;
}

bool SSOClient::getUserInfo(std::string& userId, UserInfo& info) {
  sso__getUserResponse response;
  if (!call("getUser", [&] { return m_proxy->sso__getUser(userId, response); })) return false;
  info.login = response.login;
  info.applicationId = response.applicationId;
  return true;
}

bool SSOClient::getUsers(const std::vector<std::string>& logins, std::vector<UserInfo>& users) {
  if (logins.empty()) {
    sso__listUsersResponse response;
    if (!call("listUsers", [&] { return m_proxy->sso__listUsers(response); })) return false;
    // A listing may hold millions of users: the strings are moved, not
    // copied, out of the local response record.
    std::vector<userId_login>& listed = response.usersList.userIdLogin;
    users.reserve(users.size() + listed.size());
    for (userId_login& entry : listed) {
      users.emplace_back();
      users.back().login = std::move(entry.login);
      users.back().userId = std::move(entry.userId);
    }
    return true;
  }
  for (const std::string& login : logins) {
    UserInfo info;
    if (!getUserId(login, info.userId)) return false;
    info.login = login;
    users.push_back(info);
  }
  return true;
}

bool SSOClient::getUserPassword(const std::string& userId, std::string& hash,
                                std::string& hashType) {
  sso__getUserPasswordResponse response;
  if (!call("getUserPassword", [&] { return m_proxy->sso__getUserPassword(userId, response); })) {
    return false;
  }
  hash = response.passwordHash;
  hashType = response.passwordHashType;
  return true;
}

bool SSOClient::addUser(const std::string& login, const std::string& password,
                        std::string& userId) {
  return addUser(login, password, nullptr, nullptr, userId);
}

bool SSOClient::addUser(const std::string& login, const std::string& password,
                        const std::string* hashType, const std::string* requestedId,
                        std::string& userId) {
  // The request takes pointers to optional fields; point at copies so the
  // caller's strings are never handed to the runtime.
  std::string hash_type_copy = hashType ? *hashType : std::string();
  std::string id_copy = requestedId ? *requestedId : std::string();
  sso__createUserResponse response;
  if (!call("createUser", [&] {
        return m_proxy->sso__createUser(login, password, hashType ? &hash_type_copy : nullptr,
                                        requestedId ? &id_copy : nullptr, response);
      })) {
    return false;
  }
  userId = response.userId;
  return true;
}

bool SSOClient::changeLogin(const std::string& login, const std::string& newLogin) {
  std::string id;
  if (!getUserId(login, id)) return false;
  // Always a real response record: without one the generated call would not
  // read the answer, and a fault would pass unnoticed.
  sso__changeLoginResponse response;
  return call("changeLogin", [&] { return m_proxy->sso__changeLogin(id, newLogin, &response); });
}

bool SSOClient::changePassword(const std::string& login, const std::string& newPassword,
                               const std::string* newHashType) {
  std::string id;
  if (!getUserId(login, id)) return false;
  std::string type_copy = newHashType ? *newHashType : std::string();
  sso__changePasswordResponse response;
  return call("changePassword", [&] {
    return m_proxy->sso__changePassword(id, nullptr, newPassword,
                                        newHashType ? &type_copy : nullptr, &response);
  });
}

bool SSOClient::deleteUsers(const std::vector<std::string>& logins) {
  std::vector<std::string> ids;
  ids.reserve(logins.size());
  for (const std::string& login : logins) {
    std::string id;
    if (!getUserId(login, id)) return false;
    ids.push_back(id);
  }
  for (const std::string& id : ids) {
    sso__deleteUserResponse response;
    if (!call("deleteUser", [&] { return m_proxy->sso__deleteUser(id, &response); })) return false;
  }
  return true;
}

// ---- Application, session, settings --------------------------------------

bool SSOClient::registerApplication(const std::string& name, const std::string& displayName,
                                    const std::string& version, const std::string& url,
                                    const std::string& restorePasswordUrl,
                                    const std::string& changePasswordUrl) {
  assert("" == m_appId);
  assert("" == m_certificate);
  std::string restore = restorePasswordUrl;
  std::string change = changePasswordUrl;
  std::string app_url = url;
  registerApplicationResponse response;
  // The URL is the fourth argument here but the last field of the request.
  if (!call("registerApplication", [&] {
        return m_proxy->sso__registerApplication(name, displayName, version, std::string(),
                                                 &restore, &change, &app_url, response);
      })) {
    return false;
  }
  m_appId = response.applicationId;
  m_certificate = response.certificate;
  return true;
}

bool SSOClient::getApplication(const std::string& applicationId) {
  getApplicationResponse response;
  return call("getApplication",
              [&] { return m_proxy->sso__getApplication(applicationId, response); });
}

bool SSOClient::unregisterApplication(const std::string& applicationId) {
  sso__unregisterApplicationResponse response;
  return call("unregisterApplication", [&] {
    return m_proxy->sso__unregisterApplication(applicationId, &response);
  });
}

bool SSOClient::authenticate(const std::string& login, const std::string& password) {
  std::string login_copy = login;
  std::string password_copy = password;
  sso__authenticateResponse response;
  return !call("authenticate", [&] {
    return m_proxy->sso__authenticate(&login_copy, nullptr, &password_copy, nullptr, response);
  });
}

bool SSOClient::getSettings(ssoSettings& settings) {
  sso__getSettingsResponse response;
  if (!call("getSettings", [&] { return m_proxy->sso__getSettings(response); })) return false;
  settings.relayEndpointUrl = response.relayEndpointUrl;
  settings.usersSessionsTimeout = response.usersSessionsTimeout;
  settings.hashTypes = response.hashType;
  return true;
}
