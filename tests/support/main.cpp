// Shared main of the test programs: runs a child verb when started as one,
// the tests otherwise, each checked for heap blocks it leaves behind.
#include <gtest/gtest.h>

#include <thread>

#include "faults.h"
#include "support.h"

namespace rolm_test {
int RunChildIfAsked();
}

// What the run keeps for good, made before the first test: the main thread's
// stack of scoped traces, the records of threads that the thread runtime
// keeps for the next ones (each level's thread is joined only after the
// levels below it).
static void Grow(int depth) {
    SCOPED_TRACE(depth);
    std::thread thread([] {});
    if (depth > 0) Grow(depth - 1);
    thread.join();
}

int main(int argc, char** argv) {
    rolm_test::CheckHeapOnRelease();  // an overrun is caught when its block goes back
    int child = rolm_test::RunChildIfAsked();
    if (child >= 0) return child;
    ::testing::InitGoogleTest(&argc, argv);
    {
        rolm_test::HeapKept kept;
        Grow(8);
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(rolm_test::NewLeakCheck());
    return RUN_ALL_TESTS();
}
