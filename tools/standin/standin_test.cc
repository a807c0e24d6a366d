// Tests of the stand-in for what idferry's end-to-end runs leave out or
// cannot see: its file parsers, refusals and broken answers, and its store
// under concurrent connections.
// The rest of it (every operation, its rules, fault injection, signals) is
// what those runs exercise.

#include <signal.h>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/SSOClient/SSOClient.h"
#include "test_support/standin_harness.h"
#include "tools/standin/standin_faults.h"
#include "tools/standin/standin_password.h"
#include "tools/standin/standin_seed.h"
#include "tools/standin/standin_text.h"

namespace standin {
namespace {

// Every record kind and byte through the seed file's escapes; a bad line there or in a fault
// plan named with the file and the line, while the seed file as a whole loads nothing.
TEST(StandinFiles, ReadEveryRecordKindAndByteAndNameBadLines) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::string text = escape_field(all);
  EXPECT_EQ(std::string::npos, text.find_first_of("\t\n\r"));
  EXPECT_EQ(all.substr(128), text.substr(text.size() - 128));  // high bytes stand for themselves
  testutil::TempDir tmp;
  Store store(tmp.file("s.db"));
  std::istringstream old("app\told\tOld\n"),
      in("# comment\n\napp\ta\tA\r\nuser\tu1\t" + text +
         "\tMD5\t\\x6bey\ta\nuserpw\tu2\tbob\tse\\tcret\told\r\n");
  load_seed(old, "old.txt", store);  // bob's application was stored before
  load_seed(in, "seed.txt", store);
  const std::vector<UserRecord> u = store.all_users();
  ASSERT_EQ(2u, u.size());
  EXPECT_EQ(all, u[0].login);
  EXPECT_EQ("MD5 key a", u[0].hash_type + " " + u[0].password_hash + " " + u[0].owner);
  EXPECT_EQ("bob SSHA-256 old", u[1].login + " " + u[1].hash_type + " " + u[1].owner);
  EXPECT_TRUE(verify_password(u[1].hash_type, u[1].password_hash, "se\tcret"));

  struct Case {
    bool seed;  // else a fault plan
    std::string line, error;
  };
  const Case cases[] = {
      {true, "user\tu9\tx\tT\th", "5 fields where 6 are expected"},
      {true, "users\tu9\tx\tpw\ta", "unknown record \"users\""},
      {true, "userpw\tu9\tx\\q\tpw\ta", "field 3: bad escape \\q"},
      {true, "userpw\tu9\tx\tpw\\xg0\ta", "field 4: \\x needs two hex digits"},
      {true, "userpw\tu9\tx\tpw\ta\\", "field 5: a backslash ends the field"},
      {true, "userpw\tu9\tx\tpw\tb", "application \"b\" is not registered"},
      {true, "userpw\tu1\tx\tpw\ta", "user id \"u1\" is taken"},
      {true, "userpw\tu9\tbob\tpw\ta", "login \"bob\" is taken"},
      {false, "getUserID\t1\tdrop", "unknown operation \"getUserID\""},
      {false, "getUserId\t0\tdrop", "the call number must be a positive number or *"},
      {false, "getUserId\t1", "expected OPERATION N ACTION ..., separated by tabs"},
      {false, "getUserId\t1\thttp\t99\tx", "the HTTP status must be a number from 100 to 599"},
  };
  for (const Case& c : cases) {
    std::istringstream in((c.seed ? "userpw\tu7\tfine\tpw\ta\n\n" : "getSettings\t1\tdrop\n\n") +
                          c.line);
    std::string error = "no error";
    try {
      c.seed ? (void)load_seed(in, "f.txt", store) : FaultPlan().load(in, "f.txt");
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    EXPECT_EQ(0u, error.find("f.txt:3: " + c.error)) << c.line << " gave: " << error;
  }
  EXPECT_EQ(2, store.user_count());
}

TEST(StandinFaultPlan, RulesPickCallsByNumberPerOperation) {
  FaultPlan plan;
  std::istringstream in(
      "# \"*\" comes first, so no createUser call is dropped\n"
      "getUserId\t2\tfault\tReceiver\tsso:busy\tbusy\ngetUserId\t3\thttp\t503\tdown\r\n\n"
      "createUser\t*\tfault\tSender\t-\tno\ncreateUser\t2\tdrop\n"
      "listUsers\t1\texit\nlistUsers\t2\tcut\ndeleteUser\t1\treset\ndeleteUser\t2\ttorn\n");
  plan.load(in, "faults.txt");
  const char* kinds[] = {"fault", "http", "drop", "cut",   "exit", "empty",
                         "lost",  "alter", "delay", "reset", "torn"};
  struct Call {
    std::string op, expected;
  };
  const Call calls[] = {{"getUserId", "work"},   {"createUser", "fault"}, {"getUserId", "fault"},
                        {"createUser", "fault"}, {"getUserId", "http"},   {"getUserId", "work"},
                        {"listUsers", "exit"},   {"listUsers", "cut"},    {"listUsers", "work"},
                        {"getSettings", "work"}, {"deleteUser", "reset"}, {"deleteUser", "torn"}};
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    std::optional<FaultAction> a = plan.next(calls[i].op);
    EXPECT_EQ(calls[i].expected, a ? kinds[static_cast<int>(a->kind)] : "work")
        << "call " << i << ", " << calls[i].op;
  }
}

// The service's refusals and plain HTTP, and the answers a fault plan breaks: "torn" does the
// work and breaks its answer, "reset" does neither. The refusals idferry acts on
// (sso:noSuchUser, sso:duplicateLogin, a call without certificate) are the run table's.
TEST(StandinService, RefusalsAndBrokenAnswers) {
  signal(SIGPIPE, SIG_IGN);  // as idferry does: the client's close may meet the reset
  testutil::StandinOptions o;
  o.apps = {"app-one", "app-two"};
  o.seed = {"userpw\tu-3\tcarol\tsecret\tapp-two"};
  o.faults = {"createUser\t1\ttorn", "createUser\t2\treset"};
  testutil::StandinProcess tls(o);
  o.tls = false;
  o.extra_args = {"--http-app", "app-two"};
  testutil::StandinProcess http(o);
  ASSERT_TRUE(tls.running() && http.running()) << tls.log() << http.log();
  std::vector<SSOClient::UserInfo> users;
  std::string id;
  const struct {
    const testutil::StandinProcess& sso;
    const char* app;  // whose certificate the client presents, if any
    std::function<bool(SSOClient&)> call;
    std::string result;  // "ok", or "failed" and the subcode
  } cases[] = {
      {tls, "app-one", [](SSOClient& c) { return c.deleteUsers({"carol"}); },
       "failed sso:notOwner"},
      {tls, "app-x", [&](SSOClient& c) { return c.getUsers({}, users); },
       "failed sso:accessDenied"},
      {http, nullptr,  // as app-two
       [&](SSOClient& c) { return c.getUsers({}, users) && users.at(0).login == "carol"; }, "ok"},
      {tls, "app-one", [&](SSOClient& c) { return c.addUser("torn", "pw", id); }, "failed "},
      {tls, "app-one", [&](SSOClient& c) { return c.addUser("reset", "pw", id); }, "failed "},
      {tls, "app-one", [&](SSOClient& c) { return c.addUser("third", "pw", id); }, "ok"},
  };
  for (const auto& c : cases) {
    SSOClient client(c.sso.url(), c.app ? &testutil::app_cert_pem(c.app) : nullptr);
    EXPECT_EQ(c.result, c.call(client) ? "ok" : "failed " + client.getErrorSubCode())
        << c.sso.url() << (c.app ? c.app : " -");
  }
  std::string logins;
  for (const UserRecord& u : tls.users()) logins += u.login + " ";
  EXPECT_EQ("carol torn third ", logins);
}

TEST(StandinConcurrency, ClientsCreatingCollidingLoginsAtOnce) {
  constexpr int kClients = 16, kShared = 10, kOwn = 100;
  testutil::StandinOptions options;
  options.apps = {"app-one"};
  testutil::StandinProcess inst(options);  // which fails the test if it does not start
  std::deque<SSOClient> clients;  // time-outs: a server serving one at a time fails, not hangs
  SSOClient::ssoSettings settings;
  while (clients.size() < kClients) {  // each connects and stays connected
    SSOClient& c = clients.emplace_back(inst.url(), &testutil::app_cert_pem("app-one"));
    c.setTimeouts(9000, 9000);
    ASSERT_TRUE(c.getSettings(settings)) << c.getDetailedErrorMessage();
  }
  EXPECT_EQ(kClients, inst.stats().connections);  // all served at once, none kept waiting
  std::vector<std::map<std::string, std::string>> outcome(kClients);  // login -> "ok" or subcode
  std::vector<std::thread> threads;
  for (int k = 0; k < kClients; ++k) {
    threads.emplace_back([&, k] {
      for (int i = 0; i < kShared + kOwn; ++i) {  // the shared logins in an order of its own
        std::string login = "own-" + std::to_string(k) + "-" + std::to_string(i), id;
        if (i < kShared) login = "shared-" + std::to_string((i + k) % kShared);
        SSOClient& c = clients[k];
        outcome[k][login] = c.addUser(login, "pw", id) ? "ok" : c.getErrorSubCode();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::map<std::string, int> created;  // login -> clients told "ok"
  for (const auto& results : outcome) {
    for (const auto& [login, result] : results) {
      EXPECT_EQ(login[0] == 's' && result != "ok" ? "sso:duplicateLogin" : "ok", result) << login;
      created[login] += result == "ok";
    }
  }
  EXPECT_EQ(kClients, inst.stats().connections);  // each client kept its one connection
  std::set<std::string> ids;
  for (const UserRecord& u : inst.users()) {
    EXPECT_TRUE(ids.insert(u.id).second) << u.id;
    EXPECT_EQ(1, created[u.login]--) << u.login;  // told "ok" once, stored once
  }
  EXPECT_EQ(std::size_t(kShared + kClients * kOwn), ids.size());
  EXPECT_EQ(ids.size(), created.size());  // and nothing tried is missing
}

}  // namespace
}  // namespace standin
