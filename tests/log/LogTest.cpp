#include <gtest/gtest.h>

#include "log/Log.h"

TEST(LogLevelFilter, MessageLevelAgainstGlobalLevel) {
    struct Case { int global; int message; bool written; } cases[] = {
        {0, 5, false}, {1, 1, true}, {4, 1, false}, {4, 4, true}, {4, 5, true},
        {5, 4, false}, {-1, 1, true}, {7, 5, false}, {6, 5, false},
    };
    int saved = GetLogLevel();
    for (const Case& c : cases) {
        SetLogLevel(c.global);
        EXPECT_EQ(IsLogEnabled(c.message), c.written) << c.global << "/" << c.message;
    }
    SetLogLevel(saved);
}
