// The runner's contract where a record's work or the release of its result
// throws: that record fails like a failed call, with one job as with many,
// and the records before it are released in list order.
#include "src/parallel.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

TEST(PhaseRunner, AnExceptionFailsItsRecord) {
  struct Row {
    int jobs;
    bool in_release;  // thrown while releasing record 2, else in its work
  };
  for (const Row row : {Row{1, false}, Row{1, true}, Row{4, false}, Row{4, true}}) {
    SCOPED_TRACE(std::to_string(row.jobs) + (row.in_release ? " jobs, release" : " jobs, work"));
    phase_runner runner(row.jobs);
    std::string released;
    const size_t failed = runner.run(
        "phase", 6,
        [&](int, size_t i) {
          if (!row.in_release && i == 2) throw std::runtime_error("boom");
          return true;
        },
        [&](size_t i, bool before_failure) {
          if (row.in_release && i == 2 && before_failure) throw std::runtime_error("boom");
          if (before_failure) released += std::to_string(i);
        });
    EXPECT_EQ(2u, failed);
    EXPECT_EQ("01", released);
    EXPECT_EQ("ERROR: unexpected failure: boom", runner.notes().at(2));
  }
}
