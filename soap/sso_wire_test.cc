// The proxy `sso` against a canned peer: the bytes the service gets, and what the runtime makes of
// its answers. "runtime:" marks where gSOAP 2.8 differs from what the service definition suggests.
// What the service client makes of HTML pages, SOAP 1.1, bodyless HTTP 500 and cut answers is
// pinned in its own tests.
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "soapssoProxy.h"
#include "test_support/canned_responder.h"
#include "test_support/soap_replies.h"

namespace {

using testutil::CannedReply;
using testutil::Envelope;
using testutil::Fault;
using testutil::HttpReply;
using testutil::kEnvNs;
using testutil::SoapReply;

CannedReply Ok(const std::string& body) { return SoapReply(Envelope(body)); }

// getSettings into a record of stale values: "timeout|relay|[hash type]..." afterwards, then the
// fault record as the client reads it, " code|subcode|reason|detail".
std::string Settings(sso& p, int* status) {
  sso__getSettingsResponse r;
  r.usersSessionsTimeout = 5;
  r.relayEndpointUrl = "stale";
  r.hashType = {"stale"};
  *status = p.sso__getSettings(r);
  std::string text = std::to_string(r.usersSessionsTimeout) + "|" + r.relayEndpointUrl + "|";
  for (const std::string& h : r.hashType) text += "[" + h + "]";
  const SOAP_ENV__Fault* f = p.soap->fault;
  if (!f) return text;
  auto s = [](const char* t) { return std::string(t ? t : ""); };
  const SOAP_ENV__Code* code = f->SOAP_ENV__Code;  // null when only the SOAP 1.1 fields are set
  const SOAP_ENV__Code* sub = code ? code->SOAP_ENV__Subcode : nullptr;
  return text + " " + s(code ? code->SOAP_ENV__Value : f->faultcode) + "|" +
         s(code ? (sub ? sub->SOAP_ENV__Value : nullptr) : f->faultcode) + "|" +
         s(f->SOAP_ENV__Reason ? f->SOAP_ENV__Reason->SOAP_ENV__Text : f->faultstring) + "|" +
         s(f->SOAP_ENV__Detail ? f->SOAP_ENV__Detail->__any
                               : f->detail ? f->detail->__any : nullptr);
}

TEST(SsoProxy, SetUpRequestsAndAnswers) {
  testutil::CannedResponder peer;
  sso proxy;  // set up as the service client sets up its own: keep-alive both ways
  const std::string url = peer.url("/sso/svc");
  soap_init2(proxy.soap, SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
  proxy.soap->recv_timeout = proxy.soap->send_timeout = 10;  // seconds, should an answer stall
  proxy.soap_endpoint_url = url.c_str();
  // Installed by its global name, also after the client's re-initialisation.
  EXPECT_EQ(namespaces, proxy.soap->namespaces);
  struct soap* context = proxy.soap;  // without one nothing is sent
  proxy.soap = nullptr;
  sso__getUserIdResponse r;
  EXPECT_EQ(SOAP_EOM, proxy.sso__getUserId("x", r));
  proxy.soap = context;
  peer.enqueue(Ok(""));
  ASSERT_EQ(SOAP_OK, proxy.sso__getUserId("a&b<c>\t\n\r\x01\x1f\x7f\x80\x9f\xa0\xc3\xa9\xff", r));
  // runtime: 2.8 adds User-Agent, and Accept-Encoding as it is built with zlib; bytes 128..159 and
  // controls go out as hexadecimal references, bytes 160..255 as the UTF-8 form of that character,
  // a tab and a line feed as they are.
  EXPECT_EQ("POST /sso/svc HTTP/1.1\r\nHost: " + peer.url("").substr(7) +
                "\r\nUser-Agent: gSOAP/2.8\r\nContent-Type: application/soap+xml; charset=utf-8"
                "\r\nContent-Length: 488\r\nConnection: keep-alive\r\nAccept-Encoding: gzip,deflate"
                "\r\n\r\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope"
                " xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\""
                " xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\""
                " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
                " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:sso=\"" + testutil::kNs +
                "\"><SOAP-ENV:Body><sso:getUserId><sso:login>a&amp;b&lt;c&gt;\t\n&#xD;&#x1;&#x1F;"
                "&#x7F;&#x80;&#x9F;\xc2\xa0\xc3\x83\xc2\xa9\xc3\xbf</sso:login></sso:getUserId>"
                "</SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n",
            peer.requests().at(0));

  // The proxy reads every answer in turn on one connection until an answer ends it (runtime:
  // "Connection: close", or an HTTP error other than 400 and 500; never a fault).
  auto raw = [](const std::string& fields) {
    return Ok("<sso:getSettingsResponse>" + fields + "</sso:getSettingsResponse>");
  };
  const std::string x = testutil::kNs + "\"", html = "<html><body>no service</body></html>";
  const std::string subcodes = "<SOAP-ENV:Subcode><SOAP-ENV:Value xmlns:t=\"" + x + ">t:noSuchUser"
                               "</SOAP-ENV:Value><SOAP-ENV:Subcode><SOAP-ENV:Value>SOAP-ENV:deeper"
                               "</SOAP-ENV:Value></SOAP-ENV:Subcode></SOAP-ENV:Subcode>";
  auto faulted = [](const std::string& code) { return "0|| SOAP-ENV:" + code + "||R|"; };
  const std::string error200 = "0|| SOAP-ENV:Sender||Error 200: HTTP 200 OK|";
  const struct {
    const char* name;
    CannedReply reply;
    int status;
    std::string read = "0||";  // what Settings gives
    bool ends = false;  // the connection
  } cases[] = {
      // By namespace, not prefix, in any order; unqualified namesakes and unknown children
      // skipped; of repeated ones the first counts, lists keep document order.
      {"children", Ok("<x:getSettingsResponse xmlns:x=\"" + x + "><relayEndpointUrl>r0</relay"
                      "EndpointUrl><x:o/><x:hashType>h</x:hashType><x:usersSessionsTimeout>+5 </x:"
                      "usersSessionsTimeout><x:hashType>i</x:hashType><x:relayEndpointUrl>r1</x:"
                      "relayEndpointUrl><x:relayEndpointUrl>r2</x:relayEndpointUrl></x:getSettings"
                      "Response>"), 0, "5|r1|[h][i]"},
      // Missing and nil fields keep their defaults; runtime: xsi:type is checked on the integer
      // only, not strings or records; characters up to U+00FF become one byte each, above it the
      // low byte is kept, and a zero low byte ends the text.
      {"default namespace", Ok("<getSettingsResponse xmlns=\"" + x + " xsi:type=\"y\"><relay"
                               "EndpointUrl xsi:nil=\"true\"/><hashType xsi:type=\"xsd:int\">&#233;"
                               "\xc3\xa9&#xA;&#13;\x7f</hashType><hashType>a&#1234;b&#x100;c</hash"
                               "Type></getSettingsResponse><sso:after/>"), 0,
       "0||[\xe9\xe9\n\r\x7f][a\xd2" "b]"},
      // runtime: neither response nor fault gives the HTTP status.
      {"response of another namespace",
       Ok("<getSettingsResponse xmlns=\"" + testutil::kNs + "/2\"/>"), 200, error200},
      // A failed call may leave part of a value behind.
      {"out of range", raw("<sso:usersSessionsTimeout>99999999999</sso:usersSessionsTimeout>"),
       SOAP_TYPE, "1215752191||"},
      // runtime: an empty integer is an error of its own, not 0.
      {"empty integer", raw("<sso:usersSessionsTimeout></sso:usersSessionsTimeout>"), SOAP_EMPTY},
      {"integer as string", raw("<sso:usersSessionsTimeout xsi:type=\"d:string\" xmlns:d=\"http:"
                                "//www.w3.org/2001/XMLSchema\">5</sso:usersSessionsTimeout>"),
       SOAP_TYPE},
      // runtime: an empty Body is a success with a reset record; none fails.
      {"empty Body", Ok(""), 0},
      {"no Body", SoapReply("<e:Envelope xmlns:e=\"" + kEnvNs + "\"></e:Envelope>"), SOAP_NO_TAG},
      {"must understand", SoapReply("<e:Envelope xmlns:e=\"" + kEnvNs + "\"><e:Header><h:y xmlns:h"
                                     "=\"h\" e:mustUnderstand=\"true\">1</h:y></e:Header><e:Body/>"
                                     "</e:Envelope>"), SOAP_MUSTUNDERSTAND},
      // The status follows the code. runtime: subcodes are rewritten to the prefix "sso", the first
      // counts; the detail is kept as text.
      {"nested subcodes, detail", SoapReply(Fault("Sender", subcodes, "R", "<SOAP-ENV:Detail>"
                                                  "<i>a <b>b</b></i></SOAP-ENV:Detail>"), 500),
       SOAP_CLI_FAULT, "0|| SOAP-ENV:Sender|sso:noSuchUser|R|<i>a <b>b</b></i>"},
      {"fault with HTTP 400", HttpReply(400, "Bad", "application/soap+xml", Fault("Receiver")),
       SOAP_SVR_FAULT, faulted("Receiver")},
      {"fault with HTTP 200", SoapReply(Fault("MustUnderstand")), SOAP_MUSTUNDERSTAND,
       faulted("MustUnderstand")},
      {"version mismatch", SoapReply(Fault("VersionMismatch"), 500), SOAP_VERSIONMISMATCH,
       faulted("VersionMismatch")},
      // runtime: the code is matched with the prefix of the request's envelope.
      {"another prefix", SoapReply(std::regex_replace(Fault("Sender"), std::regex("SOAP-ENV"),
                                                      "env"), 500), SOAP_FAULT, faulted("Sender")},
      {"Connection: close", HttpReply(200, "OK", "text/xml", Envelope(""), true), 0, "0||", true},
      // runtime: the detail is the body, the code a placeholder: no SOAP version was seen.
      {"HTTP 404", HttpReply(404, "Not Found", "text/html", html), 404,
       "0|| detected|detected|HTTP Error|" + html, true},
      {"HTTP 400 without body", HttpReply(400, "Bad Request", "", ""), 400},
  };
  std::size_t connections = 1;
  for (const auto& c : cases) {
    peer.enqueue(c.reply);
    int status = -1;
    EXPECT_EQ(c.read, Settings(proxy, &status)) << c.name;
    EXPECT_EQ(c.status, status) << c.name;
    EXPECT_EQ(connections, peer.connections()) << c.name;
    connections += c.ends;
  }
  // runtime: an empty-response operation given a null record never reads the answer; a fault goes
  // unnoticed, and the next call reads it instead.
  peer.enqueue(SoapReply(Fault("Sender"), 500));
  peer.enqueue(Ok(""));
  EXPECT_EQ(SOAP_OK, proxy.sso__deleteUser("I", nullptr));
  EXPECT_EQ(SOAP_CLI_FAULT, proxy.sso__getUserId("L", r));
}

}  // namespace
