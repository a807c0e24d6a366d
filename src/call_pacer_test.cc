#include "src/call_pacer.h"

#include <gtest/gtest.h>

namespace {

// Two calls may start at once, the third only an interval later (the window's
// cap is the end-to-end table's to check); a hold keeps every start back until
// it ends or a stop is requested.
TEST(CallPacer, BurstAndHold) {
  using clock = call_pacer::clock;
  call_pacer pacer(10, 2);
  const clock::time_point first = clock::now();
  for (int i = 0; i < 3; ++i) pacer.acquire(nullptr);
  EXPECT_LE(first + call_pacer::kWindow / 10, clock::now());
  const clock::time_point until = clock::now() + std::chrono::milliseconds(300);
  pacer.hold_until(until);
  pacer.hold_until(until - std::chrono::milliseconds(200));  // an earlier hold changes nothing
  pacer.acquire(nullptr);
  EXPECT_LE(until, clock::now());
  pacer.hold_until(clock::now() + std::chrono::hours(1));
  pacer.acquire([] { return true; });  // a stop request ends the wait
}

}  // namespace
