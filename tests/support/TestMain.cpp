#include <gtest/gtest.h>

namespace testenv {
void setUp();
void tearDown();
}  // namespace testenv

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Death tests fork; "threadsafe" re-executes the binary, which is safe beside our thread pool.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testenv::setUp();
  int status = RUN_ALL_TESTS();
  testenv::tearDown();
  return status;
}
