#include "src/driver.h"

#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "src/SSOClient/SSOClient.h"
#include "src/conflicts.h"
#include "src/context.h"
#include "src/create.h"
#include "src/endpoints.h"
#include "src/groups.h"
#include "src/mapfile.h"
#include "src/options.h"
#include "src/parallel.h"
#include "src/resume.h"
#include "src/run_control.h"
#include "src/users.h"
#include "src/verify.h"

namespace {

// Phase 2: loads the run context. Returns kExitOk, or the status that ends
// the run after the error line has been written. Exceptions are expected
// only here; everything later reports through results.
int load_context(mig_context& context) {
  try {
    context.load();
  } catch (const no_cert_file&) {
    std::cerr << "Certificate file is not readable" << std::endl;
    return kExitUsage;
  } catch (const std::runtime_error& e) {
    std::cerr << "Runtime error: " << e.what() << std::endl;
    return kExitFailed;
  } catch (...) {
    std::cerr << "Unknown exception" << std::endl;
    return kExitUnknownError;
  }
  return kExitOk;
}

// Phase 5: reads, validates and applies the login map.
int map_logins(const mig_options& options, std::vector<mig_user_info>& users,
               std::vector<user_map>& mappings) {
  log_v(options, "Reading users mapping info...");
  if (!load_map_from_file(options.mapfile, mappings)) {
    std::cerr << "ERROR: can't read map file " << options.mapfile << std::endl;
    return kExitFailed;
  }
  log_v(options, boost::format("done. %d logins to be mapped\n") % mappings.size());
  log_v(options, "Checking users mapping info...");
  if (!check_map_valid(users, mappings)) {
    std::cerr << "Mapfile contain unmatched logins" << std::endl;
    return kExitFailed;
  }
  log_v(options, "done\n");
  log_v(options, "Applying users mapping info...");
  if (!apply_map(users, mappings)) {
    std::cerr << "Error applying users map" << std::endl;
    return kExitFailed;
  }
  log_v(options, "done\n");
  return kExitOk;
}

// The status of a phase that returned false: a halted run ends with the
// line that says why; otherwise the phase wrote its own line.
int failed() {
  report_halt();
  return kExitFailed;
}

// Each client the run makes for a user phase retries as --retries says.
std::unique_ptr<SSOClient> run_client(const mig_options& options, const std::string& url,
                                      const std::string* cert) {
  std::unique_ptr<SSOClient> client(new SSOClient(url, cert));
  SSOClient::RetryPolicy policy;
  policy.retries = options.retries;
  policy.log = [&options](const std::string& line) { log_v(options, line); };
  policy.stopped = [] { return stop_requested(); };
  client->setRetryPolicy(policy);
  return client;
}

// Phases 3 to 9, as far as the mode goes. The run's objects live here, in
// the order they are made, and are destroyed in reverse when it returns.
// Between phases, a stop request or a failed standard output ends the run.
int migrate(const mig_context& context) {
  const mig_options& options = context.options;
  const bool check_mode = options.mode == "check";

  log_v(options, "Checking SSO URLs...");
  if (!check_sso_options(context)) return kExitFailed;
  log_v(options, "done\n");

  if (halted()) return failed();
  log_v(options, "Fetching users list...");
  phase_runner runner(options.jobs);
  client_set source(
      [&] { return run_client(options, options.sso_from_url, &context.from_cert); }, options.jobs);
  std::vector<mig_user_info> users;
  if (!get_users(source.main(), users)) return failed();
  log_v(options, boost::format("done. %d users fetched\n") % users.size());

  std::vector<user_map> mappings;
  if ((check_mode || options.mode == "map") && !options.mapfile.empty()) {
    if (int status = map_logins(options, users, mappings)) return status;
  }

  if (!check_mode) {
    log_v(options, "Fetching users passwords...");
    if (!get_users_passwords(runner, source, users)) return failed();
    log_v(options, "done\n");
  }

  client_set target(
      [&] { return run_client(options, options.sso_to_url, &context.to_cert); }, options.jobs);
  target.main();
  log_v(options, "Checking users conflicts...");
  const bool no_conflicts = check_users(runner, target, users, context.to_app_id);
  if (halted()) return failed();
  log_v(options, "done\n");
  if (check_mode) {
    if (!no_conflicts) return kExitFailed;
    if (!write_result("NO CONFLICTS. It is safe to perform migration")) return failed();
    return kExitOk;
  }
  // In map and auto modes a failed check does not stop the run: creation
  // resolves the conflicts with the findings gathered so far.

  resume_findings resumed;
  if (options.resume) {
    log_v(options, "Checking users already migrated...");
    if (!find_migrated(runner, target, users, context.to_app_id, resumed)) return failed();
    log_v(options, boost::format("done. %d users already migrated\n") % resumed.target_login.size());
  }

  log_v(options, "Creating users in target SSO...");
  create_state state(users, context.to_app_id, options.resume ? &resumed : nullptr);
  // With several workers, records that can touch one another run in list
  // order, group by group.
  const std::vector<uint32_t> chains =
      options.jobs > 1 ? group_chains(users) : std::vector<uint32_t>();
  if (!create_users(runner, target, users, state, options.jobs > 1 ? &chains : nullptr)) {
    return failed();
  }
  log_v(options, "done\n");

  if (options.verify) {
    if (halted()) return failed();
    log_v(options, "Verifying users in target SSO...");
    size_t unverified = 0;
    if (!verify_users(runner, target, users, context.to_app_id, state.resumed, unverified)) {
      return failed();
    }
    if (halted()) return failed();
    if (unverified) {
      std::cerr << boost::format("ERROR: %d users failed verification") % unverified << std::endl;
      return kExitFailed;
    }
    log_v(options, boost::format("done. %d users verified\n") % users.size());
  }

  if (options.cleanup) {
    if (halted()) return failed();
    log_v(options, "Cleaning up source installation...");
    if (!source.main().unregisterApplication(context.from_app_id)) {
      std::cerr << "ERROR: can't perform cleanup (" << source.main().getErrorMessage() << ")"
                << std::endl;
      return kExitFailed;
    }
    log_v(options, "done\n");
  }
  if (halted()) return failed();
  return kExitOk;
}

}  // namespace

int run_idferry(int argc, char** argv) {
  // Phase 1: the command line.
  mig_options_parser parser(argc, argv);
  mig_options_result parsed = parser.read_options();
  if (const int* status = boost::get<int>(&parsed)) return *status;
  mig_options_ptr options = boost::get<mig_options_ptr>(parsed);
  install_run_signals();

  // Phase 2: certificates and application identities.
  mig_context context(*options);
  if (int status = load_context(context)) return status;

  // The phases report their failures through results; an exception here
  // (such as running out of memory) still ends the run with one line.
  try {
    return migrate(context);
  } catch (const std::exception& e) {
    std::cerr << "ERROR: unexpected failure: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "ERROR: unexpected failure" << std::endl;
  }
  return kExitFailed;
}
