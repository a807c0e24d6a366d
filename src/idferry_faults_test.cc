// Runs that fail part of the way: an instance that crashes, closes the
// connection mid-answer or answers with an error page at each phase of an
// `auto --cleanup` run. Each must end with status 1 and its error line(s),
// write nothing to standard output but results, leave the source as it was,
// and leave on the target exactly the users created before the failure,
// each complete. The troubleshooting table of the README comes from here.
#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/migration_fixture.h"

namespace {

using testutil::Migration;
using testutil::ProcResult;

// (login, id, owner) of every user of an instance.
std::set<std::string> State(const std::vector<standin::UserRecord>& users) {
  std::set<std::string> state;
  for (const standin::UserRecord& u : users) state.insert(u.login + " " + u.id + " " + u.owner);
  return state;
}

// A fault line for the stand-in: the n-th call of `op` does `action`.
std::string At(const std::string& op, int n, const std::string& action) {
  return op + "\t" + std::to_string(n) + "\t" + action;
}

// The target's users before any run, and the ones a run adds or removes.
std::set<std::string> TargetWith(const Migration& m, std::vector<std::string> added,
                                 std::vector<std::string> removed = {}) {
  std::set<std::string> state = State(m.target_before);
  for (const std::string& r : removed) state.erase(r);
  state.insert(added.begin(), added.end());
  return state;
}

TEST(IdferryFaults, EachPhaseStopsCleanly) {
  // Creation order on the target: anna (taken, anna1), bob (the target
  // application's own: taken over), user7 (taken, user7_1), anna1 (now
  // taken, anna1_1), dave.
  const std::string anna = "anna1 s-1 app-tgt", bob = "bob s-2 app-tgt",
                    tmp = "bob_s-2_tmp_migrate s-2 app-tgt", old_bob = "bob t-bob app-tgt",
                    user7 = "user7_1 s-3 app-tgt", anna1 = "anna1_1 s-4 app-tgt",
                    dave = "dave s-5 app-tgt";
  const std::string conflicts = "CONFLICT: anna(s-1>t-anna)\nCONFLICT: user7(s-3>t-user7)\n";
  struct Case {
    const char* name;
    std::vector<std::string> source_faults, target_faults;
    std::string err;
    std::vector<std::string> added, removed;  // target users
    std::string out;
  } cases[] = {
      {"source crashes at the endpoint check", {At("getSettings", 1, "exit")}, {},
       "ERROR: sso-from-url check failed\n", {}, {}, ""},
      {"target answers the endpoint check with an error page", {},
       {At("getSettings", 1, "http\t503\t<html>maintenance</html>")},
       "ERROR: sso-to-url check failed\n", {}, {}, ""},
      {"source crashes while listing", {At("listUsers", 1, "exit")}, {}, "ERROR: () \n", {},
       {}, ""},
      {"source cuts the listing short", {At("listUsers", 1, "cut")}, {}, "ERROR: () \n", {},
       {}, ""},
      {"source crashes at the third hash", {At("getUserPassword", 3, "exit")}, {},
       "ERROR: () \n", {}, {}, ""},
      // A failed check does not stop map or auto; creation then meets the
      // crashed target (refused, or reset while the process goes away).
      {"target crashes during the conflict check", {}, {At("getUserId", 2, "exit")},
       "Error getting userId: () \nError registering user: ", {}, {},
       "CONFLICT: anna(s-1>t-anna)\n"},
      {"target crashes at the fifth creation", {}, {At("createUser", 5, "exit")},
       "Error registering user: () \n", {anna, bob}, {old_bob}, conflicts + "MANGLED(anna:s-1): anna1\n"},
      {"target drops the connection mid-answer", {}, {At("createUser", 2, "cut")},
       "Error registering user: () \n", {}, {}, conflicts},
      {"target answers a creation with an error page", {},
       {At("createUser", 2, "http\t502\t<html>bad gateway</html>")},
       "Error registering user: (SOAP-ENV:Receiver) HTTP Error\n", {}, {},
       conflicts},
      {"target crashes between the takeover's creation and deletion", {},
       {At("deleteUser", 1, "exit")}, "Error deleting user: () \n", {anna, tmp}, {},
       conflicts + "MANGLED(anna:s-1): anna1\n"},
      {"target crashes between the takeover's deletion and rename", {},
       {At("changeLogin", 1, "exit")}, "Error renaming user: () \n", {anna, tmp}, {old_bob},
       conflicts + "MANGLED(anna:s-1): anna1\n"},
      {"source crashes at the cleanup", {At("unregisterApplication", 1, "exit")}, {},
       "ERROR: can't perform cleanup (() )\n", {anna, bob, user7, anna1, dave}, {old_bob},
       conflicts + "MANGLED(anna:s-1): anna1\nMANGLED(user7:s-3): user7_1\n"
                   "MANGLED(anna1:s-4): anna1_1\n"},
  };
  for (const Case& c : cases) {
    Migration m(c.source_faults, c.target_faults);
    ASSERT_TRUE(m.source->running() && m.target->running()) << c.name;
    ProcResult r = m.Run("auto", {"--cleanup"});
    EXPECT_EQ(1, r.status) << c.name;
    if (c.err.back() == '\n') {
      EXPECT_EQ(c.err, r.err) << c.name;
    } else {  // a prefix, then one more line
      EXPECT_EQ(c.err, r.err.substr(0, c.err.size())) << c.name;
      EXPECT_EQ(1, std::count(r.err.begin() + c.err.size(), r.err.end(), '\n')) << r.err;
    }
    EXPECT_EQ(c.out, r.out) << c.name;
    EXPECT_EQ(State(m.source_before), State(m.source->users())) << c.name;
    bool registered = false;
    for (const standin::AppRecord& a : m.source->applications()) registered |= a.id == "app-src";
    EXPECT_TRUE(registered) << c.name;
    EXPECT_EQ(TargetWith(m, c.added, c.removed), State(m.target->users())) << c.name;
    // Whatever was created is complete: the source's id, hash and hash type.
    std::map<std::string, std::string> created;
    for (const std::string& a : c.added) {
      std::istringstream fields(a);
      std::string login, id;
      fields >> login >> id;
      created[login] = id;
    }
    testutil::ExpectComplete(m, created);
  }
}

}  // namespace
