// Reads made ahead (--jobs N above 1): the target's look-ups of the conflict
// check (and of --resume) run while the source's password reads run, each
// phase with up to N calls in flight on its own instance, so a run is bound
// by the target alone. They only read, and what they find is kept aside:
// the check and --resume then run as always, taking each look-up from here
// instead of making it, so standard output, standard error, the report and
// the target are exactly those of one job; nothing of the look-ups is
// written until the password reads have all succeeded.
//
// Threads: one thread of its own runs a phase_runner of its own over the
// target's client_set (worker k uses client k, as in every phase; the
// caller's thread touches neither the target's clients nor the records'
// target_id and target_owned until wait() returned). The look-ups read the
// records' ids and logins, which nobody changes meanwhile, and write only
// target_id and target_owned, which the password reads do not touch.
#ifndef IDFERRY_SRC_AHEAD_H_
#define IDFERRY_SRC_AHEAD_H_

#include <string>
#include <thread>
#include <vector>

#include "src/conflicts.h"
#include "src/parallel.h"
#include "src/resume.h"

class reads_ahead {
 public:
  // Starts the look-ups (and, with `resume`, the reads of the source ids
  // once the look-ups all succeeded).
  reads_ahead(int jobs, progress_meter* meter, client_set& target,
              std::vector<mig_user_info>& users, const std::string& app_id, bool resume);
  // Cancels what has not started and waits for the rest.
  ~reads_ahead();
  reads_ahead(const reads_ahead&) = delete;
  reads_ahead& operator=(const reads_ahead&) = delete;

  // Waits for the reads to end.
  void wait();
  void cancel() { runner_.cancel(); }
  // After wait(): what was read; null when the reads failed as a whole (an
  // exception outside any record), and the phases must make them.
  const early_check* check() const { return usable_ ? &check_ : nullptr; }
  const early_resume* resume() const { return usable_ ? &resume_ : nullptr; }

 private:
  phase_runner runner_;  // its notes are not the run's: the phases record their own
  early_check check_;
  early_resume resume_;
  bool usable_ = true;
  std::thread thread_;
};

#endif  // IDFERRY_SRC_AHEAD_H_
