// A migration set up for end-to-end tests: a source and a target stand-in
// over HTTPS, seeded with a small, fixed population, and the built idferry
// run between them.
//
// Source (application "app-src"), in listing order: anna (s-1), bob (s-2),
// user7 (s-3), anna1 (s-4), dave (s-5), each with a known password. Target
// (application "app-tgt"): unless `plain_target`, anna and user7 are held by
// another application's users (t-anna, t-user7) and bob by the target
// application's own user (t-bob).
#ifndef IDFERRY_TEST_SUPPORT_MIGRATION_FIXTURE_H_
#define IDFERRY_TEST_SUPPORT_MIGRATION_FIXTURE_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "test_support/standin_harness.h"
#include "test_support/test_util.h"

namespace testutil {

// {id, login, password} of the source users, in listing order.
extern const std::vector<std::vector<std::string>> kSourceUsers;

struct Migration {
  explicit Migration(std::vector<std::string> source_faults = {},
                     std::vector<std::string> target_faults = {}, bool plain_target = false,
                     const std::vector<std::vector<std::string>>& users = kSourceUsers);

  // Runs idferry `mode` between the two instances, with `extra` arguments.
  ProcResult Run(const std::string& mode, std::vector<std::string> extra = {}) const;

  // The target users owned by app-tgt, login -> record.
  std::map<std::string, standin::UserRecord> Migrated() const;
  // Operation names the instance was asked, in order.
  static std::vector<std::string> Operations(const StandinProcess& p);

  std::unique_ptr<StandinProcess> source, target;
  std::string from_cert, to_cert;
  std::vector<standin::UserRecord> source_before;  // the source's users before any run
  std::vector<standin::UserRecord> target_before;  // the target's users before any run
};

// Every (login, source id) pair is on the target, complete: the source's id,
// hash and hash type, owned by the target application.
void ExpectComplete(const Migration& m, const std::map<std::string, std::string>& login_to_id);
// ExpectComplete, and each of those users logs in on the (running) target
// with its original password.
void ExpectMigrated(const Migration& m, const std::map<std::string, std::string>& login_to_id);

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_MIGRATION_FIXTURE_H_
