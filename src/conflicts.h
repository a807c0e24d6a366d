// The conflict check: every record's login (after the mapping) is looked up
// on the target. A free login needs nothing. A login held by a user of the
// target application itself is not a conflict: the record is marked
// target_owned and creation later replaces that user. A login held by a user
// of any other application is a conflict, reported on standard output as
// "CONFLICT: <login>(<source id>><target id>)" and later resolved by deriving
// another login.
#ifndef IDFERRY_SRC_CONFLICTS_H_
#define IDFERRY_SRC_CONFLICTS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "src/users.h"

class SSOClient;
class client_set;
class phase_runner;

// What one record's login is on the target.
enum class look_up_result { free, owned, conflict, failed };

// Looks up one record's login (getUserId, then getUser for its holder) and
// sets target_id and target_owned; `error` receives the line of a failed
// lookup ("Error getting userId: ..." or "Error getting userInfo: ...").
look_up_result look_up_login(SSOClient& target, mig_user_info& user,
                             const std::string& target_app_id, std::string& error);

// "CONFLICT: <login>(<source id>><target id>)".
std::string conflict_line(const mig_user_info& user);

// The check's look-ups made ahead of it (--jobs N above 1), while the
// source's password reads run: each record's result, and the error line of a
// failed one. A record not looked up is not `made`.
struct early_check {
  std::vector<uint8_t> made;
  std::vector<look_up_result> result;
  std::map<size_t, std::string> error;
};

// Makes the check's look-ups through `runner` (a runner of its own, whose
// notes are not the run's), in list order, stopping at the first failed one,
// and sets target_id and target_owned. Reads only the records' logins and
// writes only those two fields, so it may run beside the password reads.
// Writes nothing to either stream. True when no look-up failed.
bool look_up_early(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                   const std::string& target_app_id, early_check& early);

// What the check found: no conflict, conflicts only, or a failed lookup.
enum class check_result { clean, conflicts, failed };

// Goes on after a conflict, so every conflict is listed, but stops at the
// first failed lookup ("Error getting userId: " or "Error getting userInfo:
// " and the client's message on standard error); records after it are left
// as if not looked at, whatever the runner's workers found for them. The
// conflict lines come in list order, those before a failed lookup only.
// Sets target_id, target_owned and the outcome of every record it looks at.
// `failed` without a line when the run is halted. With `early`, the
// look-ups it made are taken from it instead of made again.
check_result check_users(phase_runner& runner, client_set& target,
                         std::vector<mig_user_info>& users, const std::string& target_app_id,
                         const early_check* early = nullptr);

#endif  // IDFERRY_SRC_CONFLICTS_H_
