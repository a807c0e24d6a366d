// The pace of the calls to one instance: the cap of --max-rate, and the pause
// an instance asks for when it answers HTTP 429 or 503 with Retry-After.
//
// One pacer per instance is shared by every client of that instance: the
// endpoint probe's, the run's own (client 0) and every worker's. Each
// attempt of a service call, a retry's included, takes a permit (acquire)
// right before it starts, so the cap counts calls as the instance sees them
// arrive, whichever connection carries them.
//
// With a cap of N calls per second:
//  - in any window of kWindow, at most N calls start. The window is a little
//    longer than a second because the instance counts a call when it arrives,
//    and the way there (a new connection's handshake, a thread the scheduler
//    holds back) delays some calls more than others: N calls never reach the
//    instance within one second;
//  - the starts are spread over the window, one every kWindow / N, with a
//    burst of at most `burst` (the run's --jobs) at once, rather than N at
//    the start of each window and then a pause.
// Without a cap, acquire returns at once unless a pause is held: a run whose
// instances never ask for one makes its calls exactly as without a pacer.
//
// hold_until sets a time before which no call starts (the later of two holds
// wins), for the instance that asked the client to come back later.
//
// Thread-safe: any number of threads may acquire and hold at once. The pacer
// is owned through shared pointers by the clients that use it.
#ifndef IDFERRY_SRC_CALL_PACER_H_
#define IDFERRY_SRC_CALL_PACER_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

class call_pacer {
 public:
  using clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kWindow{1050};

  // `per_second` 0: no cap; otherwise calls per second, and `burst` (at
  // least 1) calls that may start at once.
  call_pacer(int per_second, int burst);
  call_pacer(const call_pacer&) = delete;
  call_pacer& operator=(const call_pacer&) = delete;

  // Blocks until a call may start and counts it as started. `stopped` (may
  // be empty) is asked while waiting; once it says true the wait ends and
  // the call starts at once, so work under way at a stop still finishes.
  void acquire(const std::function<bool()>& stopped);
  // No call starts before `until`.
  void hold_until(clock::time_point until);

  int per_second() const { return per_second_; }

 private:
  // The earliest time a call may start, as of `now`. Under mu_.
  clock::time_point earliest(clock::time_point now) const;

  const int per_second_;
  const clock::duration interval_;  // kWindow / per_second_
  const clock::duration burst_span_;  // (burst - 1) intervals
  std::mutex mu_;  // guards due_, starts_ and next_
  std::atomic<clock::rep> hold_{0};  // no start before this (its time_since_epoch)
  clock::time_point due_{};  // when the next call would start at the even pace
  std::vector<clock::time_point> starts_;  // the last N starts, a ring
  size_t next_ = 0;  // the oldest of them
};

#endif  // IDFERRY_SRC_CALL_PACER_H_
