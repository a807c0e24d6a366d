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
// A takeover never deletes a user that this run created: when two records
// end up with the same login, the first takes it and the second is created
// like a conflicting one.
//
// Creation is strictly sequential and stops at the first failure; users
// created before it stay on the target.
#ifndef IDFERRY_SRC_CREATE_H_
#define IDFERRY_SRC_CREATE_H_

#include <string>
#include <vector>

#include "src/users.h"

class SSOClient;

// The n-th derived login: `login` itself for n = 0; "%s_%d" when the last
// byte of login is a decimal digit, "%s%d" otherwise (also for an empty
// login, which has no last byte).
std::string mangle_user(const std::string& login, int n);

// Creates one user, trying the login and then the derived logins 1 to 99
// while the target answers "sso:duplicateLogin". `new_id` receives the id
// the target returns. Another failure writes "Error registering user: " and
// the client's message to standard error; after 100 duplicates the result is
// false without a message of its own.
bool create_user_mangled(SSOClient& target, mig_user_info& user, std::string& new_id);

// Creates (or takes over) every record in list order; false at the first
// failure, with its error line written.
bool create_users(SSOClient& target, std::vector<mig_user_info>& users);

#endif  // IDFERRY_SRC_CREATE_H_
