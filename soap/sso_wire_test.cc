// Wire tests of the generated SSO protocol layer, through the proxy `sso`
// against a canned HTTP peer: the bytes the service receives, and what the
// runtime makes of the bytes it answers with. Expectations marked
// "runtime:" pin where gSOAP 2.8 differs from what a reader of the service
// definition would expect; the service client is written against them.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "soapssoProxy.h"
#include "test_support/canned_responder.h"
#include "test_support/soap_replies.h"

namespace {

using testutil::CannedReply;
using testutil::CannedResponder;
using testutil::HttpReply;
using testutil::SoapReply;

using testutil::Envelope;
using testutil::Fault;
using testutil::kEnvNs;
using testutil::kNs;

// A proxy set up as the service client sets up its own: keep-alive both
// ways, posting to a canned peer.
struct Wire {
  explicit Wire(std::unique_ptr<CannedResponder> peer = std::make_unique<CannedResponder>())
      : server(std::move(peer)), url(server->url("/sso/svc")) {
    soap_init2(proxy.soap, SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
    proxy.soap_endpoint_url = url.c_str();
  }
  void Reply(const std::string& body) { server->enqueue(SoapReply(Envelope(body))); }
  // The Body content of the last request.
  std::string LastBody() const {
    const std::string req = server->requests().back();
    const std::size_t from = req.find("<SOAP-ENV:Body>") + 15;
    return req.substr(from, req.rfind("</SOAP-ENV:Body>") - from);
  }

  std::unique_ptr<CannedResponder> server;
  std::string url;
  sso proxy;
};

TEST(SsoRequest, HeadAndEnvelopeAreWhatTheServiceExpects) {
  Wire w;
  w.Reply("<sso:getUserIdResponse/>");
  sso__getUserIdResponse r;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getUserId("alice", r));
  const std::string req = w.server->requests().at(0);
  const std::size_t split = req.find("\r\n\r\n") + 4;
  const std::string body = req.substr(split);
  // runtime: 2.8 adds User-Agent, and Accept-Encoding as it is built with zlib.
  EXPECT_EQ("POST /sso/svc HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(w.server->port()) +
                "\r\nUser-Agent: gSOAP/2.8\r\n"
                "Content-Type: application/soap+xml; charset=utf-8\r\n"
                "Content-Length: " + std::to_string(body.size()) +
                "\r\nConnection: keep-alive\r\nAccept-Encoding: gzip,deflate\r\n\r\n",
            req.substr(0, split));
  EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope"
            " xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\""
            " xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\""
            " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
            " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:sso=\"" + kNs + "\">"
            "<SOAP-ENV:Body><sso:getUserId><sso:login>alice</sso:login></sso:getUserId>"
            "</SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n",
            body);
}

// Every operation once, answered by its bare response element, which each
// of them accepts (for the six with empty responses that is all they get).
// Absent optional fields are left out; empty strings are written too.
// runtime: an empty string goes out as a self-closing element.
TEST(SsoRequest, EachOperationSendsItsFieldsInOrderAndAcceptsAnEmptyResponse) {
  Wire w;
  sso& p = w.proxy;
  std::string a = "A", c = "C", id = "I", lg = "L", pw = "P", ht = "H", u = "U", who, empty;
  registerApplicationResponse reg;
  listApplicationsResponse apps;
  updateApplicationResponse upd;
  getApplicationResponse app;
  sso__unregisterApplicationResponse unreg;
  sso__createUserResponse cre;
  sso__duplicateUserResponse dup;
  sso__deleteUserResponse del;
  sso__getUserResponse usr;
  sso__getUserIdResponse uid;
  sso__getUserPasswordResponse upw;
  sso__changeLoginResponse chl;
  sso__changePasswordResponse chp;
  sso__transferOwnershipResponse tro;
  sso__listUsersResponse users;
  sso__getRestorePasswordUrlResponse rpu;
  sso__getChangePasswordUrlResponse cpu;
  sso__authenticateResponse aut;
  sso__closeSessionResponse cls;
  sso__getSettingsResponse set;
  struct Case {
    std::string op;
    std::function<int()> call;
    std::string fields;
  };
  const Case cases[] = {
      {"registerApplication",
       [&] { return p.sso__registerApplication("n", "d", "v", "", nullptr, nullptr, &u, reg); },
       "<sso:name>n</sso:name><sso:displayName>d</sso:displayName><sso:version>v</sso:version>"
       "<sso:capabilities/><sso:url>U</sso:url>"},
      {"listApplications", [&] { return p.sso__listApplications(apps); }, ""},
      {"updateApplication",
       [&] {
         return p.sso__updateApplication(a, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, &c, upd);
       },
       "<sso:applicationId>A</sso:applicationId><sso:certificate>C</sso:certificate>"},
      {"getApplication", [&] { return p.sso__getApplication(a, app); },
       "<sso:applicationId>A</sso:applicationId>"},
      {"unregisterApplication", [&] { return p.sso__unregisterApplication(a, &unreg); },
       "<sso:applicationId>A</sso:applicationId>"},
      {"createUser", [&] { return p.sso__createUser(lg, empty, nullptr, nullptr, cre); },
       "<sso:login>L</sso:login><sso:password/>"},
      {"createUser", [&] { return p.sso__createUser(lg, pw, &empty, &id, cre); },
       "<sso:login>L</sso:login><sso:password>P</sso:password>"
       "<sso:passwordHashType/><sso:userId>I</sso:userId>"},
      {"duplicateUser", [&] { return p.sso__duplicateUser(id, lg, dup); },
       "<sso:userId>I</sso:userId><login>L</login>"},
      {"deleteUser", [&] { return p.sso__deleteUser(id, &del); }, "<sso:userId>I</sso:userId>"},
      {"getUser", [&] { return p.sso__getUser(id, usr); }, "<sso:userId>I</sso:userId>"},
      {"getUserId", [&] { return p.sso__getUserId(lg, uid); }, "<sso:login>L</sso:login>"},
      {"getUserPassword", [&] { return p.sso__getUserPassword(id, upw); },
       "<sso:userId>I</sso:userId>"},
      {"changeLogin", [&] { return p.sso__changeLogin(id, lg, &chl); },
       "<sso:userId>I</sso:userId><sso:login>L</sso:login>"},
      {"changePassword", [&] { return p.sso__changePassword(id, nullptr, pw, &ht, &chp); },
       "<sso:userId>I</sso:userId><sso:newPassword>P</sso:newPassword>"
       "<sso:newPasswordHashType>H</sso:newPasswordHashType>"},
      {"transferOwnership", [&] { return p.sso__transferOwnership(id, a, &tro); },
       "<sso:userId>I</sso:userId><sso:applicationId>A</sso:applicationId>"},
      {"listUsers", [&] { return p.sso__listUsers(users); }, ""},
      {"getRestorePasswordUrl", [&] { return p.sso__getRestorePasswordUrl(nullptr, nullptr, rpu); },
       ""},
      {"getRestorePasswordUrl", [&] { return p.sso__getRestorePasswordUrl(&lg, &id, rpu); },
       "<login>L</login><userId>I</userId>"},
      {"getChangePasswordUrl", [&] { return p.sso__getChangePasswordUrl(id, cpu); },
       "<sso:userId>I</sso:userId>"},
      {"authenticate", [&] { return p.sso__authenticate(&lg, nullptr, &pw, nullptr, aut); },
       "<sso:login>L</sso:login><sso:password>P</sso:password>"},
      {"verifySession", [&] { return p.sso__verifySession("S", who); },
       "<sso:sessionId>S</sso:sessionId>"},
      {"closeSession", [&] { return p.sso__closeSession("S", &cls); },
       "<sso:sessionId>S</sso:sessionId>"},
      {"getSettings", [&] { return p.sso__getSettings(set); }, ""},
  };
  for (const Case& c : cases) {
    w.Reply("<sso:" + c.op + "Response/>");
    EXPECT_EQ(SOAP_OK, c.call()) << c.op;
    EXPECT_EQ("<sso:" + c.op + ">" + c.fields + "</sso:" + c.op + ">", w.LastBody()) << c.op;
  }
  EXPECT_EQ(1u, w.server->connections());
}

// runtime: 2.8 writes bytes 128..159 and controls as hexadecimal references,
// bytes 160..255 as the UTF-8 form of that character, and a line feed as it
// is; every byte still stands for one character, which is what the peer
// reads back.
TEST(SsoRequest, TextIsEscapedAndEachByteIsOneLatin1Character) {
  Wire w;
  w.Reply("<sso:getUserIdResponse/>");
  sso__getUserIdResponse r;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getUserId(
                         std::string("a&b<c>d\te\nf\rg\x01\x1f\x7f\x80\x9f\xa0\xc3\xa9\xff"), r));
  EXPECT_EQ("<sso:getUserId><sso:login>a&amp;b&lt;c&gt;d\te\nf&#xD;g&#x1;&#x1F;&#x7F;&#x80;&#x9F;"
            "\xc2\xa0\xc3\x83\xc2\xa9\xc3\xbf</sso:login></sso:getUserId>",
            w.LastBody());
}

TEST(SsoResponse, ChildrenMatchByNamespaceInAnyOrder) {
  Wire w;
  // Another prefix for the service namespace, an unqualified namesake (not
  // a match), an unknown child, children swapped, a repeated one (the first
  // counts).
  w.Reply("<x:getUserPasswordResponse xmlns:x=\"" + kNs + "\"><passwordHash>h0</passwordHash>"
          "<x:other>1</x:other><x:passwordHashType>md5</x:passwordHashType>"
          "<x:passwordHash>h1</x:passwordHash><x:passwordHash>h2</x:passwordHash>"
          "</x:getUserPasswordResponse>");
  sso__getUserPasswordResponse pw;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getUserPassword("I", pw));
  EXPECT_EQ("h1", pw.passwordHash);
  EXPECT_EQ("md5", pw.passwordHashType);

  w.Reply("<getUserResponse xmlns=\"" + kNs + "\"><applicationId>A</applicationId>"
          "<login>L</login></getUserResponse><sso:trailing/>");
  sso__getUserResponse user;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getUser("I", user));
  EXPECT_EQ("L", user.login);
  EXPECT_EQ("A", user.applicationId);

  // A response element in another namespace is not the response.
  w.Reply("<getUserResponse xmlns=\"" + kNs + "/2\"><login>L</login></getUserResponse>");
  EXPECT_NE(SOAP_OK, w.proxy.sso__getUser("I", user));
}

TEST(SsoResponse, MissingOrNilFieldsKeepTheirDefaults) {
  Wire w;
  w.Reply("<sso:getUserPasswordResponse><sso:passwordHash>h</sso:passwordHash>"
          "</sso:getUserPasswordResponse>");
  sso__getUserPasswordResponse pw;
  pw.passwordHashType = "stale";
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getUserPassword("I", pw));
  EXPECT_EQ("", pw.passwordHashType);

  w.Reply("<sso:getApplicationResponse><sso:url>U</sso:url><sso:name xsi:nil=\"true\"/>"
          "<sso:changePasswordUrl xsi:nil=\"true\"/><sso:version>V</sso:version>"
          "</sso:getApplicationResponse>");
  getApplicationResponse app;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getApplication("A", app));
  EXPECT_EQ("", app.name);
  EXPECT_EQ("V", app.version);
  EXPECT_EQ(nullptr, app.restorePasswordUrl);
  EXPECT_EQ(nullptr, app.changePasswordUrl);
  ASSERT_NE(nullptr, app.url);
  EXPECT_EQ("U", *app.url);

  w.Reply("<sso:getSettingsResponse/>");
  sso__getSettingsResponse set;
  set.usersSessionsTimeout = 5;
  set.hashType = {"old"};
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getSettings(set));
  EXPECT_EQ(0, set.usersSessionsTimeout);
  EXPECT_EQ("", set.relayEndpointUrl);
  EXPECT_TRUE(set.hashType.empty());
}

TEST(SsoResponse, ListsKeepDocumentOrder) {
  Wire w;
  w.Reply("<sso:listUsersResponse><sso:usersList><sso:userIdLogin><sso:userId>1</sso:userId>"
          "<sso:login>a</sso:login></sso:userIdLogin><sso:note>x</sso:note><sso:userIdLogin>"
          "<sso:login>b</sso:login><sso:userId>2</sso:userId></sso:userIdLogin><sso:userIdLogin>"
          "<sso:userId>3</sso:userId><sso:login>c</sso:login></sso:userIdLogin></sso:usersList>"
          "</sso:listUsersResponse>");
  sso__listUsersResponse users;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__listUsers(users));
  const auto& got = users.usersList.userIdLogin;
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ("1a2b3c", got[0].userId + got[0].login + got[1].userId + got[1].login +
                          got[2].userId + got[2].login);

  w.Reply("<sso:listApplicationsResponse><sso:applicationsList><sso:item>p</sso:item>"
          "<sso:item>q</sso:item></sso:applicationsList></sso:listApplicationsResponse>");
  listApplicationsResponse apps;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__listApplications(apps));
  EXPECT_EQ((std::vector<std::string>{"p", "q"}), apps.applicationsList.item);

  w.Reply("<sso:getSettingsResponse><sso:hashType>x</sso:hashType><sso:usersSessionsTimeout>"
          " -7</sso:usersSessionsTimeout><sso:hashType>y</sso:hashType><sso:relayEndpointUrl>R"
          "</sso:relayEndpointUrl><sso:hashType>z</sso:hashType></sso:getSettingsResponse>");
  sso__getSettingsResponse set;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getSettings(set));
  EXPECT_EQ(-7, set.usersSessionsTimeout);
  EXPECT_EQ("R", set.relayEndpointUrl);
  EXPECT_EQ((std::vector<std::string>{"x", "y", "z"}), set.hashType);
}

TEST(SsoResponse, IntegerTextAndTypeAttributes) {
  struct Case {
    std::string field;
    int status;
  };
  const Case cases[] = {
      {"<sso:usersSessionsTimeout>+5 </sso:usersSessionsTimeout>", SOAP_OK},
      {"<sso:usersSessionsTimeout>12ab</sso:usersSessionsTimeout>", SOAP_TYPE},
      {"<sso:usersSessionsTimeout>99999999999</sso:usersSessionsTimeout>", SOAP_TYPE},
      {"<sso:usersSessionsTimeout xsi:type=\"xsd:string\" xmlns:xsd="
       "\"http://www.w3.org/2001/XMLSchema\">5</sso:usersSessionsTimeout>", SOAP_TYPE},
      // Schema namespaces of other years count as the same.
      {"<sso:usersSessionsTimeout i:type=\"d:string\" xmlns:i=\"http://www.w3.org/1999/"
       "XMLSchema-instance\" xmlns:d=\"http://www.w3.org/1999/XMLSchema\">5"
       "</sso:usersSessionsTimeout>", SOAP_TYPE},
      // runtime: an empty integer is an error of its own, not 0.
      {"<sso:usersSessionsTimeout></sso:usersSessionsTimeout>", SOAP_EMPTY},
      // runtime: xsi:type is checked on the integer only, not on strings
      // or records.
      {"<sso:relayEndpointUrl xsi:type=\"xsd:int\">R</sso:relayEndpointUrl>", SOAP_OK},
  };
  for (const Case& c : cases) {
    Wire w;
    w.Reply("<sso:getSettingsResponse>" + c.field + "</sso:getSettingsResponse>");
    sso__getSettingsResponse set;
    EXPECT_EQ(c.status, w.proxy.sso__getSettings(set)) << c.field;
  }
  Wire w;
  w.Reply("<sso:listUsersResponse xsi:type=\"sso:other\"><sso:usersList xsi:type=\"sso:x\">"
          "<sso:userIdLogin/></sso:usersList></sso:listUsersResponse>");
  sso__listUsersResponse users;
  EXPECT_EQ(SOAP_OK, w.proxy.sso__listUsers(users));
  EXPECT_EQ(1u, users.usersList.userIdLogin.size());
}

TEST(SsoResponse, CharactersUpToFFBecomeOneByteEach) {
  Wire w;
  w.Reply("<sso:getUserPasswordResponse><sso:passwordHash>&#233;\xc3\xa9&#xA;&#13;\x7f"
          "</sso:passwordHash><sso:passwordHashType>a&#1234;b&#x100;c</sso:passwordHashType>"
          "</sso:getUserPasswordResponse>");
  sso__getUserPasswordResponse pw;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getUserPassword("I", pw));
  EXPECT_EQ("\xe9\xe9\n\r\x7f", pw.passwordHash);
  // runtime: above U+00FF the low byte is kept; a zero low byte ends the text.
  EXPECT_EQ("a\xd2" "b", pw.passwordHashType);
}

TEST(SsoResponse, EmptyBodyAndVerifySessionResult) {
  Wire w;
  // runtime: an empty Body is taken as success with a reset record, for every
  // operation; only a missing Body fails with SOAP_NO_TAG.
  w.Reply("");
  sso__getUserIdResponse uid;
  uid.userId = "stale";
  EXPECT_EQ(SOAP_OK, w.proxy.sso__getUserId("L", uid));
  EXPECT_EQ("", uid.userId);
  w.server->enqueue(SoapReply("<e:Envelope xmlns:e=\"" + kEnvNs + "\"></e:Envelope>"));
  sso__deleteUserResponse del;
  EXPECT_EQ(SOAP_NO_TAG, w.proxy.sso__deleteUser("I", &del));

  std::string who = "before";
  w.Reply("<sso:verifySessionResponse><sso:userId>U</sso:userId></sso:verifySessionResponse>");
  EXPECT_EQ(SOAP_OK, w.proxy.sso__verifySession("S", who));
  EXPECT_EQ("U", who);
  w.server->enqueue(SoapReply(Fault("Sender"), 500));
  EXPECT_EQ(SOAP_CLI_FAULT, w.proxy.sso__verifySession("S", who));
  EXPECT_EQ("", who);

  // Nothing sent (no one listens on the port any more): left as it was.
  int closed_port;
  {
    CannedResponder gone;
    closed_port = gone.port();
  }
  std::string url = "http://127.0.0.1:" + std::to_string(closed_port) + "/";
  w.proxy.soap_endpoint_url = url.c_str();
  who = "before";
  EXPECT_EQ(SOAP_TCP_ERROR, w.proxy.sso__verifySession("S", who));
  EXPECT_EQ("before", who);
}

// What a failed call leaves behind, read the way the service client reads
// it: {code, subcode, reason, detail} from the SOAP 1.2 fields once an
// envelope was seen, from the SOAP 1.1 fields otherwise; "-" for each when
// there is no fault record at all.
using Seen = std::vector<std::string>;
const Seen kNoRecord = {"-", "-", "-", "-"};
Seen Read(const struct soap* soap) {
  const SOAP_ENV__Fault* f = soap->fault;
  auto str = [](const char* s) { return std::string(s ? s : ""); };
  if (f == nullptr) return kNoRecord;
  if (soap->version == 2 && f->SOAP_ENV__Code != nullptr) {
    const SOAP_ENV__Code* sub = f->SOAP_ENV__Code->SOAP_ENV__Subcode;
    return {str(f->SOAP_ENV__Code->SOAP_ENV__Value), sub ? str(sub->SOAP_ENV__Value) : "",
            f->SOAP_ENV__Reason ? str(f->SOAP_ENV__Reason->SOAP_ENV__Text) : "",
            f->SOAP_ENV__Detail ? str(f->SOAP_ENV__Detail->__any) : ""};
  }
  return {str(f->faultcode), str(f->faultcode), str(f->faultstring),
          f->detail ? str(f->detail->__any) : ""};
}

TEST(SsoFault, FaultsAndFailuresAsTheClientSeesThem) {
  const std::string no_such_user =
      "<SOAP-ENV:Subcode><SOAP-ENV:Value xmlns:t=\"" + kNs + "\">t:noSuchUser</SOAP-ENV:Value>"
      "<SOAP-ENV:Subcode><SOAP-ENV:Value>SOAP-ENV:deeper</SOAP-ENV:Value></SOAP-ENV:Subcode>"
      "</SOAP-ENV:Subcode>";
  const std::string header_mu =
      "<e:Envelope xmlns:e=\"" + kEnvNs + "\" xmlns:h=\"urn:h\"><e:Header><h:x>1</h:x>"
      "<h:y e:mustUnderstand=\"true\">1</h:y></e:Header><e:Body/></e:Envelope>";
  const std::string html = "<html><body>no service here</body></html>";
  struct Case {
    std::string name;
    CannedReply reply;
    int status;
    Seen seen;
  };
  const Case cases[] = {
      {"subcode under another prefix, detail kept as text",
       SoapReply(Fault("Sender", no_such_user, "SOAP-ENV",
                       "<SOAP-ENV:Detail><info>some <b>text</b></info></SOAP-ENV:Detail>"), 500),
       SOAP_CLI_FAULT, {"SOAP-ENV:Sender", "sso:noSuchUser", "R", "<info>some <b>text</b></info>"}},
      {"fault with HTTP 400", HttpReply(400, "Bad Request", "application/soap+xml",
                                        Fault("Receiver")),
       SOAP_SVR_FAULT, {"SOAP-ENV:Receiver", "", "R", ""}},
      {"fault with HTTP 200", SoapReply(Fault("MustUnderstand")), SOAP_MUSTUNDERSTAND,
       {"SOAP-ENV:MustUnderstand", "", "R", ""}},
      {"version mismatch fault", SoapReply(Fault("VersionMismatch"), 500), SOAP_VERSIONMISMATCH,
       {"SOAP-ENV:VersionMismatch", "", "R", ""}},
      {"unknown code", SoapReply(Fault("Other"), 500), SOAP_FAULT, {"SOAP-ENV:Other", "", "R", ""}},
      // runtime: the code is matched with the prefix the envelope was sent
      // under, so under any other prefix the status is SOAP_FAULT.
      {"envelope under another prefix", SoapReply(Fault("Sender", "", "env"), 500), SOAP_FAULT,
       {"SOAP-ENV:Sender", "", "R", ""}},
      // runtime: the detail is the body; the code is a placeholder, as no
      // SOAP version was seen.
      {"HTTP 404", HttpReply(404, "Not Found", "text/html", html), 404,
       {"detected", "detected", "HTTP Error", html}},
      {"HTTP 500 without body", HttpReply(500, "Internal Server Error", "", ""), 500,
       kNoRecord},
      // runtime: a 2xx answer that is no SOAP 1.2 envelope fails on the
      // missing Body, without a fault record.
      {"HTML page", HttpReply(200, "OK", "text/html", html), SOAP_TAG_MISMATCH,
       kNoRecord},
      {"SOAP 1.1 envelope",
       SoapReply(Envelope("<sso:getUserIdResponse/>", "SOAP-ENV",
                          "http://schemas.xmlsoap.org/soap/envelope/")),
       SOAP_TAG_MISMATCH, kNoRecord},
      {"other dated envelope namespace",
       SoapReply(Envelope("<sso:getUserIdResponse/>", "SOAP-ENV",
                          "http://www.w3.org/2001/12/soap-envelope")),
       SOAP_TAG_MISMATCH, kNoRecord},
      {"must-understand header", SoapReply(header_mu), SOAP_MUSTUNDERSTAND, kNoRecord},
      // runtime: neither response nor fault gives the HTTP status.
      {"another response element", SoapReply(Envelope("<sso:getUserResponse/>")), 200,
       {"SOAP-ENV:Sender", "", "Error 200: HTTP 200 OK", ""}},
      {"closed without answer", CannedReply::HangUp(), SOAP_EOF, kNoRecord},
  };
  for (const Case& c : cases) {
    Wire w;
    w.server->enqueue(c.reply);
    sso__getUserIdResponse r;
    EXPECT_EQ(c.status, w.proxy.sso__getUserId("L", r)) << c.name;
    EXPECT_EQ(c.seen, Read(w.proxy.soap)) << c.name;
  }
  // Header children without mustUnderstand are skipped.
  Wire w;
  w.server->enqueue(SoapReply("<e:Envelope xmlns:e=\"" + kEnvNs + "\"><e:Header><x>1</x>"
                              "</e:Header><e:Body/></e:Envelope>"));
  sso__getUserIdResponse r;
  EXPECT_EQ(SOAP_OK, w.proxy.sso__getUserId("L", r));
}

TEST(SsoConnection, CallsShareOneConnectionAlsoAfterAFault) {
  Wire w;
  w.Reply("<sso:getUserIdResponse><sso:userId>1</sso:userId></sso:getUserIdResponse>");
  w.server->enqueue(SoapReply(Fault("Sender"), 500));
  w.Reply("<sso:getUserIdResponse><sso:userId>3</sso:userId></sso:getUserIdResponse>");
  sso__getUserIdResponse r;
  EXPECT_EQ(SOAP_OK, w.proxy.sso__getUserId("a", r));
  EXPECT_EQ(SOAP_CLI_FAULT, w.proxy.sso__getUserId("b", r));
  EXPECT_EQ(SOAP_OK, w.proxy.sso__getUserId("c", r));
  EXPECT_EQ("3", r.userId);
  EXPECT_EQ(1u, w.server->connections());
  EXPECT_EQ(3u, w.server->requests().size());

  // "Connection: close" from the server, and an HTTP error, end the
  // connection; the next call opens a new one.
  w.server->enqueue(HttpReply(200, "OK", "application/soap+xml",
                              Envelope("<sso:getUserIdResponse/>"), true));
  w.Reply("<sso:getUserIdResponse/>");
  w.server->enqueue(HttpReply(404, "Not Found", "text/plain", "gone"));
  w.Reply("<sso:getUserIdResponse/>");
  EXPECT_EQ(SOAP_OK, w.proxy.sso__getUserId("d", r));
  EXPECT_EQ(SOAP_OK, w.proxy.sso__getUserId("e", r));
  EXPECT_EQ(2u, w.server->connections());
  EXPECT_EQ(404, w.proxy.sso__getUserId("f", r));
  EXPECT_EQ(SOAP_OK, w.proxy.sso__getUserId("g", r));
  EXPECT_EQ(3u, w.server->connections());
}

// runtime: given a null response record, an empty-response operation returns
// once the request is sent and never reads the answer. A fault goes
// unnoticed, and on a kept-alive connection the next call reads it instead
// of its own response. Callers must pass a record.
TEST(SsoConnection, NullResponseRecordLeavesTheAnswerUnread) {
  Wire w;
  w.server->enqueue(SoapReply(Fault("Sender"), 500));
  w.Reply("<sso:getUserIdResponse><sso:userId>U</sso:userId></sso:getUserIdResponse>");
  EXPECT_EQ(SOAP_OK, w.proxy.sso__deleteUser("I", nullptr));
  sso__getUserIdResponse r;
  EXPECT_EQ(SOAP_CLI_FAULT, w.proxy.sso__getUserId("L", r));
  EXPECT_EQ("", r.userId);
}

std::pair<std::string, std::string> SelfSignedCertAndKey() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
  X509_NAME* name = X509_get_subject_name(x.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(x.get(), name);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
  X509_set_pubkey(x.get(), key.get());
  X509_sign(x.get(), key.get(), EVP_sha256());
  auto pem = [](auto write) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    write(bio.get());
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
  };
  return {pem([&](BIO* b) { PEM_write_bio_X509(b, x.get()); }),
          pem([&](BIO* b) { PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0,
                                                     nullptr, nullptr); })};
}

TEST(SsoConnection, RunsOverTls) {
  const auto [cert, key] = SelfSignedCertAndKey();
  Wire w(std::make_unique<CannedResponder>(cert, key));
  ASSERT_EQ(0, w.url.rfind("https://", 0));
  ASSERT_EQ(SOAP_OK, soap_ssl_client_context(w.proxy.soap, SOAP_SSL_NO_AUTHENTICATION, nullptr,
                                             nullptr, nullptr, nullptr, nullptr));
  w.Reply("<sso:getUserIdResponse><sso:userId>1</sso:userId></sso:getUserIdResponse>");
  w.Reply("<sso:getUserIdResponse><sso:userId>2</sso:userId></sso:getUserIdResponse>");
  sso__getUserIdResponse r;
  EXPECT_EQ(SOAP_OK, w.proxy.sso__getUserId("a", r));
  EXPECT_EQ(SOAP_OK, w.proxy.sso__getUserId("b", r));
  EXPECT_EQ("2", r.userId);
  EXPECT_EQ(1u, w.server->connections());
  EXPECT_EQ(std::vector<std::string>{""}, w.server->client_certificates());
}

TEST(SsoProxy, DefaultsAndMissingContext) {
  CannedResponder server;
  sso proxy;
  EXPECT_STREQ("http://localhost:80", proxy.soap_endpoint_url);
  // The runtime installs the table by its global name, also after the
  // re-initialisation the client performs.
  EXPECT_EQ(namespaces, proxy.soap->namespaces);
  soap_init2(proxy.soap, SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
  EXPECT_EQ(namespaces, proxy.soap->namespaces);

  const std::string url = server.url();
  proxy.soap_endpoint_url = url.c_str();
  struct soap* context = proxy.soap;
  proxy.soap = nullptr;
  sso__getSettingsResponse set;
  EXPECT_EQ(SOAP_EOM, proxy.sso__getSettings(set));
  proxy.soap = context;
  EXPECT_EQ(0u, server.connections());
}

}  // namespace
