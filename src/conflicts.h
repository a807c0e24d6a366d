// The conflict check: every record's login (after the mapping) is looked up
// on the target. A free login needs nothing. A login held by a user of the
// target application itself is not a conflict: the record is marked
// target_owned and creation later replaces that user. A login held by a user
// of any other application is a conflict, reported on standard output as
// "CONFLICT: <login>(<source id>><target id>)" and later resolved by deriving
// another login.
#ifndef IDFERRY_SRC_CONFLICTS_H_
#define IDFERRY_SRC_CONFLICTS_H_

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

// What the check found: no conflict, conflicts only, or a failed lookup.
enum class check_result { clean, conflicts, failed };

// Goes on after a conflict, so every conflict is listed, but stops at the
// first failed lookup ("Error getting userId: " or "Error getting userInfo:
// " and the client's message on standard error); records after it are left
// as if not looked at, whatever the runner's workers found for them. The
// conflict lines come in list order, those before a failed lookup only.
// Sets target_id, target_owned and the outcome of every record it looks at.
// `failed` without a line when the run is halted.
check_result check_users(phase_runner& runner, client_set& target,
                         std::vector<mig_user_info>& users, const std::string& target_app_id);

#endif  // IDFERRY_SRC_CONFLICTS_H_
