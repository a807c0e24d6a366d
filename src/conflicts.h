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

// True when no conflict was found and no lookup failed. Goes on after a
// conflict, so every conflict is listed, but stops at the first failed
// lookup ("Error getting userId: " or "Error getting userInfo: " and the
// client's message on standard error); records after it are not looked at.
// Sets target_id and target_owned of every record it looks at.
bool check_users(SSOClient& target, std::vector<mig_user_info>& users,
                 const std::string& target_app_id);

#endif  // IDFERRY_SRC_CONFLICTS_H_
