// Shared main of the test programs: runs a child verb when started as one,
// the tests otherwise, each checked for heap blocks it leaves behind.
#include <gtest/gtest.h>

#include <thread>

#include "faults.h"

namespace rolm_test {
int RunChildIfAsked();
}

// GoogleTest's stack of scoped traces, grown once for the whole run.
static void Nest(int depth) {
    SCOPED_TRACE(depth);
    if (depth > 0) Nest(depth - 1);
}

// The thread runtime keeps the records of ended threads for the next ones: a
// few made at the start, so that the tests' threads find them.
static void StartThreads(int count) {
    std::thread thread([count] {
        if (count > 1) StartThreads(count - 1);
    });
    thread.join();
}

int main(int argc, char** argv) {
    rolm_test::CheckHeapOnRelease();  // an overrun is caught when its block goes back
    int child = rolm_test::RunChildIfAsked();
    if (child >= 0) return child;
    ::testing::InitGoogleTest(&argc, argv);
    {
        rolm_test::HeapKept kept;
        Nest(8);
        StartThreads(4);
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(rolm_test::NewLeakCheck());
    return RUN_ALL_TESTS();
}
