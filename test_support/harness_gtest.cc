// In the test binary, a helper that cannot do its job fails the current test.
#include <gtest/gtest.h>

#include "test_support/test_util.h"

namespace testutil {

void harness_failure(const std::string& what) { ADD_FAILURE() << what; }

}  // namespace testutil
