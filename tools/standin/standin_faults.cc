// The fault injection plan; see standin_faults.h.

#include "tools/standin/standin_faults.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "tools/standin/standin_text.h"

namespace standin {

const std::vector<std::string>& operation_names() {
  static const std::vector<std::string> kNames = {
      "registerApplication", "listApplications", "updateApplication", "getApplication",
      "unregisterApplication", "createUser", "duplicateUser", "deleteUser", "getUser",
      "getUserId", "getUserPassword", "changeLogin", "changePassword", "transferOwnership",
      "listUsers", "getRestorePasswordUrl", "getChangePasswordUrl", "authenticate",
      "verifySession", "closeSession", "getSettings"};
  return kNames;
}

namespace {

// A whole decimal number in [low, high], or -1.
std::int64_t number(const std::string& text, std::int64_t low, std::int64_t high) {
  if (text.empty() || text.size() > 10) return -1;
  std::int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n >= low && n <= high ? n : -1;
}

FaultAction parse_action(const std::vector<std::string>& f, std::string* error) {
  FaultAction a;
  const std::string& kind = f[2];
  auto arity = [&](std::size_t low, std::size_t high, const char* form) {
    if (f.size() < low || f.size() > high) {
      *error = std::to_string(f.size()) + " fields; expected OPERATION N " + form;
      return false;
    }
    return true;
  };
  if (kind == "fault") {
    if (!arity(6, 7, "fault CODE SUBCODE REASON [DETAIL]")) return a;
    a.kind = FaultAction::Kind::kFault;
    if (f[3] == "Receiver") {
      a.receiver = true;
    } else if (f[3] != "Sender") {
      *error = "the fault code must be Sender or Receiver, not \"" + f[3] + "\"";
      return a;
    }
    if (f[4] != "-") {
      if (f[4].rfind("sso:", 0) != 0 || f[4].size() == 4) {
        *error = "the subcode must be sso:NAME or -, not \"" + escape_field(f[4]) + "\"";
        return a;
      }
      a.subcode = f[4];
    }
    a.reason = f[5];
    if (f.size() == 7) a.detail = f[6];
  } else if (kind == "http") {
    if (!arity(5, 6, "http STATUS BODY [RETRY_AFTER]")) return a;
    a.kind = FaultAction::Kind::kHttp;
    a.http_status = static_cast<int>(number(f[3], 100, 599));
    if (a.http_status < 0) *error = "the HTTP status must be a number from 100 to 599";
    a.body = f[4];
    if (f.size() == 6) a.retry_after = f[5];
  } else if (kind == "delay") {
    if (!arity(4, 4, "delay MICROSECONDS")) return a;
    a.kind = FaultAction::Kind::kDelay;
    a.delay_us = number(f[3], 0, 60000000);
    if (a.delay_us < 0) *error = "the delay must be a number of microseconds up to 60000000";
  } else if (kind == "alter") {
    if (!arity(5, 6, "alter USER_ID FIELD [VALUE]")) return a;
    a.kind = FaultAction::Kind::kAlter;
    a.user_id = f[3];
    a.field = f[4];
    if (f.size() == 6) a.value = f[5];
    const bool known = a.field == "login" || a.field == "hash" || a.field == "type" ||
                       a.field == "owner" || a.field == "delete";
    if (!known) *error = "alter changes login, hash, type, owner or delete, not \"" + a.field + "\"";
  } else if (kind == "drop" || kind == "cut" || kind == "exit" || kind == "empty" ||
             kind == "lost" || kind == "reset" || kind == "torn") {
    if (!arity(3, 3, kind.c_str())) return a;
    a.kind = kind == "drop"    ? FaultAction::Kind::kDrop
             : kind == "cut"   ? FaultAction::Kind::kCut
             : kind == "exit"  ? FaultAction::Kind::kExit
             : kind == "empty" ? FaultAction::Kind::kEmpty
             : kind == "reset" ? FaultAction::Kind::kReset
             : kind == "torn"  ? FaultAction::Kind::kTorn
                               : FaultAction::Kind::kLost;
  } else {
    *error = "unknown action \"" + escape_field(kind) +
             "\" (expected fault, http, drop, cut, exit, empty, lost, reset, torn, alter or delay)";
  }
  return a;
}

}  // namespace

void FaultPlan::load(std::istream& in, const std::string& name) {
  std::string line;
  std::int64_t line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    auto fail = [&](const std::string& reason) {
      throw FaultPlanError(name + ":" + std::to_string(line_no) + ": " + reason);
    };
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f = split_tabs(line);
    for (std::size_t i = 0; i < f.size(); ++i) {
      std::string value, error;
      if (!unescape_field(f[i], &value, &error)) {
        fail("field " + std::to_string(i + 1) + ": " + error);
      }
      f[i] = value;
    }
    if (f.size() < 3) fail("expected OPERATION N ACTION ..., separated by tabs");
    const auto& ops = operation_names();
    if (std::find(ops.begin(), ops.end(), f[0]) == ops.end()) {
      fail("unknown operation \"" + escape_field(f[0]) + "\"");
    }
    Rule rule;
    rule.operation = f[0];
    if (f[1] != "*") {
      rule.call = number(f[1], 1, 9999999999);
      if (rule.call < 0) fail("the call number must be a positive number or *");
    }
    std::string error;
    rule.action = parse_action(f, &error);
    if (!error.empty()) fail(error);
    rules_.push_back(rule);
  }
  if (in.bad()) throw FaultPlanError(name + ": read error");
}

void FaultPlan::load_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FaultPlanError("cannot read fault plan " + path + ": " + std::strerror(errno));
  load(in, path);
}

std::optional<FaultAction> FaultPlan::next(const std::string& operation) {
  std::lock_guard<std::mutex> lock(mu_);
  std::int64_t n = ++calls_[operation];
  for (const Rule& rule : rules_) {
    if (rule.operation == operation && (rule.call == 0 || rule.call == n)) return rule.action;
  }
  return std::nullopt;
}

}  // namespace standin
