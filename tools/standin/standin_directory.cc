// The rules of a service instance; see standin_directory.h.

#include "tools/standin/standin_directory.h"

#include <ctime>

#include "tools/standin/standin_password.h"
#include "tools/standin/standin_text.h"

namespace standin {

namespace {

// Names in reasons: escaped, so a reason stays one printable line.
std::string quoted(const std::string& bytes) { return "\"" + escape_field(bytes) + "\""; }

Status no_such_user(const std::string& user_id) {
  return Status::Sender("sso:noSuchUser", "no user has the id " + quoted(user_id));
}

Status duplicate_login(const std::string& login) {
  return Status::Sender("sso:duplicateLogin", "the login " + quoted(login) + " is taken");
}

Status no_such_application(const std::string& id) {
  return Status::Sender("sso:noSuchApplication", "no application has the id " + quoted(id));
}

Status invalid_login() { return Status::Sender("sso:invalidLogin", "the login is empty"); }

}  // namespace

Directory::Directory(Store* store, CertIssuer issuer, int session_timeout,
                     std::string relay_url, Clock clock)
    : store_(store),
      issuer_(std::move(issuer)),
      session_timeout_(session_timeout),
      relay_url_(std::move(relay_url)),
      clock_(clock ? std::move(clock) : Clock([] { return std::int64_t(std::time(nullptr)); })) {}

Status Directory::transact(const std::function<Status()>& body) {
  std::lock_guard<std::mutex> lock(mu_);
  try {
    store_->begin();
    Status s = body();
    if (s.ok()) {
      store_->commit();
    } else {
      store_->rollback();
    }
    return s;
  } catch (const std::exception& e) {
    store_->rollback();
    return Status::Receiver("sso:internalError", std::string("store failure: ") + e.what());
  }
}

Status Directory::require_caller(const std::string* caller) {
  if (caller == nullptr) {
    return Status::Sender("sso:accessDenied", "the call carries no application certificate");
  }
  AppRecord app;
  if (!store_->application(*caller, &app)) {
    return Status::Sender("sso:accessDenied",
                          "the application " + quoted(*caller) + " is not registered");
  }
  return Status();
}

Status Directory::own_user(const std::string* caller, const std::string& user_id,
                           UserRecord* user) {
  Status s = require_caller(caller);
  if (!s.ok()) return s;
  if (!store_->user_by_id(user_id, user)) return no_such_user(user_id);
  if (user->owner != *caller) {
    return Status::Sender("sso:notOwner", "the user " + quoted(user_id) +
                                              " belongs to another application");
  }
  return Status();
}

Status Directory::register_application(const AppProperties& props, std::string* id,
                                       std::string* certificate) {
  AppRecord app;
  app.id = new_uuid();
  app.name = props.name.value_or("");
  app.display_name = props.display_name.value_or("");
  app.version = props.version.value_or("");
  app.capabilities = props.capabilities.value_or("");
  app.restore_password_url = props.restore_password_url;
  app.change_password_url = props.change_password_url;
  app.url = props.url;
  std::string key, error;
  if (!issuer_(app.id, &app.certificate, &key, &error)) {
    return Status::Receiver("sso:internalError", "cannot issue a certificate: " + error);
  }
  Status s = transact([&] {
    if (!store_->insert_application(app)) {
      return Status::Receiver("sso:internalError", "the new application id is taken");
    }
    return Status();
  });
  if (s.ok()) {
    *id = app.id;
    *certificate = app.certificate + key;
  }
  return s;
}

Status Directory::list_applications(const std::string* caller, std::vector<std::string>* ids) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    ids->clear();
    for (const AppRecord& app : store_->all_applications()) ids->push_back(app.id);
    return s;
  });
}

Status Directory::update_application(const std::string* caller, const std::string& id,
                                     const AppProperties& props, const std::string* certificate,
                                     std::optional<std::string>* certificate_out) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    AppRecord app;
    if (!store_->application(id, &app)) return no_such_application(id);
    if (id != *caller) {
      return Status::Sender("sso:accessDenied", "an application may only update itself");
    }
    if (props.name) app.name = *props.name;
    if (props.display_name) app.display_name = *props.display_name;
    if (props.version) app.version = *props.version;
    if (props.capabilities) app.capabilities = *props.capabilities;
    if (props.restore_password_url) app.restore_password_url = props.restore_password_url;
    if (props.change_password_url) app.change_password_url = props.change_password_url;
    if (props.url) app.url = props.url;
    if (certificate) app.certificate = *certificate;
    store_->update_application(app);
    certificate_out->reset();
    if (!app.certificate.empty()) *certificate_out = app.certificate;
    return s;
  });
}

Status Directory::get_application(const std::string* caller, const std::string& id,
                                  AppRecord* app) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    if (!store_->application(id, app)) return no_such_application(id);
    return s;
  });
}

Status Directory::unregister_application(const std::string* caller, const std::string& id) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    AppRecord app;
    if (!store_->application(id, &app)) return no_such_application(id);
    if (id != *caller) {
      return Status::Sender("sso:accessDenied", "an application may only unregister itself");
    }
    store_->delete_application(id);
    return s;
  });
}

Status Directory::create_user(const std::string* caller, const std::string& login,
                              const std::string& password, const std::string* hash_type,
                              const std::string* user_id, std::string* new_id) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    if (login.empty()) return invalid_login();
    UserRecord user;
    if (store_->user_by_login(login, &user)) return duplicate_login(login);
    if (user_id != nullptr) {
      if (user_id->empty()) return Status::Sender("sso:invalidUserId", "the user id is empty");
      if (store_->user_by_id(*user_id, &user)) {
        return Status::Sender("sso:duplicateUserId", "the user id " + quoted(*user_id) +
                                                         " is taken");
      }
    }
    user.id = user_id ? *user_id : new_uuid();
    user.login = login;
    user.password_hash = hash_type ? password : hash_password(password);
    user.hash_type = hash_type ? *hash_type : kDefaultHashType;
    user.owner = *caller;
    if (!store_->insert_user(user)) {
      return Status::Receiver("sso:internalError", "the new user id is taken");
    }
    *new_id = user.id;
    return s;
  });
}

Status Directory::duplicate_user(const std::string* caller, const std::string& user_id,
                                 const std::string& login, std::string* new_id) {
  return transact([&] {
    UserRecord user;
    Status s = own_user(caller, user_id, &user);
    if (!s.ok()) return s;
    if (login.empty()) return invalid_login();
    UserRecord other;
    if (store_->user_by_login(login, &other)) return duplicate_login(login);
    user.id = new_uuid();
    user.login = login;
    if (!store_->insert_user(user)) {
      return Status::Receiver("sso:internalError", "the new user id is taken");
    }
    *new_id = user.id;
    return s;
  });
}

Status Directory::delete_user(const std::string* caller, const std::string& user_id) {
  return transact([&] {
    UserRecord user;
    Status s = own_user(caller, user_id, &user);
    if (s.ok()) store_->delete_user(user_id);
    return s;
  });
}

void Directory::alter_user(const std::string& user_id, const std::string& field,
                           const std::string& value) {
  transact([&] {
    UserRecord user;
    if (!store_->user_by_id(user_id, &user)) return Status();
    if (field == "login") store_->set_login(user_id, value);
    if (field == "hash") store_->set_password(user_id, value, user.hash_type);
    if (field == "type") store_->set_password(user_id, user.password_hash, value);
    if (field == "owner") store_->set_owner(user_id, value);
    if (field == "delete") store_->delete_user(user_id);
    return Status();
  });
}

Status Directory::get_user(const std::string* caller, const std::string& user_id,
                           std::string* login, std::string* owner) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    UserRecord user;
    if (!store_->user_by_id(user_id, &user)) return no_such_user(user_id);
    *login = user.login;
    *owner = user.owner;
    return s;
  });
}

Status Directory::get_user_id(const std::string* caller, const std::string& login,
                              std::string* user_id) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    UserRecord user;
    if (!store_->user_by_login(login, &user)) {
      return Status::Sender("sso:noSuchUser", "no user has the login " + quoted(login));
    }
    *user_id = user.id;
    return s;
  });
}

Status Directory::get_user_password(const std::string* caller, const std::string& user_id,
                                    std::string* hash, std::string* hash_type) {
  return transact([&] {
    UserRecord user;
    Status s = own_user(caller, user_id, &user);
    if (!s.ok()) return s;
    *hash = user.password_hash;
    *hash_type = user.hash_type;
    return s;
  });
}

Status Directory::change_login(const std::string* caller, const std::string& user_id,
                               const std::string& login) {
  return transact([&] {
    UserRecord user;
    Status s = own_user(caller, user_id, &user);
    if (!s.ok()) return s;
    if (login.empty()) return invalid_login();
    if (login == user.login) return s;
    UserRecord other;
    if (store_->user_by_login(login, &other)) return duplicate_login(login);
    store_->set_login(user_id, login);
    return s;
  });
}

Status Directory::change_password(const std::string* caller, const std::string& user_id,
                                  const std::string* old_password,
                                  const std::string& new_password,
                                  const std::string* new_hash_type) {
  return transact([&] {
    UserRecord user;
    Status s = own_user(caller, user_id, &user);
    if (!s.ok()) return s;
    if (old_password && !verify_password(user.hash_type, user.password_hash, *old_password)) {
      return Status::Sender("sso:authenticationFailed", "the old password does not match");
    }
    if (new_hash_type) {
      store_->set_password(user_id, new_password, *new_hash_type);
    } else {
      store_->set_password(user_id, hash_password(new_password), kDefaultHashType);
    }
    return s;
  });
}

Status Directory::transfer_ownership(const std::string* caller, const std::string& user_id,
                                     const std::string& app_id) {
  return transact([&] {
    UserRecord user;
    Status s = own_user(caller, user_id, &user);
    if (!s.ok()) return s;
    AppRecord app;
    if (!store_->application(app_id, &app)) return no_such_application(app_id);
    store_->set_owner(user_id, app_id);
    return s;
  });
}

Status Directory::list_users(const std::string* caller,
                             std::vector<std::pair<std::string, std::string>>* users) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    users->clear();
    store_->for_each_user_of(*caller, [users](const std::string& id, const std::string& login) {
      users->emplace_back(id, login);
    });
    return s;
  });
}

std::optional<std::string> Directory::page(const std::optional<std::string>& app_page,
                                           const char* relay_page,
                                           const std::string& user_id) {
  if (app_page && !app_page->empty()) return app_page;
  if (relay_url_.empty()) return std::nullopt;
  std::string base = relay_url_;
  if (base.back() != '/') base += '/';
  return base + relay_page + "?userId=" + user_id;
}

Status Directory::restore_password_url(const std::string* caller, const std::string* login,
                                       const std::string* user_id,
                                       std::optional<std::string>* url) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    UserRecord user;
    if (user_id != nullptr) {
      if (!store_->user_by_id(*user_id, &user)) return no_such_user(*user_id);
    } else if (login != nullptr) {
      if (!store_->user_by_login(*login, &user)) {
        return Status::Sender("sso:noSuchUser", "no user has the login " + quoted(*login));
      }
    } else {
      return Status::Sender("sso:invalidRequest", "neither a login nor a user id is given");
    }
    AppRecord app;
    store_->application(user.owner, &app);
    *url = page(app.restore_password_url, "restorePassword", user.id);
    return s;
  });
}

Status Directory::change_password_url(const std::string* caller, const std::string& user_id,
                                      std::optional<std::string>* url) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    UserRecord user;
    if (!store_->user_by_id(user_id, &user)) return no_such_user(user_id);
    AppRecord app;
    store_->application(user.owner, &app);
    *url = page(app.change_password_url, "changePassword", user.id);
    return s;
  });
}

Status Directory::authenticate(const std::string* caller, const std::string* login,
                               const std::string* user_id, const std::string* password,
                               SessionGrant* grant) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    const Status failed =
        Status::Sender("sso:authenticationFailed", "wrong user name or password");
    UserRecord user;
    bool found = login ? store_->user_by_login(*login, &user)
                       : user_id && store_->user_by_id(*user_id, &user);
    if (!found || password == nullptr ||
        !verify_password(user.hash_type, user.password_hash, *password)) {
      return failed;
    }
    grant->session_id = new_uuid();
    grant->relay_token = random_hex(16);
    grant->user_id = user.id;
    store_->insert_session(grant->session_id, user.id, *caller, clock_() + session_timeout_);
    return s;
  });
}

Status Directory::verify_session(const std::string* caller, const std::string& session_id,
                                 std::string* user_id) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    if (!store_->session_user(session_id, clock_(), user_id)) {
      return Status::Sender("sso:invalidSession", "no open session has that id");
    }
    return s;
  });
}

Status Directory::close_session(const std::string* caller, const std::string& session_id) {
  return transact([&] {
    Status s = require_caller(caller);
    if (!s.ok()) return s;
    std::string user_id;
    bool open = store_->session_user(session_id, clock_(), &user_id);
    if (!store_->delete_session(session_id) || !open) {
      return Status::Sender("sso:invalidSession", "no open session has that id");
    }
    return s;
  });
}

}  // namespace standin
