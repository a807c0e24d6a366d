#include "src/report.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "src/verify.h"

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string report_line(const report_facts& facts, size_t index) {
  const mig_user_info& user = facts.users[index];
  const auto note = facts.notes.find(index);
  std::string login = user.login, outcome, detail;
  switch (user.outcome) {
    case user_outcome::free: outcome = "free"; break;
    case user_outcome::conflict: outcome = "conflict"; detail = user.target_id; break;
    case user_outcome::takeover: outcome = "takeover"; detail = user.target_id; break;
    case user_outcome::failed: outcome = "failed"; break;
    case user_outcome::created: outcome = "created"; break;
    case user_outcome::mangled: outcome = "mangled"; break;
    case user_outcome::taken_over: outcome = "taken_over"; break;
    case user_outcome::already_migrated: outcome = "already_migrated"; break;
    case user_outcome::unverified: outcome = "unverified"; break;
    case user_outcome::updated: outcome = "updated"; break;
    case user_outcome::none: outcome = facts.check_mode ? "unchecked" : "not_reached"; break;
  }
  if (!facts.check_mode) {
    // The conflict check's findings are no outcome of a migration.
    if (outcome == "free" || outcome == "conflict" || outcome == "takeover") {
      outcome = "not_reached";
      detail.clear();
    }
    if (outcome != "failed" && outcome != "not_reached") {
      login = migrated_login(facts.users, index, facts.resumed);
    }
  }
  if ((outcome == "failed" || outcome == "unverified" || outcome == "updated") &&
      note != facts.notes.end()) {
    detail = note->second;
  }
  const std::string& source_login =
      facts.source_logins ? (*facts.source_logins)[index] : user.login;
  return csv_field(user.id) + "," + csv_field(source_login) + "," + csv_field(login) + "," +
         outcome + "," + csv_field(detail);
}

run_report::~run_report() {
  if (fd_ < 0) return;
  close(fd_);
  unlink(temporary_.c_str());
}

bool run_report::open(const std::string& path) {
  path_ = path;
  // A path the report could never be renamed to (a directory, or a folder
  // this process may not write) is refused now, not after the migration.
  struct stat st {};
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  if (path.empty() || path.back() == '/' ||
      (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ||
      access(folder.c_str(), W_OK | X_OK) != 0) {
    return false;
  }
  std::string name = path + ".tmp-XXXXXX";
  fd_ = mkostemp(name.data(), O_CLOEXEC);  // mode 0600
  if (fd_ >= 0) temporary_ = name;
  return fd_ >= 0;
}

bool run_report::commit(const report_facts& facts) {
  std::string text = "source_id,source_login,login,outcome,detail\n";
  bool ok = true;
  auto flush = [&](size_t at_least) {
    for (size_t done = 0; ok && text.size() >= at_least && done < text.size();) {
      const ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      done += n > 0 ? static_cast<size_t>(n) : 0;
      if (done == text.size()) text.clear();
    }
  };
  for (size_t i = 0; i < facts.users.size() && ok; ++i) {
    text += report_line(facts, i) + "\n";
    flush(1 << 20);
  }
  flush(0);
  ok = ok && fsync(fd_) == 0;
  ok = close(fd_) == 0 && ok;
  fd_ = -1;
  if (ok && rename(temporary_.c_str(), path_.c_str()) == 0) return true;
  unlink(temporary_.c_str());
  return false;
}
