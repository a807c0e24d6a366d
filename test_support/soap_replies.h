// SOAP texts for tests that script a peer of the service client: envelopes,
// faults and replies, a short notation for Body content, and request bodies.
#ifndef IDFERRY_TEST_SUPPORT_SOAP_REPLIES_H_
#define IDFERRY_TEST_SUPPORT_SOAP_REPLIES_H_

#include <string>
#include <vector>

#include "test_support/canned_responder.h"

namespace testutil {

inline const std::string kNs = "http://www.brelmont.com/schemas/sso/1";
inline const std::string kEnvNs = "http://www.w3.org/2003/05/soap-envelope";

// An envelope (prefixes SOAP-ENV, sso and xsi) around the Body content `body`.
std::string Envelope(const std::string& body);
// A fault with the Code value SOAP-ENV:<code> followed by `subcodes`
// (Subcode elements), the reason, then `detail` (a Detail element, or "").
std::string Fault(const std::string& code, const std::string& subcodes = "",
                  const std::string& reason = "R", const std::string& detail = "");
// A Sender fault whose one subcode is sso:<code>.
inline std::string ServiceFault(const std::string& code, const std::string& reason,
                                const std::string& detail = "") {
  const std::string subcode = "<SOAP-ENV:Subcode><SOAP-ENV:Value>sso:" + code + "</SOAP-ENV:Value>";
  return Fault("Sender", subcode + "</SOAP-ENV:Subcode>", reason, detail);
}

// Replies: the operation's response around `fields`, getUserId's.
inline CannedReply ResponseReply(const std::string& op, const std::string& fields = "") {
  return SoapReply(Envelope("<sso:" + op + "Response>" + fields + "</sso:" + op + "Response>"));
}
inline CannedReply UserIdReply(const std::string& id) {
  return ResponseReply("getUserId", "<sso:userId>" + id + "</sso:userId>");
}

// For each text of `script` ended by ";", "op a=1 b=" as the XML it stands for:
// <sso:op><sso:a>1</sso:a><sso:b/></sso:op> (empty texts go out self-closing).
std::vector<std::string> Xml(const std::string& script);

// What a recorded request holds between <SOAP-ENV:Body> and </SOAP-ENV:Body>.
inline std::string BodyOf(const std::string& request) {
  const std::size_t from = request.find("<SOAP-ENV:Body>") + 15;
  return request.substr(from, request.rfind("</SOAP-ENV:Body>") - from);
}

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_SOAP_REPLIES_H_
