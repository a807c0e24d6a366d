#include "src/ahead.h"

reads_ahead::reads_ahead(int jobs, progress_meter* meter, client_set& target,
                         std::vector<mig_user_info>& users, const std::string& app_id,
                         bool resume)
    : runner_(jobs, meter) {
  thread_ = std::thread([this, &target, &users, app_id, resume] {
    // The runner fails a record whose work throws; anything else thrown here
    // leaves the phases to make the reads themselves.
    try {
      if (look_up_early(runner_, target, users, app_id, check_) && resume) {
        read_ids_early(runner_, target, users, app_id, resume_);
      }
    } catch (...) {
      usable_ = false;
    }
  });
}

reads_ahead::~reads_ahead() {
  cancel();
  wait();
}

void reads_ahead::wait() {
  if (thread_.joinable()) thread_.join();
}
