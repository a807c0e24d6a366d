// Tests of the instance rules (who may do what, what must be unique) and of
// password hashing, directly on a directory over a scratch store.

#include "tools/standin/standin_directory.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/test_util.h"
#include "tools/standin/standin_password.h"

namespace standin {
namespace {

// A directory over a fresh store holding the applications "one" and "two",
// each with one user, and a clock the test moves.
class Instance {
 public:
  Instance() : store(tmp.file("s.db")) {
    store.begin();
    for (const char* id : {"one", "two"}) {
      AppRecord a;
      a.id = id;
      store.insert_application(a);
    }
    store.insert_user(UserRecord{"u1", "anna", hash_password("pw1"), kDefaultHashType, "one"});
    store.insert_user(UserRecord{"u2", "bob", "bobhash", "MD5", "two"});
    store.commit();
    dir = std::make_unique<Directory>(
        &store,
        [this](const std::string& id, std::string* cert, std::string* key, std::string*) {
          *cert = "CERT(" + id + ")";
          *key = "KEY";
          return issue_ok;
        },
        60, "https://relay.example/sso", [this] { return now; });
  }

  testutil::TempDir tmp;
  Store store;
  std::unique_ptr<Directory> dir;
  bool issue_ok = true;
  std::int64_t now = 1000;
  const std::string one = "one", two = "two", stranger = "stranger";
};

// "ok" or "Sender sso:x" / "Receiver sso:x".
std::string Show(const Status& s) {
  if (s.ok()) return "ok";
  return std::string(s.code == Status::Code::kSender ? "Sender " : "Receiver ") + s.subcode;
}

TEST(StandinDirectory, CallersMustBeRegisteredApplications) {
  Instance in;
  std::string id;
  std::vector<std::pair<std::string, std::string>> users;
  EXPECT_EQ("Sender sso:accessDenied", Show(in.dir->get_user_id(nullptr, "anna", &id)));
  EXPECT_EQ("Sender sso:accessDenied", Show(in.dir->get_user_id(&in.stranger, "anna", &id)));
  EXPECT_EQ("Sender sso:accessDenied", Show(in.dir->list_users(&in.stranger, &users)));
  EXPECT_EQ("ok", Show(in.dir->get_user_id(&in.two, "anna", &id)));
  EXPECT_EQ("u1", id);
}

TEST(StandinDirectory, CreatingUsers) {
  Instance in;
  std::string id;
  const std::string md5 = "MD5", wanted = "u9", empty;
  EXPECT_EQ("ok", Show(in.dir->create_user(&in.one, "carl", "pw", nullptr, nullptr, &id)));
  EXPECT_EQ(36u, id.size());  // a UUID
  UserRecord u;
  ASSERT_TRUE(in.store.user_by_id(id, &u));
  EXPECT_EQ("one", u.owner);
  EXPECT_EQ(kDefaultHashType, u.hash_type);
  EXPECT_TRUE(verify_password(u.hash_type, u.password_hash, "pw"));

  // With a hash type the password is the hash, kept verbatim.
  EXPECT_EQ("ok", Show(in.dir->create_user(&in.one, "dora", "h$1", &md5, &wanted, &id)));
  EXPECT_EQ("u9", id);
  ASSERT_TRUE(in.store.user_by_id("u9", &u));
  EXPECT_EQ("h$1", u.password_hash);
  EXPECT_EQ("MD5", u.hash_type);

  id = "unchanged";
  // Logins are unique across applications; the login is checked first.
  EXPECT_EQ("Sender sso:duplicateLogin",
            Show(in.dir->create_user(&in.one, "bob", "pw", nullptr, &wanted, &id)));
  EXPECT_EQ("Sender sso:duplicateUserId",
            Show(in.dir->create_user(&in.one, "eve", "pw", nullptr, &wanted, &id)));
  EXPECT_EQ("Sender sso:invalidUserId",
            Show(in.dir->create_user(&in.one, "eve", "pw", nullptr, &empty, &id)));
  EXPECT_EQ("Sender sso:invalidLogin",
            Show(in.dir->create_user(&in.one, "", "pw", nullptr, nullptr, &id)));
  EXPECT_EQ("unchanged", id);
  EXPECT_EQ(4, in.store.user_count());
}

TEST(StandinDirectory, ChangesActOnlyOnTheCallersOwnUsers) {
  Instance in;
  std::string a, b;
  const std::string md5 = "MD5", old_pw = "wrong";
  struct Case {
    std::string name;
    Status status;
    std::string expected;
  };
  const Case cases[] = {
      {"password of another's user", in.dir->get_user_password(&in.one, "u2", &a, &b),
       "Sender sso:notOwner"},
      {"password of an unknown user", in.dir->get_user_password(&in.one, "u0", &a, &b),
       "Sender sso:noSuchUser"},
      {"delete another's", in.dir->delete_user(&in.one, "u2"), "Sender sso:notOwner"},
      {"delete unknown", in.dir->delete_user(&in.one, "u0"), "Sender sso:noSuchUser"},
      {"rename another's", in.dir->change_login(&in.one, "u2", "x"), "Sender sso:notOwner"},
      {"rename onto a taken login", in.dir->change_login(&in.one, "u1", "bob"),
       "Sender sso:duplicateLogin"},
      {"rename to the same login", in.dir->change_login(&in.one, "u1", "anna"), "ok"},
      {"new password of another's", in.dir->change_password(&in.one, "u2", nullptr, "p", nullptr),
       "Sender sso:notOwner"},
      {"wrong old password", in.dir->change_password(&in.one, "u1", &old_pw, "p", nullptr),
       "Sender sso:authenticationFailed"},
      {"transfer another's", in.dir->transfer_ownership(&in.one, "u2", "one"),
       "Sender sso:notOwner"},
      {"transfer to nobody", in.dir->transfer_ownership(&in.one, "u1", "none"),
       "Sender sso:noSuchApplication"},
      {"duplicate another's", in.dir->duplicate_user(&in.one, "u2", "bob2", &a),
       "Sender sso:notOwner"},
      {"duplicate onto a taken login", in.dir->duplicate_user(&in.one, "u1", "bob", &a),
       "Sender sso:duplicateLogin"},
      {"read another's user", in.dir->get_user(&in.one, "u2", &a, &b), "ok"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, Show(c.status)) << c.name;
  EXPECT_EQ("bob", a);
  EXPECT_EQ("two", b);

  // None of the refusals changed anything.
  std::vector<UserRecord> users = in.store.all_users();
  ASSERT_EQ(2u, users.size());
  EXPECT_EQ("anna", users[0].login);
  EXPECT_TRUE(verify_password(kDefaultHashType, users[0].password_hash, "pw1"));
  EXPECT_EQ("bob", users[1].login);

  // And the same changes succeed on the caller's own user.
  std::string copy;
  EXPECT_EQ("ok", Show(in.dir->duplicate_user(&in.one, "u1", "anna2", &copy)));
  EXPECT_EQ("ok", Show(in.dir->change_login(&in.one, "u1", "anne")));
  EXPECT_EQ("ok", Show(in.dir->change_password(&in.one, "u1", nullptr, "hx", &md5)));
  EXPECT_EQ("ok", Show(in.dir->get_user_password(&in.one, "u1", &a, &b)));
  EXPECT_EQ("hx", a);
  EXPECT_EQ("MD5", b);
  EXPECT_EQ("ok", Show(in.dir->get_user_password(&in.one, copy, &a, &b)));
  EXPECT_EQ(kDefaultHashType, b);  // the copy kept the hash of before
  EXPECT_EQ("ok", Show(in.dir->transfer_ownership(&in.one, "u1", "two")));
  std::vector<std::pair<std::string, std::string>> listing;
  EXPECT_EQ("ok", Show(in.dir->list_users(&in.two, &listing)));
  ASSERT_EQ(2u, listing.size());
  EXPECT_EQ("u1", listing[0].first);  // keeps its place
  EXPECT_EQ("anne", listing[0].second);
  EXPECT_EQ("ok", Show(in.dir->delete_user(&in.one, copy)));
  EXPECT_EQ(2, in.store.user_count());
}

TEST(StandinDirectory, ApplicationsManageOnlyThemselves) {
  Instance in;
  std::string id, cert;
  AppProperties props;
  props.name = "new";
  props.url = "https://new";
  EXPECT_EQ("ok", Show(in.dir->register_application(props, &id, &cert)));
  EXPECT_EQ(36u, id.size());
  EXPECT_EQ("CERT(" + id + ")KEY", cert);
  AppRecord app;
  ASSERT_TRUE(in.store.application(id, &app));
  EXPECT_EQ("CERT(" + id + ")", app.certificate);  // the key is not kept
  EXPECT_EQ("", app.version);

  in.issue_ok = false;
  std::string id2 = "unchanged";
  EXPECT_EQ("Receiver sso:internalError", Show(in.dir->register_application(props, &id2, &cert)));
  EXPECT_EQ("unchanged", id2);

  std::vector<std::string> ids;
  EXPECT_EQ("ok", Show(in.dir->list_applications(&id, &ids)));
  EXPECT_EQ((std::vector<std::string>{"one", "two", id}), ids);

  AppProperties change;
  change.version = "2";
  std::optional<std::string> issued;
  const std::string new_cert = "C2";
  EXPECT_EQ("Sender sso:accessDenied",
            Show(in.dir->update_application(&in.one, "two", change, nullptr, &issued)));
  EXPECT_EQ("Sender sso:noSuchApplication",
            Show(in.dir->update_application(&in.one, "none", change, nullptr, &issued)));
  EXPECT_EQ("ok", Show(in.dir->update_application(&id, id, change, &new_cert, &issued)));
  EXPECT_EQ(std::optional<std::string>("C2"), issued);
  ASSERT_TRUE(in.store.application(id, &app));
  EXPECT_EQ("2", app.version);
  EXPECT_EQ("new", app.name);
  EXPECT_EQ(std::optional<std::string>("https://new"), app.url);

  EXPECT_EQ("Sender sso:accessDenied", Show(in.dir->unregister_application(&in.one, "two")));
  EXPECT_EQ("Sender sso:noSuchApplication",
            Show(in.dir->unregister_application(&in.one, "none")));
  EXPECT_EQ("ok", Show(in.dir->unregister_application(&in.one, "one")));
  EXPECT_EQ(1, in.store.user_count());  // anna went with her application
  std::string user;
  EXPECT_EQ("Sender sso:accessDenied", Show(in.dir->get_user_id(&in.one, "bob", &user)));
}

TEST(StandinDirectory, SessionsFollowAuthentication) {
  Instance in;
  SessionGrant grant;
  const std::string anna = "anna", pw = "pw1", wrong = "pw2", bob = "bob", u1 = "u1";
  EXPECT_EQ("ok", Show(in.dir->authenticate(&in.two, &anna, nullptr, &pw, &grant)));
  EXPECT_EQ("u1", grant.user_id);
  EXPECT_FALSE(grant.session_id.empty());
  EXPECT_FALSE(grant.relay_token.empty());
  SessionGrant by_id;
  EXPECT_EQ("ok", Show(in.dir->authenticate(&in.two, nullptr, &u1, &pw, &by_id)));
  EXPECT_NE(grant.session_id, by_id.session_id);

  const char* failed = "Sender sso:authenticationFailed";
  EXPECT_EQ(failed, Show(in.dir->authenticate(&in.two, &anna, nullptr, &wrong, &grant)));
  EXPECT_EQ(failed, Show(in.dir->authenticate(&in.two, &anna, nullptr, nullptr, &grant)));
  EXPECT_EQ(failed, Show(in.dir->authenticate(&in.two, &wrong, nullptr, &pw, &grant)));
  // MD5 cannot be checked by the stand-in.
  const std::string bobhash = "bobhash";
  EXPECT_EQ(failed, Show(in.dir->authenticate(&in.two, &bob, nullptr, &bobhash, &grant)));

  std::string user;
  EXPECT_EQ("ok", Show(in.dir->verify_session(&in.one, by_id.session_id, &user)));
  EXPECT_EQ("u1", user);
  EXPECT_EQ("ok", Show(in.dir->close_session(&in.one, by_id.session_id)));
  EXPECT_EQ("Sender sso:invalidSession", Show(in.dir->verify_session(&in.one, by_id.session_id, &user)));
  EXPECT_EQ("Sender sso:invalidSession", Show(in.dir->close_session(&in.one, by_id.session_id)));
  in.now += 60;  // the time-out
  EXPECT_EQ("Sender sso:invalidSession", Show(in.dir->verify_session(&in.one, grant.session_id, &user)));
}

TEST(StandinDirectory, PasswordPagesPreferTheApplicationsOwn) {
  Instance in;
  AppRecord two;
  in.store.application("two", &two);
  two.change_password_url = "https://two/change";
  in.store.update_application(two);
  const std::string anna = "anna", u2 = "u2";
  std::optional<std::string> url;
  EXPECT_EQ("ok", Show(in.dir->restore_password_url(&in.one, &anna, nullptr, &url)));
  EXPECT_EQ(std::optional<std::string>("https://relay.example/sso/restorePassword?userId=u1"), url);
  EXPECT_EQ("ok", Show(in.dir->change_password_url(&in.one, "u2", &url)));
  EXPECT_EQ(std::optional<std::string>("https://two/change"), url);
  EXPECT_EQ("Sender sso:noSuchUser", Show(in.dir->change_password_url(&in.one, "u0", &url)));
  EXPECT_EQ("Sender sso:invalidRequest",
            Show(in.dir->restore_password_url(&in.one, nullptr, nullptr, &url)));
}

TEST(StandinPassword, SaltedHashesVerifyOnlyTheirPassword) {
  std::string h1 = hash_password("secret"), h2 = hash_password("secret");
  EXPECT_NE(h1, h2);  // fresh salt each time
  EXPECT_EQ(16u + 1 + 64, h1.size());
  EXPECT_EQ('$', h1[16]);
  EXPECT_TRUE(verify_password("SSHA-256", h1, "secret"));
  EXPECT_FALSE(verify_password("SSHA-256", h1, "Secret"));
  EXPECT_FALSE(verify_password("SSHA-256", h1, ""));
  EXPECT_FALSE(verify_password("MD5", h1, "secret"));
  // hex("salt1234") "$" SHA-256("salt1234abc"), computed with another tool.
  EXPECT_EQ("73616c7431323334$1b92fe474205c398b21ade471d5c1eb172ea029aa5122f782981a8d976c806c7",
            hash_password_with_salt("abc", "salt1234"));
  for (const char* bad : {"", "$", "zz$00", "00", "0011$abc"}) {
    EXPECT_FALSE(verify_password("SSHA-256", bad, "")) << bad;
  }
  std::string id = new_uuid();
  EXPECT_EQ(36u, id.size());
  EXPECT_EQ('4', id[14]);
  EXPECT_NE(new_uuid(), id);
}

}  // namespace
}  // namespace standin
