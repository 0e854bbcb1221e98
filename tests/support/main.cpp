// The entry of every test program: before any test runs, the process takes
// one of the run's database servers for its whole life.
#include "harness.hpp"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // ctest lists the tests before the servers start; listing needs none.
    if (!GTEST_FLAG_GET(list_tests))
        hcp_test::take_bench_slot();
    return RUN_ALL_TESTS();
}
