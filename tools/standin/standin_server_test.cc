// Tests of the stand-in's operations as a client meets them: a built
// tessad-standin serving HTTPS, called through the generated proxy with
// application certificates as client certificates.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/cert_inspect.h"
#include "test_support/standin_harness.h"
#include "test_support/test_util.h"
#include "tools/standin/standin_password.h"
#include "tools/standin/standin_test_client.h"

namespace {

using standin_test::Client;
using testutil::StandinOptions;
using testutil::StandinProcess;

// An instance with the applications app-one and app-two; app-one owns alice
// (password "secret") and carol, app-two owns bob.
StandinOptions TwoApps() {
  StandinOptions o;
  o.apps = {"app-one", "app-two"};
  o.seed = {"userpw\tu-alice\talice\tsecret\tapp-one", "user\tu-bob\tbob\tMD5\tb0b\tapp-two",
            "userpw\tu-carol\tcarol\tpw\tapp-one"};
  return o;
}

// "id:login" of a listing.
std::vector<std::string> Listed(const sso__listUsersResponse& r) {
  std::vector<std::string> out;
  for (const userId_login& u : r.usersList.userIdLogin) out.push_back(u.userId + ":" + u.login);
  return out;
}

TEST(StandinUsers, EachUserOperationDoesItsWork) {
  StandinProcess inst(TwoApps());
  ASSERT_TRUE(inst.running()) << inst.log();
  Client c(inst.url(), inst.app_cert_file("app-one"));
  sso& p = c.proxy;

  sso__listUsersResponse list;
  ASSERT_EQ(SOAP_OK, p.sso__listUsers(list)) << c.reason();
  EXPECT_EQ((std::vector<std::string>{"u-alice:alice", "u-carol:carol"}), Listed(list));

  // A plain password gets the stand-in's scheme and a new UUID.
  sso__createUserResponse created;
  ASSERT_EQ(SOAP_OK, p.sso__createUser("dave", "pw", nullptr, nullptr, created));
  const std::string dave = created.userId;
  EXPECT_EQ(36u, dave.size());
  // A hash with its type and a chosen id are kept exactly (bytes above 127 too).
  std::string type = "MD5-CRYPT", id = "src-42", hash = "$1$x\xc3\xa9y";
  ASSERT_EQ(SOAP_OK, p.sso__createUser("eve\xe9", hash, &type, &id, created));
  EXPECT_EQ("src-42", created.userId);

  sso__getUserPasswordResponse pw;
  ASSERT_EQ(SOAP_OK, p.sso__getUserPassword("src-42", pw));
  EXPECT_EQ(hash, pw.passwordHash);
  EXPECT_EQ("MD5-CRYPT", pw.passwordHashType);
  ASSERT_EQ(SOAP_OK, p.sso__getUserPassword(dave, pw));
  EXPECT_EQ("SSHA-256", pw.passwordHashType);
  EXPECT_TRUE(standin::verify_password(pw.passwordHashType, pw.passwordHash, "pw"));

  sso__getUserIdResponse uid;
  ASSERT_EQ(SOAP_OK, p.sso__getUserId("eve\xe9", uid));
  EXPECT_EQ("src-42", uid.userId);
  ASSERT_EQ(SOAP_OK, p.sso__getUserId("bob", uid));  // another application's user
  EXPECT_EQ("u-bob", uid.userId);
  sso__getUserResponse user;
  ASSERT_EQ(SOAP_OK, p.sso__getUser("u-bob", user));
  EXPECT_EQ("bob", user.login);
  EXPECT_EQ("app-two", user.applicationId);

  sso__changeLoginResponse renamed;
  ASSERT_EQ(SOAP_OK, p.sso__changeLogin(dave, "david", &renamed));
  sso__changePasswordResponse repw;
  std::string md5 = "MD5";
  ASSERT_EQ(SOAP_OK, p.sso__changePassword("u-carol", nullptr, "c4", &md5, &repw));
  std::string old_pw = "secret";
  ASSERT_EQ(SOAP_OK, p.sso__changePassword("u-alice", &old_pw, "new", nullptr, &repw));
  sso__duplicateUserResponse dup;
  ASSERT_EQ(SOAP_OK, p.sso__duplicateUser("src-42", "eve2", dup));
  sso__transferOwnershipResponse moved;
  ASSERT_EQ(SOAP_OK, p.sso__transferOwnership("u-carol", "app-two", &moved));
  sso__deleteUserResponse deleted;
  ASSERT_EQ(SOAP_OK, p.sso__deleteUser("src-42", &deleted));

  ASSERT_EQ(SOAP_OK, p.sso__listUsers(list));
  EXPECT_EQ((std::vector<std::string>{"u-alice:alice", dave + ":david", dup.userId + ":eve2"}),
            Listed(list));
  // What the store holds agrees, for every application.
  std::vector<std::string> stored;
  for (const standin::UserRecord& u : inst.users()) {
    stored.push_back(u.login + "/" + u.hash_type + "/" + u.owner);
  }
  EXPECT_EQ((std::vector<std::string>{"alice/SSHA-256/app-one", "bob/MD5/app-two",
                                      "carol/MD5/app-two", "david/SSHA-256/app-one",
                                      "eve2/MD5-CRYPT/app-one"}),
            stored);
  EXPECT_EQ(hash, inst.users()[4].password_hash);
}

TEST(StandinUsers, RefusalsArriveAsFaultsWithTheServiceErrorCode) {
  StandinProcess inst(TwoApps());
  ASSERT_TRUE(inst.running()) << inst.log();
  Client c(inst.url(), inst.app_cert_file("app-one"));
  sso& p = c.proxy;
  const std::vector<standin::UserRecord> before = inst.users();
  std::string id = "u-bob", other_id = "u-new", type = "T";
  sso__createUserResponse created;
  sso__duplicateUserResponse dup;
  sso__getUserIdResponse uid;
  sso__getUserResponse user;
  sso__getUserPasswordResponse pw;
  sso__deleteUserResponse del;
  sso__changeLoginResponse chl;
  sso__changePasswordResponse chp;
  sso__transferOwnershipResponse tro;
  struct Case {
    std::string name;
    std::function<int()> call;
    std::string subcode;
  };
  const Case cases[] = {
      {"login held by another application",
       [&] { return p.sso__createUser("bob", "h", &type, &other_id, created); },
       "sso:duplicateLogin"},
      {"login held by the caller",
       [&] { return p.sso__createUser("alice", "pw", nullptr, nullptr, created); },
       "sso:duplicateLogin"},
      {"taken user id", [&] { return p.sso__createUser("zed", "h", &type, &id, created); },
       "sso:duplicateUserId"},
      {"rename onto a taken login", [&] { return p.sso__changeLogin("u-alice", "carol", &chl); },
       "sso:duplicateLogin"},
      {"copy onto a taken login", [&] { return p.sso__duplicateUser("u-alice", "bob", dup); },
       "sso:duplicateLogin"},
      {"unknown login", [&] { return p.sso__getUserId("nobody", uid); }, "sso:noSuchUser"},
      {"unknown id", [&] { return p.sso__getUser("u-nobody", user); }, "sso:noSuchUser"},
      {"unknown id's password", [&] { return p.sso__getUserPassword("u-nobody", pw); },
       "sso:noSuchUser"},
      {"another's password", [&] { return p.sso__getUserPassword("u-bob", pw); },
       "sso:notOwner"},
      {"delete another's", [&] { return p.sso__deleteUser("u-bob", &del); }, "sso:notOwner"},
      {"rename another's", [&] { return p.sso__changeLogin("u-bob", "robert", &chl); },
       "sso:notOwner"},
      {"new password for another's",
       [&] { return p.sso__changePassword("u-bob", nullptr, "x", nullptr, &chp); },
       "sso:notOwner"},
      {"give away another's", [&] { return p.sso__transferOwnership("u-bob", "app-one", &tro); },
       "sso:notOwner"},
      {"give to nobody", [&] { return p.sso__transferOwnership("u-alice", "app-x", &tro); },
       "sso:noSuchApplication"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(SOAP_CLI_FAULT, k.call()) << k.name;
    EXPECT_EQ("SOAP-ENV:Sender", c.code()) << k.name;
    EXPECT_EQ(k.subcode, c.subcode()) << k.name;
    EXPECT_NE("", c.reason()) << k.name;
  }
  EXPECT_EQ("no application has the id \"app-x\"", c.reason());
  std::vector<testutil::StandinCall> calls = inst.journal();
  ASSERT_EQ(std::size(cases), calls.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(cases[i].subcode, calls[i].outcome) << cases[i].name;
  }
  // Nothing changed, and the connection stayed usable after each refusal.
  std::vector<std::string> a, b;
  for (const auto& u : before) a.push_back(u.id + u.login + u.password_hash + u.owner);
  for (const auto& u : inst.users()) b.push_back(u.id + u.login + u.password_hash + u.owner);
  EXPECT_EQ(a, b);
  EXPECT_EQ(SOAP_OK, p.sso__getUserId("alice", uid));
  EXPECT_EQ(1, inst.stats().connections);
}

TEST(StandinAccess, OnlyRegisteredApplicationsGetPastSettingsAndRegistration) {
  StandinProcess inst(TwoApps());
  ASSERT_TRUE(inst.running()) << inst.log();
  Client anonymous(inst.url());
  Client unknown(inst.url(), inst.app_cert_file("app-three"));
  for (Client* c : {&anonymous, &unknown}) {
    sso__getSettingsResponse settings;
    EXPECT_EQ(SOAP_OK, c->proxy.sso__getSettings(settings)) << c->reason();
    sso__listUsersResponse list;
    EXPECT_EQ(SOAP_CLI_FAULT, c->proxy.sso__listUsers(list));
    EXPECT_EQ("sso:accessDenied", c->subcode());
    sso__getUserIdResponse uid;
    EXPECT_EQ(SOAP_CLI_FAULT, c->proxy.sso__getUserId("alice", uid));
    EXPECT_EQ("sso:accessDenied", c->subcode());
  }
  std::vector<std::string> callers;
  for (const auto& call : inst.journal()) callers.push_back(call.operation + " " + call.caller);
  EXPECT_EQ((std::vector<std::string>{"getSettings -", "listUsers -", "getUserId -",
                                      "getSettings app-three", "listUsers app-three",
                                      "getUserId app-three"}),
            callers);
}

TEST(StandinAccess, PlainHttpCallsActForTheConfiguredApplication) {
  StandinOptions o = TwoApps();
  o.tls = false;
  o.extra_args = {"--http-app", "app-two"};
  StandinProcess as_two(o);
  o.extra_args.clear();
  StandinProcess nobody(o);
  ASSERT_TRUE(as_two.running()) << as_two.log();
  ASSERT_TRUE(nobody.running()) << nobody.log();
  EXPECT_EQ(0u, as_two.url().rfind("http://", 0));

  Client c(as_two.url());
  sso__listUsersResponse list;
  ASSERT_EQ(SOAP_OK, c.proxy.sso__listUsers(list)) << c.reason();
  EXPECT_EQ((std::vector<std::string>{"u-bob:bob"}), Listed(list));
  Client d(nobody.url());
  EXPECT_EQ(SOAP_CLI_FAULT, d.proxy.sso__listUsers(list));
  EXPECT_EQ("sso:accessDenied", d.subcode());
  EXPECT_EQ(0, as_two.stats().handshakes);
}

TEST(StandinApplications, RegisterUseUpdateAndUnregister) {
  StandinProcess inst(TwoApps());
  ASSERT_TRUE(inst.running()) << inst.log();
  Client anonymous(inst.url());
  std::string rpu = "https://new/restore", url = "https://new";
  registerApplicationResponse reg;
  ASSERT_EQ(SOAP_OK, anonymous.proxy.sso__registerApplication("new", "New App", "1.0", "caps",
                                                              &rpu, nullptr, &url, reg))
      << anonymous.reason();
  EXPECT_EQ(36u, reg.applicationId.size());
  // The certificate file names the new application and comes from the CA.
  EXPECT_EQ(reg.applicationId, get_app_id_from_cert(reg.certificate));
  EXPECT_NE(std::string::npos, reg.certificate.find("PRIVATE KEY"));
  EXPECT_EQ(1, verify_certificate(testutil::read_file(inst.ca_path()), reg.certificate));

  testutil::write_file(inst.dir() + "/new.pem", reg.certificate);
  Client app(inst.url(), inst.dir() + "/new.pem");
  sso__createUserResponse created;
  ASSERT_EQ(SOAP_OK, app.proxy.sso__createUser("newbie", "pw", nullptr, nullptr, created))
      << app.reason();

  listApplicationsResponse apps;
  ASSERT_EQ(SOAP_OK, app.proxy.sso__listApplications(apps));
  EXPECT_EQ((std::vector<std::string>{"app-one", "app-two", reg.applicationId}),
            apps.applicationsList.item);
  getApplicationResponse got;
  ASSERT_EQ(SOAP_OK, app.proxy.sso__getApplication(reg.applicationId, got));
  EXPECT_EQ("New App", got.displayName);
  EXPECT_EQ("caps", got.capabilities);
  ASSERT_NE(nullptr, got.restorePasswordUrl);
  EXPECT_EQ(rpu, *got.restorePasswordUrl);
  EXPECT_EQ(nullptr, got.changePasswordUrl);

  std::string version = "2.0";
  updateApplicationResponse upd;
  ASSERT_EQ(SOAP_OK, app.proxy.sso__updateApplication(reg.applicationId, nullptr, nullptr,
                                                      &version, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr, upd));
  ASSERT_NE(nullptr, upd.certificate);
  ASSERT_EQ(SOAP_OK, app.proxy.sso__getApplication(reg.applicationId, got));
  EXPECT_EQ("2.0", got.version);
  EXPECT_EQ("New App", got.displayName);

  sso__unregisterApplicationResponse unreg;
  EXPECT_EQ(SOAP_CLI_FAULT, app.proxy.sso__updateApplication("app-one", nullptr, nullptr,
                                                             &version, nullptr, nullptr,
                                                             nullptr, nullptr, nullptr, upd));
  EXPECT_EQ("sso:accessDenied", app.subcode());
  EXPECT_EQ(SOAP_CLI_FAULT, app.proxy.sso__unregisterApplication("app-one", &unreg));
  EXPECT_EQ("sso:accessDenied", app.subcode());
  EXPECT_EQ(SOAP_CLI_FAULT, app.proxy.sso__unregisterApplication("app-x", &unreg));
  EXPECT_EQ("sso:noSuchApplication", app.subcode());
  EXPECT_EQ(SOAP_CLI_FAULT, app.proxy.sso__getApplication("app-x", got));
  EXPECT_EQ("sso:noSuchApplication", app.subcode());

  ASSERT_EQ(SOAP_OK, app.proxy.sso__unregisterApplication(reg.applicationId, &unreg));
  EXPECT_EQ(2u, inst.applications().size());
  EXPECT_EQ(3u, inst.users().size());  // newbie went with the application
  sso__listUsersResponse list;
  EXPECT_EQ(SOAP_CLI_FAULT, app.proxy.sso__listUsers(list));
  EXPECT_EQ("sso:accessDenied", app.subcode());
}

TEST(StandinSessions, AuthenticateWithStoredAndCopiedHashes) {
  StandinOptions empty;
  empty.apps = {"app-one", "app-two"};
  StandinProcess source(TwoApps()), target(empty);
  ASSERT_TRUE(source.running()) << source.log();
  ASSERT_TRUE(target.running()) << target.log();
  Client from(source.url(), source.app_cert_file("app-one"));
  Client to(target.url(), target.app_cert_file("app-two"));

  // alice's hash moves from one instance to the other, as a migration does.
  sso__getUserPasswordResponse pw;
  ASSERT_EQ(SOAP_OK, from.proxy.sso__getUserPassword("u-alice", pw));
  sso__createUserResponse created;
  std::string id = "u-alice";
  ASSERT_EQ(SOAP_OK, to.proxy.sso__createUser("alice2", pw.passwordHash, &pw.passwordHashType,
                                              &id, created));

  std::string login = "alice2", secret = "secret", wrong = "Secret";
  sso__authenticateResponse auth;
  ASSERT_EQ(SOAP_OK, to.proxy.sso__authenticate(&login, nullptr, &secret, nullptr, auth))
      << to.reason();
  ASSERT_TRUE(auth.sessionId && auth.relayToken && auth.userId);
  EXPECT_EQ("u-alice", *auth.userId);
  const std::string session = *auth.sessionId;
  EXPECT_EQ(SOAP_CLI_FAULT, to.proxy.sso__authenticate(&login, nullptr, &wrong, nullptr, auth));
  EXPECT_EQ("sso:authenticationFailed", to.subcode());
  login = "alice";  // not on the target
  EXPECT_EQ(SOAP_CLI_FAULT, to.proxy.sso__authenticate(&login, nullptr, &secret, nullptr, auth));
  EXPECT_EQ("sso:authenticationFailed", to.subcode());
  // A seeded userpw user on the source.
  ASSERT_EQ(SOAP_OK, from.proxy.sso__authenticate(&login, nullptr, &secret, nullptr, auth));

  std::string who;
  ASSERT_EQ(SOAP_OK, to.proxy.sso__verifySession(session, who));
  EXPECT_EQ("u-alice", who);
  sso__closeSessionResponse closed;
  ASSERT_EQ(SOAP_OK, to.proxy.sso__closeSession(session, &closed));
  EXPECT_EQ(SOAP_CLI_FAULT, to.proxy.sso__verifySession(session, who));
  EXPECT_EQ("sso:invalidSession", to.subcode());
}

TEST(StandinSettings, SettingsAndPagesComeFromConfiguration) {
  StandinOptions o = TwoApps();
  StandinProcess plain(o);
  o.extra_args = {"--session-timeout", "90", "--relay-url", "https://relay.test/r",
                  "--hash-types", "SSHA-256,MD5,crypt"};
  StandinProcess tuned(o);
  ASSERT_TRUE(plain.running()) << plain.log();
  ASSERT_TRUE(tuned.running()) << tuned.log();

  Client a(plain.url()), b(tuned.url(), tuned.app_cert_file("app-one"));
  sso__getSettingsResponse s;
  ASSERT_EQ(SOAP_OK, a.proxy.sso__getSettings(s));
  EXPECT_EQ(3600, s.usersSessionsTimeout);
  EXPECT_EQ(plain.url() + "relay", s.relayEndpointUrl);
  EXPECT_EQ(std::vector<std::string>{"SSHA-256"}, s.hashType);
  ASSERT_EQ(SOAP_OK, b.proxy.sso__getSettings(s));
  EXPECT_EQ(90, s.usersSessionsTimeout);
  EXPECT_EQ("https://relay.test/r", s.relayEndpointUrl);
  EXPECT_EQ((std::vector<std::string>{"SSHA-256", "MD5", "crypt"}), s.hashType);

  std::string login = "bob";
  sso__getRestorePasswordUrlResponse restore;
  ASSERT_EQ(SOAP_OK, b.proxy.sso__getRestorePasswordUrl(&login, nullptr, restore));
  ASSERT_NE(nullptr, restore.url);
  EXPECT_EQ("https://relay.test/r/restorePassword?userId=u-bob", *restore.url);
  sso__getChangePasswordUrlResponse change;
  ASSERT_EQ(SOAP_OK, b.proxy.sso__getChangePasswordUrl("u-alice", change));
  ASSERT_NE(nullptr, change.url);
  EXPECT_EQ("https://relay.test/r/changePassword?userId=u-alice", *change.url);
  EXPECT_EQ(SOAP_CLI_FAULT, b.proxy.sso__getChangePasswordUrl("u-x", change));
  EXPECT_EQ("sso:noSuchUser", b.subcode());
}

}  // namespace
