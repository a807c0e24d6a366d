// The per-user report (--report FILE): what became of every source user, as
// one CSV line each (RFC 4180 quoting, bytes as they are, LF line ends)
// after the header "source_id,source_login,login,outcome,detail", in listing
// order. It never holds a hash. Logins are personal data: the file is made
// with mode 0600.
//
// The file is made beside FILE as a temporary one when the run starts, so a
// report that could not be written is known before anything is read; it
// becomes FILE only at the end of a run that got as far as listing the
// users, and is removed otherwise, leaving FILE as it was.
#ifndef IDFERRY_SRC_REPORT_H_
#define IDFERRY_SRC_REPORT_H_

#include <map>
#include <string>
#include <vector>

#include "src/resume.h"
#include "src/users.h"

// What the report is made of, once the run ended.
struct report_facts {
  const std::vector<mig_user_info>& users;
  // The logins as the source listed them, when a mapfile renamed some; else
  // null and the records' logins are those.
  const std::vector<std::string>* source_logins;
  bool check_mode;
  const resume_findings* resumed;
  const std::map<size_t, std::string>& notes;  // failures and notes, by position
};

// One CSV field: quoted (quotes doubled) when it holds a comma, a quote, a
// carriage return or a line feed.
std::string csv_field(const std::string& text);

// The report's line for record `index` (without line end).
std::string report_line(const report_facts& facts, size_t index);

class run_report {
 public:
  run_report() = default;
  ~run_report();  // removes a temporary file that was not committed
  run_report(const run_report&) = delete;
  run_report& operator=(const run_report&) = delete;

  // Creates the temporary file beside `path`. False when it cannot.
  bool open(const std::string& path);
  bool is_open() const { return fd_ >= 0; }
  // Writes the report into the temporary file and renames it to the path.
  // False when it cannot; the temporary file is removed then.
  bool commit(const report_facts& facts);

 private:
  std::string path_, temporary_;
  int fd_ = -1;
};

#endif  // IDFERRY_SRC_REPORT_H_
