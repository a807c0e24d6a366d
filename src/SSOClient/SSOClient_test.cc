// SSOClient over HTTPS against a stand-in instance, with application
// certificates made by the certificate library: the operations' success
// paths and the service's own refusals, as the engine meets them.
#include "src/SSOClient/SSOClient.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/standin_harness.h"
#include "test_support/test_util.h"

namespace {

using testutil::StandinOptions;
using testutil::StandinProcess;

StandinOptions Instance() {
  StandinOptions o;
  o.apps = {"app-one", "app-two"};
  o.seed = {"userpw\tu-1\talice\tsecret-a\tapp-one",
            "user\tu-2\tbob\tSSHA-256\tdeadbeef$00\tapp-one",
            "userpw\tu-3\tcarol\tsecret-c\tapp-two"};
  return o;
}

const standin::UserRecord* Find(const std::vector<standin::UserRecord>& users,
                                const std::string& login) {
  auto it = std::find_if(users.begin(), users.end(),
                         [&](const standin::UserRecord& u) { return u.login == login; });
  return it == users.end() ? nullptr : &*it;
}

TEST(SSOClientService, UserOperationsOnOneConnection) {
  StandinProcess sso(Instance());
  ASSERT_TRUE(sso.running()) << sso.log();
  const std::string cert = testutil::app_cert_pem("app-one");
  SSOClient client(sso.url(), &cert);

  std::vector<SSOClient::UserInfo> users;
  ASSERT_TRUE(client.getUsers({}, users)) << client.getErrorMessage();
  ASSERT_EQ(2u, users.size());  // only the caller's own users, in order
  EXPECT_EQ("alice", users[0].login);
  EXPECT_EQ("u-1", users[0].userId);
  EXPECT_EQ("bob", users[1].login);

  std::string id, hash, type;
  ASSERT_TRUE(client.getUserId("carol", id));  // every user of the instance is visible
  EXPECT_EQ("u-3", id);
  SSOClient::UserInfo info;
  info.userId = "untouched";
  ASSERT_TRUE(client.getUserInfo(id, info));
  EXPECT_EQ("carol", info.login);
  EXPECT_EQ("app-two", info.applicationId);
  EXPECT_EQ("untouched", info.userId);
  EXPECT_FALSE(client.getUserId("nobody", id));
  EXPECT_EQ("sso:noSuchUser", client.getErrorSubCode());

  ASSERT_TRUE(client.getUserPassword("u-1", hash, type));
  EXPECT_EQ("SSHA-256", type);

  // The migration's creation: the hash as password, its type, a chosen id.
  std::string wanted = "moved-1", new_id;
  ASSERT_TRUE(client.addUser("alice2", hash, &type, &wanted, new_id)) << client.getErrorMessage();
  EXPECT_EQ("moved-1", new_id);
  EXPECT_FALSE(client.authenticate("alice2", "secret-a"));  // false: accepted
  EXPECT_TRUE(client.authenticate("alice2", "wrong"));
  EXPECT_FALSE(client.addUser("alice2", "x", new_id));
  EXPECT_EQ("sso:duplicateLogin", client.getErrorSubCode());

  ASSERT_TRUE(client.changeLogin("alice2", "alice3"));
  EXPECT_FALSE(client.changeLogin("alice2", "alice4"));
  EXPECT_EQ("sso:noSuchUser", client.getErrorSubCode());
  ASSERT_TRUE(client.changePassword("alice3", "fresh"));
  EXPECT_FALSE(client.authenticate("alice3", "fresh"));
  ASSERT_TRUE(client.addUser("plain", "pw", new_id));
  ASSERT_TRUE(client.deleteUsers({"alice3", "plain"}));
  EXPECT_FALSE(client.deleteUsers({"bob", "carol"}));  // carol is not ours
  EXPECT_EQ("sso:notOwner", client.getErrorSubCode());

  const std::vector<standin::UserRecord> stored = sso.users();
  EXPECT_EQ(nullptr, Find(stored, "alice3"));
  EXPECT_EQ(nullptr, Find(stored, "plain"));
  EXPECT_EQ(nullptr, Find(stored, "bob"));  // deleted before carol's deletion failed
  EXPECT_NE(nullptr, Find(stored, "carol"));
  testutil::StandinStats stats = sso.stats();
  EXPECT_EQ(1, stats.connections);
  EXPECT_EQ(1, stats.handshakes);
}

TEST(SSOClientService, CertificateDecidesTheApplication) {
  StandinProcess sso(Instance());
  ASSERT_TRUE(sso.running()) << sso.log();
  const std::string stranger = testutil::app_cert_pem("app-unknown");
  const std::string half = testutil::app_cert_pem("app-one").substr(0, 200);
  SSOClient none(sso.url(), nullptr);
  SSOClient unknown(sso.url(), &stranger);
  SSOClient broken(sso.url(), &half);
  SSOClient::ssoSettings settings;
  std::vector<SSOClient::UserInfo> users;
  for (SSOClient* c : {&none, &unknown, &broken}) {
    EXPECT_TRUE(c->getSettings(settings)) << c->getErrorMessage();
    EXPECT_FALSE(c->getUsers({}, users));
    EXPECT_EQ("sso:accessDenied", c->getErrorSubCode());
  }
  EXPECT_EQ(std::vector<std::string>{"SSHA-256"}, settings.hashTypes);

  // A registration hands out an id and a certificate that identifies the
  // new application from then on.
  ASSERT_TRUE(none.registerApplication("crm", "CRM", "2.1", "https://crm/", "", ""))
      << none.getErrorMessage();
  EXPECT_NE("", none.appId());
  const std::string issued = none.certificate();
  SSOClient registered(sso.url(), &issued);
  std::string id;
  ASSERT_TRUE(registered.addUser("dave", "pw", id)) << registered.getErrorMessage();
  ASSERT_NE(nullptr, Find(sso.users(), "dave"));
  EXPECT_EQ(none.appId(), Find(sso.users(), "dave")->owner);

  EXPECT_FALSE(registered.unregisterApplication("app-one"));
  EXPECT_TRUE(registered.unregisterApplication(none.appId()));
  EXPECT_EQ(nullptr, Find(sso.users(), "dave"));
}

TEST(SSOClientService, PlainHttpWorksToo) {
  StandinOptions o = Instance();
  o.tls = false;
  o.extra_args = {"--http-app", "app-two"};
  StandinProcess sso(o);
  ASSERT_TRUE(sso.running()) << sso.log();
  ASSERT_EQ(0u, sso.url().rfind("http://", 0));
  SSOClient client(sso.url(), nullptr);
  std::vector<SSOClient::UserInfo> users;
  ASSERT_TRUE(client.getUsers({}, users)) << client.getErrorMessage();
  ASSERT_EQ(1u, users.size());
  EXPECT_EQ("carol", users[0].login);
  EXPECT_FALSE(client.authenticate("carol", "secret-c"));
}

}  // namespace
