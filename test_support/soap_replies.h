// Response texts of the SSO service for tests that script a peer: SOAP 1.2
// envelopes and faults around a given Body content.
#ifndef IDFERRY_TEST_SUPPORT_SOAP_REPLIES_H_
#define IDFERRY_TEST_SUPPORT_SOAP_REPLIES_H_

#include <string>

#include "test_support/canned_responder.h"

namespace testutil {

// The service namespace and the SOAP 1.2 envelope namespace.
extern const std::string kNs;
extern const std::string kEnvNs;

// A response envelope around `body`, the envelope namespace `env_ns` bound
// to the prefix `env`, the service namespace to "sso" and the schema
// instance namespace to "xsi".
std::string Envelope(const std::string& body, const std::string& env = "SOAP-ENV",
                     const std::string& env_ns = kEnvNs);

// A SOAP 1.2 fault envelope with the given Code value (a local name in the
// envelope namespace), inner Code content (subcodes), reason "R" and an
// optional Detail element text.
std::string Fault(const std::string& code, const std::string& subcodes = "",
                  const std::string& env = "SOAP-ENV", const std::string& detail = "");

// A Sender fault whose first subcode is sso:<code>, with the given reason and
// an optional Detail element text.
std::string ServiceFault(const std::string& code, const std::string& reason,
                         const std::string& detail = "");

// Canned HTTP replies: the operation's response element around `fields`,
// and a service fault (HTTP 500) whose first subcode is sso:<code>.
CannedReply ResponseReply(const std::string& op, const std::string& fields = "");
CannedReply ServiceFaultReply(const std::string& code, const std::string& reason);
// getUserId answered with the given user id.
CannedReply UserIdReply(const std::string& id);

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_SOAP_REPLIES_H_
