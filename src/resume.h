// Resuming a migration (--resume): before creation, every record's source id
// is looked up on the target. A user there with the target application as
// owner and the record's hash and hash type is this migration's own, made by
// an earlier run: it is not created again, and a takeover that run cut short
// (the user still under its temporary login) is finished in its place. A
// user there with other data is not this migration's: the run stops before
// creating anything, naming each such record.
#ifndef IDFERRY_SRC_RESUME_H_
#define IDFERRY_SRC_RESUME_H_

#include <string>
#include <vector>

#include "src/create.h"
#include "src/users.h"

class SSOClient;
class client_set;
class phase_runner;

// What the target holds under one record's source id.
enum class on_target { absent, migrated, other_data, failed };

// Looks up one record: getUser by its id ("sso:noSuchUser": absent), then,
// for a user of the target application, getUserPassword. `login` receives
// the login of a migrated user; `error` the line of a failed lookup ("Error
// getting userInfo: ..." or "ERROR: ...").
on_target look_up_migrated(SSOClient& target, const mig_user_info& user,
                           const std::string& app_id, std::string& login, std::string& error);

// The findings for `line` ("ERROR: user id <id> (<login>) is on the target
// with other data").
std::string other_data_line(const mig_user_info& user);

// Looks up every record in list order and fills `found`. False, with the
// error lines written, when a lookup failed (at once) or when records are on
// the target with other data (after all lookups); false without a line when
// the run is halted.
bool find_migrated(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                   const std::string& app_id, resume_findings& found);

#endif  // IDFERRY_SRC_RESUME_H_
