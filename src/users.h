// The engine's record of one user being migrated, and the two phases that
// fill the list of records from the source: listing the users and reading
// each user's password hash. Passwords move as they are stored: the source
// hands out the hash and its type, and the target receives exactly these,
// together with the source user id.
//
// The list keeps the order in which the source listed the users; every later
// phase walks it in that order and stops at the first failed service call.
#ifndef IDFERRY_SRC_USERS_H_
#define IDFERRY_SRC_USERS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class SSOClient;
class client_set;
class phase_runner;

// What became of a record: set by the conflict check in check mode and by
// creation, resume and verification in map and auto modes. `none` is a
// record no phase got to.
enum class user_outcome : uint8_t {
  none, free, conflict, takeover, failed,                           // check mode
  created, mangled, taken_over, already_migrated, unverified,       // map and auto
  updated,                                                          // --update
};

struct mig_user_info {
  mig_user_info(const std::string& id, const std::string& login) : id(id), login(login) {}
  mig_user_info(std::string&& id, std::string&& login)
      : id(std::move(id)), login(std::move(login)) {}

  std::string id;             // user id on the source; also the id it gets on the target
  std::string target_id;      // id of the target user already holding `login`, if any
  std::string login;          // login on the target: the source login, or the mapped one
  std::string password_hash;  // as the source stores it
  std::string hash_type;      // the hash scheme of password_hash, as the source names it
  bool target_owned = false;  // `login` is held on the target by the target application
  user_outcome outcome = user_outcome::none;
  uint8_t derived = 0;  // created under mangle_user(login, derived)
};

// Appends one record per source user, in listing order. On failure writes
// "ERROR: " and the client's message to standard error and leaves `users`
// unchanged.
bool get_users(SSOClient& source, std::vector<mig_user_info>& users);

// Reads each record's password hash and hash type, one call per record
// through the runner (in list order with one job). Stops at the first
// failure with "ERROR: " and the client's message on standard error; records
// before it keep their hashes, the rest stay empty. False without a line
// when the run is halted.
bool get_users_passwords(phase_runner& runner, client_set& source,
                         std::vector<mig_user_info>& users);

#endif  // IDFERRY_SRC_USERS_H_
