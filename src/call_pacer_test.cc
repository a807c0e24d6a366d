#include "src/call_pacer.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

using clock_type = call_pacer::clock;

// Ten calls a second, two at once: of twelve starts no eleven fall within one
// window, the first two come at once; a hold keeps every start back until
// it ends or a stop is requested.
TEST(CallPacer, StartsKeepToTheCapAndTheHold) {
  call_pacer pacer(10, 2);
  std::vector<clock_type::time_point> starts;
  for (int i = 0; i < 12; ++i) {
    pacer.acquire(nullptr);
    starts.push_back(clock_type::now());
  }
  EXPECT_GT(std::chrono::milliseconds(50), starts[1] - starts[0]);
  for (size_t i = 0; i + 10 < starts.size(); ++i) {
    EXPECT_LE(call_pacer::kWindow, starts[i + 10] - starts[i]) << i;
  }
  const clock_type::time_point until = clock_type::now() + std::chrono::milliseconds(300);
  call_pacer unpaced(0, 1);
  unpaced.hold_until(until);
  unpaced.hold_until(until - std::chrono::milliseconds(200));  // an earlier hold changes nothing
  unpaced.acquire(nullptr);
  EXPECT_LE(until, clock_type::now());
  unpaced.hold_until(clock_type::now() + std::chrono::hours(1));
  unpaced.acquire([] { return true; });  // a stop request ends the wait
}

}  // namespace
