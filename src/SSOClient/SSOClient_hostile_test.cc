// SSOClient against a broken or hostile peer: whatever the bytes, a call
// ends, without crashing, hanging or using memory without bound, and a
// failure is one the accessors describe.
#include "src/SSOClient/SSOClient.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "test_support/canned_responder.h"
#include "test_support/soap_replies.h"

namespace {

using testutil::CannedReply;
using testutil::CannedResponder;
using testutil::Envelope;
using testutil::HttpReply;
using testutil::SoapReply;

struct Outcome {
  bool ok;
  std::string id;       // the user id a success returned
  std::string message;  // getErrorMessage() of a failure
  double seconds;
};

// One getUserId, answered with `reply`, by a client whose time-outs are 2 s.
Outcome Ask(const CannedReply& reply) {
  CannedResponder peer;
  SSOClient client(peer.url("/"), nullptr);
  client.setTimeouts(2000, 2000);
  peer.enqueue(reply);
  const auto start = std::chrono::steady_clock::now();
  Outcome o;
  o.ok = client.getUserId("anna", o.id);
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  o.message = client.getErrorMessage();
  return o;
}

CannedReply UserIdResponse(const std::string& content) {
  return SoapReply(Envelope("<sso:getUserIdResponse>" + content + "</sso:getUserIdResponse>"));
}

// A raw HTTP head with the given Content-Length, followed by `body`.
CannedReply Framed(const std::string& content_length, const std::string& body, bool close) {
  return CannedReply{"HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: " +
                         content_length + "\r\n\r\n" + body,
                     close, false};
}

TEST(SSOClientHostile, FailuresAreDescribed) {
  const std::string id7 = "<sso:userId>7</sso:userId>";
  struct Case {
    const char* name;
    CannedReply reply;
    std::string message;
  } cases[] = {
      // A text over the client's bound ends the call at the bound.
      {"huge text", UserIdResponse("<sso:userId>" + std::string(40 << 20, 'x') + "</sso:userId>"),
       "(SOAP-ENV:Sender) Validation constraint violation: value range or content length "
       "violation in element 'sso:userId'"},
      // Line breaks and control characters in a reason would break the
      // one-line error reports.
      {"reason with line breaks",
       SoapReply(testutil::ServiceFault("noSuchUser", "no\r\nMANGLED(x:1): y\x1b[2J"), 500),
       "(SOAP-ENV:Sender) no  MANGLED(x:1): y [2J"},
      {"HTTP 500 without body", HttpReply(500, "Internal Server Error", "", ""),
       "(SOAP-ENV:Sender) Error 500: HTTP 500 Internal Server Error"},
      {"HTML page", HttpReply(200, "OK", "text/html", "<html><body>maintenance</body></html>"),
       "(SOAP-ENV:Sender) Validation constraint violation: tag name or namespace mismatch in "
       "element 'html'"},
      {"SOAP 1.1 envelope",
       SoapReply(Envelope("<sso:getUserIdResponse/>", "SOAP-ENV",
                          "http://schemas.xmlsoap.org/soap/envelope/")),
       "(SOAP-ENV:Sender) Validation constraint violation: tag name or namespace mismatch in "
       "element 'SOAP-ENV:Envelope'"},
      // Cut short, then closed: the connection ended without an answer.
      {"element that never closes",
       CannedReply{"HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n\r\n" +
                       Envelope("<sso:getUserIdResponse>" + id7 + "<sso:unfinished").substr(0, 400),
                   true, false},
       "() "},
      // Cut short, and kept open: the service stops sending.
      {"Content-Length longer than the body, kept open",
       Framed("100000", Envelope("<sso:getUserIdResponse>" + id7).substr(0, 300), false),
       "(SOAP-ENV:Receiver) Timeout"},
  };
  for (const Case& c : cases) {
    Outcome o = Ask(c.reply);
    EXPECT_FALSE(o.ok) << c.name;
    EXPECT_EQ(c.message, o.message) << c.name;
    EXPECT_LT(o.seconds, 10) << c.name;
  }
}

TEST(SSOClientHostile, OddButReadableDocumentsDecode) {
  std::string nested, padding;
  for (int i = 0; i < 100000; ++i) nested += "<a>";
  for (int i = 0; i < 100000; ++i) nested += "</a>";
  for (int i = 0; i < 1000000; ++i) padding += "<pad>0123456789012345678901234567890123456789</pad>";
  const std::string id7 = "<sso:userId>7</sso:userId>";
  const std::string doc = Envelope("<sso:getUserIdResponse>" + id7 + "</sso:getUserIdResponse>");
  struct Case {
    const char* name;
    CannedReply reply;
    std::string id;
  } cases[] = {
      // Unknown children are skipped however deep or large, one at a time.
      {"100,000 levels of unknown elements", UserIdResponse(nested + id7), "7"},
      {"50 MB of unknown elements", UserIdResponse(padding + id7), "7"},
      // Entity declarations are skipped, never expanded; this runtime reads
      // an unknown entity reference as the one byte 127.
      {"DTD with an entity",
       SoapReply("<?xml version=\"1.0\"?><!DOCTYPE e [<!ENTITY x \"boom\">]>" +
                 Envelope("<sso:getUserIdResponse><sso:userId>&x;</sso:userId>"
                          "</sso:getUserIdResponse>")
                     .substr(38)),
       "\x7f"},
      // Bytes that are not UTF-8 arrive as they were sent.
      {"invalid UTF-8", UserIdResponse("<sso:userId>a\xc3\x28\xff" "b</sso:userId>"),
       "a\xc3\x28\xff" "b"},
      // The document decides where the answer ends, not Content-Length.
      {"Content-Length too short", Framed("50", doc, false), "7"},
      {"Content-Length too long, closed", Framed("100000", doc, true), "7"},
  };
  for (const Case& c : cases) {
    Outcome o = Ask(c.reply);
    EXPECT_TRUE(o.ok) << c.name << ": " << o.message;
    EXPECT_EQ(c.id, o.id) << c.name;
  }
}

TEST(SSOClientHostile, SilentServiceTimesOut) {
  // A socket that listens but never accepts: the connection is made by the
  // kernel, and no answer ever comes.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(fd, 4));
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  SSOClient client("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/", nullptr);
  client.setTimeouts(1000, 300);
  SSOClient::ssoSettings settings;
  EXPECT_FALSE(client.getSettings(settings));
  EXPECT_EQ("(SOAP-ENV:Receiver) Timeout", client.getErrorMessage());
  EXPECT_EQ("SOAP fault SOAP-ENV:Receiver: Timeout (no data from the service for 300 ms)",
            client.getDetailedErrorMessage());
  close(fd);
}

}  // namespace
