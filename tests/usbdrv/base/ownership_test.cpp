// The portable half of the ownership kit: the scope guard runs its clean-up exactly once.
#include <gtest/gtest.h>

#include <utility>

#include "usbdrv/kit.h"

namespace {

TEST(ScopeGuard, RunsOnceAtTheEndUnlessDismissedOrRunEarlier) {
    int runs = 0;
    auto count = [&] { runs++; };
    {
        scope_guard guard(count);
        EXPECT_TRUE(guard.armed());
    }
    EXPECT_EQ(runs, 1);
    {
        scope_guard guard(count);
        guard.dismiss();
    }
    EXPECT_EQ(runs, 1);
    {
        scope_guard guard(count);
        guard.release();
        EXPECT_EQ(runs, 2);
        EXPECT_FALSE(guard.armed());
        guard.release();
    }
    EXPECT_EQ(runs, 2);
    {
        scope_guard guard(count);
        scope_guard moved(std::move(guard));  // only the new guard runs it
        EXPECT_FALSE(guard.armed());
    }
    EXPECT_EQ(runs, 3);
}

}  // namespace
