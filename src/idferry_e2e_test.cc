// The built idferry against two stand-in instances over HTTPS with
// application certificates: what the operator sees (statuses, standard
// output and standard error, byte for byte) and what each run leaves on both
// instances.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/migration_fixture.h"
#include "test_support/standin_harness.h"
#include "test_support/test_util.h"

namespace {

using testutil::ExpectMigrated;
using testutil::Migration;
using testutil::ProcResult;
using testutil::StandinProcess;

TEST(IdferryRun, AutoWithCleanupVerboseTranscript) {
  Migration m;
  ASSERT_TRUE(m.source->running() && m.target->running()) << m.source->log() << m.target->log();
  ProcResult r = m.Run("auto", {"--cleanup", "--verbose"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "CONFLICT: anna(s-1>t-anna)\n"
      "CONFLICT: user7(s-3>t-user7)\n"
      "MANGLED(anna:s-1): anna1\n"
      "MANGLED(user7:s-3): user7_1\n"
      "MANGLED(anna1:s-4): anna1_1\n",
      r.out);
  EXPECT_EQ(
      "Checking certificates...\n"
      "Loading 'from' application certificate\n"
      "'from' application certificate loaded\n"
      "Loading 'to' application certificate\n"
      "'to' application certificate loaded\n"
      "Extracting 'from' application identity\n"
      "'from' application identity extracted: app-src\n"
      "Extracting 'to' application identity\n"
      "'to' application identity extracted: app-tgt\n"
      "done\n\n"
      "Checking SSO URLs...\n"
      "done\n\n"
      "Fetching users list...\n"
      "done. 5 users fetched\n\n"
      "Fetching users passwords...\n"
      "done\n\n"
      "Checking users conflicts...\n"
      "done\n\n"
      "Creating users in target SSO...\n"
      "done\n\n"
      "Cleaning up source installation...\n"
      "done\n\n",
      r.err);

  ExpectMigrated(m, {{"anna1", "s-1"}, {"bob", "s-2"}, {"user7_1", "s-3"},
                     {"anna1_1", "s-4"}, {"dave", "s-5"}});
  EXPECT_EQ(5u, m.Migrated().size());
  // bob was taken over: created under a temporary login, the old user
  // deleted, then renamed, in that order and with nothing in between.
  std::vector<testutil::StandinCall> calls = m.target->journal();
  auto first = std::find_if(calls.begin(), calls.end(), [](const testutil::StandinCall& c) {
    return c.operation == "createUser" && c.keys.at(0) == "bob_s-2_tmp_migrate";
  });
  ASSERT_LE(5, calls.end() - first);
  std::vector<std::string> bob_steps;
  for (auto it = first; it != first + 5; ++it) bob_steps.push_back(it->operation + " " + it->keys.at(0));
  EXPECT_EQ((std::vector<std::string>{"createUser bob_s-2_tmp_migrate", "getUserId bob",
                                      "deleteUser t-bob", "getUserId bob_s-2_tmp_migrate",
                                      "changeLogin s-2"}),
            bob_steps);
  // The cleanup unregistered the source application, after every creation.
  std::vector<std::string> source_ops = Migration::Operations(*m.source);
  EXPECT_EQ("unregisterApplication", source_ops.back());
  for (const standin::AppRecord& a : m.source->applications()) EXPECT_NE("app-src", a.id);
}

TEST(IdferryRun, QuietRunsWriteOnlyResults) {
  Migration m({}, {}, /*plain_target=*/true);
  ProcResult r = m.Run("auto");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("", r.out);
  ExpectMigrated(m, {{"anna", "s-1"}, {"bob", "s-2"}, {"user7", "s-3"}, {"anna1", "s-4"},
                     {"dave", "s-5"}});
  // Without --cleanup the source keeps its application and users.
  EXPECT_EQ(5u, m.source->users().size());
}

TEST(IdferryRun, CheckReportsAndNeverWrites) {
  Migration m;
  ProcResult r = m.Run("check");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("CONFLICT: anna(s-1>t-anna)\nCONFLICT: user7(s-3>t-user7)\n", r.out);
  EXPECT_EQ("", r.err);

  testutil::TempDir dir;
  const std::string map = dir.write("map.txt", "anna annie\nuser7 user8\n");
  ProcResult clean = m.Run("check", {"--mapfile", map});
  EXPECT_EQ(0, clean.status) << clean.err;
  EXPECT_EQ("NO CONFLICTS. It is safe to perform migration\n", clean.out);

  const std::vector<std::string> reads = {"getSettings", "listUsers", "getUserId", "getUser"};
  for (const StandinProcess* p : {m.source.get(), m.target.get()}) {
    for (const std::string& op : Migration::Operations(*p)) {
      EXPECT_NE(reads.end(), std::find(reads.begin(), reads.end(), op)) << op;
    }
  }
  EXPECT_EQ(3u, m.target->users().size());
}

TEST(IdferryRun, MapRenamesBeforeResolvingConflicts) {
  Migration m;
  testutil::TempDir dir;
  // anna becomes user7, and the second pair then finds that record first
  // (it comes before the source's own user7), so anna ends up as anna2 and
  // the source's user7 keeps its login, taken by another application:
  // mangled to user7_1. The tab-separated line is no pair.
  const std::string map = dir.write("map.txt", "anna user7\r\n  user7 anna2\n\ndave\tdavid\n");
  ProcResult r = m.Run("map", {"--mapfile=" + map, "-v"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "CONFLICT: user7(s-3>t-user7)\n"
      "MANGLED(user7:s-3): user7_1\n",
      r.out);
  EXPECT_NE(std::string::npos,
            r.err.find("Fetching users list...\ndone. 5 users fetched\n\n"
                       "Reading users mapping info...\ndone. 2 logins to be mapped\n\n"
                       "Checking users mapping info...\ndone\n\n"
                       "Applying users mapping info...\ndone\n\n"
                       "Fetching users passwords...\n"))
      << r.err;
  ExpectMigrated(m, {{"anna2", "s-1"}, {"bob", "s-2"}, {"user7_1", "s-3"}, {"anna1", "s-4"},
                     {"dave", "s-5"}});
}

// Two records end up with bob, which the target application's own user
// holds: the first takes it over, and the second must not delete the user the
// first has just become.
TEST(IdferryRun, TakeoverNeverDeletesAUserThisRunCreated) {
  Migration m;
  testutil::TempDir dir;
  ProcResult r = m.Run("map", {"--mapfile", dir.write("m", "anna bob\n")});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("CONFLICT: user7(s-3>t-user7)\n"
            "MANGLED(bob:s-2): bob1\n"
            "MANGLED(user7:s-3): user7_1\n",
            r.out);
  ExpectMigrated(m, {{"bob", "s-1"}, {"bob1", "s-2"}, {"user7_1", "s-3"}, {"anna1", "s-4"},
                     {"dave", "s-5"}});
  int deletions = 0;
  for (const testutil::StandinCall& c : m.target->journal()) deletions += c.operation == "deleteUser";
  EXPECT_EQ(1, deletions);
}

TEST(IdferryRun, MapfileErrorsStopBeforeAnyWrite) {
  Migration m;
  testutil::TempDir dir;
  ProcResult wrong = m.Run("map", {"--mapfile", dir.write("m", "zed z\nanna a\nAnna b\n")});
  EXPECT_EQ(1, wrong.status);
  EXPECT_EQ(
      "ERROR: Wrong old login in mapfile (zed)\n"
      "ERROR: Wrong old login in mapfile (Anna)\n"
      "Mapfile contain unmatched logins\n",
      wrong.err);
  ProcResult missing = m.Run("map", {"--mapfile", dir.file("none")});
  EXPECT_EQ(1, missing.status);
  EXPECT_EQ("ERROR: can't read map file " + dir.file("none") + "\n", missing.err);
  EXPECT_EQ(3u, m.target->users().size());
  for (const std::string& op : Migration::Operations(*m.source)) EXPECT_NE("getUserPassword", op);
}

TEST(IdferryRun, FailureOnTheThirdCreationKeepsTheFirstTwoAndTheSource) {
  Migration m({}, {"createUser\t3\tfault\tReceiver\tsso:internalError\tdisk full"},
              /*plain_target=*/true);
  ProcResult r = m.Run("auto", {"--cleanup"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("Error registering user: (SOAP-ENV:Receiver) disk full\n", r.err);
  std::map<std::string, standin::UserRecord> migrated = m.Migrated();
  EXPECT_EQ(2u, migrated.size());
  ExpectMigrated(m, {{"anna", "s-1"}, {"bob", "s-2"}});
  // No cleanup: the source keeps its application and every user.
  EXPECT_EQ(5u, m.source->users().size());
  EXPECT_NE("unregisterApplication", Migration::Operations(*m.source).back());
}

TEST(IdferryRun, PhaseFailuresEndWithTheirLine) {
  struct Case {
    const char* name;
    std::vector<std::string> source_faults, target_faults;
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {"listing", {"listUsers\t1\tfault\tSender\tsso:accessDenied\tnot allowed"}, {}, {},
       "ERROR: (SOAP-ENV:Sender) not allowed\n"},
      {"hash read", {"getUserPassword\t2\tfault\tReceiver\t-\tstore busy"}, {}, {},
       "ERROR: (SOAP-ENV:Receiver) store busy\n"},
      {"cleanup", {"unregisterApplication\t1\tfault\tSender\tsso:accessDenied\tno"}, {},
       {"-c"}, "ERROR: can't perform cleanup ((SOAP-ENV:Sender) no)\n"},
      {"target probe", {}, {"getSettings\t1\tfault\tReceiver\t-\tdown"}, {},
       "ERROR: sso-to-url check failed\n"},
      {"both probes", {"getSettings\t1\tdrop"}, {"getSettings\t1\tdrop"}, {"-v"},
       "Checking SSO URLs...\n"
       "Failed to get SSO settings (() )\n"
       "ERROR: sso-from-url check failed\n"
       "Failed to get SSO settings (() )\n"
       "ERROR: sso-to-url check failed\n"},
  };
  for (const Case& c : cases) {
    Migration m(c.source_faults, c.target_faults, /*plain_target=*/true);
    ProcResult r = m.Run("auto", c.args);
    EXPECT_EQ(1, r.status) << c.name;
    const size_t tail = r.err.size() >= c.err.size() ? r.err.size() - c.err.size() : 0;
    EXPECT_EQ(c.err, r.err.substr(tail)) << c.name << ": " << r.err;
    EXPECT_EQ("", r.out) << c.name;
  }
}

TEST(IdferryRun, EmptySourceMigratesNothingAndStillCleansUp) {
  Migration m({}, {}, false, {});
  ProcResult check = m.Run("check", {"-v"});
  EXPECT_EQ(0, check.status);
  EXPECT_EQ("NO CONFLICTS. It is safe to perform migration\n", check.out);
  EXPECT_NE(std::string::npos, check.err.find("done. 0 users fetched\n\n"));
  ProcResult r = m.Run("auto", {"--cleanup"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("unregisterApplication", Migration::Operations(*m.source).back());
  EXPECT_EQ(3u, m.target->users().size());
}

}  // namespace
