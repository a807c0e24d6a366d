#include "test_support/soap_replies.h"

#include <sstream>

namespace testutil {

std::string Envelope(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" + kEnvNs +
         "\" xmlns:sso=\"" + kNs + "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">" +
         "<SOAP-ENV:Body>" + body + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string Fault(const std::string& code, const std::string& subcodes, const std::string& reason,
                  const std::string& detail) {
  return Envelope("<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:" + code +
                  "</SOAP-ENV:Value>" + subcodes + "</SOAP-ENV:Code><SOAP-ENV:Reason>" +
                  "<SOAP-ENV:Text xml:lang=\"en\">" + reason +
                  "</SOAP-ENV:Text></SOAP-ENV:Reason>" + detail + "</SOAP-ENV:Fault>");
}

std::vector<std::string> Xml(const std::string& script) {
  std::vector<std::string> out;
  std::istringstream texts(script);
  for (std::string text, op, field; std::getline(texts, text, ';');) {
    std::istringstream in(text);
    in >> op;
    std::string xml = "<sso:" + op + ">";
    while (in >> field) {
      const std::string name = field.substr(0, field.find('=')),
                        value = field.substr(name.size() + 1);
      xml += "<sso:" + name + (value.empty() ? "/>" : ">" + value + "</sso:" + name + ">");
    }
    out.push_back(xml + "</sso:" + op + ">");
  }
  return out;
}

}  // namespace testutil
