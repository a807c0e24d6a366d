// Verifying a migration (--verify): after creation and before the cleanup,
// every record's user is read back from the target by its id. It must hold
// the login it was created under (after a takeover, the record's login),
// belong to the target application and have the record's hash and hash type.
// Each record that does not is reported on standard output as
// "UNVERIFIED(<login>:<id>): " and what differs, never a hash itself.
#ifndef IDFERRY_SRC_VERIFY_H_
#define IDFERRY_SRC_VERIFY_H_

#include <string>
#include <vector>

#include "src/resume.h"
#include "src/users.h"

class SSOClient;
class client_set;
class phase_runner;

// The login the record's user holds on the target after creation.
std::string migrated_login(const std::vector<mig_user_info>& users, size_t index,
                           const resume_findings* resumed);

// Reads one record's user back. True with `differs` empty when it is as
// created; true with `differs` holding "missing", or "login L", "owner A",
// "password hash differs", "hash type differs" joined by ", "; false with
// `error` the failed read's line ("Error getting userInfo: ..." or
// "ERROR: ...").
bool verify_record(SSOClient& target, const mig_user_info& user, const std::string& login,
                   const std::string& app_id, std::string& differs, std::string& error);

// Reads every record back in list order, writing an UNVERIFIED line for each
// that differs; `unverified` counts them. False when a read failed (its line
// written) or the run is halted.
bool verify_users(phase_runner& runner, client_set& target, std::vector<mig_user_info>& users,
                  const std::string& app_id, const resume_findings* resumed, size_t& unverified);

#endif  // IDFERRY_SRC_VERIFY_H_
