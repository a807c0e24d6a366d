// The rules of resuming a migration (--resume), in one place.
//
// Before creation, every record's source id is looked up on the target:
//  - nobody there: the record is created as in a fresh run;
//  - a user of the target application with the record's hash and hash type:
//    this migration's own, made by an earlier run, whatever login it holds.
//    It is not created again (its result line is written again, so the
//    output is that of one run that never failed); under a temporary login
//    of its record it is a takeover cut short, finished at creation
//    (takeover.h); its login counts as given by this migration, so no
//    takeover ever deletes it;
//  - a user of the target application with another hash or hash type under
//    the record's login, one of its derived logins or one of its temporary
//    logins: this migration's own, whose password changed on the source since
//    it was migrated. It stops the run like other data, with its own line,
//    unless --update is given: it is then brought up to date at creation;
//  - the target application's user that a takeover of this migration
//    replaces (it holds the login of a record the target application holds,
//    whose takeover deletes it): not in the way, as in one uninterrupted
//    run, where the takeover deletes it before the record is created;
//  - anything else is other data: the run stops before creating anything,
//    naming each such record.
#ifndef IDFERRY_SRC_RESUME_H_
#define IDFERRY_SRC_RESUME_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "src/users.h"

class SSOClient;
class client_set;
class phase_runner;

// Users an earlier run migrated: for each such record (by list position)
// its login on the target; a takeover that run cut short shows as a
// temporary login.
struct resume_findings {
  std::unordered_map<size_t, std::string> target_login;
  std::unordered_set<size_t> changed;  // out of date (--update): hash or type differ
};

// The users a takeover of this migration deletes: the id of the target
// user holding a record's login (target_owned records) and that login.
using takeover_victims = std::unordered_map<std::string, std::string>;
takeover_victims victims_of(const std::vector<mig_user_info>& users);

// What the target holds under one record's source id.
enum class on_target { absent, migrated, changed, other_data, failed };

// What the target holds under one record's source id, as read: getUser by
// the id ("sso:noSuchUser": absent), then, for a user of the target
// application, getUserPassword. `kind` is absent, other_data (another
// owner), failed (with `error`, the line of the failed read: "Error getting
// userInfo: ..." or "ERROR: ...") or migrated: a user of the target
// application, to be classified against the record's hash.
struct id_read {
  on_target kind = on_target::absent;
  std::string login, hash, type, error;
};
// Reads only the record's id, so it may run beside the password reads.
id_read read_id(SSOClient& target, const mig_user_info& user, const std::string& app_id);

// What the read is for the record (the rules above). `login` receives the
// login of a migrated or changed user, `error` the read's error line.
on_target classify(const mig_user_info& user, const id_read& read,
                   const takeover_victims& victims, std::string& login, std::string& error);

// The reads made ahead of find_migrated (--jobs N above 1, beside the
// password reads): which records were read, and every read that found
// someone or failed.
struct early_resume {
  using reads_t = std::unordered_map<size_t, id_read>;
  std::vector<uint8_t> made;
  reads_t reads;
};
// Makes them through `runner` (a runner of its own), in list order,
// stopping at the first failed read. Writes nothing. True when none failed.
bool read_ids_early(phase_runner& runner, client_set& target,
                    const std::vector<mig_user_info>& users, const std::string& app_id,
                    early_resume& early);

// The findings for `line` ("ERROR: user id <id> (<login>) is on the target
// with other data").
std::string other_data_line(const mig_user_info& user);
// "ERROR: user id <id> (<login>) changed on the source since it was migrated
// (--update carries the change)".
std::string changed_line(const mig_user_info& user);

// Looks up every record in list order and fills `found`. False, with the
// error lines written, when a lookup failed (at once) or when records are on
// the target with other data or, without `update`, out of date (after all
// lookups); false without a line when
// the run is halted. Needs the conflict check's findings (target_owned,
// target_id).
bool find_migrated(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                   const std::string& app_id, bool update, resume_findings& found,
                   const early_resume* early = nullptr);

// The logins the users of this migration hold on the target, as found:
// every migrated user's but those under a temporary login.
std::unordered_set<std::string> held_logins(const std::vector<mig_user_info>& users,
                                            const resume_findings& found);

// The record's login on the target when `found` holds it under a temporary
// login (a takeover cut short), else null.
const std::string* cut_takeover(const std::vector<mig_user_info>& users,
                                const resume_findings& found, size_t index);

#endif  // IDFERRY_SRC_RESUME_H_
