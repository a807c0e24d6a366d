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
const std::string kConflicts = "CONFLICT: anna(s-1>t-anna)\nCONFLICT: user7(s-3>t-user7)\n";
const std::string kAnna = "MANGLED(anna:s-1): anna1\n";
const std::string kAllMangled =
    kConflicts + kAnna + "MANGLED(user7:s-3): user7_1\nMANGLED(anna1:s-4): anna1_1\n";
const std::string kUnreadable = "Certificate file is not readable\n";
const std::string kNoName = "Runtime error: get certificate name\n";
const std::vector<TargetUser> kPlain = {};

std::string Fault(const std::string& op, int n, const std::string& action) {
  return op + "\t" + std::to_string(n) + "\t" + action;
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
       kContext + kProbed + "Fetching users list...\ndone. 5 users fetched\n\n"
           "Fetching users passwords...\ndone\n\nChecking users conflicts...\ndone\n\n"
           "Creating users in target SSO...\ndone\n\nCleaning up source installation...\ndone\n\n",
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
      {"a hundred taken logins end the run without a line of its own", {"auto"}, 1,
       "CONFLICT: bob2(s-1>t-0)\n", "", "", {}, {}, {{"s-1", "bob2"}, {"s-2", "zed"}}, taken},
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

TEST(IdferryRun, FailuresStopWhereTheyHappen) {
  const std::string exit = "exit";
  run_rows({
      {"source crashes at the endpoint check", {"auto", "-c"}, 1, "",
       "ERROR: sso-from-url check failed\n", "bob=t-bob", {Fault("getSettings", 1, exit)}},
      {"target answers the endpoint check with an error page", {"auto", "-c"}, 1, "",
       "ERROR: sso-to-url check failed\n", "bob=t-bob", {},
       {Fault("getSettings", 1, "http\t503\t<html>maintenance</html>")}},
      {"both probes fail", {"auto", "-v"}, 1, "",
       kContext + "Checking SSO URLs...\nFailed to get SSO settings (() )\n"
           "ERROR: sso-from-url check failed\nFailed to get SSO settings (() )\n"
           "ERROR: sso-to-url check failed\n", "bob=t-bob",
       {Fault("getSettings", 1, "drop")}, {Fault("getSettings", 1, "drop")}},
      {"source crashes while listing", {"auto", "-c"}, 1, "", "ERROR: () \n", "bob=t-bob",
       {Fault("listUsers", 1, exit)}},
      {"source cuts the listing short", {"auto", "-c"}, 1, "", "ERROR: () \n", "bob=t-bob",
       {Fault("listUsers", 1, "cut")}},
      {"source refuses the listing", {"auto"}, 1, "", "ERROR: (SOAP-ENV:Sender) not allowed\n",
       "bob=t-bob", {Fault("listUsers", 1, "fault\tSender\tsso:accessDenied\tnot allowed")}},
      {"source crashes at the third hash", {"auto", "-c"}, 1, "", "ERROR: () \n", "bob=t-bob",
       {Fault("getUserPassword", 3, exit)}},
      {"source fails a hash read", {"auto"}, 1, "", "ERROR: (SOAP-ENV:Receiver) store busy\n",
       "bob=t-bob", {Fault("getUserPassword", 2, "fault\tReceiver\t-\tstore busy")}},
      // A failed check does not stop map or auto; creation then meets the
      // crashed target (refused, or reset while the process goes away).
      {"target crashes during the conflict check", {"auto", "-c"}, 1, "CONFLICT: anna(s-1>t-anna)\n",
       "Error getting userId: () \nError registering user: *", "bob=t-bob", {},
       {Fault("getUserId", 2, exit)}},
      {"check: an id lookup fails", {"check"}, 1, "CONFLICT: anna(s-1>t-anna)\n",
       "Error getting userId: (SOAP-ENV:Sender) no\n", "bob=t-bob", {},
       {Fault("getUserId", 2, "fault\tSender\tsso:accessDenied\tno")}},
      {"check: a user lookup fails", {"check"}, 1, "", "Error getting userInfo: (SOAP-ENV:Sender) gone\n",
       "bob=t-bob", {}, {Fault("getUser", 1, "fault\tSender\tsso:noSuchUser\tgone")}},
      {"target crashes at the fifth creation", {"auto", "-c"}, 1, kConflicts + kAnna,
       "Error registering user: () \n", "anna1=s-1 bob=s-2", {}, {Fault("createUser", 5, exit)}},
      {"target drops the connection mid-answer", {"auto", "-c"}, 1, kConflicts,
       "Error registering user: () \n", "bob=t-bob", {}, {Fault("createUser", 2, "cut")}},
      {"target answers a creation with an error page", {"auto", "-c"}, 1, kConflicts,
       "Error registering user: (SOAP-ENV:Receiver) HTTP Error\n", "bob=t-bob", {},
       {Fault("createUser", 2, "http\t502\t<html>bad gateway</html>")}},
      {"target refuses the third creation", {"auto", "-c"}, 1, "",
       "Error registering user: (SOAP-ENV:Receiver) disk full\n", "anna=s-1 bob=s-2", {},
       {Fault("createUser", 3, "fault\tReceiver\tsso:internalError\tdisk full")}, testutil::kSource,
       kPlain},
      {"takeover: the temporary user is refused", {"auto", "-c"}, 1, kConflicts + kAnna,
       "Error registering user: (SOAP-ENV:Sender) taken\n", "anna1=s-1 bob=t-bob", {},
       {Fault("createUser", 3, "fault\tSender\tsso:duplicateLogin\ttaken")}},
      {"target crashes between the takeover's creation and deletion", {"auto", "-c"}, 1,
       kConflicts + kAnna, "Error deleting user: () \n", "anna1=s-1 bob=t-bob bob_s-2_tmp_migrate=s-2",
       {}, {Fault("deleteUser", 1, exit)}},
      {"target crashes between the takeover's deletion and rename", {"auto", "-c"}, 1,
       kConflicts + kAnna, "Error renaming user: () \n", "anna1=s-1 bob_s-2_tmp_migrate=s-2", {},
       {Fault("changeLogin", 1, exit)}},
      {"source crashes at the cleanup", {"auto", "-c"}, 1, kAllMangled,
       "ERROR: can't perform cleanup (() )\n", kMigrated, {Fault("unregisterApplication", 1, exit)}},
      {"source refuses the cleanup", {"auto", "-c"}, 1, kAllMangled,
       "ERROR: can't perform cleanup ((SOAP-ENV:Sender) no)\n", kMigrated,
       {Fault("unregisterApplication", 1, "fault\tSender\tsso:accessDenied\tno")}},
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
