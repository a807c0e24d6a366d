// Seeding the store from a text file; see standin_seed.h.

#include "tools/standin/standin_seed.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <vector>

#include "tools/standin/standin_password.h"
#include "tools/standin/standin_text.h"

namespace standin {

namespace {

class SeedReader {
 public:
  SeedReader(const std::string& name, Store& store) : name_(name), store_(store) {}

  void line(const std::string& raw, std::int64_t number) {
    number_ = number;
    std::string text = raw;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty() || text[0] == '#') return;
    std::vector<std::string> fields = split_tabs(text);
    for (std::size_t i = 1; i < fields.size(); ++i) {
      std::string error;
      std::string value;
      if (!unescape_field(fields[i], &value, &error)) {
        fail("field " + std::to_string(i + 1) + ": " + error);
      }
      fields[i] = value;
    }
    const std::string& kind = fields[0];
    if (kind == "app") {
      expect(fields, 3, "app ID NAME");
      add_app(fields[1], fields[2]);
    } else if (kind == "user") {
      expect(fields, 6, "user ID LOGIN HASH_TYPE HASH APP_ID");
      add_user(UserRecord{fields[1], fields[2], fields[4], fields[3], fields[5]});
    } else if (kind == "userpw") {
      expect(fields, 5, "userpw ID LOGIN PASSWORD APP_ID");
      add_user(UserRecord{fields[1], fields[2], hash_password(fields[3]), kDefaultHashType,
                          fields[4]});
    } else {
      fail("unknown record \"" + escape_field(kind) + "\" (expected app, user or userpw)");
    }
  }

  const SeedCounts& counts() const { return counts_; }

  [[noreturn]] void fail(const std::string& reason) const {
    throw SeedError(name_ + ":" + std::to_string(number_) + ": " + reason);
  }

 private:
  void expect(const std::vector<std::string>& fields, std::size_t n, const char* form) const {
    if (fields.size() != n) {
      fail(std::to_string(fields.size()) + " fields where " + std::to_string(n) +
           " are expected (" + form + ", separated by tabs)");
    }
    if (fields[1].empty()) fail("the id is empty");
  }

  void add_app(const std::string& id, const std::string& name) {
    AppRecord app;
    app.id = id;
    app.name = name;
    app.display_name = name;
    if (!store_.insert_application(app)) {
      fail("application id \"" + escape_field(id) + "\" is taken");
    }
    known_apps_.insert(id);
    ++counts_.applications;
  }

  void add_user(const UserRecord& user) {
    if (known_apps_.count(user.owner) == 0) {
      AppRecord app;
      if (!store_.application(user.owner, &app)) {
        fail("application \"" + escape_field(user.owner) + "\" is not registered");
      }
      known_apps_.insert(user.owner);
    }
    if (!store_.insert_user(user)) {
      UserRecord other;
      if (store_.user_by_id(user.id, &other)) {
        fail("user id \"" + escape_field(user.id) + "\" is taken");
      }
      fail("login \"" + escape_field(user.login) + "\" is taken");
    }
    ++counts_.users;
  }

  std::string name_;
  Store& store_;
  std::int64_t number_ = 0;
  std::set<std::string> known_apps_;
  SeedCounts counts_;
};

}  // namespace

SeedCounts load_seed(std::istream& in, const std::string& name, Store& store) {
  SeedReader reader(name, store);
  store.begin();
  try {
    std::string line;
    std::int64_t number = 0;
    while (std::getline(in, line)) reader.line(line, ++number);
    if (in.bad()) reader.fail("read error");
    store.commit();
  } catch (const StoreError& e) {
    store.rollback();
    throw SeedError(name + ": " + e.what());
  } catch (...) {
    store.rollback();
    throw;
  }
  return reader.counts();
}

SeedCounts load_seed_file(const std::string& path, Store& store) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SeedError("cannot read seed file " + path + ": " + std::strerror(errno));
  return load_seed(in, path, store);
}

}  // namespace standin
