// Fault injection: a plan, read from a file at start, that makes chosen calls
// misbehave instead of doing their work, so that tests and demos can show how
// a client copes with a failing instance.
//
// One rule per line, fields separated by tabs, in the escaped form of
// standin_text.h:
//
//   OPERATION  N  fault  CODE  SUBCODE  REASON  [DETAIL]
//   OPERATION  N  http   STATUS  BODY  [RETRY_AFTER]
//   OPERATION  N  drop
//   OPERATION  N  cut
//   OPERATION  N  exit
//   OPERATION  N  empty
//   OPERATION  N  lost
//   OPERATION  N  reset
//   OPERATION  N  torn
//   OPERATION  N  alter  USER_ID  login|hash|type|owner|delete  [VALUE]
//   OPERATION  N  delay  MICROSECONDS
//
// OPERATION is one of the 21 service operations ("createUser"). N is the
// 1-based number of the call of that operation, counted over all connections
// since start (injected calls count too), or "*" for every call. Actions:
//  - fault: a SOAP fault with CODE "Sender" or "Receiver", SUBCODE an
//    "sso:NAME" service error code or "-" for none, the REASON text and, when
//    given, DETAIL as the literal XML content of the fault's Detail;
//    the connection stays open;
//  - http: a raw HTTP response with that STATUS (100-599), content type
//    text/html and BODY as it is, and when given a Retry-After header with
//    RETRY_AFTER as its value (seconds or an HTTP date, sent as it is); the
//    connection is closed after it;
//  - drop: the connection is closed without an answer;
//  - cut: an answer is begun (its head announces the whole length) and the
//    connection is closed halfway through its body;
//  - exit: the process ends at once without an answer, as if it crashed;
//  - empty: an answer whose Body holds no element, instead of the work;
//  - lost: the call does its work, then the connection is closed without an
//    answer, as when a network drops the answer of a write that took effect;
//  - reset: the connection is reset (a TCP RST) without an answer, before
//    any work;
//  - torn: the call does its work, then its answer (the result, or the fault
//    the work produced) is cut halfway through its body as `cut` cuts one: a
//    write that took effect whose answer broke on the way;
//  - alter: the call does its work and is answered, then the stored user
//    USER_ID is changed behind its caller's back: its login, password hash,
//    hash type or owner set to VALUE, or the user deleted;
//  - delay: the call waits that long (up to 60 s) first, then does its work.
// When several rules match a call, the first one in the file wins. Empty lines
// and lines starting with "#" are skipped.
//
// The plan is shared by all connection threads; next() is thread-safe.
#ifndef IDFERRY_TOOLS_STANDIN_STANDIN_FAULTS_H_
#define IDFERRY_TOOLS_STANDIN_STANDIN_FAULTS_H_

#include <cstdint>
#include <istream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace standin {

class FaultPlanError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The 21 operation names, in the service's order.
const std::vector<std::string>& operation_names();

struct FaultAction {
  enum class Kind { kFault, kHttp, kDrop, kCut, kExit, kEmpty, kLost, kAlter, kDelay,
                    kReset, kTorn };
  Kind kind = Kind::kDrop;
  // kFault
  bool receiver = false;  // Receiver, else Sender
  std::string subcode;    // empty: none
  std::string reason;
  std::optional<std::string> detail;
  // kHttp
  int http_status = 0;
  std::string body;
  std::optional<std::string> retry_after;
  // kAlter
  std::string user_id, field, value;
  // kDelay
  std::int64_t delay_us = 0;
};

class FaultPlan {
 public:
  FaultPlan() = default;

  // Reads the rules from `in` (named `name` in messages). Throws
  // FaultPlanError "NAME:LINE: reason" for a malformed line.
  void load(std::istream& in, const std::string& name);
  // The same for a file; an unreadable file is a FaultPlanError too.
  void load_file(const std::string& path);

  // Counts one call of `operation` and returns what it must do instead of
  // its work, if anything.
  std::optional<FaultAction> next(const std::string& operation);

  std::size_t rule_count() const { return rules_.size(); }

 private:
  struct Rule {
    std::string operation;
    std::int64_t call = 0;  // 0: every call
    FaultAction action;
  };

  std::vector<Rule> rules_;
  std::mutex mu_;
  std::map<std::string, std::int64_t> calls_;
};

}  // namespace standin

#endif  // IDFERRY_TOOLS_STANDIN_STANDIN_FAULTS_H_
