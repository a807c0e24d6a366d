#include "src/endpoints.h"

#include <iostream>

#include "src/SSOClient/SSOClient.h"
#include "src/run_control.h"

bool check_sso(const mig_context& context, const std::string& url,
               std::shared_ptr<call_pacer> pacer) {
  SSOClient client(url, nullptr, context.trusted_ca());
  client.setPacer(std::move(pacer));
  SSOClient::ssoSettings settings;
  if (client.getSettings(settings)) return true;
  log_v(context.options,
        boost::format("Failed to get SSO settings (%s)") % client.getErrorMessage());
  return false;
}

bool check_sso_options(const mig_context& context, std::shared_ptr<call_pacer> from_pacer,
                       std::shared_ptr<call_pacer> to_pacer) {
  bool ok = true;
  if (!check_sso(context, context.options.sso_from_url, std::move(from_pacer))) {
    write_error("ERROR: sso-from-url check failed");
    ok = false;
  }
  if (!check_sso(context, context.options.sso_to_url, std::move(to_pacer))) {
    write_error("ERROR: sso-to-url check failed");
    ok = false;
  }
  return ok;
}
