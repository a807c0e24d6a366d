// The typed operations of SSOClient: each makes its service call(s) through
// the proxy, copies what it needs out of the decoded response and reports
// success as a bool. Every service call starts with prepare_call(), which
// releases what the runtime decoded for the previous one.
#include <cassert>

#include "soapssoProxy.h"
#include "src/SSOClient/SSOClient.h"

// ---- Users ---------------------------------------------------------------

bool SSOClient::getUserId(const std::string& login, std::string& userId) {
  prepare_call();
  sso__getUserIdResponse response;
  if (m_proxy->sso__getUserId(login, response) != SOAP_OK) return false;
  userId = response.userId;
  return true;
}

bool SSOClient::getUserInfo(std::string& userId, UserInfo& info) {
  prepare_call();
  sso__getUserResponse response;
  if (m_proxy->sso__getUser(userId, response) != SOAP_OK) return false;
  info.login = response.login;
  info.applicationId = response.applicationId;
  return true;
}

bool SSOClient::getUsers(const std::vector<std::string>& logins, std::vector<UserInfo>& users) {
  if (logins.empty()) {
    prepare_call();
    sso__listUsersResponse response;
    if (m_proxy->sso__listUsers(response) != SOAP_OK) return false;
    const std::vector<userId_login>& listed = response.usersList.userIdLogin;
    users.reserve(users.size() + listed.size());
    for (const userId_login& entry : listed) {
      UserInfo info;
      info.login = entry.login;
      info.userId = entry.userId;
      users.push_back(info);
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
  prepare_call();
  sso__getUserPasswordResponse response;
  if (m_proxy->sso__getUserPassword(userId, response) != SOAP_OK) return false;
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
  prepare_call();
  // The request takes pointers to optional fields; point at copies so the
  // caller's strings are never handed to the runtime.
  std::string hash_type_copy = hashType ? *hashType : std::string();
  std::string id_copy = requestedId ? *requestedId : std::string();
  sso__createUserResponse response;
  if (m_proxy->sso__createUser(login, password, hashType ? &hash_type_copy : nullptr,
                               requestedId ? &id_copy : nullptr, response) != SOAP_OK) {
    return false;
  }
  userId = response.userId;
  return true;
}

bool SSOClient::changeLogin(const std::string& login, const std::string& newLogin) {
  std::string id;
  if (!getUserId(login, id)) return false;
  prepare_call();
  // Always a real response record: without one the generated call would not
  // read the answer, and a fault would pass unnoticed.
  sso__changeLoginResponse response;
  return m_proxy->sso__changeLogin(id, newLogin, &response) == SOAP_OK;
}

bool SSOClient::changePassword(const std::string& login, const std::string& newPassword) {
  std::string id;
  if (!getUserId(login, id)) return false;
  prepare_call();
  sso__changePasswordResponse response;
  return m_proxy->sso__changePassword(id, nullptr, newPassword, nullptr, &response) == SOAP_OK;
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
    prepare_call();
    sso__deleteUserResponse response;
    if (m_proxy->sso__deleteUser(id, &response) != SOAP_OK) return false;
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
  prepare_call();
  std::string restore = restorePasswordUrl;
  std::string change = changePasswordUrl;
  std::string app_url = url;
  registerApplicationResponse response;
  // The URL is the fourth argument here but the last field of the request.
  if (m_proxy->sso__registerApplication(name, displayName, version, std::string(), &restore,
                                        &change, &app_url, response) != SOAP_OK) {
    return false;
  }
  m_appId = response.applicationId;
  m_certificate = response.certificate;
  return true;
}

bool SSOClient::unregisterApplication(const std::string& applicationId) {
  prepare_call();
  sso__unregisterApplicationResponse response;
  return m_proxy->sso__unregisterApplication(applicationId, &response) == SOAP_OK;
}

bool SSOClient::authenticate(const std::string& login, const std::string& password) {
  prepare_call();
  std::string login_copy = login;
  std::string password_copy = password;
  sso__authenticateResponse response;
  return m_proxy->sso__authenticate(&login_copy, nullptr, &password_copy, nullptr, response) !=
         SOAP_OK;
}

bool SSOClient::getSettings(ssoSettings& settings) {
  prepare_call();
  sso__getSettingsResponse response;
  if (m_proxy->sso__getSettings(response) != SOAP_OK) return false;
  settings.relayEndpointUrl = response.relayEndpointUrl;
  settings.usersSessionsTimeout = response.usersSessionsTimeout;
  settings.hashTypes = response.hashType;
  return true;
}
