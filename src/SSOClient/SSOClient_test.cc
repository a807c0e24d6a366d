// SSOClient against a scripted peer (the certificate it presents, its requests, what its calls and
// its error accessors give for each answer, hostile ones included); against a stand-in it is
// tested in tools/standin/standin_test.cc.
#include "src/SSOClient/SSOClient.h"

#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/canned_responder.h"
#include "test_support/soap_replies.h"
#include "test_support/test_util.h"

namespace {

using testutil::CannedReply;
using testutil::CannedResponder;
using testutil::Envelope;
using testutil::SoapReply;
using testutil::UserIdReply;

std::vector<std::string> ErrorsOf(const SSOClient& c) {
  return {c.getErrorCode(), c.getErrorSubCode(), c.getErrorMessage(), c.getDetailedErrorMessage()};
}
// The accessors' texts, in the form SSOClient.h documents, after a failure
// "code|subcode|reason[|detail]"; all empty after a success ("").
std::vector<std::string> Texts(const std::string& failure) {
  std::smatch f;
  const std::regex parts("(.*?)\\|(.*?)\\|(.*?)(\\|(.*))?");
  if (!std::regex_match(failure, f, parts)) return {"", "", "", ""};
  const std::string code = f[1], why = f[3], detail = f[4].matched ? " (" + f[5].str() + ")" : "";
  return {code, f[2], "(" + code + ") " + why, "SOAP fault " + code + ": " + why + detail};
}

// getUserId answered in every way, also over TLS with each kind of client certificate text; after
// a failure a success clears the accessors. Each client keeps one connection (and TLS session).
TEST(SSOClientWire, WhatEachAnswerAndCertificateTextGive) {
  const std::string refused = CannedResponder().url();  // nothing listens there any more
  auto doc = [](const std::string& content) {
    return testutil::Envelope("<sso:getUserIdResponse>" + content + "</sso:getUserIdResponse>");
  };
  auto framed = [](const std::string& length, const std::string& body, bool close) {
    const std::string head = length.empty() ? "" : "Content-Length: " + length + "\r\n";
    return CannedReply{"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n" + head + "\r\n" + body,
                       close};
  };
  auto fault = [](const std::string& reason, const std::string& detail = "") {  // subcode sso:x
    return SoapReply(testutil::ServiceFault("x", reason, detail), 500);
  };
  const std::string in = "<SOAP-ENV:Detail>", out = "</SOAP-ENV:Detail>";
  const std::string id7 = "<sso:userId>7</sso:userId>", sender = "SOAP-ENV:Sender|";
  const std::string receiver = "SOAP-ENV:Receiver|", invalid = sender + "|Validation constraint "
                                                               "violation: ";
  const std::string timeout = receiver + "|Timeout|no data from the service for 300 ms";
  const std::string mismatch = invalid + "tag name or namespace mismatch in element ";
  std::string deep, wide;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  for (int i = 0; i < 1000000; ++i) wide += "<pad>0123456789012345678901234567890123456789</pad>";
  const std::string& one = testutil::app_cert_pem("app-one");
  const std::string& two = testutil::app_cert_pem("app-two");
  const std::string cert = one.substr(0, one.find("-----BEGIN", 1)), key = one.substr(cert.size());
  // A failed set-up is recorded before any SOAP version was chosen: the SOAP 1.1 reading.
  const std::string ssl = "SOAP-ENV:Server|SOAP-ENV:Server|SSL error|";
  const std::string read = ssl + "Can't read certificate data", me = "/CN=app-one", t = "127.0.0.1";
  const CannedReply no = fault("no");  // answers each certificate text; x is how it reads
  const std::string x = sender + "sso:x|no";
  const std::string ca = testutil::app_cert_pem("another CA"), junk = "not pem";
  const std::string alien = cert + two.substr(two.find("-----BEGIN", 1));
  const std::string locked = testutil::with_encrypted_key(one, "secret");
  const std::string verify = sender + "|SSL_ERROR_SSL error:0A000086:SSL routines::certificate "
                             "verify failed self-signed certificate|SSL/TLS handshake failed";
  const std::string untrusted = ssl + "Can't read trusted CA certificates";
  const std::string unusable = ssl + "Can't use key data";
  const struct {
    const char* name;
    CannedReply reply;
    std::string failure;      // as Texts reads it, "" for a success
    std::string id = "kept";  // what getUserId leaves in its output
    bool again = true;  // whether a call may follow on the connection (a close may come late)
    // The name in the canned peer's certificate (plain TCP if ""), or another peer's URL.
    std::string peer = "";
    std::optional<std::string> text = std::nullopt;  // the client's certificate text
    std::string presented = "", setup = "";  // its subject; the set-up failure as Texts reads it
    const std::string* trusted = nullptr;  // then no request reaches the peer (of no trusted CA)
  } cases[] = {
      {"fault with detail", fault("T", in + "<a>b</a>" + out), sender + "sso:x|T|<a>b</a>"},
      {"fault with empty detail element", fault("T", in + out), sender + "sso:x|T|"},
      {"fault without subcode", SoapReply(testutil::Fault("Receiver"), 500), receiver + "|R"},
      // Line breaks and control characters would break one-line reports.
      {"reason with line breaks", fault("no\r\nMANGLED(x:1): y\x1b[2J"),
       sender + "sso:x|no  MANGLED(x:1): y [2J"},
      {"closed before any answer", CannedReply{"", true}, "||"},
      // Certificate texts, and the subject presented; server certificates are not verified.
      {"certificate then key", no, x, "kept", true, t, one, me},
      {"key then certificate, text around", no, x, "kept", true, t, "-\n" + key + "-\n" + cert, me},
      {"null pointer", no, x, "kept", true, t}, {"empty text", no, x, "kept", true, t, ""},
      {"certificate only", no, x, "kept", true, t, cert, "", read},
      {"key only", no, x, "kept", true, t, key, "", read},
      {"key of another", no, x, "kept", true, t, alien, "", unusable},
      {"server certificate for another host", no, x, "kept", true, "elsewhere.example", one, me},
      // With trusted certificates the server is verified whatever the certificate text holds.
      {"verified, certificate only", no, verify, "kept", false, t, cert, "", read, &ca},
      {"verified, key of another", no, verify, "kept", false, t, alien, "", unusable, &ca},
      {"verified, encrypted key", no, verify, "kept", false, t, locked, "", read, &ca},
      {"trusted certificates unreadable", no, untrusted, "kept", false, t, one, "", untrusted,
       &junk},
      // Failures the runtime keeps only a status of get its own description.
      {"connection refused", CannedReply(),
       receiver + "|Connection refused|connect failed in tcp_connect()", "kept", false, refused},
      {"SOAP 1.1 envelope", SoapReply("<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/"
                                      "envelope/\"><e:Body/></e:Envelope>"),
       mismatch + "'e:Envelope'"},
      // A text over the client's bound ends the call there; the rest of the answer goes with its
      // connection, not into the next call.
      {"40 MiB text", SoapReply(doc("<sso:userId>" + std::string(40 << 20, 'x'))),
       invalid + "value range or content length violation in element 'sso:userId'"},
      {"Content-Length too long, kept open", framed("100000", doc(id7).substr(0, 300), false),
       timeout},
      // Odd but readable: the document decides where the answer ends, not Content-Length; unknown
      // elements are skipped however deep or large; bytes that are not UTF-8 arrive as sent.
      {"hostile but readable", framed("50", doc(deep + wide + "<sso:userId>a\xc3\x28\xff" "b</sso:"
                                                "userId>"), false), "", "a\xc3\x28\xff" "b"},
      {"Content-Length too long, closed", framed("100000", doc(id7), true), "", "7", false},
      // runtime: a DTD is skipped and its entity never expanded; the unknown entity reference reads
      // as the byte 127.
      {"DTD with an entity", SoapReply("<?xml version=\"1.0\"?><!DOCTYPE e [<!ENTITY x \"y\">]>" +
                                       doc("<sso:userId>&x;</sso:userId>").substr(38)), "", "\x7f"},
  };
  for (const auto& c : cases) {
    const bool other = c.peer.rfind("http", 0) == 0;
    const std::string* tls = c.peer.empty() || other ? nullptr : &testutil::app_cert_pem(c.peer);
    CannedResponder canned(tls);
    SSOClient client(other ? c.peer : canned.url(), c.text ? &*c.text : nullptr, c.trusted);
    client.setTimeouts(1000, c.failure == timeout ? 300 : 10000);  // else far more than needed
    EXPECT_EQ(Texts(c.setup), ErrorsOf(client)) << c.name;
    canned.enqueue(c.reply);
    std::string id = "kept";
    EXPECT_EQ(c.failure.empty(), client.getUserId("anna", id)) << c.name;
    EXPECT_EQ(c.id, id) << c.name;
    EXPECT_EQ(Texts(c.failure), ErrorsOf(client)) << c.name;
    if (c.trusted) {
      EXPECT_EQ(0u, canned.requests().size()) << c.name;
    }
    if (!c.again) continue;
    canned.enqueue(UserIdReply("8"));
    EXPECT_TRUE(client.getUserId("anna", id)) << c.name;
    EXPECT_EQ(Texts(""), ErrorsOf(client)) << c.name;
    if (!tls) continue;
    SSOClient second(canned.url(), nullptr);  // with a connection of its own
    canned.enqueue(UserIdReply("9"));
    EXPECT_TRUE(second.getUserId("bob", id)) << c.name;
    EXPECT_EQ((std::vector<std::string>{c.presented, ""}), canned.client_certificates()) << c.name;
  }
}

// An answer the connection ends inside fails in transport wherever the cut falls, for a read and a
// write; with a retry the next answer completes the call, which counts as retried. A complete
// answer, however bad, is neither. "@" in `doc` stands for the operation's response element.
TEST(SSOClientWire, AnswersCutShortFailInTransport) {
  const std::string cut = "SOAP-ENV:Receiver||Answer cut short|the connection closed before the "
                          "whole answer arrived", ok = Envelope("@");
  const std::string taken = testutil::ServiceFault("duplicateLogin", "taken"), html = "<html/>";
  const std::string sender = "SOAP-ENV:Sender|";
  const std::string error500 = sender + "|Error 500: HTTP 500 Internal Server Error";
  const struct {
    const char *name, *doc, *cut;  // where the bytes stop; "" for nowhere
    char frame;  // 'L' Content-Length, 'C' closed at its end, 'K' chunked (two chunks)
    std::string failure;  // with no retry, as Texts reads it
    int status = 200;
  } cases[] = {
      {"in the XML declaration", ok.c_str(), "version", 'L', cut},
      {"inside the response element", ok.c_str(), "7</sso:userId>", 'L', cut},
      {"between elements", ok.c_str(), "</SOAP-ENV:Body>", 'L', cut},
      {"inside a Fault", taken.c_str(), "taken", 'L', cut, 500},
      {"after a whole Fault", taken.c_str(), "</SOAP-ENV:Body>", 'L', cut, 500},
      {"closed inside the response element", ok.c_str(), "</sso:userId>", 'C', cut},
      {"chunked, inside a chunk", ok.c_str(), "<sso:userId>", 'K', cut},
      {"chunked, before the last chunk", ok.c_str(), "0\r\n\r\n", 'K', cut},
      {"closed at its end", ok.c_str(), "", 'C', ""},
      {"Fault closed at its end", taken.c_str(), "", 'C', sender + "sso:duplicateLogin|taken", 500},
      {"HTML error page", html.c_str(), "", 'L', error500, 500},
      {"HTML error page closed at its end", html.c_str(), "", 'C', error500, 500},
      {"HTML page", html.c_str(), "", 'L', sender + "|Validation constraint violation: tag name or "
                                                    "namespace mismatch in element 'html'"},
  };
  for (const auto& c : cases) {
    for (const std::string op : {"getUserId", "createUser"}) {
      const std::string element = "sso:" + op + "Response", row = c.name + (" " + op);
      std::string body = std::regex_replace(c.doc, std::regex("@"), "<" + element + "><sso:userId>"
                                            "7</sso:userId></" + element + ">");
      std::string head = "HTTP/1.1 " + std::to_string(c.status) + " X\r\nContent-Type: text/xml"
                         "\r\n";
      if (c.frame == 'L') head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
      if (c.frame == 'C') head += "Connection: close\r\n";
      auto chunk = [](const std::string& s) { return (std::ostringstream() << std::hex << s.size()
                                                      << "\r\n" << s << "\r\n").str(); };
      if (c.frame == 'K') head += "Transfer-Encoding: chunked\r\n";
      if (c.frame == 'K') body = chunk(body.substr(0, 99)) + chunk(body.substr(99)) + "0\r\n\r\n";
      const CannedReply reply{head + "\r\n" + body.substr(0, *c.cut ? body.find(c.cut) : body.npos),
                              true};
      for (const int retries : {0, 1}) {
        CannedResponder peer;
        SSOClient client(peer.url(), nullptr);
        client.setRetryPolicy({retries, nullptr, nullptr});
        peer.enqueue(reply);
        peer.enqueue(testutil::ResponseReply(op, "<sso:userId>8</sso:userId>"));
        std::string id;
        const bool made = op == "getUserId" ? client.getUserId("a", id)
                                            : client.addUser("a", "p", id);
        const bool again = retries && c.failure == cut;
        EXPECT_EQ(again ? "ok 8 retried" : c.failure.empty() ? "ok 7" : "failed ",
                  (made ? "ok " : "failed ") + id + (client.lastCallRetried() ? " retried" : ""))
            << row << retries;
        EXPECT_EQ(Texts(again ? "" : c.failure), ErrorsOf(client)) << row << retries;
      }
    }
  }
}

// One client makes each call in turn. Replies and requests are in testutil::Xml's notation, "!c" a
// service fault with the subcode sso:c.
TEST(SSOClientCalls, RequestsSentAndWhatTheCallsReturn) {
  CannedResponder peer;
  SSOClient c(peer.url(), nullptr);
  std::string listing = "<sso:userIdLogin><sso:userId>9</sso:userId></sso:userIdLogin>";
  for (int i = 0; i < 100000; ++i) listing += "<sso:userIdLogin/>";
  std::string id, out = "x", hash = "h", type = "t", none;
  std::vector<SSOClient::UserInfo> users(1, {"earlier", "", ""});
  SSOClient::UserInfo info{"l", "u", "a"};
  SSOClient::ssoSettings set{"old", 3, {"old"}};
  // "ok", or "failed" and the subcode; then the outputs, read after the call.
  auto done = [&](bool ok, const auto&... outputs) {
    return (std::string(ok ? "ok" : "failed " + c.getErrorSubCode()) + ... + (" " + outputs));
  };
  const std::string reg = "registerApplication name=n displayName=d version=v capabilities= "
                          "restorePasswordUrl= changePasswordUrl= url=u";
  const std::string uid = "getUserIdResponse userId=";
  const struct {
    std::string replies;
    std::function<std::string()> call;
    std::string result, sent;
  } cases[] = {
      // Null optional fields are left out, empty ones sent.
      {"createUserResponse userId=n;createUserResponse userId=m;createUserResponse", [&] {
         return done(c.addUser("a", "p", id) && c.addUser("a", "p", nullptr, nullptr, id) &&
                     c.addUser("a", "", &none, &none, out), id, out);
       }, "ok m ", "createUser login=a password=p;createUser login=a password=p;"
       "createUser login=a password= passwordHashType= userId="},
      // Each change looks the login up first and stops if that fails; its own fault is read.
      {uid + "4;changeLoginResponse;" + uid + "5;changePasswordResponse;" + uid + "5;"
       "changePasswordResponse;" + uid + "6;!x;!x",
       [&] {
         const std::string type = "md5";
         const bool ok = c.changeLogin("b", "a") && c.changePassword("a", "p") &&
                         c.changePassword("a", "h", &type);
         return done(ok && !c.changeLogin("a", "b") && !c.changePassword("z", "p"));
       }, "ok", "getUserId login=b;changeLogin userId=4 login=a;getUserId login=a;"
       "changePassword userId=5 newPassword=p;getUserId login=a;"
       "changePassword userId=5 newPassword=h newPasswordHashType=md5;getUserId login=a;"
       "changeLogin userId=6 login=b;getUserId login=z"},
      // Stored only on success; the URL is the fourth argument but the last field.
      {"unregisterApplicationResponse;!accessDenied;registerApplicationResponse certificate=C "
       "applicationId=I", [&] {
         const bool ok = c.unregisterApplication("x") && !c.registerApplication("n", "d", "v", "u",
                                                                                "", "");
         return done(ok && c.appId().empty() && c.registerApplication("n", "d", "v", "u", "", ""),
                     c.appId(), c.certificate());
       }, "ok I C", "unregisterApplication applicationId=x;" + reg + ";" + reg},
      // False when the credentials were accepted.
      {"authenticateResponse;!authenticationFailed",
       [&] { return done(!c.authenticate("a", "p") && c.authenticate("a", "")); }, "ok",
       "authenticate login=a password=p;authenticate login=a password="},
      // Appends, and keeps what came before the first unknown login; more than the runtime's
      // default bound of 100,000 items.
      {uid + "1;!x;listUsersResponse usersList=" + listing, [&] {
         const bool ok = !c.getUsers({"a", "b", "c"}, users) && c.getUsers({}, users);
         return done(ok, std::to_string(users.size()), users[1].userId, users[2].userId);
       }, "ok 100003 1 9", "getUserId login=a;getUserId login=b;listUsers"},
      // Every login is resolved before anything is deleted.
      {uid + "1;!x;" + uid + "1;" + uid + "2;" + uid + "3;deleteUserResponse;!notOwner",
       [&] { return done(!c.deleteUsers({"a", "b", "c"}) && !c.deleteUsers({"a", "b", "c"})); },
       "ok", "getUserId login=a;getUserId login=b;getUserId login=a;getUserId login=b;"
       "getUserId login=c;deleteUser userId=1;deleteUser userId=2"},
      // The record is replaced, the hash type list included (see below).
      {"getSettingsResponse hashType=A usersSessionsTimeout=-5 hashType=B",
       [&] { return done(c.getSettings(set), set.relayEndpointUrl); }, "ok ", "getSettings"},
      // Outputs are written only after a success.
      {"!x;!x;!x", [&] {
         return done(c.getUserId("x", id) || c.getUserPassword("x", hash, type) ||
                         c.getUserInfo(id, info), id, hash, type, info.login, info.applicationId);
       }, "failed sso:x m h t l a", "getUserId login=x;getUserPassword userId=x;getUser userId=m"},
  };
  for (const auto& row : cases) {
    const std::size_t before = peer.requests().size();
    for (const std::string& xml : testutil::Xml(row.replies)) {
      const std::string code = xml.substr(6, xml.find('>') - 6);
      peer.enqueue(xml[5] == '!' ? SoapReply(testutil::ServiceFault(code, ""), 500)
                                 : SoapReply(testutil::Envelope(xml)));
    }
    EXPECT_EQ(row.result, row.call()) << row.sent;
    const std::vector<std::string> all = peer.requests();
    std::vector<std::string> sent(all.begin() + before, all.end());
    for (std::string& r : sent) r = testutil::BodyOf(r);
    EXPECT_EQ(testutil::Xml(row.sent), sent) << row.sent;
  }
  EXPECT_EQ(-5, set.usersSessionsTimeout);
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), set.hashTypes);
}

}  // namespace
