// The progress of the long phases on standard error (--progress): for each
// phase that makes one call per record, the line
//   "<phase>: <done>/<total> (<pct>%), <rate> users/s, ETA <h:mm:ss>"
// ("-:--:--" while the rate is unknown), followed by ", cap <N> calls/s per
// instance" when --max-rate caps the calls; two phases that run at once (the
// password reads and the look-ups made ahead) share it, joined by " | ".
// On a terminal it is redrawn in place
// four times a second, cut to the terminal's width, and erased before any
// other text goes to standard error and at the end of its phase, so verbose
// and error lines stay whole. Otherwise a plain line is written 10 seconds
// into the phase and every 10 seconds after.
//
// While a meter is enabled it stands between std::cerr and its buffer: every
// write to std::cerr first erases a drawn line, and so does every result
// line when standard output is the same terminal. The meter's own thread draws
// only between lines. Thread-safe: workers count records while the main
// thread writes.
#ifndef IDFERRY_SRC_PROGRESS_H_
#define IDFERRY_SRC_PROGRESS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The progress line for `done` of `total` records after `seconds`; `cap`:
// --max-rate, 0 for none.
std::string progress_line(const std::string& phase, size_t done, size_t total, double seconds,
                          int cap = 0);

class progress_meter {
 public:
  // Does nothing unless `enabled`. `terminal`: whether standard error is one.
  // `cap`: --max-rate, 0 for none.
  progress_meter(bool enabled, bool terminal, int cap = 0);
  ~progress_meter();
  progress_meter(const progress_meter&) = delete;
  progress_meter& operator=(const progress_meter&) = delete;

  // Two phases may run at once (--jobs N: the password reads and the
  // look-ups on the target); their lines are shown side by side. begin
  // returns the phase's slot for advance and end.
  static const int kSlots = 2;
  int begin(const std::string& phase, size_t total);
  void advance(int slot) { slots_[slot].done.fetch_add(1, std::memory_order_relaxed); }
  void end(int slot);

  class erasing_buf;  // std::cerr's buffer while the meter is enabled

 private:
  void tick();

  const bool enabled_, terminal_;
  const int cap_;
  std::unique_ptr<erasing_buf> buf_;
  std::streambuf* old_ = nullptr;
  std::mutex mu_;  // the slots' phase, total, started and due; stopping
  std::condition_variable wake_;
  struct slot {
    std::string phase;  // "": free
    size_t total = 0;
    std::atomic<size_t> done{0};
    std::chrono::steady_clock::time_point started;
    double due = 10;  // seconds into the phase of the next plain line
  } slots_[kSlots];
  bool stopping_ = false;
  std::thread ticker_;
};

#endif  // IDFERRY_SRC_PROGRESS_H_
