// The namespace table of the SSO protocol.
//
// The runtime installs this table into every context it initialises (by its
// global name `namespaces`). Each row is prefix, URI written on output, URI
// pattern accepted on input ('*' matches any run of characters). The first
// row makes outgoing messages SOAP 1.2; its pattern admits other W3C dated
// envelope namespaces but not the SOAP 1.1 one. The service namespace must
// match exactly; its URI comes from the service definition (sso.h).
//
// soapcpp2 writes a table of its own (sso.nsmap), whose patterns admit the
// SOAP 1.1 envelope and encoding namespaces; that one is not used.
#include "stdsoap2.h"

#ifndef IDFERRY_SSO_NAMESPACE
#error "IDFERRY_SSO_NAMESPACE must be set by the build from sso.h"
#endif

SOAP_NMAC struct Namespace namespaces[] = {
    {"SOAP-ENV", "http://www.w3.org/2003/05/soap-envelope",
     "http://www.w3.org/*/soap-envelope", nullptr},
    {"SOAP-ENC", "http://www.w3.org/2003/05/soap-encoding",
     "http://www.w3.org/*/soap-encoding", nullptr},
    {"xsi", "http://www.w3.org/2001/XMLSchema-instance",
     "http://www.w3.org/*/XMLSchema-instance", nullptr},
    {"xsd", "http://www.w3.org/2001/XMLSchema", "http://www.w3.org/*/XMLSchema",
     nullptr},
    {"sso", IDFERRY_SSO_NAMESPACE, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};
