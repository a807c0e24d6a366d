// The endpoint checks: before any user is read, both service URLs must
// answer the settings query, asked over a fresh client that presents no
// certificate. This tests reachability, transport and the service itself,
// independently of the application certificates the later phases use.
#ifndef IDFERRY_SRC_ENDPOINTS_H_
#define IDFERRY_SRC_ENDPOINTS_H_

#include <string>

#include "src/context.h"

// True when the instance at `url` answered the settings query. On failure
// logs (verbose only) "Failed to get SSO settings (<client message>)".
bool check_sso(const mig_context& context, const std::string& url);

// Probes the source URL, then the target URL whatever the first outcome;
// writes "ERROR: sso-from-url check failed" / "ERROR: sso-to-url check
// failed" to standard error for each one that fails.
bool check_sso_options(const mig_context& context);

#endif  // IDFERRY_SRC_ENDPOINTS_H_
