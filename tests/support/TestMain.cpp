#include <gtest/gtest.h>

#include "support/TestEnvironment.h"

int main(int argc, char** argv) {
  return testenv::runWithPrivateHome([&] {
    testing::InitGoogleTest(&argc, argv);
    // Death tests fork; "threadsafe" re-executes the binary, which is safe beside our thread pool.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
  });
}
