#include <gtest/gtest.h>
#include <rolm/trace.h>

#include "support.h"

TEST(Trace, Smoke) {
    rolm_test::TraceLog& log = rolm_test::TraceLog::Get();
    log.Clear();
    TraceWrite(L"X > a == %d", 5);
    EXPECT_EQ(log.Take(), std::vector<std::wstring>{L"X > a == 5"});
}
