#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>

#include "infrastructure/tavocloud/ReplayCache.h"

using tavo::core::infra::tavocloud::ReplayCache;

TEST(ReplayCache, AcceptsOnceThenAgainAfterExpiry) {
    ReplayCache cache(1);
    EXPECT_TRUE(cache.acceptOnce("jti-1"));
    EXPECT_FALSE(cache.acceptOnce("jti-1"));
    EXPECT_TRUE(cache.acceptOnce("jti-2"));
    EXPECT_EQ(cache.size(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    // Expired entries stay counted until a call sweeps them.
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_TRUE(cache.acceptOnce("jti-1"));
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_FALSE(cache.acceptOnce("jti-1"));
}

TEST(ReplayCache, EmptyIdIsNeverAcceptedNorStored) {
    ReplayCache cache(60);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(cache.acceptOnce(""));
    EXPECT_EQ(cache.size(), 0u);
}

TEST(ReplayCache, ClearForgetsEverything) {
    ReplayCache cache(60);
    EXPECT_TRUE(cache.acceptOnce("a"));
    EXPECT_TRUE(cache.acceptOnce("b"));
    cache.clear();
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_TRUE(cache.acceptOnce("a"));
}

TEST(ReplayCache, ExtremeLifetimesNeitherOverflowNorStick) {
    ReplayCache forever(std::numeric_limits<int64_t>::max());
    EXPECT_TRUE(forever.acceptOnce("x"));
    EXPECT_FALSE(forever.acceptOnce("x"));
    for (int64_t ttl : {int64_t{0}, int64_t{-5}, std::numeric_limits<int64_t>::min()}) {
        SCOPED_TRACE(ttl);
        ReplayCache none(ttl);
        EXPECT_TRUE(none.acceptOnce("x"));
        EXPECT_TRUE(none.acceptOnce("x"));
        EXPECT_EQ(none.size(), 1u);
    }
}
