// The table-driven end-to-end runner: each row seeds a source and a target
// stand-in (over HTTPS, applications "app-src" and "app-tgt", another
// application "app-other" on the target), installs their fault plans, runs
// the built idferry between them, and checks what an operator sees and what
// the run leaves:
//  - the exit status, standard output and standard error, byte for byte (an
//    expected error text ending in "*" is a prefix followed by one more line);
//  - the target application's users afterwards, as "login=id" in login
//    order; every other target user unchanged; every user the run created
//    complete (the source's hash and hash type) and, after a successful map
//    or auto run, able to log in with its password;
//  - the source unchanged and still registered, unless a cleanup succeeded;
//  - check mode never writing nor reading a password hash;
//  - no password hash and no line of a private key in either output stream;
//  - with --max-rate N, never more than N calls starting on one instance in
//    any one second (by the stand-ins' journals).
//
// Arguments: the first is the mode; the runner adds --app-from-cert,
// --app-to-cert, --sso-from-url and --sso-to-url unless the row gives them.
// Placeholders in arguments: {map} the row's mapfile, {from} {to} the
// certificate files, {src} {tgt} the URLs, {dead} a URL nobody listens on,
// {dir} a directory, {fifo} a FIFO without writer, {huge} a sparse file over
// 1 GiB, {empty} an empty file, {binary} 4 KiB of bytes, {nocn} a certificate
// without CN, {garbage} a truncated PEM block, {enc} the source certificate
// with its key encrypted, {ca} the CA of the instances' server certificates,
// {report} the path of a report file (which must not exist before the run).
// A run with --dry-run, like check mode, must only read.
#ifndef IDFERRY_TEST_SUPPORT_MIGRATION_TABLE_H_
#define IDFERRY_TEST_SUPPORT_MIGRATION_TABLE_H_

#include <string>
#include <vector>

#include "test_support/test_util.h"

namespace testutil {

struct SourceUser {
  std::string id, login;  // the password is "pw-" followed by the id
};
struct TargetUser {
  std::string id, login, owner;
  // When not empty: the user has the password hash and type of this source
  // user (a user a migration made), else the password "x".
  std::string hash_of = "";
  std::string type = "";  // when not empty, the hash type instead
};

// anna (s-1), bob (s-2), user7 (s-3), anna1 (s-4), dave (s-5).
extern const std::vector<SourceUser> kSource;
// anna and user7 held by app-other (t-anna, t-user7), bob by app-tgt (t-bob).
extern const std::vector<TargetUser> kTarget;
// kSource migrated by auto onto kTarget.
extern const char kMigrated[];

struct RunRow {
  std::string name;
  std::vector<std::string> args;
  int status;
  std::string out, err;  // "?": not checked
  std::string migrated;  // app-tgt's users afterwards; "?": not checked
  std::vector<std::string> source_faults = {}, target_faults = {};
  std::vector<SourceUser> source = kSource;
  std::vector<TargetUser> target = kTarget;
  std::string mapfile = "";
  // When not empty: the target's createUser, deleteUser and changeLogin
  // calls, in order, as "op:key" (the login created, the id deleted, the id
  // renamed), space-separated.
  std::string target_writes = "";
  // "OP:N": SIGINT to idferry once the target's journal (the source's for
  // unregisterApplication) holds N calls of OP ("OP:N:2": two signals at
  // once).
  std::string interrupt = "";
  long long target_delay_us = 0;  // the target waits this long before each answer
  long long source_delay_us = 0;  // the source likewise
  // The target's look-ups began while the source's password reads ran: the
  // first getUserId started before the last getUserPassword.
  bool overlapped = false;
  // The target's server certificate: "" the usual one, "other CA" one for
  // 127.0.0.1 under another CA, "other host" one for another host name.
  std::string target_server = "";
  ProcOptions::Out out_to = ProcOptions::Out::kPipe;  // idferry's standard output
  // Standard error on a terminal: the progress line's draws (carriage
  // return, text, erase to the end of the line) and erasures are taken out
  // before `err` is compared, and there must be some exactly when the
  // arguments hold --progress; a drawn line is erased or redrawn before any
  // other text. With out_to kTerminal, standard output goes to the same
  // terminal and its lines are part of `err`.
  bool err_tty = false;
  // The report file {report} after the first run: "" not checked, "absent"
  // none (nor a temporary file beside it), "=" the same after both runs,
  // else its whole content (and mode 0600).
  std::string report = "";
  // When not empty, a second run of these arguments, after both instances
  // restarted on their stores without fault plans: it must end with
  // `resume_status`, write `resume_out` and `resume_err`, and leave `resumed`
  // as the target application's users.
  std::vector<std::string> resume_args = {};
  std::string resume_out = "", resume_err = "", resumed = "";
  int resume_status = 0;
};

// Runs each row with fresh instances; failures name the row.
void run_rows(const std::vector<RunRow>& rows);

}  // namespace testutil

#endif  // IDFERRY_TEST_SUPPORT_MIGRATION_TABLE_H_
