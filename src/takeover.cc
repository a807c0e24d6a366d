#include "src/takeover.h"

#include "src/create.h"
#include "src/writes.h"

namespace {

const char kTemporarySuffix[] = "_tmp_migrate";

// Steps 2 and 3: the holder of the login deleted, the user renamed to it.
bool replace_holder(writer& w, mig_user_info& user, const std::string& temporary,
                    std::string& error) {
  const write_outcome deleted = delete_holder(w, user.login);
  if (!deleted.ok) {
    error = "Error deleting user: " + deleted.message;
    return false;
  }
  const write_outcome renamed = rename_user(w, user.id, temporary, user.login);
  if (!renamed.ok) {
    error = "Error renaming user: " + renamed.message;
    return false;
  }
  user.derived = 0;
  return true;
}

}  // namespace

std::string temporary_login(const mig_user_info& user) {
  return user.login + "_" + user.id + kTemporarySuffix;
}

bool is_temporary_login(const std::string& login, const std::string& id) {
  const std::string tail = "_" + id + kTemporarySuffix;
  return login.size() > tail.size() && login.compare(login.size() - tail.size(), tail.size(), tail) == 0;
}

bool take_over(writer& w, mig_user_info& user, const std::string& app_id, std::string& error) {
  const std::string temporary = temporary_login(user);
  const write_outcome created = create_as(w, user, temporary, app_id);
  if (!created.ok) {
    error = "Error registering user: " + created.message;
    return false;
  }
  return replace_holder(w, user, temporary, error);
}

bool finish_take_over(writer& w, mig_user_info& user, const std::string& temporary, bool take,
                      std::string& error) {
  if (take) return replace_holder(w, user, temporary, error);
  // As a fresh run would create it: under the login, or under the first
  // derived login that is free.
  return first_free_login(w, user, "Error renaming user: ", [&](const std::string& login) {
    return rename_user(w, user.id, temporary, login);
  }, error);
}
