// The rules of a service instance, as an operator of such a service expects
// them, over the store: who may call what, which names must be unique, who
// owns which user. One method per service operation (getSettings aside,
// which needs no state); the SOAP layer (standin_service.cc) only translates.
//
// Callers. Every method takes the calling application's id (null: the call
// came without an identity). registerApplication needs none; every other
// method refuses a caller that is absent or not a registered application
// with "sso:accessDenied".
//
// Rules, beyond the obvious:
//  - logins are unique in the instance, compared byte for byte: createUser,
//    duplicateUser and changeLogin onto a taken login are refused with
//    "sso:duplicateLogin"; an empty login with "sso:invalidLogin";
//  - createUser takes a requested user id ("sso:duplicateUserId" when taken,
//    "sso:invalidUserId" when empty) or assigns a new UUID; with a hash type
//    the password field is stored verbatim as the hash of that type, without
//    one it is hashed with the stand-in's scheme;
//  - getUser and getUserId see every user of the instance; listUsers lists
//    the caller's own users in creation order;
//  - getUserPassword, deleteUser, changeLogin, changePassword,
//    transferOwnership and duplicateUser act only on the caller's own users:
//    an unknown id is "sso:noSuchUser", another application's user
//    "sso:notOwner";
//  - an application may update or unregister only its own registration
//    ("sso:accessDenied" for another's, "sso:noSuchApplication" for an
//    unknown id); unregistering removes its users too;
//  - registerApplication gives the application a new UUID and a certificate
//    whose CN is that id, made by the issuer the server provides;
//  - authenticate checks a password against the stored hash
//    ("sso:authenticationFailed" when it does not match, when the user is
//    unknown or when the hash type cannot be checked) and opens a session
//    that lasts the configured time-out; verifySession and closeSession
//    refuse unknown or expired sessions with "sso:invalidSession".
//
// Every call is one store transaction under one mutex, so calls from
// several connection threads are serialized and a refused call changes
// nothing. A store failure is a Receiver refusal "sso:internalError".
#ifndef IDFERRY_TOOLS_STANDIN_STANDIN_DIRECTORY_H_
#define IDFERRY_TOOLS_STANDIN_STANDIN_DIRECTORY_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/standin/standin_store.h"

namespace standin {

// The outcome of one call: success, or a refusal to be sent as a SOAP fault
// (Sender: the caller's request is at fault; Receiver: the instance is).
struct Status {
  enum class Code { kOk, kSender, kReceiver };
  Code code = Code::kOk;
  std::string subcode;  // "sso:noSuchUser", ...
  std::string reason;   // a readable text

  bool ok() const { return code == Code::kOk; }
  static Status Sender(std::string subcode, std::string reason) {
    return Status{Code::kSender, std::move(subcode), std::move(reason)};
  }
  static Status Receiver(std::string subcode, std::string reason) {
    return Status{Code::kReceiver, std::move(subcode), std::move(reason)};
  }
};

// The properties of an application registration as the messages carry them;
// for updates an absent field means "leave as it is".
struct AppProperties {
  std::optional<std::string> name, display_name, version, capabilities;
  std::optional<std::string> restore_password_url, change_password_url, url;
};

struct SessionGrant {
  std::string session_id;
  std::string relay_token;
  std::string user_id;
};

class Directory {
 public:
  // Makes the certificate for a new application id: certificate and key PEM
  // text, or false with a reason. Called without the directory's lock held.
  using CertIssuer = std::function<bool(const std::string& app_id, std::string* cert_pem,
                                        std::string* key_pem, std::string* error)>;
  // Seconds since the epoch; replaceable so that tests can expire sessions.
  using Clock = std::function<std::int64_t()>;

  Directory(Store* store, CertIssuer issuer, int session_timeout, std::string relay_url,
            Clock clock = nullptr);

  // Applications.
  Status register_application(const AppProperties& props, std::string* id,
                              std::string* certificate);
  Status list_applications(const std::string* caller, std::vector<std::string>* ids);
  Status update_application(const std::string* caller, const std::string& id,
                            const AppProperties& props, const std::string* certificate,
                            std::optional<std::string>* certificate_out);
  Status get_application(const std::string* caller, const std::string& id, AppRecord* app);
  Status unregister_application(const std::string* caller, const std::string& id);

  // Users.
  Status create_user(const std::string* caller, const std::string& login,
                     const std::string& password, const std::string* hash_type,
                     const std::string* user_id, std::string* new_id);
  Status duplicate_user(const std::string* caller, const std::string& user_id,
                        const std::string& login, std::string* new_id);
  Status delete_user(const std::string* caller, const std::string& user_id);
  Status get_user(const std::string* caller, const std::string& user_id, std::string* login,
                  std::string* owner);
  Status get_user_id(const std::string* caller, const std::string& login, std::string* user_id);
  Status get_user_password(const std::string* caller, const std::string& user_id,
                           std::string* hash, std::string* hash_type);
  Status change_login(const std::string* caller, const std::string& user_id,
                      const std::string& login);
  Status change_password(const std::string* caller, const std::string& user_id,
                         const std::string* old_password, const std::string& new_password,
                         const std::string* new_hash_type);
  Status transfer_ownership(const std::string* caller, const std::string& user_id,
                            const std::string& app_id);
  Status list_users(const std::string* caller,
                    std::vector<std::pair<std::string, std::string>>* users);

  // Web pages: the owning application's page when it registered one, else
  // the relay endpoint's page for the user, else none.
  Status restore_password_url(const std::string* caller, const std::string* login,
                              const std::string* user_id, std::optional<std::string>* url);
  Status change_password_url(const std::string* caller, const std::string& user_id,
                             std::optional<std::string>* url);

  // Sessions. authenticate names the user by login or, without one, by id.
  Status authenticate(const std::string* caller, const std::string* login,
                      const std::string* user_id, const std::string* password,
                      SessionGrant* grant);
  Status verify_session(const std::string* caller, const std::string& session_id,
                        std::string* user_id);
  Status close_session(const std::string* caller, const std::string& session_id);

  // Fault injection only: changes the stored user `user_id` whoever owns it,
  // outside every rule ("login", "hash", "type", "owner" set to `value`, or
  // "delete"). A missing user is left alone.
  void alter_user(const std::string& user_id, const std::string& field, const std::string& value);

 private:
  // Runs `body` as one transaction under the lock: committed when it
  // succeeds, rolled back when it refuses or the store fails.
  Status transact(const std::function<Status()>& body);
  Status require_caller(const std::string* caller);
  // The caller's own user `user_id` into *user, or the refusal.
  Status own_user(const std::string* caller, const std::string& user_id, UserRecord* user);
  std::optional<std::string> page(const std::optional<std::string>& app_page,
                                  const char* relay_page, const std::string& user_id);

  Store* store_;
  CertIssuer issuer_;
  int session_timeout_;
  std::string relay_url_;
  Clock clock_;
  std::mutex mu_;
};

}  // namespace standin

#endif  // IDFERRY_TOOLS_STANDIN_STANDIN_DIRECTORY_H_
