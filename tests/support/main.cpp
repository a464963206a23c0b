// Shared main of the test programs: runs a child verb when started as one,
// the tests otherwise.
#include <gtest/gtest.h>

#include "faults.h"

namespace rolm_test {
int RunChildIfAsked();
}

int main(int argc, char** argv) {
    rolm_test::CheckHeapOnRelease();  // an overrun is caught when its block goes back
    int child = rolm_test::RunChildIfAsked();
    if (child >= 0) return child;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
