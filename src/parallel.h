// Many calls in flight (--jobs N): the one unit of the program that runs
// code on more than one thread.
//
// A phase that makes one call (or a few) per record hands its per-record work
// to a phase_runner, which runs it on N workers. Worker k is a thread of the
// runner's own (or, with one job, the calling thread itself) and uses only
// client k of each instance's client_set, so every runtime context, and with
// it every connection and TLS session, serves one worker. Records are handed
// out in list order; records chained together (creation's groups of records
// that can touch one another) are handed out one after another, each once its
// predecessor finished. Whatever the order in which the calls complete, the
// phase sees the completions in list order (`done`), so it writes its result
// lines exactly as the one-worker run does.
//
// With one job nothing changes: the work runs on the calling thread, record
// after record, stopping at the first failure, as the phases always did.
#ifndef IDFERRY_SRC_PARALLEL_H_
#define IDFERRY_SRC_PARALLEL_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SSOClient;
class progress_meter;

// The clients of one instance: client 0 is the one the run made first (and
// uses for its own calls between phases); client k > 0 is made by worker k on
// its first use. A client is used by one thread at a time: the runner's
// worker of the same number, or the thread that owns the set between phases.
class client_set {
 public:
  using factory = std::function<std::unique_ptr<SSOClient>()>;
  client_set(factory make, int jobs);
  ~client_set();
  client_set(const client_set&) = delete;
  client_set& operator=(const client_set&) = delete;

  SSOClient& at(int worker);
  SSOClient& main() { return at(0); }

 private:
  factory make_;
  std::vector<std::unique_ptr<SSOClient>> clients_;
};

// No further record in a chain.
constexpr uint32_t kChainEnd = UINT32_MAX;

class phase_runner {
 public:
  // `meter` (may be null) shows the progress of each run.
  explicit phase_runner(int jobs, progress_meter* meter = nullptr);

  // What the workers tell of a record, kept for the run's report: a failure,
  // with the error line the phase writes if it is the first in list order
  // and what the report says of it (the line itself when empty), or a note.
  // Thread-safe.
  void fail(size_t index, std::string line, std::string detail = "");
  void note(size_t index, std::string detail);
  // Writes the error line of a failed record to standard error.
  void write_failure(size_t index);
  // Each record's failure or note, by list position.
  const std::map<size_t, std::string>& notes() const { return notes_; }

  // Runs work(worker, i) for the records 0 to count - 1, showing the
  // progress of `phase` on the meter. Once a work returns
  // false, or once the run is halted, no further record is started; work
  // under way finishes. done(i, before_failure) is called for every record
  // whose work finished, in list order: during the run as soon as every
  // record before it finished (these come before the first failure), and,
  // for records finished after a failure, once all work has ended. `done`
  // runs under the runner's lock, one call at a time. With `chains`
  // (chains[i]: the record to start only once i finished, or kChainEnd), a
  // record is started only once the record chained before it finished; the
  // others start in list order.
  // Returns the first failed record in list order, or count when none failed.
  size_t run(const char* phase, size_t count,
             const std::function<bool(int worker, size_t index)>& work,
             const std::function<void(size_t index, bool before_failure)>& done,
             const std::vector<uint32_t>* chains = nullptr);

  // From another thread: no further record starts in this runner's runs,
  // as when the run is halted.
  void cancel() { cancelled_ = true; }

  size_t run_records(size_t count, const std::function<bool(int, size_t)>& work,
                     const std::function<void(size_t, bool)>& done,
                     const std::vector<uint32_t>* chains);

 private:
  // Runs one step of record `index`; an exception fails the record.
  bool guarded(size_t index, const std::function<bool()>& step);

  const int jobs_;
  progress_meter* const meter_;
  std::atomic<bool> cancelled_{false};
  std::mutex notes_mu_;
  std::map<size_t, std::string> lines_, notes_;
};

#endif  // IDFERRY_SRC_PARALLEL_H_
