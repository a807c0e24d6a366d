#include "src/parallel.h"

#include <algorithm>
#include <condition_variable>
#include <iostream>
#include <queue>
#include <thread>

#include "src/SSOClient/SSOClient.h"
#include "src/progress.h"
#include "src/run_control.h"

client_set::client_set(factory make, int jobs) : make_(std::move(make)), clients_(jobs) {}

client_set::~client_set() = default;

SSOClient& client_set::at(int worker) {
  std::unique_ptr<SSOClient>& client = clients_.at(worker);
  if (!client) client = make_();
  return *client;
}

void phase_runner::fail(size_t index, std::string line, std::string detail) {
  std::lock_guard<std::mutex> lock(notes_mu_);
  notes_[index] = detail.empty() ? line : detail;
  lines_[index] = std::move(line);
}

void phase_runner::note(size_t index, std::string detail) {
  std::lock_guard<std::mutex> lock(notes_mu_);
  notes_[index] = std::move(detail);
}

void phase_runner::write_failure(size_t index) {
  std::lock_guard<std::mutex> lock(notes_mu_);
  auto it = lines_.find(index);
  if (it != lines_.end()) write_error(it->second);
}

bool phase_runner::guarded(size_t index, const std::function<bool()>& step) {
  // An exception (running out of memory, say) in a record's work or in the
  // release of its result fails that record like a failed call instead of
  // ending the process or the whole run at once.
  try {
    return step();
  } catch (const std::exception& e) {
    fail(index, std::string("ERROR: unexpected failure: ") + e.what());
  } catch (...) {
    fail(index, "ERROR: unexpected failure");
  }
  return false;
}

phase_runner::phase_runner(int jobs, progress_meter* meter)
    : jobs_(std::max(1, jobs)), meter_(meter) {}

namespace {

enum : uint8_t { kWaiting, kRunning, kDone, kFailed };

// The shared state of one run: which records are handed out and finished,
// and how far the in-order release got. Everything is guarded by `mu`.
struct run_state {
  std::mutex mu;
  std::condition_variable changed;
  std::vector<uint8_t> state;
  size_t next = 0;    // without chains: the next record to hand out
  size_t cursor = 0;  // the first record not released
  size_t in_flight = 0;
  size_t first_failed;
  bool stopped = false;
  std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> ready;  // with chains
};

}  // namespace

size_t phase_runner::run(const char* phase, size_t count,
                         const std::function<bool(int, size_t)>& work,
                         const std::function<void(size_t, bool)>& done,
                         const std::vector<uint32_t>* chains) {
  if (!meter_) return run_records(count, work, done, chains);
  const int slot = meter_->begin(phase, count);
  const size_t failed = run_records(
      count, [&](int worker, size_t i) {
        const bool ok = work(worker, i);
        meter_->advance(slot);
        return ok;
      },
      done, chains);
  meter_->end(slot);
  return failed;
}

size_t phase_runner::run_records(size_t count, const std::function<bool(int, size_t)>& work,
                                 const std::function<void(size_t, bool)>& done,
                                 const std::vector<uint32_t>* chains) {
  if (jobs_ == 1) {
    for (size_t i = 0; i < count && !halted() && !cancelled_; ++i) {
      bool ok = guarded(i, [&] { return work(0, i); });
      ok = guarded(i, [&] { done(i, ok); return true; }) && ok;
      if (!ok) return i;
    }
    return count;
  }

  run_state s;
  s.state.assign(count, kWaiting);
  s.first_failed = count;
  if (chains) {
    // Chain heads are the records no other record is chained before.
    std::vector<bool> follows(count, false);
    for (uint32_t next : *chains) {
      if (next != kChainEnd) follows[next] = true;
    }
    for (size_t i = 0; i < count; ++i) {
      if (!follows[i]) s.ready.push(i);
    }
  }
  // How far ahead of the first unreleased record work may go: it bounds what
  // the phase holds for the in-order release.
  const size_t window = 1024 + 64 * static_cast<size_t>(jobs_);

  auto worker = [&](int w) {
    std::unique_lock<std::mutex> lock(s.mu);
    for (;;) {
      if (halted() || cancelled_) s.stopped = true;
      if (s.stopped) break;
      size_t i = count;
      if (!chains) {
        if (s.next >= count) break;
        if (s.next < s.cursor + window) i = s.next++;
      } else {
        if (s.ready.empty() && s.in_flight == 0) break;
        if (!s.ready.empty() && s.ready.top() < s.cursor + window) {
          i = s.ready.top();
          s.ready.pop();
        }
      }
      if (i == count) {
        s.changed.wait(lock);
        continue;
      }
      s.state[i] = kRunning;
      ++s.in_flight;
      lock.unlock();
      const bool ok = guarded(i, [&] { return work(w, i); });
      lock.lock();
      --s.in_flight;
      s.state[i] = ok ? kDone : kFailed;
      if (!ok) {
        s.stopped = true;
        s.first_failed = std::min(s.first_failed, i);
      } else if (chains && (*chains)[i] != kChainEnd) {
        s.ready.push((*chains)[i]);
      }
      while (s.cursor < count && s.state[s.cursor] == kDone) {
        const size_t r = s.cursor++;
        if (!guarded(r, [&] { done(r, true); return true; })) {
          s.state[r] = kFailed;
          s.stopped = true;
          s.first_failed = std::min(s.first_failed, r);
          break;
        }
      }
      s.changed.notify_all();
    }
    s.changed.notify_all();
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < jobs_; ++w) threads.emplace_back(worker, w);
  for (std::thread& t : threads) t.join();
  // Records finished after the first failure, in list order.
  for (size_t i = s.cursor; i < count; ++i) {
    if (s.state[i] == kDone || s.state[i] == kFailed) guarded(i, [&] { done(i, false); return true; });
  }
  return s.first_failed;
}
