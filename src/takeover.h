// The takeover, start to finish: replacing the target application's own
// user that holds a record's login by the record's source user.
//
// A takeover is three writes, in this order, so that the source user exists
// on the target before the old user is gone:
//   1. create the record's user under its temporary login
//      "<login>_<id>_tmp_migrate";
//   2. delete the old user holding the login;
//   3. rename the record's user from the temporary login to the login.
// A run stopped between the steps leaves the record's user under a
// temporary login; the next run (--resume) finishes it here, under the
// record's login as it is now (the mapfile may have changed since), by the
// rules a fresh run would apply to that login: the holder is deleted when
// the record takes it over, and otherwise the user is renamed to the login
// when it is free, or to its first free derived login. The caller decides
// whether the record takes the login over; it never does when a user this
// migration made holds it, so no takeover deletes a user this migration
// made. Each step is reconciled after a lost or cut answer, or foreseen in a
// dry run (writes.h).
#ifndef IDFERRY_SRC_TAKEOVER_H_
#define IDFERRY_SRC_TAKEOVER_H_

#include <string>

#include "src/users.h"

struct writer;

// The temporary login of a takeover: "<login>_<id>_tmp_migrate".
std::string temporary_login(const mig_user_info& user);

// Whether `login` is a temporary login of the user with source id `id`,
// made for whatever login the user had then.
bool is_temporary_login(const std::string& login, const std::string& id);

// The three steps for `user`, whose login the target application holds.
// `error`: "Error registering user: ", "Error deleting user: " or "Error
// renaming user: " and the reason.
bool take_over(writer& w, mig_user_info& user, const std::string& app_id, std::string& error);

// Finishes a takeover cut short: the record's user is under `temporary`.
// With `take`, the holder of user.login is deleted and the user renamed to
// the login; otherwise it is renamed to the login or to its first free
// derived login, and user.derived tells which. `error` as above, or
// "Error renaming user: <login> and its 99 derived logins are taken".
bool finish_take_over(writer& w, mig_user_info& user, const std::string& temporary, bool take,
                      std::string& error);

#endif  // IDFERRY_SRC_TAKEOVER_H_
