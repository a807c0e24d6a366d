// The stand-in's SQLite store; see standin_store.h.

#include "tools/standin/standin_store.h"

#include <sqlite3.h>

#include <utility>

namespace standin {

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS applications("
    " seq INTEGER PRIMARY KEY, id BLOB NOT NULL, name BLOB NOT NULL,"
    " display_name BLOB NOT NULL, version BLOB NOT NULL, capabilities BLOB NOT NULL,"
    " restore_password_url BLOB, change_password_url BLOB, url BLOB,"
    " certificate BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS applications_id ON applications(id);"
    "CREATE TABLE IF NOT EXISTS users("
    " seq INTEGER PRIMARY KEY, id BLOB NOT NULL, login BLOB NOT NULL,"
    " password_hash BLOB NOT NULL, hash_type BLOB NOT NULL, owner BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS users_id ON users(id);"
    "CREATE UNIQUE INDEX IF NOT EXISTS users_login ON users(login);"
    "CREATE INDEX IF NOT EXISTS users_by_owner ON users(owner, seq);"
    "CREATE TABLE IF NOT EXISTS sessions("
    " id BLOB PRIMARY KEY, user_id BLOB NOT NULL, owner BLOB NOT NULL,"
    " expires INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS sessions_by_user ON sessions(user_id);";

const char kUserColumns[] = "id, login, password_hash, hash_type, owner";
const char kAppColumns[] =
    "id, name, display_name, version, capabilities, restore_password_url,"
    " change_password_url, url, certificate";

// The prepared statements, by index into Store::stmts_.
enum : int {
  kBegin, kCommit, kRollback,
  kUserById, kUserByLogin, kInsertUser, kDeleteUser, kDeleteUserSessions, kSetLogin,
  kSetPassword, kSetOwner, kUsersOf, kAllUsers, kUserCount,
  kAppById, kInsertApp, kUpdateApp, kDeleteApp, kDeleteAppUsers, kDeleteAppSessions,
  kAllApps,
  kInsertSession, kSessionUser, kDeleteSession,
  kStatementCount
};

std::string user_sql(const char* tail) {
  return std::string("SELECT ") + kUserColumns + " FROM users " + tail;
}

std::string app_sql(const char* tail) {
  return std::string("SELECT ") + kAppColumns + " FROM applications " + tail;
}

}  // namespace

// One prepared statement. Binding starts a use; step() runs it; the use ends
// (and the statement is reset, its bindings cleared) when the Use goes out of
// scope, also when an exception passes.
class Store::Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) !=
        SQLITE_OK) {
      throw StoreError(std::string("cannot prepare a statement: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }

  class Use {
   public:
    explicit Use(Statement& s) : s_(s) {}
    ~Use() {
      sqlite3_reset(s_.stmt_);
      sqlite3_clear_bindings(s_.stmt_);
    }
    Use& bind(const std::string& v) {
      // A non-null pointer keeps an empty value an empty BLOB, not NULL.
      check(sqlite3_bind_blob64(s_.stmt_, ++n_, v.data(), v.size(), SQLITE_TRANSIENT));
      return *this;
    }
    Use& bind(const std::optional<std::string>& v) {
      if (v) return bind(*v);
      check(sqlite3_bind_null(s_.stmt_, ++n_));
      return *this;
    }
    Use& bind(std::int64_t v) {
      check(sqlite3_bind_int64(s_.stmt_, ++n_, v));
      return *this;
    }
    // True while there is a row; throws on errors. A clash with a UNIQUE
    // index is reported through constraint_failed() when `allow_constraint`.
    bool step(bool allow_constraint = false) {
      int rc = sqlite3_step(s_.stmt_);
      if (rc == SQLITE_ROW) return true;
      if (rc == SQLITE_DONE) return false;
      if (allow_constraint && (rc & 0xff) == SQLITE_CONSTRAINT) {
        constraint_ = true;
        return false;
      }
      throw StoreError(sqlite3_errmsg(s_.db_));
    }
    bool constraint_failed() const { return constraint_; }
    std::string text(int col) const {
      const void* p = sqlite3_column_blob(s_.stmt_, col);
      int n = sqlite3_column_bytes(s_.stmt_, col);
      return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n))
               : std::string();
    }
    std::optional<std::string> optional_text(int col) const {
      if (sqlite3_column_type(s_.stmt_, col) == SQLITE_NULL) return std::nullopt;
      return text(col);
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(s_.stmt_, col); }

   private:
    void check(int rc) {
      if (rc != SQLITE_OK) throw StoreError(sqlite3_errmsg(s_.db_));
    }
    Statement& s_;
    int n_ = 0;
    bool constraint_ = false;
  };

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

Store::Store(const std::string& path, Access access) {
  int flags = access == Access::kReadOnly ? SQLITE_OPEN_READONLY
                                          : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot open " + path + ": " + msg);
  }
  sqlite3_busy_timeout(db_, 5000);
  auto exec = [this, &path](const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
      std::string msg = err ? err : sqlite3_errmsg(db_);
      sqlite3_free(err);
      sqlite3_close(db_);
      db_ = nullptr;
      throw StoreError(path + ": " + msg);
    }
  };
  if (access == Access::kReadWrite) {
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    // Room for the indexes of a million users while seeding.
    exec("PRAGMA cache_size=-65536");
    exec(kSchema);
  }

  const std::string sql[kStatementCount] = {
      "BEGIN IMMEDIATE", "COMMIT", "ROLLBACK",
      user_sql("WHERE id = ?"),
      user_sql("WHERE login = ?"),
      "INSERT INTO users(id, login, password_hash, hash_type, owner) VALUES(?, ?, ?, ?, ?)",
      "DELETE FROM users WHERE id = ?",
      "DELETE FROM sessions WHERE user_id = ?",
      "UPDATE users SET login = ? WHERE id = ?",
      "UPDATE users SET password_hash = ?, hash_type = ? WHERE id = ?",
      "UPDATE users SET owner = ? WHERE id = ?",
      "SELECT id, login FROM users WHERE owner = ? ORDER BY seq",
      user_sql("ORDER BY seq"),
      "SELECT count(*) FROM users",
      app_sql("WHERE id = ?"),
      std::string("INSERT INTO applications(") + kAppColumns +
          ") VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
      "UPDATE applications SET name = ?2, display_name = ?3, version = ?4, capabilities = ?5,"
      " restore_password_url = ?6, change_password_url = ?7, url = ?8, certificate = ?9"
      " WHERE id = ?1",
      "DELETE FROM applications WHERE id = ?",
      "DELETE FROM users WHERE owner = ?",
      "DELETE FROM sessions WHERE owner = ?1 OR user_id IN"
      " (SELECT id FROM users WHERE owner = ?1)",
      app_sql("ORDER BY seq"),
      "INSERT INTO sessions(id, user_id, owner, expires) VALUES(?, ?, ?, ?)",
      "SELECT user_id FROM sessions WHERE id = ? AND expires > ?",
      "DELETE FROM sessions WHERE id = ?",
  };
  try {
    for (const std::string& s : sql) stmts_.push_back(std::make_unique<Statement>(db_, s));
  } catch (const StoreError& e) {
    stmts_.clear();
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError(path + ": " + e.what());
  }
}

Store::~Store() {
  stmts_.clear();
  sqlite3_close(db_);
}

Store::Statement& Store::stmt(int which) { return *stmts_[static_cast<std::size_t>(which)]; }

void Store::begin() { Statement::Use(stmt(kBegin)).step(); }
void Store::commit() { Statement::Use(stmt(kCommit)).step(); }
void Store::rollback() {
  // Never throws: used on the way out of a failed transaction.
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

namespace {

void fill_user(const Store::Statement::Use& u, UserRecord* user) {
  user->id = u.text(0);
  user->login = u.text(1);
  user->password_hash = u.text(2);
  user->hash_type = u.text(3);
  user->owner = u.text(4);
}

void fill_app(const Store::Statement::Use& u, AppRecord* app) {
  app->id = u.text(0);
  app->name = u.text(1);
  app->display_name = u.text(2);
  app->version = u.text(3);
  app->capabilities = u.text(4);
  app->restore_password_url = u.optional_text(5);
  app->change_password_url = u.optional_text(6);
  app->url = u.optional_text(7);
  app->certificate = u.text(8);
}

}  // namespace

bool Store::user_by_id(const std::string& id, UserRecord* user) {
  Statement::Use u(stmt(kUserById));
  if (!u.bind(id).step()) return false;
  fill_user(u, user);
  return true;
}

bool Store::user_by_login(const std::string& login, UserRecord* user) {
  Statement::Use u(stmt(kUserByLogin));
  if (!u.bind(login).step()) return false;
  fill_user(u, user);
  return true;
}

bool Store::insert_user(const UserRecord& user) {
  Statement::Use u(stmt(kInsertUser));
  u.bind(user.id).bind(user.login).bind(user.password_hash).bind(user.hash_type).bind(user.owner);
  u.step(true);
  return !u.constraint_failed();
}

void Store::delete_user(const std::string& id) {
  Statement::Use(stmt(kDeleteUserSessions)).bind(id).step();
  Statement::Use(stmt(kDeleteUser)).bind(id).step();
}

void Store::set_login(const std::string& id, const std::string& login) {
  Statement::Use(stmt(kSetLogin)).bind(login).bind(id).step();
}

void Store::set_password(const std::string& id, const std::string& hash,
                         const std::string& type) {
  Statement::Use(stmt(kSetPassword)).bind(hash).bind(type).bind(id).step();
}

void Store::set_owner(const std::string& id, const std::string& owner) {
  Statement::Use(stmt(kSetOwner)).bind(owner).bind(id).step();
}

void Store::for_each_user_of(
    const std::string& owner,
    const std::function<void(const std::string&, const std::string&)>& each) {
  Statement::Use u(stmt(kUsersOf));
  u.bind(owner);
  while (u.step()) each(u.text(0), u.text(1));
}

std::vector<UserRecord> Store::all_users() {
  std::vector<UserRecord> users;
  Statement::Use u(stmt(kAllUsers));
  while (u.step()) {
    users.emplace_back();
    fill_user(u, &users.back());
  }
  return users;
}

std::int64_t Store::user_count() {
  Statement::Use u(stmt(kUserCount));
  return u.step() ? u.integer(0) : 0;
}

bool Store::application(const std::string& id, AppRecord* app) {
  Statement::Use u(stmt(kAppById));
  if (!u.bind(id).step()) return false;
  fill_app(u, app);
  return true;
}

bool Store::insert_application(const AppRecord& app) {
  Statement::Use u(stmt(kInsertApp));
  u.bind(app.id).bind(app.name).bind(app.display_name).bind(app.version).bind(app.capabilities)
      .bind(app.restore_password_url).bind(app.change_password_url).bind(app.url)
      .bind(app.certificate);
  u.step(true);
  return !u.constraint_failed();
}

void Store::update_application(const AppRecord& app) {
  Statement::Use u(stmt(kUpdateApp));
  u.bind(app.id).bind(app.name).bind(app.display_name).bind(app.version).bind(app.capabilities)
      .bind(app.restore_password_url).bind(app.change_password_url).bind(app.url)
      .bind(app.certificate);
  u.step();
}

void Store::delete_application(const std::string& id) {
  Statement::Use(stmt(kDeleteAppSessions)).bind(id).step();
  Statement::Use(stmt(kDeleteAppUsers)).bind(id).step();
  Statement::Use(stmt(kDeleteApp)).bind(id).step();
}

std::vector<AppRecord> Store::all_applications() {
  std::vector<AppRecord> apps;
  Statement::Use u(stmt(kAllApps));
  while (u.step()) {
    apps.emplace_back();
    fill_app(u, &apps.back());
  }
  return apps;
}

void Store::insert_session(const std::string& id, const std::string& user_id,
                           const std::string& owner, std::int64_t expires) {
  Statement::Use(stmt(kInsertSession)).bind(id).bind(user_id).bind(owner).bind(expires).step();
}

bool Store::session_user(const std::string& id, std::int64_t now, std::string* user_id) {
  Statement::Use u(stmt(kSessionUser));
  if (!u.bind(id).bind(now).step()) return false;
  *user_id = u.text(0);
  return true;
}

bool Store::delete_session(const std::string& id) {
  Statement::Use(stmt(kDeleteSession)).bind(id).step();
  return sqlite3_changes(db_) > 0;
}

}  // namespace standin
