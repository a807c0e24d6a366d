// The endpoint checks: before any user is read, both service URLs must
// answer the settings query, asked over a fresh client that presents no
// certificate. This tests reachability, transport and the service itself,
// independently of the application certificates the later phases use.
#ifndef IDFERRY_SRC_ENDPOINTS_H_
#define IDFERRY_SRC_ENDPOINTS_H_

#include <memory>
#include <string>

#include "src/context.h"

class call_pacer;

// True when the instance at `url` answered the settings query. On failure
// logs (verbose only) "Failed to get SSO settings (<client message>)". The
// query takes its permit from `pacer`, the instance's, when given.
bool check_sso(const mig_context& context, const std::string& url,
               std::shared_ptr<call_pacer> pacer = nullptr);

// Probes the source URL, then the target URL whatever the first outcome;
// writes "ERROR: sso-from-url check failed" / "ERROR: sso-to-url check
// failed" to standard error for each one that fails. The pacers (may be
// null) are the instances' own.
bool check_sso_options(const mig_context& context, std::shared_ptr<call_pacer> from_pacer = nullptr,
                       std::shared_ptr<call_pacer> to_pacer = nullptr);

#endif  // IDFERRY_SRC_ENDPOINTS_H_
