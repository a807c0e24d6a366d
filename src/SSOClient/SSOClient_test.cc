// SSOClient against a scripted peer: the certificate it presents, the requests
// it sends, what its calls return, and what its error accessors make of each
// answer, broken or hostile ones included; against stand-in instances, the
// service's own refusals that idferry depends on.
#include "src/SSOClient/SSOClient.h"

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bio.h>

#include "test_support/canned_responder.h"
#include "test_support/soap_replies.h"
#include "test_support/standin_harness.h"
#include "test_support/test_util.h"

namespace {

using testutil::CannedReply;
using testutil::CannedResponder;
using testutil::SoapReply;
using testutil::UserIdReply;

std::vector<std::string> ErrorsOf(const SSOClient& c) {
  return {c.getErrorCode(), c.getErrorSubCode(), c.getErrorMessage(), c.getDetailedErrorMessage()};
}
// The accessors' texts after a success, and, in the form SSOClient.h documents,
// after a failure with this code, subcode, reason and detail (null: none).
const std::vector<std::string> kNoError(4);
std::vector<std::string> Texts(const std::string& code, const std::string& subcode,
                               const std::string& reason, const char* detail) {
  return {code, subcode, "(" + code + ") " + reason,
          "SOAP fault " + code + ": " + reason + (detail ? " (" + std::string(detail) + ")" : "")};
}

// Each client meets a fault between two calls, on one connection and handshake;
// a second client has a connection of its own.
TEST(SSOClientTls, CertificateTextDecidesWhatIsPresented) {
  const std::string& one = testutil::app_cert_pem("app-one");
  const std::string& two = testutil::app_cert_pem("app-two");
  const std::string cert = one.substr(0, one.find("-----BEGIN", 1)), key = one.substr(cert.size());
  const struct {
    const char* name;
    std::optional<std::string> text;
    std::string presented;
    const char* failure;  // the detail of a failed set-up
    const char* server = "127.0.0.1";
  } cases[] = {
      {"certificate then key", one, "/CN=app-one", nullptr},
      {"key then certificate, text around", "-\n" + key + "-\n" + cert, "/CN=app-one", nullptr},
      {"null pointer", std::nullopt, "", nullptr},
      {"empty text", "", "", nullptr},
      {"certificate only", cert, "", "Can't read certificate data"},
      {"key only", key, "", "Can't read certificate data"},
      {"garbage", "not pem at all", "", "Can't read certificate data"},
      {"key of another certificate", cert + two.substr(two.find("-----BEGIN", 1)), "",
       "Can't use key data"},
      // Server certificates are not verified: self-signed, for another host.
      {"server certificate for another host", one, "/CN=app-one", nullptr, "elsewhere.example"},
  };
  for (const auto& c : cases) {
    CannedResponder peer(&testutil::app_cert_pem(c.server));
    SSOClient client(peer.url(), c.text ? &*c.text : nullptr);
    // Recorded before any SOAP version was chosen: the SOAP 1.1 reading.
    EXPECT_EQ(c.failure ? Texts("SOAP-ENV:Server", "SOAP-ENV:Server", "SSL error", c.failure)
                        : kNoError, ErrorsOf(client)) << c.name;
    std::string id;
    for (bool ok : {true, false, true}) {
      peer.enqueue(ok ? UserIdReply("7") : testutil::ServiceFaultReply("noSuchUser", "no"));
      EXPECT_EQ(ok, client.getUserId("anna", id)) << c.name << client.getErrorMessage();
    }
    SSOClient second(peer.url(), nullptr);
    peer.enqueue(UserIdReply("9"));
    EXPECT_TRUE(second.getUserId("bob", id)) << c.name;
    EXPECT_EQ((std::vector<std::string>{c.presented, ""}), peer.client_certificates()) << c.name;
  }
}

// getUserId answered in every way; after a failure a success clears the accessors.
TEST(SSOClientErrors, WhatEachAnswerGivesAndLeaves) {
  const std::string refused = CannedResponder().url();  // nothing listens there any more
  // Listens and never accepts: the kernel completes connections, no answer comes.
  std::unique_ptr<BIO, decltype(&BIO_free_all)> silent(BIO_new_accept("127.0.0.1:0"), BIO_free_all);
  BIO_do_accept(silent.get());
  const std::string never = "http://127.0.0.1:" + std::string(BIO_get_accept_port(silent.get()));
  auto doc = [](const std::string& content) {
    return testutil::Envelope("<sso:getUserIdResponse>" + content + "</sso:getUserIdResponse>");
  };
  // An HTTP head with this Content-Length (none if empty), then `body`.
  auto framed = [](const std::string& length, const std::string& body, bool close) {
    const std::string head = length.empty() ? "" : "Content-Length: " + length + "\r\n";
    return CannedReply{"HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n" + head +
                       "\r\n" + body, close};
  };
  auto fault = [](const std::string& reason, const std::string& detail) {
    return SoapReply(testutil::ServiceFault("x", reason, detail), 500);
  };
  const std::string id7 = "<sso:userId>7</sso:userId>", sender = "SOAP-ENV:Sender";
  const std::string receiver = "SOAP-ENV:Receiver", invalid = "Validation constraint violation: ";
  const std::string mismatch = invalid + "tag name or namespace mismatch in element ";
  const char* idle = "no data from the service for 300 ms";
  std::string deep, wide;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  for (int i = 0; i < 1000000; ++i) wide += "<pad>0123456789012345678901234567890123456789</pad>";
  const struct {
    const char* name;
    CannedReply reply;
    std::string id;  // what getUserId leaves in its output, "kept" when untouched
    std::string code = "", subcode = "", reason = "";
    const char* detail = nullptr;
    std::string url = "";  // of another peer than the canned one
    bool again = true;     // whether another call may follow on the connection
  } cases[] = {
      {"fault with subcode", fault("No such user", ""), "kept", sender, "sso:x", "No such user"},
      {"fault with detail", fault("Taken", "<SOAP-ENV:Detail><a>b</a></SOAP-ENV:Detail>"), "kept",
       sender, "sso:x", "Taken", "<a>b</a>"},
      {"fault with empty detail element", fault("Taken", "<SOAP-ENV:Detail></SOAP-ENV:Detail>"),
       "kept", sender, "sso:x", "Taken", ""},
      {"fault with detail text", fault("Taken", "<SOAP-ENV:Detail>plain</SOAP-ENV:Detail>"),
       "kept", sender, "sso:x", "Taken", "plain"},
      {"fault without subcode", SoapReply(testutil::Fault("Receiver"), 500), "kept", receiver, "",
       "R"},
      // Line breaks and control characters would break one-line reports.
      {"reason with line breaks", fault("no\r\nMANGLED(x:1): y\x1b[2J", ""), "kept", sender,
       "sso:x", "no  MANGLED(x:1): y [2J"},
      {"closed before any answer", CannedReply::HangUp(), "kept"},
      // Failures the runtime keeps only a status of get its own description.
      {"connection refused", CannedReply(), "kept", receiver, "", "Connection refused",
       "connect failed in tcp_connect()", refused},
      {"HTTP 500 without body", testutil::HttpReply(500, "Internal Server Error", "", ""), "kept",
       sender, "", "Error 500: HTTP 500 Internal Server Error"},
      {"HTML page", testutil::HttpReply(200, "OK", "text/html", "<html></html>"), "kept", sender,
       "", mismatch + "'html'"},
      {"SOAP 1.1 envelope", SoapReply("<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/"
                                      "envelope/\"><e:Body/></e:Envelope>"),
       "kept", sender, "", mismatch + "'e:Envelope'"},
      // A text over the client's bound ends the call there; the rest of the
      // answer stays on the connection, and the next call would read it.
      {"40 MiB text", SoapReply(doc("<sso:userId>" + std::string(40 << 20, 'x'))), "kept", sender,
       "", invalid + "value range or content length violation in element 'sso:userId'", nullptr,
       "", false},
      {"element that never closes", framed("", doc(id7 + "<sso:unfinished"), true), "kept"},
      // The service stops sending.
      {"Content-Length too long, kept open", framed("100000", doc(id7).substr(0, 300), false),
       "kept", receiver, "", "Timeout", idle},
      {"listener that never accepts", CannedReply(), "kept", receiver, "", "Timeout", idle, never},
      // Odd but readable: the document decides where the answer ends, not
      // Content-Length; unknown elements are skipped however deep or large.
      {"Content-Length too short", framed("50", doc(id7), false), "7"},
      // (The service's close may come only after the next request was sent.)
      {"Content-Length too long, closed", framed("100000", doc(id7), true), "7", "", "", "",
       nullptr, "", false},
      {"100,000 levels of unknown elements", SoapReply(doc(deep + id7)), "7"},
      {"50 MB of unknown elements", SoapReply(doc(wide + id7)), "7"},
      // runtime: a DTD is skipped and its entity never expanded; the unknown
      // entity reference reads as the byte 127.
      {"DTD with an entity", SoapReply("<?xml version=\"1.0\"?><!DOCTYPE e [<!ENTITY x \"boom\">]>" +
                                       doc("<sso:userId>&x;</sso:userId>").substr(38)), "\x7f"},
      {"invalid UTF-8", SoapReply(doc("<sso:userId>a\xc3\x28\xff" "b</sso:userId>")),
       "a\xc3\x28\xff" "b"},
  };
  for (const auto& c : cases) {
    CannedResponder canned;
    SSOClient client(c.url.empty() ? canned.url() : c.url, nullptr);
    client.setTimeouts(1000, c.reason == "Timeout" ? 300 : 10000);  // far more than needed
    canned.enqueue(c.reply);
    std::string id = "kept";
    EXPECT_EQ(c.id != "kept", client.getUserId("anna", id)) << c.name;
    EXPECT_EQ(c.id, id) << c.name;
    EXPECT_EQ(c.id != "kept" ? kNoError : Texts(c.code, c.subcode, c.reason, c.detail),
              ErrorsOf(client)) << c.name;
    if (!c.url.empty() || !c.again) continue;
    canned.enqueue(UserIdReply("8"));
    EXPECT_TRUE(client.getUserId("anna", id)) << c.name;
    EXPECT_EQ(kNoError, ErrorsOf(client)) << c.name;
  }
}

// One client makes each call in turn. Replies and requests are in
// testutil::Xml's notation, "fault code=c" a service fault with subcode sso:c.
TEST(SSOClientCalls, RequestsSentAndWhatTheCallsReturn) {
  CannedResponder peer;
  SSOClient c(peer.url(), nullptr);
  std::string listing = "<sso:userIdLogin><sso:login>b</sso:login><sso:userId>2</sso:userId>"
                        "</sso:userIdLogin><sso:x/>";
  for (int i = 0; i <= 100000; ++i) {
    listing += "<sso:userIdLogin><sso:userId>" + std::to_string(i) + "</sso:userId><sso:login>u" +
               std::to_string(i) + "</sso:login></sso:userIdLogin>";
  }
  std::string id, out = "x", hash = "h", type = "t", none;
  std::vector<SSOClient::UserInfo> users(1, {"earlier", "", ""});
  SSOClient::UserInfo info{"l", "u", "a"};
  SSOClient::ssoSettings set{"old", 3, {"old"}};
  // "ok", or "failed" and the subcode; then the outputs, read after the call.
  auto done = [&](bool ok, const auto&... out) {
    std::ostringstream text;
    text << (ok ? "ok" : "failed " + c.getErrorSubCode());
    ((text << " " << out), ...);
    return text.str();
  };
  // The number of users, the first three and the last.
  auto listed = [&](bool ok) {
    std::string text = done(ok, users.size());
    for (std::size_t i = 0; i < 3 && i < users.size(); ++i) {
      text += " " + users[i].login + "/" + users[i].userId;
    }
    return text + " .. " + users.back().login + "/" + users.back().userId;
  };
  const std::string no_user = "fault code=noSuchUser;", user_id = "getUserIdResponse userId=";
  const struct {
    std::string replies;
    std::function<std::string()> call;
    std::string result, sent;
  } cases[] = {
      // Null optional fields are left out, empty ones sent.
      {"createUserResponse userId=n;createUserResponse userId=m", [&] {
         return done(c.addUser("anna", "pw", id) && c.addUser("anna", "pw", nullptr, nullptr, id), id);
       }, "ok m", "createUser login=anna password=pw;createUser login=anna password=pw"},
      {"createUserResponse", [&] { return done(c.addUser("anna", "", &none, &none, out), out); },
       "ok ", "createUser login=anna password= passwordHashType= userId="},
      {user_id + "42;changeLoginResponse", [&] { return done(c.changeLogin("anna_1", "anna")); },
       "ok", "getUserId login=anna_1;changeLogin userId=42 login=anna"},
      // The change call's own fault is read, not left on the connection.
      {user_id + "9;fault code=duplicateLogin", [&] { return done(c.changeLogin("anna", "bob")); },
       "failed sso:duplicateLogin", "getUserId login=anna;changeLogin userId=9 login=bob"},
      {user_id + "43;changePasswordResponse", [&] { return done(c.changePassword("anna", "pw")); },
       "ok", "getUserId login=anna;changePassword userId=43 newPassword=pw"},
      {"unregisterApplicationResponse", [&] { return done(c.unregisterApplication("app")); }, "ok",
       "unregisterApplication applicationId=app"},
      // Stored only on success; the URL is the fourth argument but the last field.
      {"fault code=accessDenied", [&] {
         return done(c.registerApplication("n", "d", "v", "u", "", ""), c.appId(), c.certificate());
       }, "failed sso:accessDenied  ", "registerApplication name=n displayName=d version=v "
       "capabilities= restorePasswordUrl= changePasswordUrl= url=u"},
      {"registerApplicationResponse certificate=PEM applicationId=a9", [&] {
         return done(c.registerApplication("n", "d", "v", "u", "r", "c"), c.appId(), c.certificate());
       }, "ok a9 PEM", "registerApplication name=n displayName=d version=v capabilities= "
       "restorePasswordUrl=r changePasswordUrl=c url=u"},
      // False when the credentials were accepted.
      {"authenticateResponse;fault code=authenticationFailed",
       [&] { return done(!c.authenticate("anna", "pw") && c.authenticate("anna", "")); }, "ok",
       "authenticate login=anna password=pw;authenticate login=anna password="},
      // Appends, and keeps what came before a failure.
      {user_id + "1;" + no_user, [&] { return listed(c.getUsers({"a", "b", "c"}, users)); },
       "failed sso:noSuchUser 2 earlier/ a/1 .. a/1", "getUserId login=a;getUserId login=b"},
      // Records in document order, their fields in any; more than the runtime's
      // default bound of 100,000 items.
      {"listUsersResponse usersList=" + listing, [&] { return listed(c.getUsers({}, users)); },
       "ok 100004 earlier/ a/1 b/2 .. u100000/100000", "listUsers"},
      // Every login is resolved before anything is deleted.
      {user_id + "1;" + no_user, [&] { return done(c.deleteUsers({"a", "b", "c"})); },
       "failed sso:noSuchUser", "getUserId login=a;getUserId login=b"},
      {user_id + "1;" + user_id + "2;" + user_id + "3;deleteUserResponse;fault code=notOwner",
       [&] { return done(c.deleteUsers({"a", "b", "c"})); }, "failed sso:notOwner",
       "getUserId login=a;getUserId login=b;getUserId login=c;deleteUser userId=1;"
       "deleteUser userId=2"},
      // The record is replaced, the hash type list included.
      {"getSettingsResponse hashType=A usersSessionsTimeout=-5 hashType=B", [&] {
         return done(c.getSettings(set), set.relayEndpointUrl, set.usersSessionsTimeout);
       }, "ok  -5", "getSettings"},
      // Outputs are written only after a success.
      {no_user + no_user + no_user, [&] {
         return done(c.getUserId("x", id) || c.getUserPassword("x", hash, type) ||
                         c.getUserInfo(id, info), id, hash, type, info.login, info.applicationId);
       }, "failed sso:noSuchUser m h t l a",
       "getUserId login=x;getUserPassword userId=x;getUser userId=m"},
  };
  for (const auto& row : cases) {
    const std::size_t before = peer.requests().size();
    for (const std::string& xml : testutil::Xml(row.replies)) {
      const std::size_t code = xml.find("<sso:code>") + 10;
      peer.enqueue(xml.rfind("<sso:fault>", 0) ? SoapReply(testutil::Envelope(xml))
                   : testutil::ServiceFaultReply(xml.substr(code, xml.find('<', code) - code), ""));
    }
    EXPECT_EQ(row.result, row.call()) << row.sent;
    std::vector<std::string> sent = peer.requests();
    sent.erase(sent.begin(), sent.begin() + before);
    for (std::string& r : sent) r = testutil::BodyOf(r);
    EXPECT_EQ(testutil::Xml(row.sent), sent) << row.sent;
  }
  EXPECT_EQ("AB", set.hashTypes.at(0) + set.hashTypes.at(1));
}

// The service's refusals, as a stand-in instance gives them; and plain HTTP.
TEST(SSOClientService, RefusalsCarryTheirSubcodes) {
  testutil::StandinOptions o;
  o.apps = {"app-one", "app-two"};
  o.seed = {"userpw\tu-1\talice\tsecret-a\tapp-one", "userpw\tu-3\tcarol\tsecret-c\tapp-two"};
  testutil::StandinProcess tls(o);
  o.tls = false;
  o.extra_args = {"--http-app", "app-two"};
  testutil::StandinProcess http(o);
  ASSERT_TRUE(tls.running() && http.running()) << tls.log() << http.log();
  std::vector<SSOClient::UserInfo> users;
  std::string id;
  const struct {
    const char* name;
    std::string url;
    const char* app;  // whose certificate the client presents, if any
    std::function<bool(SSOClient&)> call;
    std::string subcode;  // "" for a success
  } cases[] = {
      {"unknown login", tls.url(), "app-one", [&](SSOClient& c) { return c.getUserId("x", id); },
       "sso:noSuchUser"},
      {"login taken", tls.url(), "app-one",
       [&](SSOClient& c) { return c.addUser("carol", "pw", id); }, "sso:duplicateLogin"},
      {"user of another application", tls.url(), "app-one",
       [](SSOClient& c) { return c.deleteUsers({"carol"}); }, "sso:notOwner"},
      {"without certificate", tls.url(), nullptr,
       [&](SSOClient& c) { return c.getUsers({}, users); }, "sso:accessDenied"},
      {"unknown certificate", tls.url(), "app-unknown",
       [&](SSOClient& c) { return c.getUsers({}, users); }, "sso:accessDenied"},
      {"plain HTTP", http.url(), nullptr, [&](SSOClient& c) { return c.getUsers({}, users); }, ""},
  };
  for (const auto& c : cases) {
    SSOClient client(c.url, c.app ? &testutil::app_cert_pem(c.app) : nullptr);
    EXPECT_EQ(c.subcode.empty(), c.call(client)) << c.name;
    EXPECT_EQ(c.subcode, client.getErrorSubCode()) << c.name;
  }
  ASSERT_EQ(1u, users.size());
  EXPECT_EQ("carol", users[0].login);
}

}  // namespace
