#include "src/driver.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "src/SSOClient/SSOClient.h"
#include "src/ahead.h"
#include "src/call_pacer.h"
#include "src/conflicts.h"
#include "src/context.h"
#include "src/create.h"
#include "src/endpoints.h"
#include "src/groups.h"
#include "src/mapfile.h"
#include "src/options.h"
#include "src/parallel.h"
#include "src/progress.h"
#include "src/report.h"
#include "src/resume.h"
#include "src/run_control.h"
#include "src/users.h"
#include "src/verify.h"
#include "src/writes.h"

namespace {

// Phase 2: loads the run context. Returns kExitOk, or the status that ends
// the run after the error line has been written. Exceptions are expected
// only here; everything later reports through results.
int load_context(mig_context& context) {
  try {
    context.load();
  } catch (const no_cert_file&) {
    write_error("Certificate file is not readable");
    return kExitUsage;
  } catch (const std::runtime_error& e) {
    write_error(std::string("Runtime error: ") + e.what());
    return kExitFailed;
  } catch (...) {
    write_error("Unknown exception");
    return kExitUnknownError;
  }
  return kExitOk;
}

// Phase 5: reads, validates and applies the login map.
int map_logins(const mig_options& options, std::vector<mig_user_info>& users,
               std::vector<user_map>& mappings) {
  log_v(options, "Reading users mapping info...");
  if (!load_map_from_file(options.mapfile, mappings)) {
    write_error(std::string("ERROR: can't read map file ") + options.mapfile);
    return kExitFailed;
  }
  log_v(options, boost::format("done. %d logins to be mapped\n") % mappings.size());
  log_v(options, "Checking users mapping info...");
  if (!check_map_valid(users, mappings)) {
    write_error("Mapfile contain unmatched logins");
    return kExitFailed;
  }
  log_v(options, "done\n");
  log_v(options, "Applying users mapping info...");
  if (!apply_map(users, mappings)) {
    write_error("Error applying users map");
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

// Each client the run makes for a user phase retries as --retries says,
// verifies the instance with --tls-ca and keeps to its instance's pace.
std::unique_ptr<SSOClient> run_client(const mig_context& context, const std::string& url,
                                      const std::string* cert,
                                      const std::shared_ptr<call_pacer>& pacer) {
  const mig_options& options = context.options;
  std::unique_ptr<SSOClient> client(new SSOClient(url, cert, context.trusted_ca()));
  SSOClient::RetryPolicy policy;
  policy.retries = options.retries;
  policy.log = [&options](const std::string& line) { log_v(options, line); };
  policy.stopped = [] { return stop_requested(); };
  client->setRetryPolicy(policy);
  client->setPacer(pacer);
  return client;
}

// What a run leaves for its report: the records, the logins the source
// listed before a mapfile renamed them, and what the phases found.
struct run_state {
  explicit run_state(const mig_options& options, progress_meter* meter)
      : runner(options.jobs, meter),
        meter(meter),
        from_pacer(std::make_shared<call_pacer>(options.max_rate, options.jobs)),
        to_pacer(std::make_shared<call_pacer>(options.max_rate, options.jobs)) {}
  bool listed = false;  // the source's users were listed
  std::vector<mig_user_info> users;
  std::vector<std::string> source_logins;
  resume_findings resumed;
  phase_runner runner;
  progress_meter* meter;
  // Each instance's pace (--max-rate), and its pause when it asks for one.
  std::shared_ptr<call_pacer> from_pacer, to_pacer;
};

// Phases 3 to 9, as far as the mode goes. The run's objects live here and in
// `run`, in the order they are made, and are destroyed in reverse. Between
// phases, a stop request or a failed standard output ends the run.
int migrate(const mig_context& context, run_state& run) {
  const mig_options& options = context.options;
  const bool check_mode = options.mode == "check";
  phase_runner& runner = run.runner;
  std::vector<mig_user_info>& users = run.users;

  log_v(options, "Checking SSO URLs...");
  if (!check_sso_options(context, run.from_pacer, run.to_pacer)) return kExitFailed;
  log_v(options, "done\n");

  if (halted()) return failed();
  log_v(options, "Fetching users list...");
  client_set source(
      [&] { return run_client(context, options.sso_from_url, &context.from_cert, run.from_pacer); },
      options.jobs);
  if (!get_users(source.main(), users)) return failed();
  run.listed = true;
  log_v(options, boost::format("done. %d users fetched\n") % users.size());

  std::vector<user_map> mappings;
  if ((check_mode || options.mode == "map") && !options.mapfile.empty()) {
    if (options.report) {
      for (const mig_user_info& user : users) run.source_logins.push_back(user.login);
    }
    if (int status = map_logins(options, users, mappings)) return status;
  }

  client_set target(
      [&] { return run_client(context, options.sso_to_url, &context.to_cert, run.to_pacer); },
      options.jobs);
  // With several jobs, the target's look-ups run beside the password reads.
  std::unique_ptr<reads_ahead> ahead;
  if (!check_mode) {
    if (options.jobs > 1) {
      ahead.reset(new reads_ahead(options.jobs, run.meter, target, users, context.to_app_id,
                                  options.resume));
    }
    log_v(options, "Fetching users passwords...");
    if (!get_users_passwords(runner, source, users)) return failed();
    log_v(options, "done\n");
    if (ahead) ahead->wait();
  }

  target.main();
  log_v(options, "Checking users conflicts...");
  const check_result checked =
      check_users(runner, target, users, context.to_app_id, ahead ? ahead->check() : nullptr);
  if (halted()) return failed();
  if (check_mode) {
    log_v(options, "done\n");
    if (checked != check_result::clean) return kExitFailed;
    if (!write_result("NO CONFLICTS. It is safe to perform migration")) return failed();
    return kExitOk;
  }
  // In map and auto modes conflicts are resolved by creation, but a failed
  // lookup ends the run: creation would take a login it could not look up
  // for a free one. Nothing was written yet.
  if (checked == check_result::failed) return kExitFailed;
  log_v(options, "done\n");

  if (options.resume) {
    log_v(options, "Checking users already migrated...");
    if (!find_migrated(runner, target, users, context.to_app_id, options.update, run.resumed,
                       ahead ? ahead->resume() : nullptr)) {
      return failed();
    }
    log_v(options,
          boost::format("done. %d users already migrated\n") % run.resumed.target_login.size());
  }

  log_v(options, "Creating users in target SSO...");
  create_state state(users, context.to_app_id, options.resume ? &run.resumed : nullptr);
  foreseen_target foreseen;  // what a dry run's writes would have changed
  if (options.dry_run) {
    // The conflict check already read who holds each record's login.
    for (const mig_user_info& user : users) foreseen.set_login(user.login, user.target_id);
    state.dry = &foreseen;
  }
  // With several workers, records that can touch one another run in list
  // order, group by group.
  const std::vector<uint32_t> chains =
      options.jobs > 1 ? group_chains(users) : std::vector<uint32_t>();
  if (!create_users(runner, target, users, state, options.jobs > 1 ? &chains : nullptr)) {
    return failed();
  }
  const size_t updated = std::count_if(users.begin(), users.end(), [](const mig_user_info& u) {
    return u.outcome == user_outcome::updated;
  });
  log_v(options, updated ? (boost::format("done. %d users updated\n") % updated).str() : "done\n");

  if (options.verify) {
    if (halted()) return failed();
    log_v(options, "Verifying users in target SSO...");
  }
  if (options.verify && options.dry_run) {
    log_v(options, "skipped (dry run)\n");
  } else if (options.verify) {
    size_t unverified = 0;
    if (!verify_users(runner, target, users, context.to_app_id, state.resumed, unverified)) {
      return failed();
    }
    if (halted()) return failed();
    if (unverified) {
      write_error((boost::format("ERROR: %d users failed verification") % unverified).str());
      return kExitFailed;
    }
    log_v(options, boost::format("done. %d users verified\n") % users.size());
  }

  if (halted()) return failed();
  if (options.cleanup) log_v(options, "Cleaning up source installation...");
  if (options.cleanup && options.dry_run) {
    log_v(options, "skipped (dry run)\n");
  } else if (options.cleanup) {
    const write_outcome cleaned = unregister(source.main(), context.from_app_id);
    if (!cleaned.ok) {
      write_error("ERROR: can't perform cleanup (" + cleaned.message + ")");
      return kExitFailed;
    }
    // Done: a stop asked for while the call was under way comes too late.
    log_v(options, "done\n");
  }
  return kExitOk;
}

// The run once the context is loaded, guarded: the phases report their
// failures through results; an exception (such as running out of memory)
// still ends the run with one line.
int guarded_migrate(const mig_context& context, run_state& run) {
  try {
    return migrate(context, run);
  } catch (const std::exception& e) {
    write_error(std::string("ERROR: unexpected failure: ") + e.what());
  } catch (...) {
    write_error("ERROR: unexpected failure");
  }
  return kExitFailed;
}

}  // namespace

int run_idferry(int argc, char** argv) {
  // Phase 1: the command line.
  mig_options_parser parser(argc, argv);
  mig_options_result parsed = parser.read_options();
  if (const int* status = boost::get<int>(&parsed)) return *status;
  mig_options_ptr options = boost::get<mig_options_ptr>(parsed);
  install_run_signals();

  // The files of the options, before anything else is read.
  run_report report;
  if (options->report && !report.open(*options->report)) {
    write_error(std::string("ERROR: can't write report file ") + *options->report);
    return kExitUsage;
  }
  mig_context context(*options);
  if (options->tls_ca && !context.load_trusted_ca(*options->tls_ca)) {
    write_error(std::string("ERROR: can't read TLS CA file ") + *options->tls_ca);
    return kExitUsage;
  }

  if (options->dry_run) log_v(*options, "Dry run: nothing will be written");
  // Phase 2: certificates and application identities.
  if (int status = load_context(context)) return status;

  progress_meter meter(options->progress, isatty(STDERR_FILENO) == 1, options->max_rate);
  run_state run(*options, &meter);
  int status = guarded_migrate(context, run);
  if (report.is_open() && run.listed &&
      !report.commit({run.users, run.source_logins.empty() ? nullptr : &run.source_logins,
                      options->mode == "check", options->resume ? &run.resumed : nullptr,
                      run.runner.notes()})) {
    write_error(std::string("ERROR: can't write report file ") + *options->report);
    status = kExitFailed;
  }
  return status;
}
