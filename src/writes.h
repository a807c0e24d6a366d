// The writes a migration makes, each in one place with what makes it safe
// to retry: a write whose answer was lost or cut may have taken effect, so
// when the client made it again (--retries) and the instance refused the
// repetition, the instance is read to tell whether the first attempt did
// the work. Only here is such an answer reconciled; the client retries and
// reports, the phases decide, and these functions tell what happened.
//
// A write that failed keeps the reason of its failure: the message of the
// write itself, or of the read that could not confirm it.
//
// A dry run (--dry-run) makes no write: each write of the target is
// foreseen instead, by the reads that tell what it would do, against a
// picture of the target (foreseen_target) that holds what the dry run's
// earlier writes would have changed.
//
// Each function makes its calls on the given client, on the calling thread.
#ifndef IDFERRY_SRC_WRITES_H_
#define IDFERRY_SRC_WRITES_H_

#include <mutex>
#include <string>
#include <unordered_map>

#include "src/users.h"

class SSOClient;

// What became of one write: done, or the failure's subcode and message (the
// client's getErrorSubCode and getErrorMessage).
struct write_outcome {
  bool ok = false;
  std::string subcode, message;
};

// What a dry run would have changed on the target: logins (with the id of
// their holder, "" when freed) and ids (held or freed). Anything else is as
// the target says, read on first need and remembered. Thread-safe; records
// that could touch the same logins or ids run one after another (groups.h).
class foreseen_target {
 public:
  // The id holding `login` ("" when free); false, with `failure`, when the
  // read failed.
  bool holder(SSOClient& target, const std::string& login, std::string& id,
              write_outcome& failure);
  // Whether a user holds `id`; false, with `failure`, when the read failed.
  bool id_held(SSOClient& target, const std::string& id, bool& held, write_outcome& failure);
  void set_login(const std::string& login, const std::string& id);  // id "": freed
  void set_id(const std::string& id, bool held);

 private:
  std::mutex mu_;
  std::unordered_map<std::string, std::string> logins_;
  std::unordered_map<std::string, bool> ids_;
};

// Where the writes of a creation go: the target, or a dry run's picture of
// it (reads still go to the target).
struct writer {
  SSOClient& target;
  foreseen_target* dry;  // null: the writes are made
};


// createUser of the record's user under `login`, with its hash, hash type
// and source id. A retried creation answered as a duplicate is done when the
// user under the record's id holds `login`, belongs to `app_id` and has the
// record's hash and hash type.
// A dry run foresees "sso:duplicateLogin" for a login held, then
// "sso:duplicateUserId" for an id held, the order in which the service
// checks them.
write_outcome create_as(writer& w, const mig_user_info& user, const std::string& login,
                        const std::string& app_id);

// Deletes the user holding `login` (deleteUsers). A retried deletion
// answered "sso:noSuchUser" is done.
write_outcome delete_holder(writer& w, const std::string& login);

// Renames user `id` from `from` to `to` (changeLogin). A retried rename
// that failed is done when user `id` holds `to`.
write_outcome rename_user(writer& w, const std::string& id, const std::string& from,
                          const std::string& to);

// Gives the user holding `login`, the record's user, the record's hash and
// hash type (changePassword with the hash type). A retried change that
// failed is done when user.id has them.
write_outcome change_password(writer& w, const mig_user_info& user, const std::string& login);

// Unregisters `app_id` from the source (the cleanup). A failure is done when
// the source no longer knows the application: the unregistration of an
// attempt whose answer was lost took effect. An application gone answers a
// read of itself "sso:noSuchApplication", or refuses its certificate
// ("sso:accessDenied").
write_outcome unregister(SSOClient& source, const std::string& app_id);

#endif  // IDFERRY_SRC_WRITES_H_
