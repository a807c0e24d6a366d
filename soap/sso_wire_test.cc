// Wire tests of the generated protocol layer, through the proxy `sso` against
// a canned HTTP peer: the bytes the service receives, and what the runtime
// makes of the bytes it answers with. "runtime:" marks where gSOAP 2.8 differs
// from what a reader of the service definition would expect; the service
// client is written against it, and its tests pin the requests it makes.
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "soapssoProxy.h"
#include "test_support/canned_responder.h"
#include "test_support/soap_replies.h"
#include "test_support/test_util.h"

namespace {

using testutil::CannedReply;
using testutil::Envelope;
using testutil::Fault;
using testutil::HttpReply;
using testutil::kEnvNs;
using testutil::kNs;
using testutil::SoapReply;
using testutil::Xml;

CannedReply Ok(const std::string& body) { return SoapReply(Envelope(body)); }

// A proxy set up as the service client sets up its own: keep-alive both ways.
struct Wire {
  Wire() : url(peer.url("/sso/svc")) {
    soap_init2(proxy.soap, SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
    proxy.soap_endpoint_url = url.c_str();
  }
  testutil::CannedResponder peer;
  std::string url;
  sso proxy;
};

TEST(SsoRequest, HeadEnvelopeAndEscapedText) {
  Wire w;
  w.peer.enqueue(Ok(""));
  w.peer.enqueue(Ok(""));
  sso__getUserIdResponse r;
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getUserId("alice", r));
  ASSERT_EQ(SOAP_OK, w.proxy.sso__getUserId("a&b<c>\t\n\r\x01\x1f\x7f\x80\x9f\xa0\xc3\xa9\xff", r));
  const std::string req = w.peer.requests().at(0);
  const std::string body = req.substr(req.find("\r\n\r\n") + 4);
  // runtime: 2.8 adds User-Agent, and Accept-Encoding as it is built with zlib.
  EXPECT_EQ("POST /sso/svc HTTP/1.1\r\nHost: " + w.peer.url("").substr(7) +
                "\r\nUser-Agent: gSOAP/2.8\r\nContent-Type: application/soap+xml; charset=utf-8"
                "\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: keep-alive\r\nAccept-Encoding: gzip,deflate\r\n\r\n"
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope"
                " xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\""
                " xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\""
                " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
                " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:sso=\"" + kNs + "\">"
                "<SOAP-ENV:Body><sso:getUserId><sso:login>alice</sso:login></sso:getUserId>"
                "</SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n",
            req);
  // runtime: bytes 128..159 and controls go out as hexadecimal references,
  // bytes 160..255 as the UTF-8 form of that character, a line feed as it is:
  // each byte stands for one character.
  EXPECT_EQ("<sso:getUserId><sso:login>a&amp;b&lt;c&gt;\t\n&#xD;&#x1;&#x1F;&#x7F;&#x80;&#x9F;"
            "\xc2\xa0\xc3\x83\xc2\xa9\xc3\xbf</sso:login></sso:getUserId>",
            testutil::BodyOf(w.peer.requests().at(1)));
  EXPECT_EQ(1u, w.peer.connections());
}

// getSettings with a response record holding stale values: what it holds
// afterwards, as "timeout|relay|[hash type]...".
std::string Settings(sso& p, int* status) {
  sso__getSettingsResponse r;
  r.usersSessionsTimeout = 5;
  r.relayEndpointUrl = "stale";
  r.hashType = {"stale"};
  *status = p.sso__getSettings(r);
  std::string text = std::to_string(r.usersSessionsTimeout) + "|" + r.relayEndpointUrl + "|";
  for (const std::string& h : r.hashType) text += "[" + h + "]";
  return text;
}

// The fault record as the service client reads it, "code|subcode|reason|detail",
// from the SOAP 1.2 fields once an envelope was seen, else the SOAP 1.1 ones.
std::string FaultOf(const struct soap* soap) {
  const SOAP_ENV__Fault* f = soap->fault;
  auto s = [](const char* text) { return std::string(text ? text : ""); };
  if (f == nullptr) return "";
  if (soap->version != 2 || f->SOAP_ENV__Code == nullptr) {
    return s(f->faultcode) + "|" + s(f->faultcode) + "|" + s(f->faultstring) + "|" +
           s(f->detail ? f->detail->__any : nullptr);
  }
  const SOAP_ENV__Code* sub = f->SOAP_ENV__Code->SOAP_ENV__Subcode;
  return s(f->SOAP_ENV__Code->SOAP_ENV__Value) + "|" + s(sub ? sub->SOAP_ENV__Value : nullptr) +
         "|" + s(f->SOAP_ENV__Reason ? f->SOAP_ENV__Reason->SOAP_ENV__Text : nullptr) + "|" +
         s(f->SOAP_ENV__Detail ? f->SOAP_ENV__Detail->__any : nullptr);
}

TEST(SsoResponse, WhatTheRuntimeMakesOfEachAnswer) {
  // getSettings answered with fields in testutil::Xml's notation, or with raw ones.
  auto set = [](const std::string& fields) { return Ok(Xml("getSettingsResponse " + fields)[0]); };
  auto raw = [](const std::string& fields) {
    return Ok("<sso:getSettingsResponse>" + fields + "</sso:getSettingsResponse>");
  };
  const std::string x = kNs + "\"", html = "<html><body>no service here</body></html>";
  const std::string subcodes = "<SOAP-ENV:Subcode><SOAP-ENV:Value xmlns:t=\"" + x +
                               ">t:noSuchUser</SOAP-ENV:Value><SOAP-ENV:Subcode><SOAP-ENV:Value>"
                               "SOAP-ENV:deeper</SOAP-ENV:Value></SOAP-ENV:Subcode></SOAP-ENV:Subcode>";
  auto header = [](const std::string& entry) {
    return SoapReply("<e:Envelope xmlns:e=\"" + kEnvNs + "\"><e:Header>" + entry +
                     "</e:Header><e:Body/></e:Envelope>");
  };
  const std::string error200 = "SOAP-ENV:Sender||Error 200: HTTP 200 OK|";
  const struct {
    const char* name;
    CannedReply reply;
    int status;
    std::string record, fault = "";
  } cases[] = {
      // Children match by namespace, not prefix, in any order; unqualified
      // namesakes and unknown children are skipped; of repeated ones the first
      // counts.
      {"another prefix", Ok("<x:getSettingsResponse xmlns:x=\"" + x + "><relayEndpointUrl>r0"
                            "</relayEndpointUrl><x:o/><x:usersSessionsTimeout>3</x:usersSessions"
                            "Timeout><x:relayEndpointUrl>r1</x:relayEndpointUrl><x:relayEndpoint"
                            "Url>r2</x:relayEndpointUrl></x:getSettingsResponse>"), 0, "3|r1|"},
      {"default namespace, element after the response", Ok("<getSettingsResponse xmlns=\"" + x +
           "><hashType>H</hashType></getSettingsResponse><sso:trailing/>"), 0, "0||[H]"},
      {"response element of another namespace",
       Ok("<getSettingsResponse xmlns=\"" + kNs + "/2\"/>"), 200, "0||", error200},
      // runtime: neither response nor fault gives the HTTP status.
      {"another response element", Ok("<sso:getUserResponse/>"), 200, "0||", error200},
      // Missing and nil fields keep their defaults.
      {"missing fields", set(""), 0, "0||"},
      {"nil field", raw("<sso:relayEndpointUrl xsi:nil=\"true\"/>"), 0, "0||"},
      {"list among other fields", set("hashType=x usersSessionsTimeout=-7 hashType=y "
                                      "relayEndpointUrl=R hashType=z"), 0, "-7|R|[x][y][z]"},
      {"integer with sign and space", raw("<sso:usersSessionsTimeout>+5 </sso:usersSessions"
                                          "Timeout>"), 0, "5||"},
      // A failed call may leave part of a value behind.
      {"integer out of range", set("usersSessionsTimeout=99999999999"), SOAP_TYPE, "1215752191||"},
      // runtime: an empty integer is an error of its own, not 0.
      {"empty integer", raw("<sso:usersSessionsTimeout></sso:usersSessionsTimeout>"), SOAP_EMPTY,
       "0||"},
      // runtime: xsi:type is checked on the integer only, not on strings or
      // records.
      {"integer typed as string", raw("<sso:usersSessionsTimeout xsi:type=\"d:string\" xmlns:d="
           "\"http://www.w3.org/2001/XMLSchema\">5</sso:usersSessionsTimeout>"), SOAP_TYPE, "0||"},
      {"string and record typed otherwise", Ok("<sso:getSettingsResponse xsi:type=\"sso:x\">"
           "<sso:relayEndpointUrl xsi:type=\"xsd:int\">R</sso:relayEndpointUrl>"
           "</sso:getSettingsResponse>"), 0, "0|R|"},
      // runtime: characters up to U+00FF become one byte each; above it the
      // low byte is kept, and a zero low byte ends the text.
      {"character references", raw("<sso:relayEndpointUrl>&#233;\xc3\xa9&#xA;&#13;\x7f</sso:relay"
           "EndpointUrl><sso:hashType>a&#1234;b&#x100;c</sso:hashType>"), 0,
       "0|\xe9\xe9\n\r\x7f|[a\xd2" "b]"},
      // runtime: an empty Body is a success with a reset record; a missing
      // Body fails.
      {"empty Body", Ok(""), 0, "0||"},
      {"missing Body", SoapReply("<e:Envelope xmlns:e=\"" + kEnvNs + "\"></e:Envelope>"),
       SOAP_NO_TAG, "0||"},
      {"header entry", header("<x>1</x>"), 0, "0||"},
      {"header entry to be understood", header("<h:y xmlns:h=\"urn:h\" e:mustUnderstand=\"true\">"
           "1</h:y>"), SOAP_MUSTUNDERSTAND, "0||"},
      // The status follows the fault code. runtime: subcodes are rewritten to
      // the prefix "sso", the first counts; the detail is kept as text.
      {"fault with nested subcodes and detail", SoapReply(Fault("Sender", subcodes, "R",
           "<SOAP-ENV:Detail><i>some <b>text</b></i></SOAP-ENV:Detail>"), 500), SOAP_CLI_FAULT,
       "0||", "SOAP-ENV:Sender|sso:noSuchUser|R|<i>some <b>text</b></i>"},
      {"fault with HTTP 400", HttpReply(400, "Bad Request", "application/soap+xml",
           Fault("Receiver")), SOAP_SVR_FAULT, "0||", "SOAP-ENV:Receiver||R|"},
      {"fault with HTTP 200", SoapReply(Fault("MustUnderstand")), SOAP_MUSTUNDERSTAND, "0||",
       "SOAP-ENV:MustUnderstand||R|"},
      {"version mismatch", SoapReply(Fault("VersionMismatch"), 500), SOAP_VERSIONMISMATCH, "0||",
       "SOAP-ENV:VersionMismatch||R|"},
      {"unknown code", SoapReply(Fault("Other"), 500), SOAP_FAULT, "0||", "SOAP-ENV:Other||R|"},
      // runtime: the code is matched with the prefix of the request's envelope,
      // so under any other the status is SOAP_FAULT.
      {"envelope under another prefix", SoapReply(std::regex_replace(Fault("Sender"),
           std::regex("SOAP-ENV"), "env"), 500), SOAP_FAULT, "0||", "SOAP-ENV:Sender||R|"},
      // runtime: the detail is the body, the code a placeholder, as no SOAP
      // version was seen.
      {"HTTP 404", HttpReply(404, "Not Found", "text/html", html), 404, "0||",
       "detected|detected|HTTP Error|" + html},
      {"HTTP 400 without body", HttpReply(400, "Bad Request", "", ""), 400, "0||"},
      {"HTTP 500 without body", HttpReply(500, "Internal Server Error", "", ""), 500, "0||"},
      // runtime: a 2xx answer that is no SOAP 1.2 envelope fails on the missing
      // Body, without a fault record.
      {"HTML page", HttpReply(200, "OK", "text/html", html), SOAP_TAG_MISMATCH, "0||"},
      {"SOAP 1.1 envelope", SoapReply(std::regex_replace(Envelope(""), std::regex(kEnvNs),
           "http://schemas.xmlsoap.org/soap/envelope/")), SOAP_TAG_MISMATCH, "0||"},
  };
  for (const auto& c : cases) {
    Wire w;
    w.peer.enqueue(c.reply);
    int status = -1;
    EXPECT_EQ(c.record, Settings(w.proxy, &status)) << c.name;
    EXPECT_EQ(c.status, status) << c.name;
    EXPECT_EQ(c.fault, FaultOf(w.proxy.soap)) << c.name;
  }
}

// runtime: "Connection: close" from the server, and an HTTP error, end the
// kept-alive connection; faults do not.
TEST(SsoConnection, OneConnectionUntilTheServerEndsIt) {
  Wire w;
  const struct {
    CannedReply reply;
    int status;
    std::size_t connections;
  } steps[] = {{Ok(""), SOAP_OK, 1}, {SoapReply(Fault("Sender"), 500), SOAP_CLI_FAULT, 1},
               {Ok(""), SOAP_OK, 1},
               {HttpReply(200, "OK", "application/soap+xml", Envelope(""), true), SOAP_OK, 1},
               {Ok(""), SOAP_OK, 2}, {HttpReply(404, "Not Found", "text/plain", "gone"), 404, 2},
               {Ok(""), SOAP_OK, 3}};
  for (const auto& step : steps) {
    w.peer.enqueue(step.reply);
    sso__getUserIdResponse r;
    EXPECT_EQ(step.status, w.proxy.sso__getUserId("L", r)) << step.reply.bytes;
    EXPECT_EQ(step.connections, w.peer.connections()) << step.reply.bytes;
  }
}

// runtime: given a null response record, an empty-response operation returns
// once the request is sent and never reads the answer. A fault goes unnoticed,
// and on a kept-alive connection the next call reads it instead of its own
// answer. Callers must pass a record.
TEST(SsoConnection, NullResponseRecordLeavesTheAnswerUnread) {
  Wire w;
  w.peer.enqueue(SoapReply(Fault("Sender"), 500));
  w.peer.enqueue(Ok(""));
  EXPECT_EQ(SOAP_OK, w.proxy.sso__deleteUser("I", nullptr));
  int status;
  Settings(w.proxy, &status);
  EXPECT_EQ(SOAP_CLI_FAULT, status);
}

TEST(SsoProxy, DefaultsAndMissingContext) {
  Wire w;
  sso proxy;
  EXPECT_STREQ("http://localhost:80", proxy.soap_endpoint_url);
  // The runtime installs the table by its global name, also after the
  // re-initialisation the client performs.
  EXPECT_EQ(namespaces, proxy.soap->namespaces);
  EXPECT_EQ(namespaces, w.proxy.soap->namespaces);
  struct soap* context = w.proxy.soap;
  w.proxy.soap = nullptr;
  sso__getSettingsResponse set;
  EXPECT_EQ(SOAP_EOM, w.proxy.sso__getSettings(set));
  w.proxy.soap = context;
  EXPECT_EQ(0u, w.peer.connections());
}

}  // namespace
