// The built idferry between two stand-in instances, one table row per
// situation: what the operator sees and what each run leaves on both
// instances (see test_support/migration_table.h for what every row checks).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/migration_table.h"

namespace {

using testutil::kMigrated;
using testutil::run_rows;
using testutil::SourceUser;
using testutil::TargetUser;

const std::string kContext =
    "Checking certificates...\n"
    "Loading 'from' application certificate\n"
    "'from' application certificate loaded\n"
    "Loading 'to' application certificate\n"
    "'to' application certificate loaded\n"
    "Extracting 'from' application identity\n"
    "'from' application identity extracted: app-src\n"
    "Extracting 'to' application identity\n"
    "'to' application identity extracted: app-tgt\n"
    "done\n\n";
const std::string kProbed = "Checking SSO URLs...\ndone\n\n";
// The verbose transcript of a run of the five source users up to the
// conflict check, and on to the creation.
const std::string kChecked = kContext + kProbed + "Fetching users list...\ndone. 5 users fetched\n\n"
    "Fetching users passwords...\ndone\n\nChecking users conflicts...\ndone\n\n";
const std::string kCreated = kChecked + "Creating users in target SSO...\ndone\n\n";
const std::string kConflicts = "CONFLICT: anna(s-1>t-anna)\nCONFLICT: user7(s-3>t-user7)\n";
const std::string kAnna = "MANGLED(anna:s-1): anna1\n";
const std::string kAllMangled =
    kConflicts + kAnna + "MANGLED(user7:s-3): user7_1\nMANGLED(anna1:s-4): anna1_1\n";
const std::string kUnreadable = "Certificate file is not readable\n";
const std::string kNoName = "Runtime error: get certificate name\n";
const std::vector<TargetUser> kPlain = {};
// An answer whose Body holds no element, as the runtime describes it.
const std::string kNoElement = "(SOAP-ENV:Sender) Validation constraint violation: element tag expected\n";

std::string Fault(const std::string& op, int n, const std::string& action) {
  return op + "\t" + std::to_string(n) + "\t" + action;
}

// The row, followed by `auto --cleanup --resume` once both instances are
// back without faults: that run finishes the migration, and its output is
// that of one run that never failed.
testutil::RunRow Resumed(testutil::RunRow row) {
  row.resume_args = {row.args[0], "-c", "--resume"};
  row.resume_out = kAllMangled;
  row.resumed = kMigrated;
  return row;
}

TEST(IdferryRun, Migrations) {
  std::vector<TargetUser> taken = {{"t-0", "bob2", "app-other"}};
  for (int i = 1; i < 100; ++i) taken.push_back({"t-" + std::to_string(i), "bob2_" + std::to_string(i), "app-other"});
  const std::string map_phases =
      "Fetching users list...\ndone. 5 users fetched\n\n"
      "Reading users mapping info...\ndone. 2 logins to be mapped\n\n"
      "Checking users mapping info...\ndone\n\nApplying users mapping info...\ndone\n\n"
      "Fetching users passwords...\ndone\n\nChecking users conflicts...\ndone\n\n"
      "Creating users in target SSO...\ndone\n\n";
  run_rows({
      {"auto --cleanup --verbose: conflicts mangled, bob taken over", {"auto", "--cleanup", "--verbose"}, 0,
       kAllMangled,
       kCreated + "Cleaning up source installation...\ndone\n\n",
       kMigrated, {}, {}, testutil::kSource, testutil::kTarget, "",
       "createUser:anna createUser:anna1 createUser:bob_s-2_tmp_migrate deleteUser:t-bob "
       "changeLogin:s-2 createUser:user7 createUser:user7_1 createUser:anna1 createUser:anna1_1 "
       "createUser:dave"},
      {"quiet run onto free logins", {"auto"}, 0, "", "",
       "anna=s-1 anna1=s-4 bob=s-2 dave=s-5 user7=s-3", {}, {}, testutil::kSource, kPlain},
      {"check reports and writes nothing", {"check"}, 1, kConflicts, "", "bob=t-bob"},
      {"check on the mapped logins", {"check", "--mapfile", "{map}"}, 0,
       "NO CONFLICTS. It is safe to perform migration\n", "", "bob=t-bob", {}, {},
       testutil::kSource, testutil::kTarget, "anna annie\nuser7 user8\n"},
      // anna becomes user7, which the second pair then finds first: anna2. The
      // source's own user7 keeps its taken login; the tab-separated line is no pair.
      {"map: later pairs see earlier renames", {"map", "--mapfile={map}", "-v"}, 0,
       "CONFLICT: user7(s-3>t-user7)\nMANGLED(user7:s-3): user7_1\n",
       kContext + kProbed + map_phases, "anna1=s-4 anna2=s-1 bob=s-2 dave=s-5 user7_1=s-3", {}, {},
       testutil::kSource, testutil::kTarget, "anna user7\r\n  user7 anna2\n\ndave\tdavid\n"},
      {"two records onto the login the target application holds: one takeover",
       {"map", "--mapfile", "{map}"}, 0,
       "CONFLICT: user7(s-3>t-user7)\nMANGLED(bob:s-2): bob1\nMANGLED(user7:s-3): user7_1\n", "",
       "anna1=s-4 bob=s-1 bob1=s-2 dave=s-5 user7_1=s-3", {}, {}, testutil::kSource,
       testutil::kTarget, "anna bob\n",
       "createUser:bob_s-1_tmp_migrate deleteUser:t-bob changeLogin:s-1 createUser:bob "
       "createUser:bob1 createUser:user7 createUser:user7_1 createUser:anna1 createUser:dave"},
      {"derived logins start from the record's login; owners compare exactly", {"auto"}, 0,
       "CONFLICT: anna(s-1>t-anna)\nCONFLICT: bob(s-2>t-bob)\nMANGLED(anna:s-1): anna2\n"
       "MANGLED(bob:s-2): bob1\n", "", "anna2=s-1 bob1=s-2", {}, {},
       {{"s-1", "anna"}, {"s-2", "bob"}},
       {{"t-anna", "anna", "app-other"}, {"t-a1", "anna1", "app-other"}, {"t-bob", "bob", "APP-TGT"}}},
      {"a hundred taken logins end the run", {"auto"}, 1, "CONFLICT: bob2(s-1>t-0)\n",
       "Error registering user: bob2 and its 99 derived logins are taken\n", "", {}, {},
       {{"s-1", "bob2"}, {"s-2", "zed"}}, taken},
      {"empty source: check", {"check", "-v"}, 0, "NO CONFLICTS. It is safe to perform migration\n",
       kContext + kProbed + "Fetching users list...\ndone. 0 users fetched\n\n"
           "Checking users conflicts...\ndone\n\n", "bob=t-bob", {}, {}, {}},
      {"empty source: auto still cleans up", {"auto", "--cleanup"}, 0, "", "", "bob=t-bob", {}, {}, {}},
      {"logins are bytes", {"map", "--mapfile", "{map}"}, 0, "", "",
       "a&b<c>\"'=s-1 caf\xe9-2=s-3 tab\there=s-5 two words=s-2 \xc3\xa9t\xc3\xa9=s-4", {}, {},
       {{"s-1", "a&b<c>\"'"}, {"s-2", "two words"}, {"s-3", "caf\xe9"}, {"s-4", "\xc3\xa9t\xc3\xa9"},
        {"s-5", "tab\there"}},
       kPlain, "caf\xe9 caf\xe9-2\n"},
  });
}

// Every row that can be finished is finished by a second run with --resume
// once both instances are back (Resumed).
TEST(IdferryRun, FailuresStopWhereTheyHappen) {
  const std::string exit = "exit";
  run_rows({
      Resumed({"source crashes at the endpoint check", {"auto", "-c"}, 1, "",
               "ERROR: sso-from-url check failed\n", "bob=t-bob", {Fault("getSettings", 1, exit)}}),
      Resumed({"target answers the endpoint check with an error page", {"auto", "-c"}, 1, "",
               "ERROR: sso-to-url check failed\n", "bob=t-bob", {},
               {Fault("getSettings", 1, "http\t503\t<html>maintenance</html>")}}),
      Resumed({"source crashes while listing", {"auto", "-c"}, 1, "", "ERROR: () \n", "bob=t-bob",
               {Fault("listUsers", 1, exit)}}),
      Resumed({"source cuts the listing short", {"auto", "-c"}, 1, "",
               "ERROR: (SOAP-ENV:Receiver) Answer cut short\n", "bob=t-bob", {Fault("listUsers", 1, "cut")}}),
      {"source refuses the listing", {"auto"}, 1, "", "ERROR: (SOAP-ENV:Sender) not allowed\n",
       "bob=t-bob", {Fault("listUsers", 1, "fault\tSender\tsso:accessDenied\tnot allowed")}},
      Resumed({"source crashes at the third hash", {"auto", "-c"}, 1, "", "ERROR: () \n", "bob=t-bob",
               {Fault("getUserPassword", 3, exit)}}),
      {"source fails a hash read", {"auto"}, 1, "", "ERROR: (SOAP-ENV:Receiver) store busy\n",
       "bob=t-bob", {Fault("getUserPassword", 2, "fault\tReceiver\t-\tstore busy")}},
      // A failed check does not stop map or auto; creation then meets the
      // crashed target (refused, or reset while the process goes away).
      Resumed({"target crashes during the conflict check", {"auto", "-c"}, 1,
               "CONFLICT: anna(s-1>t-anna)\n", "Error getting userId: () \n",
               "bob=t-bob", {}, {Fault("getUserId", 2, exit)}}),
      {"check: an id lookup fails", {"check"}, 1, "CONFLICT: anna(s-1>t-anna)\n",
       "Error getting userId: (SOAP-ENV:Sender) no\n", "bob=t-bob", {},
       {Fault("getUserId", 2, "fault\tSender\tsso:accessDenied\tno")}},
      {"check: a user lookup fails", {"check"}, 1, "", "Error getting userInfo: (SOAP-ENV:Sender) gone\n",
       "bob=t-bob", {}, {Fault("getUser", 1, "fault\tSender\tsso:noSuchUser\tgone")}},
      Resumed({"target crashes at the fifth creation", {"auto", "-c"}, 1, kConflicts + kAnna,
               "Error registering user: () \n", "anna1=s-1 bob=s-2", {}, {Fault("createUser", 5, exit)}}),
      Resumed({"target drops the connection mid-answer", {"auto", "-c"}, 1, kConflicts,
               "Error registering user: (SOAP-ENV:Receiver) Answer cut short\n", "bob=t-bob", {},
               {Fault("createUser", 2, "cut")}}),
      Resumed({"the answer of a creation that took effect is lost", {"auto", "-c"}, 1, kConflicts,
               "Error registering user: () \n", "anna1=s-1 bob=t-bob", {}, {Fault("createUser", 2, "lost")}}),
      Resumed({"target answers a creation with an error page", {"auto", "-c"}, 1, kConflicts,
               "Error registering user: (SOAP-ENV:Receiver) HTTP Error\n", "bob=t-bob", {},
               {Fault("createUser", 2, "http\t502\t<html>bad gateway</html>")}}),
      {"target refuses the third creation; faults are never retried", {"auto", "-c", "--retries", "3"}, 1,
       "", "Error registering user: (SOAP-ENV:Receiver) disk full\n", "anna=s-1 bob=s-2", {},
       {Fault("createUser", 3, "fault\tReceiver\tsso:internalError\tdisk full")}, testutil::kSource,
       kPlain},
      Resumed({"takeover: the temporary user is refused", {"auto", "-c"}, 1, kConflicts + kAnna,
               "Error registering user: (SOAP-ENV:Sender) taken\n", "anna1=s-1 bob=t-bob", {},
               {Fault("createUser", 3, "fault\tSender\tsso:duplicateLogin\ttaken")}}),
      Resumed({"target crashes between the takeover's creation and deletion", {"auto", "-c"}, 1,
               kConflicts + kAnna, "Error deleting user: () \n",
               "anna1=s-1 bob=t-bob bob_s-2_tmp_migrate=s-2", {}, {Fault("deleteUser", 1, exit)}}),
      Resumed({"target crashes between the takeover's deletion and rename", {"auto", "-c"}, 1,
               kConflicts + kAnna, "Error renaming user: () \n", "anna1=s-1 bob_s-2_tmp_migrate=s-2", {},
               {Fault("changeLogin", 1, exit)}}),
      Resumed({"an answer without element is no success", {"auto", "-c", "--retries", "3"}, 1,
               kConflicts + kAnna, "Error renaming user: " + kNoElement,
               "anna1=s-1 bob_s-2_tmp_migrate=s-2", {}, {Fault("changeLogin", 1, "empty")}}),
      Resumed({"an answer without element fails a creation", {"auto", "-c"}, 1, kConflicts,
               "Error registering user: " + kNoElement, "bob=t-bob", {},
               {Fault("createUser", 2, "empty")}}),
      Resumed({"source crashes at the cleanup", {"auto", "-c"}, 1, kAllMangled,
               "ERROR: can't perform cleanup (() )\n", kMigrated,
               {Fault("unregisterApplication", 1, exit)}}),
      Resumed({"source refuses the cleanup", {"auto", "-c"}, 1, kAllMangled,
               "ERROR: can't perform cleanup ((SOAP-ENV:Sender) no)\n", kMigrated,
               {Fault("unregisterApplication", 1, "fault\tSender\tsso:accessDenied\tno")}}),
  });
}

// Stops asked for by the operator, output that cannot be written, calls
// retried, and users read back.
TEST(IdferryRun, RunsThatAlwaysFinish) {
  const std::string transcript = kChecked;
  // zed's source id is the id of the target user holding carl.
  const std::vector<SourceUser> zed = {{"s-1", "carl"}, {"t-carl", "zed"}};
  const std::vector<TargetUser> carl = {{"t-carl", "carl", "app-tgt"}};
  auto stale = [](const std::string& login, const std::string& id) {
    return "ERROR: user id " + id + " (" + login + ") changed on the source since it was migrated "
           "(--update carries the change)\n";
  };
  // Migrated users: anna as she is, bob's password changed since, carl's hash type
  // alone, dora renamed dora.new on the source.
  const std::vector<SourceUser> live = {{"s-1", "anna"}, {"s-2", "bob"}, {"s-3", "carl"},
                                        {"s-4", "dora.new"}};
  const std::vector<TargetUser> live_target = {
      {"s-1", "anna", "app-tgt", "s-1"}, {"s-2", "bob", "app-tgt"},
      {"s-3", "carl1", "app-tgt", "s-3", "md5"}, {"s-4", "dora", "app-tgt", "s-4"},
      {"t-c", "carl", "app-other"}};
  const std::string live_users = "anna=s-1 bob=s-2 carl1=s-3 dora=s-4";
  const std::string live_out = "CONFLICT: carl(s-3>t-c)\nUPDATED(bob:s-2): password\nMANGLED(carl:s-3): "
                               "carl1\nUPDATED(carl:s-3): password\nMANGLED(dora.new:s-4): dora\n";
  const std::string write_error = "ERROR: can't write to standard output\n";
  run_rows({
      Resumed({.name = "interrupted during the conflict check", .args = {"auto", "-c"}, .status = 1,
               .out = "CONFLICT: anna(s-1>t-anna)\n", .err = "ERROR: interrupted\n",
               .migrated = "bob=t-bob", .interrupt = "getUserId:2", .target_delay_us = 100000}),
      // The takeover under way when the signal comes finishes its three steps.
      Resumed({.name = "interrupted during a takeover", .args = {"auto", "-c"}, .status = 1,
               .out = kConflicts + kAnna, .err = "ERROR: interrupted\n", .migrated = "anna1=s-1 bob=s-2",
               .interrupt = "createUser:3", .target_delay_us = 100000}),
      Resumed({.name = "a second signal ends the process", .args = {"auto", "-c"}, .status = 130,
               .out = kConflicts + kAnna, .err = "", .migrated = "anna1=s-1 bob=t-bob bob_s-2_tmp_migrate=s-2",
               .interrupt = "createUser:3:2", .target_delay_us = 100000}),
      {.name = "standard output is a closed pipe", .args = {"auto", "-c"}, .status = 1, .out = "",
       .err = write_error, .migrated = "bob=t-bob", .out_to = testutil::ProcOptions::Out::kClosedPipe},
      {.name = "standard output is full", .args = {"auto", "-c"}, .status = 1, .out = "",
       .err = write_error, .migrated = "bob=t-bob", .out_to = testutil::ProcOptions::Out::kFull},
      {.name = "retries: a dropped connection, a 503, lost answers of writes",
       .args = {"auto", "-c", "-v", "--retries", "3"}, .status = 0, .out = kAllMangled,
       .err = transcript + "Creating users in target SSO...\n"
           "Retrying createUser (attempt 1 of 3): () \n"
           "Retrying createUser (attempt 2 of 3): (SOAP-ENV:Receiver) HTTP Error\n"
           "Retrying deleteUser (attempt 1 of 3): () \n"
           "Retrying createUser (attempt 1 of 3): () \n"
           "done\n\nCleaning up source installation...\ndone\n\n",
       .migrated = kMigrated,
       .target_faults = {Fault("createUser", 2, "drop"), Fault("createUser", 3, "http\t503\tbusy"),
                         Fault("deleteUser", 1, "lost"), Fault("createUser", 6, "lost")}},
      // The runtime hands the client an error answer's headers too: Retry-After is seen.
      {.name = "retries: waiting as a 429 and a 503 with Retry-After ask", .args = {"auto", "-c", "-v",
       "--retries", "1"}, .status = 0, .out = kAllMangled,
       .err = transcript + "Creating users in target SSO...\nRetrying createUser (attempt 1 of 1, waiting 1 s "
           "as the instance asked): (SOAP-ENV:Receiver) HTTP Error\nRetrying createUser (attempt 1 of 1, "
           "waiting 0 s as the instance asked): (SOAP-ENV:Receiver) HTTP Error\ndone\n\nCleaning up "
           "source installation...\ndone\n\n", .migrated = kMigrated,
       .target_faults = {Fault("createUser", 2, "http\t429\tslow down\t1"),
                         Fault("createUser", 4, "http\t503\tbusy\tSun, 06 Nov 1994 08:49:37 GMT")}},
      {.name = "retries: an instance asking for more than 5 minutes fails the call", .args = {"auto",
       "-v", "--retries", "3"}, .status = 1, .out = kConflicts, .err = transcript + "Creating users in "
           "target SSO...\nNot retrying createUser: the instance asked to wait 301 s, more than 300 s\n"
           "Error registering user: (SOAP-ENV:Receiver) HTTP Error\n", .migrated = "bob=t-bob",
       .target_faults = {Fault("createUser", 2, "http\t429\tslow down\t301")}},
      {.name = "retries spent", .args = {"auto", "--retries", "2"}, .status = 1, .out = kConflicts,
       .err = "Error registering user: () \n", .migrated = "bob=t-bob",
       .target_faults = {Fault("createUser", 2, "drop"), Fault("createUser", 3, "drop"),
                         Fault("createUser", 4, "drop")}},
      {.name = "verify: users changed behind the run's back", .args = {"auto", "-c", "--verify"},
       .status = 1, .out = kAllMangled + "UNVERIFIED(anna:s-1): login anna-x\nUNVERIFIED(bob:s-2): password "
           "hash differs\nUNVERIFIED(user7:s-3): hash type differs\nUNVERIFIED(dave:s-5): missing\n",
       .err = "ERROR: 4 users failed verification\n", .migrated = "anna-x=s-1 anna1_1=s-4 bob=s-2 user7_1=s-3",
       .target_faults = {Fault("createUser", 8, "alter\ts-1\tlogin\tanna-x"),
                         Fault("getUser", 4, "alter\ts-5\tdelete"), Fault("getUser", 5, "alter\ts-2\thash\th"),
                         Fault("getUser", 6, "alter\ts-3\ttype\tmd5")}},
      // A rerun after a run that succeeded changes nothing and succeeds.
      {.name = "resume and verify after a complete run", .args = {"auto"}, .status = 0, .out = kAllMangled,
       .err = "", .migrated = kMigrated, .resume_args = {"auto", "--resume", "--update", "--verify", "-v", "-c"},
       .resume_out = kAllMangled,
       .resume_err = transcript + "Checking users already migrated...\ndone. 5 users already migrated\n\n"
           "Creating users in target SSO...\ndone\n\nVerifying users in target SSO...\n"
           "done. 5 users verified\n\nCleaning up source installation...\ndone\n\n",
       .resumed = kMigrated},
      // Takeovers cut short, finished by the rules a fresh run applies.
      {.name = "resume before anything: a takeover deletes the user under a later source id",
       .args = {"auto", "--resume"}, .status = 0, .out = "", .err = "", .migrated = "carl=s-1 zed=t-carl",
       .source = zed, .target = carl},
      // Found by the fault campaign (seed 521): the victim holds a login derived
      // from the login of the record whose id it has.
      {.name = "resume before anything: the victim holds a login derived from its id's record",
       .args = {"auto", "--resume"}, .status = 0, .out = "", .err = "",
       .migrated = "\xc3\xa9t\xc3\xa9=s-7 \xc3\xa9t\xc3\xa9" "2=s-6",
       .source = {{"s-6", "\xc3\xa9t\xc3\xa9" "2"}, {"s-7", "\xc3\xa9t\xc3\xa9"}},
       .target = {{"s-7", "\xc3\xa9t\xc3\xa9" "2", "app-tgt"}}},
      {.name = "a takeover cut before deleting the user under a later source id", .args = {"auto", "-c"},
       .status = 1, .out = "", .err = "Error deleting user: () \n",
       .migrated = "carl=t-carl carl_s-1_tmp_migrate=s-1", .target_faults = {Fault("deleteUser", 1, "exit")},
       .source = zed, .target = carl, .resume_args = {"auto", "-c", "--resume", "-j", "8"},
       .resumed = "carl=s-1 zed=t-carl"},
      {.name = "a takeover cut under a login the mapfile changed since", .args = {"map", "--mapfile", "{map}",
       "--resume", "--verify"}, .status = 0, .out = "", .err = "", .migrated = "carl=t-carl carla=s-1",
       .source = {{"s-1", "carl"}}, .target = {carl[0], {"s-1", "carl_s-1_tmp_migrate", "app-tgt", "s-1"}},
       .mapfile = "carl carla\n"},
      {.name = "a takeover cut after its deletion, its login taken by another application since",
       .args = {"auto", "--resume"}, .status = 0, .out = "CONFLICT: carl(s-1>t-x)\nMANGLED(carl:s-1): carl1\n",
       .err = "", .migrated = "carl1=s-1", .source = {{"s-1", "carl"}},
       .target = {{"t-x", "carl", "app-other"}, {"s-1", "carl_s-1_tmp_migrate", "app-tgt", "s-1"}}},
      {.name = "finishing a takeover never deletes a user this migration made", .args = {"auto", "--resume",
       "-j", "8"}, .status = 0, .out = "MANGLED(carl:s-1): carl1\nMANGLED(dora:s-2): carl\n", .err = "",
       .migrated = "carl=s-2 carl1=s-1", .source = {{"s-1", "carl"}, {"s-2", "dora"}},
       .target = {{"s-1", "carl_s-1_tmp_migrate", "app-tgt", "s-1"}, {"s-2", "carl", "app-tgt", "s-2"}},
       .target_writes = "changeLogin:s-1 changeLogin:s-1"},
      Resumed({.name = "a retried rename whose confirming read fails keeps its reason",
               .args = {"auto", "-c", "--retries", "1"}, .status = 1, .out = kConflicts + kAnna,
               .err = "Error renaming user: (SOAP-ENV:Receiver) store busy\n", .migrated = "anna1=s-1 bob=s-2",
               .target_faults = {Fault("changeLogin", 1, "lost"), Fault("changeLogin", 2, "fault\tSender\t-\tno"),
                                 Fault("getUser", 4, "fault\tReceiver\t-\tstore busy")}}),
      {.name = "the cleanup's answer is lost and its retry refused: done", .args = {"auto", "-c", "--retries", "1"},
       .status = 0, .out = kAllMangled, .err = "", .migrated = kMigrated,
       .source_faults = {Fault("unregisterApplication", 1, "lost")}},
      {.name = "a stop asked for during the cleanup call comes too late", .args = {"auto", "-c"}, .status = 0,
       .out = kAllMangled, .err = "", .migrated = kMigrated, .interrupt = "unregisterApplication:1",
       .source_delay_us = 200000},
      {.name = "resume: users on the target with other data, or changed since", .args = {"auto",
       "--resume", "--update"}, .status = 1, .out = kConflicts,
       .err = "ERROR: user id s-2 (bob) is on the target with other data\n"
              "ERROR: user id s-4 (anna1) is on the target with other data\n",
       .migrated = "bob=t-bob dave=s-5 zzz=s-4",
       .target = {{"t-anna", "anna", "app-other"}, {"t-bob", "bob", "app-tgt"},
                  {"t-user7", "user7", "app-other"}, {"s-2", "robert", "app-other"},
                  {"s-4", "zzz", "app-tgt"}, {"s-5", "dave", "app-tgt"}},
       .resume_args = {"auto", "--resume"}, .resume_out = kConflicts,
       .resume_err = "ERROR: user id s-2 (bob) is on the target with other data\nERROR: user id s-4 (anna1) "
           "is on the target with other data\n" + stale("dave", "s-5"),
       .resumed = "bob=t-bob dave=s-5 zzz=s-4", .resume_status = 1},
      // A live source: passwords and logins changed there since the users were migrated.
      {.name = "changed since: refused without --update", .args = {"auto", "--resume"}, .status = 1,
       .out = "CONFLICT: carl(s-3>t-c)\n", .err = stale("bob", "s-2") + stale("carl", "s-3"),
       .migrated = live_users, .source = live, .target = live_target,
       .resume_args = {"auto", "--resume", "--update", "--verify", "-j", "8"},
       .resume_out = "CONFLICT: carl(s-3>t-c)\nUPDATED(bob:s-2): password\nMANGLED(carl:s-3): carl1\n"
           "UPDATED(carl:s-3): password\nMANGLED(dora.new:s-4): dora\n",
       .resumed = live_users},
      {.name = "changed since, the answer of its update lost", .args = {"auto", "--resume", "--update",
       "--verify", "--retries", "1", "-v"}, .status = 0, .out = "UPDATED(bob:s-2): password\n",
       .err = kContext + kProbed + "Fetching users list...\ndone. 1 users fetched\n\nFetching users "
           "passwords...\ndone\n\nChecking users conflicts...\ndone\n\nChecking users already migrated...\n"
           "done. 1 users already migrated\n\nCreating users in target SSO...\nRetrying changePassword "
           "(attempt 1 of 1): () \ndone. 1 users updated\n\nVerifying users in target SSO...\n"
           "done. 1 users verified\n\n",
       .migrated = "bob=s-2", .target_faults = {Fault("changePassword", 1, "lost"),
       Fault("changePassword", 2, "fault\tSender\t-\tno")}, .source = {{"s-2", "bob"}},
       .target = {{"s-2", "bob", "app-tgt"}}},
      {.name = "a cut takeover changed since", .args = {"auto", "--resume", "--update", "--verify"},
       .status = 0, .out = "CONFLICT: carl(s-1>t-x)\nMANGLED(carl:s-1): carl1\n"
           "UPDATED(carl:s-1): password, login carl_s-1_tmp_migrate\n",
       .err = "", .migrated = "carl1=s-1", .source = {{"s-1", "carl"}},
       .target = {{"t-x", "carl", "app-other"}, {"s-1", "carl_s-1_tmp_migrate", "app-tgt"}}},
      // Dry runs, each followed by the real run on the same instances.
      {.name = "dry run of a resume that finishes a takeover", .args = {"auto", "--resume", "--dry-run"},
       .status = 0, .out = "", .err = "", .migrated = "carl=t-carl carl_s-1_tmp_migrate=s-1", .source = zed,
       .target = {carl[0], {"s-1", "carl_s-1_tmp_migrate", "app-tgt", "s-1"}},
       .resume_args = {"auto", "--resume"}, .resumed = "carl=s-1 zed=t-carl"},
      {.name = "dry run of an update", .args = {"auto", "--resume", "--update", "--dry-run", "--report",
       "{report}"}, .status = 0, .out = live_out, .err = "", .migrated = live_users, .source = live,
       .target = live_target, .report = "=", .resume_args = {"auto", "--resume", "--update", "--report",
       "{report}"}, .resume_out = live_out, .resumed = live_users},
      {.name = "dry run: a user id held on the target", .args = {"auto", "--dry-run"}, .status = 1, .out = "",
       .err = "Error registering user: user id s-1 is held on the target (dry run)\n", .migrated = "",
       .source = {{"s-1", "anna"}}, .target = {{"s-1", "zoe", "app-other"}}, .resume_args = {"auto"},
       .resume_err = "Error registering user: (SOAP-ENV:Sender) the user id \"s-1\" is taken\n",
       .resumed = "", .resume_status = 1},
      {.name = "dry run: named first, verify and cleanup skipped", .args = {"auto", "--dry-run", "-v",
       "--verify", "-c"}, .status = 0, .out = kAllMangled, .err = "Dry run: nothing will be written\n" +
       transcript + "Creating users in target SSO...\ndone\n\nVerifying users in target SSO...\nskipped (dry "
       "run)\n\nCleaning up source installation...\nskipped (dry run)\n\n", .migrated = "bob=t-bob"},
      // dora was renamed dora.new on the source; a new source user is named dora.
      {.name = "a new user named like one renamed since, listed first", .args = {"auto", "--resume",
       "--update"}, .status = 0, .out = "MANGLED(dora:s-5): dora1\nMANGLED(dora.new:s-4): dora\n",
       .err = "", .migrated = "dora=s-4 dora1=s-5", .source = {{"s-5", "dora"}, {"s-4", "dora.new"}},
       .target = {{"s-4", "dora", "app-tgt", "s-4"}}, .target_writes = "createUser:dora createUser:dora1"},
      {.name = "a new user named like one renamed since, listed after, 8 jobs", .args = {"auto", "--resume",
       "-j", "8"}, .status = 0, .out = "MANGLED(dora.new:s-4): dora\nMANGLED(dora:s-5): dora1\n",
       .err = "", .migrated = "dora=s-4 dora1=s-5", .source = {{"s-4", "dora.new"}, {"s-5", "dora"}},
       .target = {{"s-4", "dora", "app-tgt", "s-4"}}, .target_writes = "createUser:dora createUser:dora1"},
  });
}

TEST(IdferryRun, LocalInputProblems) {
  const std::string loading = "Checking certificates...\nLoading 'from' application certificate\n";
  const std::string to_loading =
      loading + "'from' application certificate loaded\nLoading 'to' application certificate\n";
  const std::string nul("n\0l", 3), high = "\xe9t\xe9", longword(100000, 'w');
  const std::string wrong = "ERROR: Wrong old login in mapfile (";
  run_rows({
      {"a parse error shows the help", {"auto", "--foo"}, 10, "{help}",
       "Unable to parse command line: unrecognised option '--foo'\n", "bob=t-bob"},
      {"missing source certificate", {"auto", "-v", "--app-from-cert", "{dir}/none.pem"}, 10, "",
       loading + kUnreadable, "bob=t-bob"},
      {"empty certificate path", {"auto", "--app-from-cert", ""}, 10, "", kUnreadable, "bob=t-bob"},
      {"certificate is a directory", {"auto", "--app-from-cert", "{dir}"}, 10, "", kUnreadable, "bob=t-bob"},
      {"certificate is a FIFO", {"auto", "--app-from-cert", "{fifo}"}, 10, "", kUnreadable, "bob=t-bob"},
      {"certificate is a device", {"auto", "--app-to-cert", "/dev/zero"}, 10, "", kUnreadable, "bob=t-bob"},
      {"missing target certificate", {"auto", "-v", "--app-to-cert", "{dir}/none.pem"}, 10, "",
       to_loading + kUnreadable, "bob=t-bob"},
      {"unreadable target before an unusable source", {"auto", "--app-from-cert", "{garbage}",
       "--app-to-cert", "{dir}/none.pem"}, 10, "", kUnreadable, "bob=t-bob"},
      {"certificate over 1 GiB", {"auto", "--app-to-cert", "{huge}"}, 10, "",
       "File {huge} is too big!\n" + kUnreadable, "bob=t-bob"},
      {"empty certificate file", {"auto", "--app-to-cert", "{empty}"}, 1, "", kNoName, "bob=t-bob"},
      {"binary certificate file", {"auto", "--app-to-cert", "{binary}"}, 1, "", kNoName, "bob=t-bob"},
      {"truncated certificate", {"auto", "--app-to-cert", "{garbage}"}, 1, "", kNoName, "bob=t-bob"},
      {"certificate without CN", {"auto", "-v", "--app-from-cert", "{nocn}"}, 1, "",
       to_loading + "'to' application certificate loaded\nExtracting 'from' application identity\n" +
           kNoName, "bob=t-bob"},
      {"nobody listens; one file for both sides",
       {"auto", "-v", "--app-to-cert", "{from}", "--sso-from-url", "{dead}", "--sso-to-url", "{dead}"}, 1, "",
       "Checking certificates...\nLoading 'from' application certificate\n'from' application certificate "
       "loaded\nLoading 'to' application certificate\n'to' application certificate loaded\nExtracting "
       "'from' application identity\n'from' application identity extracted: app-src\nExtracting 'to' "
       "application identity\n'to' application identity extracted: app-src\ndone\n\nChecking SSO URLs...\n"
       "Failed to get SSO settings ((SOAP-ENV:Receiver) Connection refused)\nERROR: sso-from-url check "
       "failed\nFailed to get SSO settings ((SOAP-ENV:Receiver) Connection refused)\nERROR: sso-to-url "
       "check failed\n", "bob=t-bob"},
      // No passphrase is ever asked for: the client goes on without a
      // certificate, and the service refuses it.
      {"encrypted key", {"auto", "--app-from-cert", "{enc}"}, 1, "",
       "ERROR: (SOAP-ENV:Sender) the call carries no application certificate\n", "bob=t-bob"},
      {"mapfile missing", {"map", "--mapfile", "{dir}/none"}, 1, "",
       "ERROR: can't read map file {dir}/none\n", "bob=t-bob"},
      {"mapfile FIFO", {"map", "--mapfile", "{fifo}"}, 1, "", "ERROR: can't read map file {fifo}\n", "bob=t-bob"},
      {"mapfile device", {"map", "--mapfile", "/dev/zero"}, 1, "",
       "ERROR: can't read map file /dev/zero\n", "bob=t-bob"},
      {"mapfile directory", {"map", "--mapfile", "{dir}"}, 1, "", "ERROR: can't read map file {dir}\n", "bob=t-bob"},
      {"every wrong old login is named", {"map", "--mapfile", "{map}"}, 1, "",
       wrong + "zed)\n" + wrong + "Anna)\n" + wrong + nul + ")\n" + wrong + high + ")\n" + wrong +
           longword + ")\nMapfile contain unmatched logins\n", "bob=t-bob", {}, {}, testutil::kSource,
       testutil::kTarget, "zed z\nanna a\nAnna b\n" + nul + " a\n" + high + " b\n" + longword + " c\n"},
  });
}

}  // namespace

namespace {

// A migration built to collide: chains of derived logins, takeovers, a
// mapfile sending two users onto one login, a takeover deleting the target
// user whose id is a later record's source id, bytes above 127, logins whose
// derived logins overlap (x1 and x1_), and independent users around them.
struct Collisions {
  std::vector<SourceUser> source = {
      {"s-01", "anna"}, {"s-02", "anna1"}, {"s-03", "anna1_1"}, {"s-04", "bob"},
      {"s-05", "carl"}, {"s-06", "dora"},  {"s-07", "eve"},     {"s-08", "caf\xe9"},
      {"s-09", "caf\xe9" "1"}, {"s-10", "user7"}, {"s-11", "user7_1"}, {"s-12", "x1"},
      {"s-13", "x1_"}};
  std::vector<TargetUser> target = {
      {"t-anna", "anna", "app-other"}, {"t-bob", "bob", "app-tgt"},   {"s-07", "dora", "app-tgt"},
      {"t-user7", "user7", "app-other"}, {"t-cafe", "caf\xe9", "app-other"},
      {"t-x1", "x1", "app-other"},       {"t-x1_", "x1_", "app-other"}, {"t-u05", "u05", "app-tgt"},
      {"t-u07", "u07", "app-other"},     {"t-u15", "u15", "app-tgt"}};
  std::string conflicts =
      "CONFLICT: anna(s-01>t-anna)\nCONFLICT: caf\xe9(s-08>t-cafe)\nCONFLICT: user7(s-10>t-user7)\n"
      "CONFLICT: x1(s-12>t-x1)\nCONFLICT: x1_(s-13>t-x1_)\nCONFLICT: u07(s-21>t-u07)\n";
  std::string mangled =
      "MANGLED(anna:s-01): anna1\nMANGLED(anna1:s-02): anna1_1\nMANGLED(anna1_1:s-03): anna1_1_1\n"
      "MANGLED(bob:s-05): bob1\nMANGLED(caf\xe9:s-08): caf\xe9" "1\n"
      "MANGLED(caf\xe9" "1:s-09): caf\xe9" "1_1\nMANGLED(user7:s-10): user7_1\n"
      "MANGLED(user7_1:s-11): user7_1_1\nMANGLED(x1:s-12): x1_1\nMANGLED(x1_:s-13): x1_2\n"
      "MANGLED(u07:s-21): u07_1\n";
  std::string out = conflicts + mangled, migrated;

  Collisions() {
    std::map<std::string, std::string> logins = {
        {"anna1", "s-01"}, {"anna1_1", "s-02"}, {"anna1_1_1", "s-03"}, {"bob", "s-04"},
        {"bob1", "s-05"},  {"dora", "s-06"},    {"eve", "s-07"},       {"caf\xe9" "1", "s-08"},
        {"caf\xe9" "1_1", "s-09"}, {"user7_1", "s-10"}, {"user7_1_1", "s-11"}, {"x1_1", "s-12"},
        {"x1_2", "s-13"}};
    for (int k = 0; k < 40; ++k) {
      const std::string id = "s-" + std::to_string(14 + k), login = (k < 10 ? "u0" : "u") + std::to_string(k);
      source.push_back({id, login});
      logins[k == 7 ? "u07_1" : login] = id;
    }
    for (const auto& [login, id] : logins) migrated += (migrated.empty() ? "" : " ") + login + "=" + id;
  }
};

TEST(IdferryRun, JobsGiveTheSameResults) {
  const Collisions c;
  const std::string err = kContext + kProbed + "Fetching users list...\ndone. 53 users fetched\n\n"
      "Reading users mapping info...\ndone. 1 logins to be mapped\n\nChecking users mapping info...\n"
      "done\n\nApplying users mapping info...\ndone\n\nFetching users passwords...\ndone\n\n"
      "Checking users conflicts...\ndone\n\nCreating users in target SSO...\ndone\n\n";
  std::vector<testutil::RunRow> rows;
  for (const char* jobs : {"1", "2", "8", "32"}) {
    rows.push_back({.name = std::string("--jobs ") + jobs,
                    .args = {"map", "--mapfile", "{map}", "-v", "--jobs", jobs}, .status = 0,
                    .out = c.out, .err = err, .migrated = c.migrated, .source = c.source,
                    .target = c.target, .mapfile = "carl bob\n"});
  }
  // --jobs 8 with the password reads slowed down: the target's look-ups run beside them.
  rows[2].source_delay_us = 20000;
  rows[2].overlapped = true;
  rows.push_back({.name = "--jobs 8 --max-rate 40", .args = {"map", "--mapfile", "{map}", "-v", "-j", "8",
                  "--max-rate", "40"}, .status = 0, .out = c.out, .err = err, .migrated = c.migrated,
                  .source = c.source, .target = c.target, .mapfile = "carl bob\n"});
  // Failures with eight workers: records before the failing one may not have
  // been reached and records after it may be done, but every user made is
  // complete, one error line is written, and --resume finishes.
  std::vector<TargetUser> taken = c.target;
  taken.push_back({"t-zed", "zed", "app-other"});
  for (int i = 1; i < 100; ++i) taken.push_back({"t-zed" + std::to_string(i), "zed" + std::to_string(i), "app-other"});
  std::vector<SourceUser> with_zed = c.source;
  with_zed.push_back({"s-54", "zed"});
  // A dry run with eight workers foresees the real run with one, report included.
  rows.push_back({.name = "--jobs 8 --dry-run, then the run", .args = {"map", "--mapfile", "{map}", "-j",
                  "8", "--dry-run", "--report", "{report}"}, .status = 0, .out = c.out, .err = "",
                  .migrated = "bob=t-bob dora=s-07 u05=t-u05 u15=t-u15", .source = c.source,
                  .target = c.target, .mapfile = "carl bob\n", .report = "=",
                  .resume_args = {"map", "--mapfile", "{map}", "--report", "{report}"}, .resume_out = c.out,
                  .resumed = c.migrated});
  // The target's look-ups run beside the password reads; a failed read still
  // ends the run after the password phase, with no CONFLICT line.
  rows.push_back({.name = "--jobs 8: a password read fails while the look-ups run", .args = {"map",
                  "--mapfile", "{map}", "-j", "8", "-v"}, .status = 1, .out = "",
                  .err = kContext + kProbed + "Fetching users list...\ndone. 53 users fetched\n\n"
                      "Reading users mapping info...\ndone. 1 logins to be mapped\n\nChecking users mapping "
                      "info...\ndone\n\nApplying users mapping info...\ndone\n\nFetching users passwords...\n"
                      "ERROR: (SOAP-ENV:Receiver) busy\n",
                  .migrated = "bob=t-bob dora=s-07 u05=t-u05 u15=t-u15",
                  .source_faults = {Fault("getUserPassword", 30, "fault\tReceiver\t-\tbusy")},
                  .source = c.source, .target = c.target, .mapfile = "carl bob\n"});
  rows.push_back({.name = "--jobs 8: a creation fails", .args = {"map", "--mapfile", "{map}", "-j", "8"},
                  .status = 1, .out = "?", .err = "Error registering user: (SOAP-ENV:Receiver) full\n",
                  .migrated = "?", .target_faults = {Fault("createUser", 20, "fault\tReceiver\t-\tfull")},
                  .source = c.source, .target = c.target, .mapfile = "carl bob\n",
                  .resume_args = {"map", "--mapfile", "{map}", "-j", "8", "--resume", "--verify"},
                  .resume_out = c.out, .resumed = c.migrated});
  rows.push_back({.name = "--jobs 8: a login with no free derived login", .args = {"map", "--mapfile",
                  "{map}", "-j", "8"}, .status = 1, .out = "?",
                  .err = "Error registering user: zed and its 99 derived logins are taken\n",
                  .migrated = "?", .source = with_zed, .target = taken, .mapfile = "carl bob\n",
                  .resume_args = {"map", "--mapfile", "{map}", "-j", "8", "--resume"},
                  .resume_out = c.conflicts + "CONFLICT: zed(s-54>t-zed)\n" + c.mangled,
                  .resume_err = "Error registering user: zed and its 99 derived logins are taken\n",
                  .resumed = c.migrated, .resume_status = 1});
  run_rows(rows);
}

}  // namespace

namespace {

TEST(IdferryRun, TheOperatorsView) {
  const std::string transcript = kCreated;
  const std::string header = "source_id,source_login,login,outcome,detail\n";
  run_rows({
      {.name = "progress on a terminal", .args = {"auto", "-v", "--progress"}, .status = 0,
       .out = kAllMangled, .err = transcript, .migrated = kMigrated, .target_delay_us = 60000,
       .err_tty = true},
      {.name = "no progress without --progress", .args = {"auto", "-v"}, .status = 0,
       .out = kAllMangled, .err = transcript, .migrated = kMigrated, .err_tty = true},
      {.name = "progress as plain lines", .args = {"auto", "--progress"}, .status = 0,
       .out = kAllMangled, .err = "Creating users: 0/5 (0%), 0 users/s, ETA -:--:--\n",
       .migrated = kMigrated, .target_faults = {Fault("createUser", 1, "delay\t10500000")}},
      {.name = "report of a run that fails", .args = {"auto", "-c", "--report", "{report}"},
       .status = 1, .out = kConflicts + kAnna, .err = "Error registering user: () \n",
       .migrated = "anna1=s-1 bob=s-2", .target_faults = {Fault("createUser", 5, "exit")},
       .report = header + "s-1,anna,anna1,mangled,\ns-2,bob,bob,taken_over,\n"
                 "s-3,user7,user7,failed,Error registering user: () \ns-4,anna1,anna1,not_reached,\n"
                 "s-5,dave,dave,not_reached,\n"},
      {.name = "report of a check through a mapfile", .args = {"check", "--mapfile", "{map}", "--report",
       "{report}"}, .status = 1, .out = kConflicts, .err = "", .migrated = "bob=t-bob",
       .mapfile = "dave d,\"x\"\n",
       .report = header + "s-1,anna,anna,conflict,t-anna\ns-2,bob,bob,takeover,t-bob\n"
                 "s-3,user7,user7,conflict,t-user7\ns-4,anna1,anna1,free,\n"
                 "s-5,dave,\"d,\"\"x\"\"\",free,\n"},
      {.name = "no report when nothing was listed", .args = {"auto", "--report", "{report}"},
       .status = 1, .out = "", .err = "ERROR: sso-from-url check failed\n", .migrated = "bob=t-bob",
       .source_faults = {Fault("getSettings", 1, "drop")}, .report = "absent"},
      {.name = "a report file that cannot be made", .args = {"auto", "--report", "{dir}/none/r.csv"},
       .status = 10, .out = "", .err = "ERROR: can't write report file {dir}/none/r.csv\n",
       .migrated = "bob=t-bob"},
      {.name = "a report path that is a directory", .args = {"auto", "--report", "{dir}"},
       .status = 10, .out = "", .err = "ERROR: can't write report file {dir}\n", .migrated = "bob=t-bob"},
      {.name = "a failed look-up ends auto before anything is written", .args = {"auto", "-c", "--report",
       "{report}"}, .status = 1, .out = "CONFLICT: anna(s-1>t-anna)\n",
       .err = "Error getting userId: (SOAP-ENV:Sender) no\n", .migrated = "bob=t-bob",
       .target_faults = {Fault("getUserId", 3, "fault\tSender\tsso:accessDenied\tno")},
       .report = header + "s-1,anna,anna,not_reached,\ns-2,bob,bob,not_reached,\ns-3,user7,user7,failed,"
           "Error getting userId: (SOAP-ENV:Sender) no\ns-4,anna1,anna1,not_reached,\ns-5,dave,dave,not_reached,\n"},
      {.name = "progress and results on one terminal", .args = {"auto", "--progress"}, .status = 0,
       .out = "", .err = kAllMangled, .migrated = kMigrated, .target_delay_us = 60000,
       .out_to = testutil::ProcOptions::Out::kTerminal, .err_tty = true},
      {.name = "TLS verified", .args = {"auto", "--tls-ca", "{ca}"}, .status = 0, .out = kAllMangled,
       .err = "", .migrated = kMigrated},
      {.name = "TLS: a server certificate from another CA", .args = {"auto", "-v", "--tls-ca", "{ca}"},
       .status = 1, .out = "",
       .err = kContext + "Checking SSO URLs...\nFailed to get SSO settings ((SOAP-ENV:Sender) "
           "SSL_ERROR_SSL error:0A000086:SSL routines::certificate verify failed unable to get local "
           "issuer certificate)\nERROR: sso-to-url check failed\n",
       .migrated = "bob=t-bob", .target_server = "other CA"},
      {.name = "TLS: another host name", .args = {"auto", "--tls-ca", "{ca}"}, .status = 1, .out = "",
       .err = "ERROR: sso-to-url check failed\n", .migrated = "bob=t-bob", .target_server = "other host"},
      {.name = "no TLS verification without --tls-ca", .args = {"auto"}, .status = 0, .out = kAllMangled,
       .err = "", .migrated = kMigrated, .target_server = "other CA"},
      {.name = "TLS CA file missing", .args = {"auto", "--tls-ca", "{dir}/none.pem"}, .status = 10,
       .out = "", .err = "ERROR: can't read TLS CA file {dir}/none.pem\n", .migrated = "bob=t-bob"},
      {.name = "TLS CA file without certificate", .args = {"auto", "--tls-ca", "{empty}"}, .status = 10,
       .out = "", .err = "ERROR: can't read TLS CA file {empty}\n", .migrated = "bob=t-bob"},
  });
}

}  // namespace
