// Creating the users on the target, and the cleanup of the source.
//
// Each record is created with its source id, password hash and hash type
// under its login. A login held by another application (or taken while
// creating) is resolved by mangling: the user is created under the first
// free derived login, "<login><n>" or "<login>_<n>" for a login ending in a
// digit, n from 1 to 99, and the new login is reported on standard output as
// "MANGLED(<login>:<id>): <derived>". A login held by the target
// application's own user is taken over: the source user is created under
// "<login>_<id>_tmp_migrate", the old target user is deleted, and the new
// user is renamed to the login, in that order.
//
// A takeover (takeover.h) never deletes a user that this migration made:
// when two records end up with the same login, the first takes it and the
// second is created like a conflicting one; the logins of users an earlier
// run migrated (--resume, resume.h) count as given the same way. Those users
// are not created again, and a takeover an earlier run left between its
// steps is finished.
//
// Creation stops at the first failure; users created before it stay on the
// target. create_record is the unit of work, shared by the sequential loop
// here and the parallel runs of several records at once.
#ifndef IDFERRY_SRC_CREATE_H_
#define IDFERRY_SRC_CREATE_H_

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "src/resume.h"
#include "src/users.h"

class SSOClient;
class client_set;
class foreseen_target;
struct writer;
struct write_outcome;
class phase_runner;

// The login and its derived logins 1 to 99.
constexpr int kMaxLoginAttempts = 100;

// The n-th derived login: `login` itself for n = 0; "%s_%d" when the last
// byte of login is a decimal digit, "%s%d" otherwise (also for an empty
// login, which has no last byte).
std::string mangle_user(const std::string& login, int n);

// The n of a derived login's suffix: the decimal text of 1 to 99 as
// mangle_user writes it (no leading zero), or 0.
int derived_number(std::string_view digits);

// Whether `login` is mangle_user(base, n) for some n from 1 to 99.
bool is_derived_login(const std::string& login, const std::string& base);

// Writes the record's user under its login or, while `write` is answered
// "sso:duplicateLogin", under its derived logins 1 to 99 in turn; sets
// user.derived. A failure's `error` is `what` and the reason, or `what`
// "<login> and its 99 derived logins are taken".
bool first_free_login(const writer& w, mig_user_info& user, const std::string& what,
                      const std::function<write_outcome(const std::string&)>& write,
                      std::string& error);

// Creates one user, trying the login and then the derived logins 1 to 99
// while the target answers "sso:duplicateLogin"; sets user.derived. Another
// failure gives `error` "Error registering user: " and the client's message,
// 100 duplicates "Error registering user: <login> and its 99 derived logins
// are taken". `app_id` (the target application) reconciles a retried
// creation answered as a duplicate.
bool create_user_mangled(writer& w, mig_user_info& user, const std::string& app_id,
                         std::string& error);

// What the records of one creation phase share. Thread-safe: `given` is
// guarded by its lock; the rest is only read once creation has begun.
struct create_state {
  create_state(const std::vector<mig_user_info>& users, std::string app_id,
               const resume_findings* resumed);

  std::string app_id;              // the target application
  const resume_findings* resumed;  // null without --resume
  foreseen_target* dry = nullptr;  // a dry run's picture of the target; null: a real run
  // Logins some record wants to take over: only these need remembering as
  // given.
  std::unordered_set<std::string_view> takeover_logins;
  std::mutex given_mu;
  // Logins this migration's users hold: given by this run, or found with
  // users an earlier run migrated.
  std::unordered_set<std::string> given;
};

// Creates, takes over, or leaves as an earlier run migrated it, the record
// `index`: sets its outcome and derived login. A user an earlier run
// migrated that is out of date (--update) is given the record's hash and
// type (changePassword), and a cut takeover of it finished: `update` then
// says what changed ("password", ", login <old login>"). `line` receives its
// result lines for standard output ("" when none; MANGLED, then UPDATED),
// `error` its error line when it fails. Writes nothing itself.
bool create_record(SSOClient& target, std::vector<mig_user_info>& users, size_t index,
                   create_state& state, std::string& line, std::string& update,
                   std::string& error);

// Creates every record through the runner: in list order with one job,
// with several each group of `chains` in list order (null: no groups, for one
// job). Result lines come in list order, for every record handled. False
// after a failure, with the error line of the first failed record in list
// order written, or when the run is halted (nothing written).
bool create_users(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                  create_state& state, const std::vector<uint32_t>* chains);

#endif  // IDFERRY_SRC_CREATE_H_
