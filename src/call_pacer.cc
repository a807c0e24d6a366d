#include "src/call_pacer.h"

#include <algorithm>
#include <thread>

constexpr std::chrono::milliseconds call_pacer::kWindow;

call_pacer::call_pacer(int per_second, int burst)
    : per_second_(std::max(per_second, 0)),
      interval_(per_second_ > 0 ? clock::duration(kWindow) / per_second_ : clock::duration(0)),
      burst_span_(interval_ * (std::max(burst, 1) - 1)),
      starts_(static_cast<size_t>(per_second_), clock::time_point::min()) {}

call_pacer::clock::time_point call_pacer::earliest(clock::time_point now) const {
  clock::time_point t = std::max(now, clock::time_point(clock::duration(hold_.load())));
  if (per_second_ == 0) return t;
  t = std::max(t, due_ - burst_span_);
  const clock::time_point oldest = starts_[next_];
  if (oldest != clock::time_point::min()) t = std::max(t, oldest + kWindow);
  return t;
}

void call_pacer::acquire(const std::function<bool()>& stopped) {
  if (per_second_ == 0 && hold_.load() <= clock::now().time_since_epoch().count()) return;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const clock::time_point now = clock::now();
    const clock::time_point t = earliest(now);
    if (t <= now || (stopped && stopped())) break;
    // Short naps, so that a stop request ends a long pause soon.
    lock.unlock();
    std::this_thread::sleep_until(std::min(t, now + std::chrono::milliseconds(50)));
    lock.lock();
  }
  if (per_second_ == 0) return;
  const clock::time_point now = clock::now();
  due_ = std::max(due_, now) + interval_;
  starts_[next_] = now;
  next_ = (next_ + 1) % starts_.size();
}

void call_pacer::hold_until(clock::time_point until) {
  const clock::rep wanted = until.time_since_epoch().count();
  clock::rep held = hold_.load();
  while (held < wanted && !hold_.compare_exchange_weak(held, wanted)) {
  }
}
