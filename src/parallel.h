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

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SSOClient;

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

// The error lines of a phase's failed records, set by the workers; the phase
// writes the one of the first failure in list order, as the one-worker run
// would have written it. Thread-safe.
class failure_lines {
 public:
  void set(size_t index, std::string line);
  // Writes the line of `index` to standard error.
  void write(size_t index);

 private:
  std::mutex mu_;
  std::vector<std::pair<size_t, std::string>> lines_;
};

// No further record in a chain.
constexpr uint32_t kChainEnd = UINT32_MAX;

class phase_runner {
 public:
  explicit phase_runner(int jobs);
  int jobs() const { return jobs_; }

  // Runs work(worker, i) for the records 0 to count - 1. Once a work returns
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
  size_t run(size_t count, const std::function<bool(int worker, size_t index)>& work,
             const std::function<void(size_t index, bool before_failure)>& done,
             const std::vector<uint32_t>* chains = nullptr);

 private:
  const int jobs_;
};

#endif  // IDFERRY_SRC_PARALLEL_H_
