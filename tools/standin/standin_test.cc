// Tests of the stand-in for what idferry's end-to-end runs leave out or cannot see.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/SSOClient/SSOClient.h"
#include "test_support/standin_harness.h"
#include "tools/standin/standin_directory.h"
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
      "listUsers\t1\texit\nlistUsers\t2\tcut\n");
  plan.load(in, "faults.txt");
  const char* kinds[] = {"fault", "http", "drop", "cut", "exit"};
  struct Call {
    std::string op, expected;
  };
  const Call calls[] = {{"getUserId", "work"},   {"createUser", "fault"}, {"getUserId", "fault"},
                        {"createUser", "fault"}, {"getUserId", "http"},   {"getUserId", "work"},
                        {"listUsers", "exit"},   {"listUsers", "cut"},    {"listUsers", "work"},
                        {"getSettings", "work"}};
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    std::optional<FaultAction> a = plan.next(calls[i].op);
    EXPECT_EQ(calls[i].expected, a ? kinds[static_cast<int>(a->kind)] : "work")
        << "call " << i << ", " << calls[i].op;
  }
}

TEST(StandinPassword, SaltedHashesVerifyOnlyTheirPassword) {
  const std::string h = hash_password("secret");
  EXPECT_NE(h, hash_password("secret"));  // a fresh salt each time
  EXPECT_TRUE(verify_password("SSHA-256", h, "secret"));
  // hex("salt1234") "$" SHA-256("salt1234abc"), computed with another tool.
  const std::string known =
      "73616c7431323334$1b92fe474205c398b21ade471d5c1eb172ea029aa5122f782981a8d976c806c7";
  EXPECT_TRUE(verify_password("SSHA-256", known, "abc"));
  struct Case {
    std::string name, type, hash, password;
  };
  const Case cases[] = {
      {"another password", "SSHA-256", h, "Secret"},
      {"another type", "MD5", h, "secret"},
      {"a short digest", "SSHA-256", known.substr(0, 57), "abc"},
  };
  for (const Case& c : cases) EXPECT_FALSE(verify_password(c.type, c.hash, c.password)) << c.name;
}

TEST(StandinDirectory, UsersAreChangedOnlyByTheirOwnerAndLoginsStayUnique) {
  testutil::TempDir tmp;
  Store store(tmp.file("s.db"));
  std::istringstream seed("app\tone\t1\napp\ttwo\t2\nuserpw\tu1\tanna\tpw\tone\n"
                          "user\tu2\tbob\tMD5\tbobhash\ttwo\n");
  load_seed(seed, "seed.txt", store);
  Directory d(&store, nullptr, 60, "https://relay");
  std::string one = "one", two = "two", u1 = "u1", u9 = "u9", id, a, b;
  struct Case {
    std::string name;
    Status status;
    std::string expected;
  };
  const Case cases[] = {
      {"create with an id", d.create_user(&one, "carl", "pw", nullptr, &u9, &id), "ok"},
      {"another's login", d.create_user(&one, "bob", "", nullptr, &u9, &id), "sso:duplicateLogin"},
      {"a taken id", d.create_user(&two, "dan", "pw", nullptr, &u1, &id), "sso:duplicateUserId"},
      {"rename onto a taken login", d.change_login(&one, "u1", "carl"), "sso:duplicateLogin"},
      {"another's password", d.get_user_password(&one, "u2", &a, &b), "sso:notOwner"},
      {"delete another's", d.delete_user(&one, "u2"), "sso:notOwner"},
      {"rename another's", d.change_login(&one, "u2", "x"), "sso:notOwner"},
      {"set another's", d.change_password(&one, "u2", nullptr, "", nullptr), "sso:notOwner"},
      {"delete an unknown id", d.delete_user(&one, "u0"), "sso:noSuchUser"},
      {"an unknown login", d.get_user_id(&one, "nobody", &id), "sso:noSuchUser"},
      {"unregister", d.unregister_application(&one, "one"), "ok"},
      {"its seeded user went", d.get_user(&two, "u1", &a, &b), "sso:noSuchUser"},
      {"so its login is free", d.create_user(&two, "carl", "pw", nullptr, &u1, &id), "ok"},
      {"bob is as he was", d.get_user_password(&two, "u2", &a, &b), "ok"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, c.status.ok() ? "ok" : c.status.subcode) << c.name;
  }
  EXPECT_EQ("bobhash MD5", a + " " + b);
  EXPECT_EQ(2, store.user_count());
}

TEST(StandinProcessLife, UnusableConfigurationEndsWithOneMessage) {
  testutil::TempDir tmp;
  const std::string bin = TESSAD_STANDIN_BIN, db = tmp.file("s.db");
  const std::string bad_pem = tmp.write("cert.pem", "no certificate\n");
  const std::string seed = tmp.write("seed.txt", "app\ta\tA\nuserpw\tu1\tx\tpw\n");
  struct Case {
    std::vector<std::string> args;  // the program, then its arguments
    int status;
    std::string message;  // how it begins
  };
  const Case cases[] = {
      {{bin, "--port", "80"}, 2, "--db FILE is required"},
      {{bin, "--db"}, 2, "option --db needs a value"},
      {{bin, "--db=d", "--port=65536"}, 2, "--port needs a whole number from 0 to 65535, not"},
      {{bin, "--db=d", "--delay-us=-1"}, 2, "--delay-us needs a whole number from 0 to 60000000"},
      {{bin, "--db=d", "--hash-types=a,,b"}, 2, "--hash-types needs names separated by commas"},
      {{bin, "--db", db, "--verbose"}, 2, "unknown option --verbose"},
      {{bin, "--db", db, "extra"}, 2, "unexpected argument \"extra\""},
      {{bin, "--db", db, "--seed", seed}, 1, seed + ":2: 4 fields where 5 are expected"},
      {{bin, "--db", db, "--tls-cert", bad_pem}, 1, "--tls-cert " + bad_pem + " holds no"},
      {{bin, "--db", tmp.file("none/s.db")}, 1, "cannot open"},
  };
  for (const Case& c : cases) {
    testutil::ProcResult r = testutil::run_process(c.args);
    EXPECT_EQ(c.status, r.status) << testing::PrintToString(c.args) << "\n" << r.err;
    EXPECT_EQ(0u, r.err.find("tessad-standin: " + c.message)) << r.err;
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;  // one line
  }
}

TEST(StandinProcessLife, SignalsStopItPromptlyWithConnectionsOpen) {
  for (int sig : {SIGTERM, SIGINT}) {
    testutil::StandinProcess inst;
    ASSERT_TRUE(inst.running()) << inst.log();
    SSOClient idle(inst.url(), nullptr);
    SSOClient::ssoSettings settings;
    ASSERT_TRUE(idle.getSettings(settings)) << idle.getDetailedErrorMessage();  // stays connected
    ASSERT_EQ(0, kill(inst.pid(), sig));
    EXPECT_EQ(0, inst.wait_exit(10000)) << "signal " << sig << "\n" << inst.log();
  }
}

TEST(StandinConcurrency, ClientsCreatingCollidingLoginsAtOnce) {
  constexpr int kClients = 16, kShared = 10, kOwn = 100;
  testutil::StandinOptions options;
  options.apps = {"app-one"};
  testutil::StandinProcess inst(options);  // which fails the test if it does not start
  std::deque<SSOClient> clients;  // time-outs: a server serving one at a time fails, not hangs
  while (clients.size() < kClients) {
    clients.emplace_back(inst.url(), &testutil::app_cert_pem("app-one")).setTimeouts(9000, 9000);
  }
  std::atomic<int> connecting{kClients};
  std::promise<void> connected;
  std::shared_future<void> all_connected = connected.get_future().share();
  std::vector<std::map<std::string, std::string>> outcome(kClients);  // login -> "ok" or subcode
  std::vector<std::thread> threads;
  for (int k = 0; k < kClients; ++k) {
    threads.emplace_back([&, k] {
      SSOClient& c = clients[k];
      SSOClient::ssoSettings settings;
      const bool ok = c.getSettings(settings);
      EXPECT_TRUE(ok) << c.getDetailedErrorMessage();
      if (--connecting == 0) connected.set_value();
      all_connected.wait_for(std::chrono::seconds(10));
      for (int i = 0; ok && i < kShared + kOwn; ++i) {  // the shared logins in an order of its own
        std::string login = "own-" + std::to_string(k) + "-" + std::to_string(i);
        if (i < kShared) login = "shared-" + std::to_string((i + k) % kShared);
        std::string id;
        outcome[k][login] = c.addUser(login, "pw", id) ? "ok" : c.getErrorSubCode();
      }
    });
  }
  EXPECT_EQ(std::future_status::ready, all_connected.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(kClients, inst.stats().connections);  // all connected at once, none kept waiting
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
