// Test-only: a SOAP proxy set up the way idferry's service client sets up its
// own (keep-alive both ways, TLS without checking the server, the
// application certificate file as client certificate), for tests that talk
// to a running tessad-standin, plus readers of the fault the last call left.
#ifndef IDFERRY_TOOLS_STANDIN_STANDIN_TEST_CLIENT_H_
#define IDFERRY_TOOLS_STANDIN_STANDIN_TEST_CLIENT_H_

#include <string>

#include "soapssoProxy.h"

namespace standin_test {

class Client {
 public:
  // `cert_file`: an application certificate file, or "" for none.
  explicit Client(const std::string& url, const std::string& cert_file = "")
      : url_(url), cert_file_(cert_file) {
    soap_ssl_init();
    soap_init2(proxy.soap, SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
    proxy.soap_endpoint_url = url_.c_str();
    soap_ssl_client_context(proxy.soap, SOAP_SSL_SKIP_HOST_CHECK,
                            cert_file_.empty() ? nullptr : cert_file_.c_str(), nullptr, nullptr,
                            nullptr, nullptr);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // The first subcode of the last fault ("" when none).
  std::string subcode() const {
    const SOAP_ENV__Fault* f = proxy.soap->fault;
    if (f == nullptr || f->SOAP_ENV__Code == nullptr || f->SOAP_ENV__Code->SOAP_ENV__Subcode == nullptr)
      return "";
    const char* v = f->SOAP_ENV__Code->SOAP_ENV__Subcode->SOAP_ENV__Value;
    return v ? v : "";
  }
  // The code of the last fault ("" when none).
  std::string code() const {
    const SOAP_ENV__Fault* f = proxy.soap->fault;
    if (f == nullptr || f->SOAP_ENV__Code == nullptr || f->SOAP_ENV__Code->SOAP_ENV__Value == nullptr)
      return "";
    return f->SOAP_ENV__Code->SOAP_ENV__Value;
  }
  // The reason text of the last fault ("" when none).
  std::string reason() const {
    const SOAP_ENV__Fault* f = proxy.soap->fault;
    if (f == nullptr || f->SOAP_ENV__Reason == nullptr || f->SOAP_ENV__Reason->SOAP_ENV__Text == nullptr)
      return "";
    return f->SOAP_ENV__Reason->SOAP_ENV__Text;
  }

  std::string url_;
  std::string cert_file_;
  sso proxy;
};

}  // namespace standin_test

#endif  // IDFERRY_TOOLS_STANDIN_STANDIN_TEST_CLIENT_H_
