// SSOClient against a scripted peer: the client certificate it presents, the
// exact requests it sends, the partial results of its multi-call operations
// and what its error accessors make of each kind of failure.
#include "src/SSOClient/SSOClient.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/cert_gen.h"
#include "test_support/canned_responder.h"
#include "test_support/soap_replies.h"
#include "test_support/test_util.h"

namespace {

using testutil::CannedReply;
using testutil::CannedResponder;
using testutil::Envelope;
using testutil::ServiceFault;
using testutil::SoapReply;

struct Pem {
  std::string cert, key;
};

Pem MakePem(const std::string& name) {
  Pem p;
  EXPECT_EQ(0, gen_certificate(name, p.cert, p.key, nullptr));
  return p;
}

// A TLS peer with its own certificate, for the whole test program.
const Pem& ServerPem() {
  static const Pem pem = MakePem("127.0.0.1");
  return pem;
}

std::unique_ptr<CannedResponder> TlsPeer() {
  return std::make_unique<CannedResponder>(ServerPem().cert, ServerPem().key);
}

CannedReply Ok(const std::string& op, const std::string& fields = "") {
  return testutil::ResponseReply(op, fields);
}
CannedReply UserId(const std::string& id) { return testutil::UserIdReply(id); }
CannedReply NoSuchUser() { return testutil::ServiceFaultReply("noSuchUser", "no such user"); }

// The Body content of a recorded request.
std::string BodyOf(const std::string& request) {
  const std::size_t from = request.find("<SOAP-ENV:Body>") + 15;
  return request.substr(from, request.rfind("</SOAP-ENV:Body>") - from);
}

struct Errors {
  std::string code, subcode, message, detailed;
};

Errors ErrorsOf(const SSOClient& c) {
  return {c.getErrorCode(), c.getErrorSubCode(), c.getErrorMessage(),
          c.getDetailedErrorMessage()};
}

void ExpectErrors(const Errors& want, const SSOClient& c, const std::string& where) {
  Errors got = ErrorsOf(c);
  EXPECT_EQ(want.code, got.code) << where;
  EXPECT_EQ(want.subcode, got.subcode) << where;
  EXPECT_EQ(want.message, got.message) << where;
  EXPECT_EQ(want.detailed, got.detailed) << where;
}

TEST(SSOClientTls, CertificateTextDecidesWhatIsPresented) {
  const Pem app = MakePem("app-one");
  const Pem other = MakePem("app-two");
  struct Case {
    const char* name;
    std::unique_ptr<std::string> text;  // null: no certificate pointer
    bool presented;
    const char* setup_detail;  // nullptr: the set-up succeeded
  };
  Case cases[] = {
      {"certificate then key", std::make_unique<std::string>(app.cert + app.key), true,
       nullptr},
      {"key then certificate, text around",
       std::make_unique<std::string>("junk\n" + app.key + "more\n" + app.cert), true, nullptr},
      {"null pointer", nullptr, false, nullptr},
      {"empty text", std::make_unique<std::string>(), false, nullptr},
      {"certificate only", std::make_unique<std::string>(app.cert), false,
       "Can't read certificate data"},
      {"key only", std::make_unique<std::string>(app.key), false, "Can't read certificate data"},
      {"garbage", std::make_unique<std::string>("not pem at all"), false,
       "Can't read certificate data"},
      {"key of another certificate", std::make_unique<std::string>(app.cert + other.key), false,
       "Can't use key data"},
  };
  for (Case& c : cases) {
    auto peer = TlsPeer();
    SSOClient client(peer->url("/sso"), c.text.get());
    if (c.setup_detail) {
      // No SOAP version is chosen yet: the SOAP 1.1 reading applies.
      ExpectErrors({"SOAP-ENV:Server", "SOAP-ENV:Server", "(SOAP-ENV:Server) SSL error",
                    std::string("SOAP fault SOAP-ENV:Server: SSL error (") + c.setup_detail +
                        ")"},
                   client, c.name);
    } else {
      ExpectErrors({}, client, c.name);
    }
    peer->enqueue(Ok("getSettings"));
    SSOClient::ssoSettings settings;
    EXPECT_TRUE(client.getSettings(settings)) << c.name << ": " << client.getErrorMessage();
    ExpectErrors({}, client, c.name);
    ASSERT_EQ(1u, peer->client_certificates().size()) << c.name;
    EXPECT_EQ(c.presented ? app.cert : "", peer->client_certificates()[0]) << c.name;
  }
}

TEST(SSOClientTls, ServerCertificatesAreNotVerified) {
  // Self-signed, and issued for another host than the one connected to.
  const Pem other_host = MakePem("sso.elsewhere.example");
  for (const Pem* server : {&ServerPem(), &other_host}) {
    CannedResponder peer(server->cert, server->key);
    SSOClient client(peer.url("/"), nullptr);
    peer.enqueue(Ok("getSettings"));
    SSOClient::ssoSettings settings;
    EXPECT_TRUE(client.getSettings(settings)) << client.getDetailedErrorMessage();
  }
}

TEST(SSOClientTls, OneConnectionAndHandshakeForManyCallsAndFaults) {
  auto peer = TlsPeer();
  const Pem app = MakePem("app-one");
  const std::string text = app.cert + app.key;
  SSOClient client(peer->url("/"), &text);
  std::string id;
  for (int i = 0; i < 30; ++i) {
    peer->enqueue(i % 3 ? NoSuchUser() : UserId(std::to_string(i)));
    EXPECT_EQ(i % 3 == 0, client.getUserId("u" + std::to_string(i), id)) << i;
  }
  EXPECT_EQ(1u, peer->connections());
  EXPECT_EQ(1u, peer->client_certificates().size());

  // A second client has a context, a connection and a TLS session of its own.
  SSOClient second(peer->url("/"), nullptr);
  peer->enqueue(UserId("x"));
  EXPECT_TRUE(second.getUserId("x", id));
  EXPECT_EQ(2u, peer->connections());
  EXPECT_EQ((std::vector<std::string>{app.cert, ""}), peer->client_certificates());
}

TEST(SSOClientErrors, AccessorsDescribeTheLastCall) {
  const std::string detail = "<SOAP-ENV:Detail><why>taken</why></SOAP-ENV:Detail>";
  struct Case {
    const char* name;
    CannedReply reply;
    Errors want;
  } cases[] = {
      {"fault with subcode", SoapReply(ServiceFault("noSuchUser", "No such user"), 500),
       {"SOAP-ENV:Sender", "sso:noSuchUser", "(SOAP-ENV:Sender) No such user",
        "SOAP fault SOAP-ENV:Sender: No such user"}},
      {"fault with detail", SoapReply(ServiceFault("duplicateLogin", "Taken", detail), 500),
       {"SOAP-ENV:Sender", "sso:duplicateLogin", "(SOAP-ENV:Sender) Taken",
        "SOAP fault SOAP-ENV:Sender: Taken (<why>taken</why>)"}},
      {"fault with empty detail element",
       SoapReply(ServiceFault("duplicateLogin", "Taken", "<SOAP-ENV:Detail></SOAP-ENV:Detail>"), 500),
       {"SOAP-ENV:Sender", "sso:duplicateLogin", "(SOAP-ENV:Sender) Taken",
        "SOAP fault SOAP-ENV:Sender: Taken ()"}},
      {"fault with detail text",
       SoapReply(ServiceFault("duplicateLogin", "Taken", "<SOAP-ENV:Detail>plain</SOAP-ENV:Detail>"), 500),
       {"SOAP-ENV:Sender", "sso:duplicateLogin", "(SOAP-ENV:Sender) Taken",
        "SOAP fault SOAP-ENV:Sender: Taken (plain)"}},
      {"fault without subcode", SoapReply(testutil::Fault("Receiver"), 500),
       {"SOAP-ENV:Receiver", "", "(SOAP-ENV:Receiver) R", "SOAP fault SOAP-ENV:Receiver: R"}},
      {"closed before any answer", CannedReply::HangUp(), {"", "", "() ", "SOAP fault : "}},
  };
  for (const Case& c : cases) {
    CannedResponder peer;
    SSOClient client(peer.url("/"), nullptr);
    std::string id = "kept";
    peer.enqueue(c.reply);
    EXPECT_FALSE(client.getUserId("anna", id)) << c.name;
    EXPECT_EQ("kept", id) << c.name;
    ExpectErrors(c.want, client, c.name);
    // A success clears everything.
    peer.enqueue(UserId("7"));
    EXPECT_TRUE(client.getUserId("anna", id)) << c.name;
    EXPECT_EQ("7", id);
    ExpectErrors({}, client, c.name);
  }
}

TEST(SSOClientErrors, TransportFailureHasNoSubcode) {
  int port;
  {
    CannedResponder gone;
    port = gone.port();
  }
  SSOClient client("http://127.0.0.1:" + std::to_string(port) + "/", nullptr);
  SSOClient::ssoSettings settings;
  EXPECT_FALSE(client.getSettings(settings));
  EXPECT_EQ("", client.getErrorSubCode());
  EXPECT_NE("", client.getErrorCode());
  EXPECT_EQ("(" + client.getErrorCode() + ") ", client.getErrorMessage().substr(0, client.getErrorCode().size() + 3));
}

TEST(SSOClientUsers, NamedLookupsStopAtTheFirstUnknownLogin) {
  CannedResponder peer;
  SSOClient client(peer.url("/"), nullptr);
  std::vector<SSOClient::UserInfo> users(1);
  users[0].login = "earlier";
  peer.enqueue(UserId("1"));
  peer.enqueue(NoSuchUser());
  EXPECT_FALSE(client.getUsers({"a", "b", "c"}, users));
  ASSERT_EQ(2u, users.size());
  EXPECT_EQ("a", users[1].login);
  EXPECT_EQ("1", users[1].userId);
  EXPECT_EQ("", users[1].applicationId);
  EXPECT_EQ(2u, peer.requests().size());
  EXPECT_EQ("sso:noSuchUser", client.getErrorSubCode());
}

// The runtime's own bound on list sizes (100,000 items) would refuse the
// listing of a larger instance.
TEST(SSOClientUsers, ListingsLargerThanTheRuntimeDefaultBound) {
  CannedResponder peer;
  SSOClient client(peer.url("/"), nullptr);
  const int count = 100001;
  std::string entries;
  entries.reserve(count * 80);
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    entries += "<sso:userIdLogin><sso:userId>" + n + "</sso:userId><sso:login>u" + n +
               "</sso:login></sso:userIdLogin>";
  }
  peer.enqueue(Ok("listUsers", "<sso:usersList>" + entries + "</sso:usersList>"));
  std::vector<SSOClient::UserInfo> users;
  ASSERT_TRUE(client.getUsers({}, users)) << client.getDetailedErrorMessage();
  ASSERT_EQ(static_cast<size_t>(count), users.size());
  EXPECT_EQ("u100000", users.back().login);
  EXPECT_EQ("100000", users.back().userId);
}

TEST(SSOClientUsers, DeleteUsersResolvesAllBeforeDeletingAny) {
  CannedResponder peer;
  SSOClient client(peer.url("/"), nullptr);
  EXPECT_TRUE(client.deleteUsers({}));
  EXPECT_EQ(0u, peer.requests().size());

  peer.enqueue(UserId("1"));
  peer.enqueue(NoSuchUser());
  EXPECT_FALSE(client.deleteUsers({"a", "b", "c"}));
  EXPECT_EQ(2u, peer.requests().size());  // no deleteUser was sent

  for (const char* id : {"1", "2", "3"}) peer.enqueue(UserId(id));
  peer.enqueue(Ok("deleteUser"));
  peer.enqueue(SoapReply(ServiceFault("notOwner", "not yours"), 500));
  EXPECT_FALSE(client.deleteUsers({"a", "b", "c"}));
  std::vector<std::string> sent = peer.requests();
  ASSERT_EQ(7u, sent.size());
  EXPECT_EQ("<sso:deleteUser><sso:userId>1</sso:userId></sso:deleteUser>", BodyOf(sent[5]));
  EXPECT_EQ("<sso:deleteUser><sso:userId>2</sso:userId></sso:deleteUser>", BodyOf(sent[6]));
  EXPECT_EQ("sso:notOwner", client.getErrorSubCode());
}

TEST(SSOClientUsers, RequestsCarryExactlyTheGivenFields) {
  CannedResponder peer;
  SSOClient client(peer.url("/"), nullptr);
  std::string id, empty, type = "SSHA-256", wanted = "u-101";
  for (int i = 0; i < 3; ++i) peer.enqueue(Ok("createUser", "<sso:userId>n</sso:userId>"));
  EXPECT_TRUE(client.addUser("anna", "pw", id));
  EXPECT_TRUE(client.addUser("anna", "pw", nullptr, nullptr, id));
  EXPECT_TRUE(client.addUser("anna", "h", &type, &wanted, id));
  EXPECT_EQ("n", id);
  peer.enqueue(Ok("createUser"));
  EXPECT_TRUE(client.addUser("anna", "", &empty, &empty, id));
  peer.enqueue(UserId("42"));
  peer.enqueue(Ok("changeLogin"));
  EXPECT_TRUE(client.changeLogin("anna_101_tmp_migrate", "anna"));
  peer.enqueue(UserId("42"));
  peer.enqueue(Ok("changePassword"));
  EXPECT_TRUE(client.changePassword("anna", "secret"));
  peer.enqueue(Ok("unregisterApplication"));
  EXPECT_TRUE(client.unregisterApplication("app-one"));

  const std::vector<std::string> want = {
      "<sso:createUser><sso:login>anna</sso:login><sso:password>pw</sso:password>"
      "</sso:createUser>",
      "<sso:createUser><sso:login>anna</sso:login><sso:password>pw</sso:password>"
      "</sso:createUser>",
      "<sso:createUser><sso:login>anna</sso:login><sso:password>h</sso:password>"
      "<sso:passwordHashType>SSHA-256</sso:passwordHashType><sso:userId>u-101</sso:userId>"
      "</sso:createUser>",
      "<sso:createUser><sso:login>anna</sso:login><sso:password/>"
      "<sso:passwordHashType/><sso:userId/></sso:createUser>",
      "<sso:getUserId><sso:login>anna_101_tmp_migrate</sso:login></sso:getUserId>",
      "<sso:changeLogin><sso:userId>42</sso:userId><sso:login>anna</sso:login>"
      "</sso:changeLogin>",
      "<sso:getUserId><sso:login>anna</sso:login></sso:getUserId>",
      "<sso:changePassword><sso:userId>42</sso:userId><sso:newPassword>secret"
      "</sso:newPassword></sso:changePassword>",
      "<sso:unregisterApplication><sso:applicationId>app-one</sso:applicationId>"
      "</sso:unregisterApplication>",
  };
  std::vector<std::string> sent = peer.requests();
  ASSERT_EQ(want.size(), sent.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(want[i], BodyOf(sent[i])) << i;
}

TEST(SSOClientUsers, ChangesStopAfterAFailedLookup) {
  CannedResponder peer;
  SSOClient client(peer.url("/"), nullptr);
  peer.enqueue(NoSuchUser());
  EXPECT_FALSE(client.changeLogin("ghost", "spirit"));
  EXPECT_EQ("sso:noSuchUser", client.getErrorSubCode());
  peer.enqueue(NoSuchUser());
  EXPECT_FALSE(client.changePassword("ghost", "pw"));
  EXPECT_EQ(2u, peer.requests().size());
  // A fault of the change call itself is noticed, not left unread.
  peer.enqueue(UserId("9"));
  peer.enqueue(SoapReply(ServiceFault("duplicateLogin", "taken"), 500));
  EXPECT_FALSE(client.changeLogin("anna", "bob"));
  EXPECT_EQ("sso:duplicateLogin", client.getErrorSubCode());
}

TEST(SSOClientUsers, FailedCallsLeaveOutputsAlone) {
  CannedResponder peer;
  SSOClient client(peer.url("/"), nullptr);
  for (int i = 0; i < 4; ++i) peer.enqueue(NoSuchUser());
  std::string id = "i", hash = "h", type = "t", uid = "u";
  SSOClient::UserInfo info{"l", "u", "a"};
  EXPECT_FALSE(client.getUserId("x", id));
  EXPECT_FALSE(client.getUserPassword("x", hash, type));
  EXPECT_FALSE(client.addUser("x", "p", uid));
  EXPECT_FALSE(client.getUserInfo(id, info));
  EXPECT_EQ("i", id);
  EXPECT_EQ("h", hash);
  EXPECT_EQ("t", type);
  EXPECT_EQ("u", uid);
  EXPECT_EQ("l", info.login);
  EXPECT_EQ("a", info.applicationId);
}

TEST(SSOClientApps, SettingsReplaceTheRecordAndAuthenticateIsInverted) {
  CannedResponder peer;
  SSOClient client(peer.url("/"), nullptr);
  SSOClient::ssoSettings settings;
  settings.hashTypes = {"old"};
  peer.enqueue(Ok("getSettings",
                  "<sso:hashType>A</sso:hashType><sso:usersSessionsTimeout>-5"
                  "</sso:usersSessionsTimeout><sso:relayEndpointUrl>R</sso:relayEndpointUrl>"
                  "<sso:hashType>B</sso:hashType>"));
  ASSERT_TRUE(client.getSettings(settings));
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), settings.hashTypes);
  EXPECT_EQ(-5, settings.usersSessionsTimeout);
  EXPECT_EQ("R", settings.relayEndpointUrl);
  peer.enqueue(Ok("getSettings"));
  ASSERT_TRUE(client.getSettings(settings));
  EXPECT_TRUE(settings.hashTypes.empty());

  peer.enqueue(Ok("authenticate", "<sso:sessionId>s</sso:sessionId>"));
  EXPECT_FALSE(client.authenticate("anna", "pw"));
  EXPECT_EQ("<sso:authenticate><sso:login>anna</sso:login><sso:password>pw</sso:password>"
            "</sso:authenticate>",
            BodyOf(peer.requests().back()));
  peer.enqueue(SoapReply(ServiceFault("authenticationFailed", "no"), 500));
  EXPECT_TRUE(client.authenticate("anna", "bad"));
}

TEST(SSOClientApps, RegisterApplicationStoresIssuedIdAndCertificate) {
  CannedResponder peer;
  SSOClient failed(peer.url("/"), nullptr);
  peer.enqueue(SoapReply(ServiceFault("accessDenied", "no"), 500));
  EXPECT_FALSE(failed.registerApplication("n", "d", "v", "u", "", ""));
  EXPECT_EQ("", failed.appId());
  EXPECT_EQ("", failed.certificate());

  SSOClient client(peer.url("/"), nullptr);
  peer.enqueue(Ok("registerApplication",
                  "<sso:certificate>PEM</sso:certificate><sso:applicationId>app-9"
                  "</sso:applicationId>"));
  ASSERT_TRUE(client.registerApplication("name", "Display", "1.0", "http://app/", "", ""));
  EXPECT_EQ("app-9", client.appId());
  EXPECT_EQ("PEM", client.certificate());
  EXPECT_EQ("<sso:registerApplication><sso:name>name</sso:name><sso:displayName>Display"
            "</sso:displayName><sso:version>1.0</sso:version><sso:capabilities/>"
            "<sso:restorePasswordUrl/><sso:changePasswordUrl/><sso:url>http://app/</sso:url>"
            "</sso:registerApplication>",
            BodyOf(peer.requests().back()));
}

}  // namespace
