#include "test_support/soap_replies.h"

namespace testutil {

const std::string kNs = "http://www.brelmont.com/schemas/sso/1";
const std::string kEnvNs = "http://www.w3.org/2003/05/soap-envelope";

std::string Envelope(const std::string& body, const std::string& env, const std::string& env_ns) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><" + env + ":Envelope xmlns:" + env + "=\"" +
         env_ns + "\" xmlns:sso=\"" + kNs +
         "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><" + env + ":Body>" + body +
         "</" + env + ":Body></" + env + ":Envelope>";
}

std::string Fault(const std::string& code, const std::string& subcodes, const std::string& env,
                  const std::string& detail) {
  const std::string e = env + ":";
  return Envelope("<" + e + "Fault><" + e + "Code><" + e + "Value>" + e + code + "</" + e +
                      "Value>" + subcodes + "</" + e + "Code><" + e + "Reason><" + e +
                      "Text xml:lang=\"en\">R</" + e + "Text></" + e + "Reason>" + detail +
                      "</" + e + "Fault>",
                  env);
}

std::string ServiceFault(const std::string& code, const std::string& reason,
                         const std::string& detail) {
  return Envelope(
      "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>"
      "<SOAP-ENV:Subcode><SOAP-ENV:Value>sso:" + code + "</SOAP-ENV:Value></SOAP-ENV:Subcode>"
      "</SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">" + reason +
      "</SOAP-ENV:Text></SOAP-ENV:Reason>" + detail + "</SOAP-ENV:Fault>");
}

CannedReply ResponseReply(const std::string& op, const std::string& fields) {
  return SoapReply(Envelope("<sso:" + op + "Response>" + fields + "</sso:" + op + "Response>"));
}

CannedReply ServiceFaultReply(const std::string& code, const std::string& reason) {
  return SoapReply(ServiceFault(code, reason), 500);
}

CannedReply UserIdReply(const std::string& id) {
  return ResponseReply("getUserId", "<sso:userId>" + id + "</sso:userId>");
}

}  // namespace testutil
