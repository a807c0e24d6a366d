// The 21 service operations of the stand-in, as the request dispatcher
// generated from soap/sso.h calls them.
//
// Each operation is a thin translation: it names its key fields for the
// journal, hands the request to the directory (which holds the rules) in the
// name of the connection's caller, and copies the result into the response
// record or turns a refusal into a SOAP 1.2 fault whose first subcode is the
// service error code ("sso:noSuchUser"). Before any of that, the fault plan
// may replace the call by an injected action. Strings handed to the runtime
// (fault texts, optional response fields) are allocated in the runtime
// context, which frees them after the answer is sent.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "soapH.h"
#include "tools/standin/standin_server.h"

namespace standin {

namespace {

const char* copy(struct soap* soap, const std::string& s) { return soap_strdup(soap, s.c_str()); }

std::string* new_string(struct soap* soap, const std::string& value) {
  std::string* s = soap_new_std__string(soap);
  if (s != nullptr) *s = value;
  return s;
}

std::string* optional_string(struct soap* soap, const std::optional<std::string>& value) {
  return value ? new_string(soap, *value) : nullptr;
}

std::optional<std::string> optional(const std::string* p) {
  return p ? std::optional<std::string>(*p) : std::nullopt;
}

int send_fault(struct soap* soap, bool receiver, const std::string& subcode,
               const std::string& reason, const char* detail) {
  const char* sub = subcode.empty() ? nullptr : copy(soap, subcode);
  if (receiver) return soap_receiver_fault_subcode(soap, sub, copy(soap, reason), detail);
  return soap_sender_fault_subcode(soap, sub, copy(soap, reason), detail);
}

const char* http_reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
  }
}

// The URI the context's namespace table binds to `prefix`.
std::string namespace_uri(const struct soap* soap, const char* prefix) {
  for (const Namespace* ns = soap->namespaces; ns && ns->id; ++ns) {
    if (std::strcmp(ns->id, prefix) == 0) return ns->ns;
  }
  return std::string();
}

int inject(struct soap* soap, Connection& conn, const char* operation,
           const std::vector<const std::string*>& keys, const FaultAction& action) {
  Server& server = *conn.server;
  server.journal(conn, operation, keys, "injected");
  switch (action.kind) {
    case FaultAction::Kind::kExit:
      _exit(kInjectedExitStatus);
    case FaultAction::Kind::kDrop:
      conn.close_after = true;
      return SOAP_STOP;
    case FaultAction::Kind::kHttp: {
      server.delay();
      std::string reply = "HTTP/1.1 " + std::to_string(action.http_status) + " " +
                          http_reason(action.http_status) +
                          "\r\nContent-Type: text/html; charset=utf-8\r\n" +
                          (action.retry_after ? "Retry-After: " + *action.retry_after + "\r\n" : "") +
                          "Content-Length: " +
                          std::to_string(action.body.size()) + "\r\nConnection: close\r\n\r\n" +
                          action.body;
      soap->fsend(soap, reply.data(), reply.size());
      conn.close_after = true;
      return SOAP_STOP;
    }
    case FaultAction::Kind::kCut: {
      server.delay();
      const std::string body = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") +
                               "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" + namespace_uri(soap, "SOAP-ENV") +
                               "\"><SOAP-ENV:Body><sso:" + operation + "Response xmlns:sso=\"" +
                               namespace_uri(soap, "sso") + "\"></sso:" + operation +
                               "Response></SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";
      const std::string head =
          "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml; charset=utf-8\r\n"
          "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n";
      const std::string half = head + body.substr(0, body.size() / 2);
      soap->fsend(soap, half.data(), half.size());
      conn.close_after = true;
      return SOAP_STOP;
    }
    case FaultAction::Kind::kEmpty: {
      server.delay();
      const std::string body = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") +
                               "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                               namespace_uri(soap, "SOAP-ENV") +
                               "\"><SOAP-ENV:Body></SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";
      const std::string reply =
          "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml; charset=utf-8\r\n"
          "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      soap->fsend(soap, reply.data(), reply.size());
      conn.close_after = true;
      return SOAP_STOP;
    }
    case FaultAction::Kind::kReset: {
      const linger abort_close = {1, 0};  // close() then sends a RST
      setsockopt(soap->socket, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
      soap_force_closesock(soap);
      conn.close_after = true;
      return SOAP_STOP;
    }
    case FaultAction::Kind::kLost:
    case FaultAction::Kind::kAlter:
    case FaultAction::Kind::kTorn:
    case FaultAction::Kind::kDelay:
      return SOAP_STOP;  // acted on after the call's work (handle)
    case FaultAction::Kind::kFault:
      server.delay();
      return send_fault(soap, action.receiver, action.subcode, action.reason,
                        action.detail ? copy(soap, *action.detail) : nullptr);
  }
  return SOAP_STOP;
}

int hold_send(struct soap* soap, const char* data, std::size_t n) {
  static_cast<Connection*>(soap->user)->held.append(data, n);
  return SOAP_OK;
}

// Runs one operation: fault injection, the directory call `body`, the
// journal line, the delay, and the fault when the directory refused.
template <typename Body>
int handle(struct soap* soap, const char* operation, std::vector<const std::string*> keys,
           Body body) {
  Connection& conn = *static_cast<Connection*>(soap->user);
  conn.reached_operation = true;
  Server& server = *conn.server;
  // Most actions replace the call; "lost", "alter" and "torn" act once it is done.
  const std::optional<FaultAction> action = server.injected_action(operation);
  const bool after = action && (action->kind == FaultAction::Kind::kLost ||
                                action->kind == FaultAction::Kind::kAlter ||
                                action->kind == FaultAction::Kind::kTorn);
  if (action && action->kind == FaultAction::Kind::kDelay) {
    server.delay(action->delay_us);
  } else if (action && !after) {
    return inject(soap, conn, operation, keys, *action);
  }
  const std::string* caller = conn.caller ? &*conn.caller : nullptr;
  Status st = body(server.directory(), caller);
  std::string outcome = "ok";
  if (!st.ok()) {
    outcome = !st.subcode.empty() ? st.subcode
              : st.code == Status::Code::kReceiver ? "SOAP-ENV:Receiver"
                                                    : "SOAP-ENV:Sender";
  }
  server.journal(conn, operation, keys, outcome);
  server.delay();
  if (after && action->kind == FaultAction::Kind::kLost) {
    conn.close_after = true;
    return SOAP_STOP;
  }
  if (after && action->kind == FaultAction::Kind::kTorn) {
    conn.holding = true;  // the answer, fault or not, goes to hold_send
    conn.base_send = soap->fsend;
    soap->fsend = hold_send;
  } else if (after) {
    server.directory().alter_user(action->user_id, action->field, action->value);
  }
  if (st.ok()) return SOAP_OK;
  return send_fault(soap, st.code == Status::Code::kReceiver, st.subcode, st.reason, nullptr);
}

}  // namespace

int serve_operation(struct soap* soap) { return soap_serve_request(soap); }

void cut_held(Connection& conn) {
  conn.soap->fsend = conn.base_send;
  conn.holding = false;
  const std::size_t body = conn.held.find("\r\n\r\n") + 4;  // the head ends there
  const std::size_t half = body + (conn.held.size() - body) / 2;
  conn.soap->fsend(conn.soap, conn.held.data(), std::min(half, conn.held.size()));
  conn.held.clear();
  conn.close_after = true;
}

}  // namespace standin

using standin::AppProperties;
using standin::AppRecord;
using standin::Directory;
using standin::Status;
using standin::handle;

// ---- Applications ---------------------------------------------------------

int sso__registerApplication(struct soap* soap, std::string name, std::string displayName,
                             std::string version, std::string capabilities,
                             std::string* restorePasswordUrl, std::string* changePasswordUrl,
                             std::string* url, struct registerApplicationResponse& result) {
  return handle(soap, "registerApplication", {&name}, [&](Directory& d, const std::string*) {
    AppProperties props{name, displayName, version, capabilities,
                        standin::optional(restorePasswordUrl),
                        standin::optional(changePasswordUrl), standin::optional(url)};
    return d.register_application(props, &result.applicationId, &result.certificate);
  });
}

int sso__listApplications(struct soap* soap, struct listApplicationsResponse& result) {
  return handle(soap, "listApplications", {}, [&](Directory& d, const std::string* caller) {
    return d.list_applications(caller, &result.applicationsList.item);
  });
}

int sso__updateApplication(struct soap* soap, std::string applicationId, std::string* name,
                           std::string* displayName, std::string* version,
                           std::string* capabilities, std::string* restorePasswordUrl,
                           std::string* changePasswordUrl, std::string* url,
                           std::string* certificate, struct updateApplicationResponse& result) {
  return handle(soap, "updateApplication", {&applicationId},
                [&](Directory& d, const std::string* caller) {
                  using standin::optional;
                  AppProperties props{optional(name),         optional(displayName),
                                      optional(version),      optional(capabilities),
                                      optional(restorePasswordUrl),
                                      optional(changePasswordUrl), optional(url)};
                  std::optional<std::string> issued;
                  Status st = d.update_application(caller, applicationId, props, certificate,
                                                   &issued);
                  result.certificate = standin::optional_string(soap, issued);
                  return st;
                });
}

int sso__getApplication(struct soap* soap, std::string applicationId,
                        struct getApplicationResponse& result) {
  return handle(soap, "getApplication", {&applicationId},
                [&](Directory& d, const std::string* caller) {
                  AppRecord app;
                  Status st = d.get_application(caller, applicationId, &app);
                  result.name = app.name;
                  result.displayName = app.display_name;
                  result.version = app.version;
                  result.capabilities = app.capabilities;
                  result.restorePasswordUrl =
                      standin::optional_string(soap, app.restore_password_url);
                  result.changePasswordUrl = standin::optional_string(soap, app.change_password_url);
                  result.url = standin::optional_string(soap, app.url);
                  return st;
                });
}

int sso__unregisterApplication(struct soap* soap, std::string applicationId,
                               struct sso__unregisterApplicationResponse*) {
  return handle(soap, "unregisterApplication", {&applicationId},
                [&](Directory& d, const std::string* caller) {
                  return d.unregister_application(caller, applicationId);
                });
}

// ---- Users ----------------------------------------------------------------

int sso__createUser(struct soap* soap, std::string login, std::string password,
                    std::string* passwordHashType, std::string* userId,
                    struct sso__createUserResponse& result) {
  return handle(soap, "createUser", {&login, userId}, [&](Directory& d, const std::string* caller) {
    return d.create_user(caller, login, password, passwordHashType, userId, &result.userId);
  });
}

int sso__duplicateUser(struct soap* soap, std::string userId, std::string login,
                       struct sso__duplicateUserResponse& result) {
  return handle(soap, "duplicateUser", {&userId, &login},
                [&](Directory& d, const std::string* caller) {
                  return d.duplicate_user(caller, userId, login, &result.userId);
                });
}

int sso__deleteUser(struct soap* soap, std::string userId, struct sso__deleteUserResponse*) {
  return handle(soap, "deleteUser", {&userId}, [&](Directory& d, const std::string* caller) {
    return d.delete_user(caller, userId);
  });
}

int sso__getUser(struct soap* soap, std::string userId, struct sso__getUserResponse& result) {
  return handle(soap, "getUser", {&userId}, [&](Directory& d, const std::string* caller) {
    return d.get_user(caller, userId, &result.login, &result.applicationId);
  });
}

int sso__getUserId(struct soap* soap, std::string login, struct sso__getUserIdResponse& result) {
  return handle(soap, "getUserId", {&login}, [&](Directory& d, const std::string* caller) {
    return d.get_user_id(caller, login, &result.userId);
  });
}

int sso__getUserPassword(struct soap* soap, std::string userId,
                         struct sso__getUserPasswordResponse& result) {
  return handle(soap, "getUserPassword", {&userId}, [&](Directory& d, const std::string* caller) {
    return d.get_user_password(caller, userId, &result.passwordHash, &result.passwordHashType);
  });
}

int sso__changeLogin(struct soap* soap, std::string userId, std::string login,
                     struct sso__changeLoginResponse*) {
  return handle(soap, "changeLogin", {&userId, &login},
                [&](Directory& d, const std::string* caller) {
                  return d.change_login(caller, userId, login);
                });
}

int sso__changePassword(struct soap* soap, std::string userId, std::string* oldPassword,
                        std::string newPassword, std::string* newPasswordHashType,
                        struct sso__changePasswordResponse*) {
  return handle(soap, "changePassword", {&userId}, [&](Directory& d, const std::string* caller) {
    return d.change_password(caller, userId, oldPassword, newPassword, newPasswordHashType);
  });
}

int sso__transferOwnership(struct soap* soap, std::string userId, std::string applicationId,
                           struct sso__transferOwnershipResponse*) {
  return handle(soap, "transferOwnership", {&userId, &applicationId},
                [&](Directory& d, const std::string* caller) {
                  return d.transfer_ownership(caller, userId, applicationId);
                });
}

int sso__listUsers(struct soap* soap, struct sso__listUsersResponse& result) {
  return handle(soap, "listUsers", {}, [&](Directory& d, const std::string* caller) {
    std::vector<std::pair<std::string, std::string>> users;
    Status st = d.list_users(caller, &users);
    auto& out = result.usersList.userIdLogin;
    out.reserve(users.size());
    for (auto& u : users) {
      out.emplace_back();
      out.back().userId = std::move(u.first);
      out.back().login = std::move(u.second);
    }
    return st;
  });
}

// ---- Session, settings and URLs --------------------------------------------

int sso__getRestorePasswordUrl(struct soap* soap, std::string* login, std::string* userId,
                               struct sso__getRestorePasswordUrlResponse& result) {
  return handle(soap, "getRestorePasswordUrl", {login, userId},
                [&](Directory& d, const std::string* caller) {
                  std::optional<std::string> url;
                  Status st = d.restore_password_url(caller, login, userId, &url);
                  result.url = standin::optional_string(soap, url);
                  return st;
                });
}

int sso__getChangePasswordUrl(struct soap* soap, std::string userId,
                              struct sso__getChangePasswordUrlResponse& result) {
  return handle(soap, "getChangePasswordUrl", {&userId},
                [&](Directory& d, const std::string* caller) {
                  std::optional<std::string> url;
                  Status st = d.change_password_url(caller, userId, &url);
                  result.url = standin::optional_string(soap, url);
                  return st;
                });
}

int sso__authenticate(struct soap* soap, std::string* login, std::string* userId,
                      std::string* password, std::string*, struct sso__authenticateResponse& result) {
  return handle(soap, "authenticate", {login, userId}, [&](Directory& d, const std::string* caller) {
    standin::SessionGrant grant;
    Status st = d.authenticate(caller, login, userId, password, &grant);
    if (st.ok()) {
      result.sessionId = standin::new_string(soap, grant.session_id);
      result.relayToken = standin::new_string(soap, grant.relay_token);
      result.userId = standin::new_string(soap, grant.user_id);
    }
    return st;
  });
}

int sso__verifySession(struct soap* soap, std::string sessionId, std::string& userId) {
  return handle(soap, "verifySession", {&sessionId}, [&](Directory& d, const std::string* caller) {
    return d.verify_session(caller, sessionId, &userId);
  });
}

int sso__closeSession(struct soap* soap, std::string sessionId, struct sso__closeSessionResponse*) {
  return handle(soap, "closeSession", {&sessionId}, [&](Directory& d, const std::string* caller) {
    return d.close_session(caller, sessionId);
  });
}

int sso__getSettings(struct soap* soap, struct sso__getSettingsResponse& result) {
  return handle(soap, "getSettings", {}, [&](Directory&, const std::string*) {
    standin::Server& server = *static_cast<standin::Connection*>(soap->user)->server;
    result.usersSessionsTimeout = server.config().session_timeout;
    result.relayEndpointUrl = server.relay_url();
    result.hashType = server.config().hash_types;
    return Status();
  });
}
