// The stand-in's persistent state: one SQLite file holding the registered
// applications, the users and the open sessions of one service instance.
//
// The store is plain persistence: typed reads and writes over prepared
// statements, no service rules (those are in standin_directory.h). Every
// text column is a BLOB, because logins, ids and hashes are byte strings
// compared byte for byte; nothing is converted or case-folded.
//
// Tables and indexes:
//   applications(seq, id UNIQUE, name, display_name, version, capabilities,
//                restore_password_url, change_password_url, url, certificate)
//   users(seq, id UNIQUE, login UNIQUE, password_hash, hash_type, owner)
//     index users_by_owner(owner, seq): one application's users in the order
//     they were created, without a sort, also with a million users;
//   sessions(id PRIMARY KEY, user_id, owner, expires)
//     index sessions_by_user(user_id).
// `seq` is the rowid, so it grows with every insert: listings "in insertion
// order" are listings by seq. A user keeps its seq through a change of login,
// password or owner.
//
// The file is opened in WAL mode with synchronous=NORMAL, so commits are cheap
// and a read-only store (a test looking at a running stand-in) can read while
// the stand-in writes. Statements are prepared once when the store opens.
//
// Contract: one thread at a time uses a Store (the directory holds a mutex).
// Transactions are explicit: begin(), then commit() or rollback(); every write
// is meant to happen inside one. Failures of SQLite throw StoreError with
// SQLite's message; insert_user and insert_application report a clash with a
// UNIQUE index by returning false instead.
#ifndef IDFERRY_TOOLS_STANDIN_STANDIN_STORE_H_
#define IDFERRY_TOOLS_STANDIN_STANDIN_STORE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace standin {

class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct UserRecord {
  std::string id;
  std::string login;
  std::string password_hash;
  std::string hash_type;
  std::string owner;  // id of the owning application
};

struct AppRecord {
  std::string id;
  std::string name;
  std::string display_name;
  std::string version;
  std::string capabilities;
  std::optional<std::string> restore_password_url;
  std::optional<std::string> change_password_url;
  std::optional<std::string> url;
  std::string certificate;  // PEM text of the application's certificate
};

class Store {
 public:
  enum class Access { kReadWrite, kReadOnly };

  // Opens (read-write: creates when absent, and creates missing tables) the
  // store file. Throws StoreError when the file cannot be opened or is not a
  // store.
  explicit Store(const std::string& path, Access access = Access::kReadWrite);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  void begin();
  void commit();
  void rollback();

  // Users.
  bool user_by_id(const std::string& id, UserRecord* user);
  bool user_by_login(const std::string& login, UserRecord* user);
  // False when the id or the login is taken; nothing is written then.
  bool insert_user(const UserRecord& user);
  void delete_user(const std::string& id);  // and the user's sessions
  void set_login(const std::string& id, const std::string& login);
  void set_password(const std::string& id, const std::string& hash, const std::string& type);
  void set_owner(const std::string& id, const std::string& owner);
  // Calls `each(id, login)` for every user of `owner`, in insertion order.
  void for_each_user_of(const std::string& owner,
                        const std::function<void(const std::string&, const std::string&)>& each);
  // Every user of the instance, in insertion order.
  std::vector<UserRecord> all_users();
  std::int64_t user_count();

  // Applications.
  bool application(const std::string& id, AppRecord* app);
  // False when the id is taken.
  bool insert_application(const AppRecord& app);
  void update_application(const AppRecord& app);  // all fields, by id
  // Removes the application, its users and their sessions, and the sessions
  // it opened.
  void delete_application(const std::string& id);
  // Every application, in registration order.
  std::vector<AppRecord> all_applications();

  // Sessions. `expires` is in seconds since the epoch.
  void insert_session(const std::string& id, const std::string& user_id,
                      const std::string& owner, std::int64_t expires);
  // The session's user, when the session exists and expires after `now`.
  bool session_user(const std::string& id, std::int64_t now, std::string* user_id);
  // False when there was no such session.
  bool delete_session(const std::string& id);

  // A prepared statement (defined in standin_store.cc).
  class Statement;

 private:
  Statement& stmt(int which);

  sqlite3* db_ = nullptr;
  std::vector<std::unique_ptr<Statement>> stmts_;
};

}  // namespace standin

#endif  // IDFERRY_TOOLS_STANDIN_STANDIN_STORE_H_
