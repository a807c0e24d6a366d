// Tests of the stand-in's store and of seeding it, on real SQLite files in a
// scratch directory.

#include "tools/standin/standin_store.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/test_util.h"
#include "tools/standin/standin_password.h"
#include "tools/standin/standin_seed.h"

namespace standin {
namespace {

using testutil::TempDir;

AppRecord App(const std::string& id) {
  AppRecord a;
  a.id = id;
  a.name = id + " name";
  return a;
}

UserRecord User(const std::string& id, const std::string& login, const std::string& owner) {
  return UserRecord{id, login, "hash-" + id, "T", owner};
}

// "id:login" of every user of `owner`, in listing order.
std::vector<std::string> Listing(Store& store, const std::string& owner) {
  std::vector<std::string> out;
  store.for_each_user_of(owner, [&](const std::string& id, const std::string& login) {
    out.push_back(id + ":" + login);
  });
  return out;
}

TEST(StandinStore, UsersAreFoundByIdAndLoginByteForByte) {
  TempDir tmp;
  Store store(tmp.file("s.db"));
  store.begin();
  ASSERT_TRUE(store.insert_application(App("a")));
  const std::string odd("x\0\xff\t\xc3\xa9", 6);  // NUL, high bytes, tab
  ASSERT_TRUE(store.insert_user(UserRecord{"id-1", odd, "", "", "a"}));
  ASSERT_TRUE(store.insert_user(User("id-2", "Anna", "a")));
  store.commit();

  UserRecord u;
  ASSERT_TRUE(store.user_by_login(odd, &u));
  EXPECT_EQ("id-1", u.id);
  EXPECT_EQ(odd, u.login);
  EXPECT_EQ("", u.password_hash);  // empty stays empty, not NULL
  EXPECT_FALSE(store.user_by_login(std::string("x\0", 2), &u));
  EXPECT_FALSE(store.user_by_login("anna", &u));  // no case folding
  EXPECT_FALSE(store.user_by_login("Anna ", &u));  // no trimming
  ASSERT_TRUE(store.user_by_id("id-2", &u));
  EXPECT_EQ("Anna", u.login);
  EXPECT_EQ("hash-id-2", u.password_hash);
  EXPECT_EQ("T", u.hash_type);
  EXPECT_EQ("a", u.owner);
  EXPECT_FALSE(store.user_by_id("ID-2", &u));
}

TEST(StandinStore, IdsAndLoginsAreUnique) {
  TempDir tmp;
  Store store(tmp.file("s.db"));
  store.begin();
  ASSERT_TRUE(store.insert_application(App("a")));
  EXPECT_FALSE(store.insert_application(App("a")));
  ASSERT_TRUE(store.insert_user(User("1", "anna", "a")));
  EXPECT_FALSE(store.insert_user(User("1", "bob", "a")));
  EXPECT_FALSE(store.insert_user(User("2", "anna", "a")));
  EXPECT_TRUE(store.insert_user(User("2", "anna1", "a")));
  store.commit();
  EXPECT_EQ(2, store.user_count());
}

TEST(StandinStore, ListingKeepsCreationOrderPerOwner) {
  TempDir tmp;
  Store store(tmp.file("s.db"));
  store.begin();
  store.insert_application(App("a"));
  store.insert_application(App("b"));
  // Ids and logins sort differently from the creation order.
  store.insert_user(User("z", "zoe", "a"));
  store.insert_user(User("m", "bob", "b"));
  store.insert_user(User("c", "carl", "a"));
  store.insert_user(User("k", "anna", "a"));
  store.commit();
  EXPECT_EQ((std::vector<std::string>{"z:zoe", "c:carl", "k:anna"}), Listing(store, "a"));
  EXPECT_EQ((std::vector<std::string>{"m:bob"}), Listing(store, "b"));

  // Changes, also of the owner, keep a user's place; a new user comes last.
  store.begin();
  store.set_login("z", "zed");
  store.set_password("c", "h2", "T2");
  store.set_owner("m", "a");
  store.delete_user("k");
  store.insert_user(User("n", "new", "a"));
  store.commit();
  EXPECT_EQ((std::vector<std::string>{"z:zed", "m:bob", "c:carl", "n:new"}), Listing(store, "a"));
  EXPECT_TRUE(Listing(store, "b").empty());
  UserRecord u;
  ASSERT_TRUE(store.user_by_id("c", &u));
  EXPECT_EQ("h2", u.password_hash);
  EXPECT_EQ("T2", u.hash_type);
  std::vector<std::string> all;
  for (const UserRecord& r : store.all_users()) all.push_back(r.id);
  EXPECT_EQ((std::vector<std::string>{"z", "m", "c", "n"}), all);
}

TEST(StandinStore, RollbackLeavesNothingBehind) {
  TempDir tmp;
  Store store(tmp.file("s.db"));
  store.begin();
  store.insert_application(App("a"));
  store.commit();
  store.begin();
  store.insert_user(User("1", "anna", "a"));
  store.rollback();
  EXPECT_EQ(0, store.user_count());
  store.rollback();  // no transaction: harmless
}

TEST(StandinStore, ApplicationsKeepOptionalFieldsAndTakeTheirUsersAlong) {
  TempDir tmp;
  Store store(tmp.file("s.db"));
  AppRecord a = App("a");
  a.display_name = "A";
  a.url = "";  // present but empty
  a.change_password_url = "https://a/change";
  store.begin();
  store.insert_application(a);
  store.insert_application(App("b"));
  store.insert_user(User("1", "anna", "a"));
  store.insert_user(User("2", "bob", "b"));
  store.insert_session("s-a", "2", "a", 100);  // opened by a for b's user
  store.insert_session("s-b", "1", "b", 100);  // opened by b for a's user
  store.insert_session("s-c", "2", "b", 100);
  store.commit();

  AppRecord got;
  ASSERT_TRUE(store.application("a", &got));
  EXPECT_EQ("A", got.display_name);
  EXPECT_EQ(std::optional<std::string>(""), got.url);
  EXPECT_EQ(std::nullopt, got.restore_password_url);
  EXPECT_EQ(std::optional<std::string>("https://a/change"), got.change_password_url);

  got.version = "2";
  got.url.reset();
  store.begin();
  store.update_application(got);
  store.commit();
  ASSERT_TRUE(store.application("a", &got));
  EXPECT_EQ("2", got.version);
  EXPECT_EQ(std::nullopt, got.url);

  store.begin();
  store.delete_application("a");
  store.commit();
  EXPECT_FALSE(store.application("a", &got));
  ASSERT_EQ(1u, store.all_users().size());
  EXPECT_EQ("2", store.all_users()[0].id);
  std::string user;
  EXPECT_FALSE(store.session_user("s-a", 0, &user));
  EXPECT_FALSE(store.session_user("s-b", 0, &user));
  EXPECT_TRUE(store.session_user("s-c", 0, &user));
  ASSERT_EQ(1u, store.all_applications().size());
}

TEST(StandinStore, SessionsExpireAndCloseOnce) {
  TempDir tmp;
  Store store(tmp.file("s.db"));
  store.begin();
  store.insert_session("s", "u", "a", 1000);
  store.commit();
  std::string user;
  EXPECT_TRUE(store.session_user("s", 999, &user));
  EXPECT_EQ("u", user);
  EXPECT_FALSE(store.session_user("s", 1000, &user));
  EXPECT_FALSE(store.session_user("other", 0, &user));
  EXPECT_TRUE(store.delete_session("s"));
  EXPECT_FALSE(store.delete_session("s"));
  store.begin();
  store.insert_session("t", "u", "a", 1000);
  store.delete_user("u");
  store.commit();
  EXPECT_FALSE(store.session_user("t", 0, &user));
}

TEST(StandinStore, ContentSurvivesReopeningAndIsReadableWhileOpen) {
  TempDir tmp;
  const std::string path = tmp.file("s.db");
  {
    Store store(path);
    store.begin();
    store.insert_application(App("a"));
    store.insert_user(User("1", "anna", "a"));
    store.commit();
    // A second, read-only store sees the committed state while the first is open.
    Store reader(path, Store::Access::kReadOnly);
    ASSERT_EQ(1u, reader.all_users().size());
    store.begin();
    store.insert_user(User("2", "bob", "a"));
    EXPECT_EQ(1u, reader.all_users().size());  // not yet committed
    store.commit();
    EXPECT_EQ(2u, reader.all_users().size());
  }
  Store again(path);
  EXPECT_EQ(2, again.user_count());
  EXPECT_THROW(Store(tmp.file("missing.db"), Store::Access::kReadOnly), StoreError);
  testutil::write_file(tmp.file("junk.db"), std::string(4096, 'j'));
  EXPECT_THROW(Store(tmp.file("junk.db")), StoreError);
}

// ---- Seeding ---------------------------------------------------------------

SeedCounts Seed(Store& store, const std::string& text) {
  std::istringstream in(text);
  return load_seed(in, "seed.txt", store);
}

std::string SeedFailure(Store& store, const std::string& text) {
  try {
    Seed(store, text);
  } catch (const standin::SeedError& e) {
    return e.what();
  }
  return "no error";
}

TEST(StandinSeed, LoadsApplicationsAndUsersWithEscapes) {
  TempDir tmp;
  Store store(tmp.file("s.db"));
  SeedCounts n = Seed(store,
                      "# comment\n"
                      "\n"
                      "app\tapp-one\tApp One\r\n"
                      "user\tu1\tan\\tna\\x00\\xC3\\xA9\\\\\tMD5\th\\na$sh\tapp-one\n"
                      "userpw\tu2\tbob\tse\\tcret\tapp-one\n");
  EXPECT_EQ(1, n.applications);
  EXPECT_EQ(2, n.users);
  AppRecord app;
  ASSERT_TRUE(store.application("app-one", &app));
  EXPECT_EQ("App One", app.name);
  EXPECT_EQ("App One", app.display_name);

  std::vector<UserRecord> users = store.all_users();
  ASSERT_EQ(2u, users.size());
  EXPECT_EQ(std::string("an\tna\0\xc3\xa9\\", 9), users[0].login);
  EXPECT_EQ("MD5", users[0].hash_type);
  EXPECT_EQ("h\na$sh", users[0].password_hash);
  EXPECT_EQ("app-one", users[0].owner);
  EXPECT_EQ("SSHA-256", users[1].hash_type);
  EXPECT_TRUE(verify_password("SSHA-256", users[1].password_hash, "se\tcret"));
  EXPECT_FALSE(verify_password("SSHA-256", users[1].password_hash, "secret"));
}

TEST(StandinSeed, BadLinesNameFileAndLineAndLoadNothing) {
  struct Case {
    std::string last_line;
    std::string error;
  };
  const Case cases[] = {
      {"user\tu9\tx\tT\th", "seed.txt:3: 5 fields where 6 are expected"},
      {"userpw\tu9\tx\tpw\tapp-one\textra", "seed.txt:3: 6 fields where 5 are expected"},
      {"app\t\tname", "seed.txt:3: the id is empty"},
      {"users\tu9\tx\tpw\tapp-one", "seed.txt:3: unknown record \"users\""},
      {"userpw\tu9\tx\\q\tpw\tapp-one", "seed.txt:3: field 3: bad escape \\q"},
      {"userpw\tu9\tx\tpw\\x4\tapp-one", "seed.txt:3: field 4: \\x needs two hex digits"},
      {"userpw\tu9\tx\tpw\tapp-two", "seed.txt:3: application \"app-two\" is not registered"},
      {"userpw\tu1\tx\tpw\tapp-one", "seed.txt:3: user id \"u1\" is taken"},
      {"userpw\tu9\talice\tpw\tapp-one", "seed.txt:3: login \"alice\" is taken"},
      {"app\tapp-one\tagain", "seed.txt:3: application id \"app-one\" is taken"},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    Store store(tmp.file("s.db"));
    std::string error = SeedFailure(store, "app\tapp-one\tOne\nuserpw\tu1\talice\tpw\tapp-one\n" +
                                             c.last_line + "\n");
    EXPECT_EQ(0u, error.find(c.error)) << c.last_line << " gave: " << error;
    // One transaction: the good lines before the bad one are gone too.
    EXPECT_EQ(0, store.user_count()) << c.last_line;
    EXPECT_TRUE(store.all_applications().empty()) << c.last_line;
  }
}

TEST(StandinSeed, UsersMayBelongToApplicationsAlreadyStored) {
  TempDir tmp;
  Store store(tmp.file("s.db"));
  Seed(store, "app\ta\tA\n");
  Seed(store, "userpw\tu\tx\tpw\ta\n");
  EXPECT_EQ(1, store.user_count());
  EXPECT_THROW(load_seed_file(tmp.file("missing.txt"), store), standin::SeedError);
}

}  // namespace
}  // namespace standin
