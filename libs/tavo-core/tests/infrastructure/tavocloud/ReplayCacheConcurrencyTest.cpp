#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "infrastructure/tavocloud/ReplayCache.h"

using tavo::core::infra::tavocloud::ReplayCache;

TEST(ReplayCacheConcurrency, OneOf32ThreadsWinsEachNewId) {
    ReplayCache cache(60);
    for (int round = 0; round < 20; ++round) {
        const std::string jti = "jti-" + std::to_string(round);
        std::atomic<int> accepted{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 32; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) std::this_thread::yield();
                if (cache.acceptOnce(jti)) accepted.fetch_add(1);
            });
        }
        go.store(true);
        for (auto& th : threads) th.join();
        EXPECT_EQ(accepted.load(), 1) << jti;
    }
    EXPECT_EQ(cache.size(), 20u);
}
