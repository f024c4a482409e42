#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "domain/NapSession.h"
#include "support/PortalStandIn.h"

namespace {

using tavo::core::domain::NapCategory;
using tavo::core::domain::NapSession;

// Concurrent first callers wait for the one fetch and share its result.
TEST(CatalogueCache, EightThreadsOneFetch) {
    tavo::test::PortalStandIn portal;
    portal.setCategoriesDelay(std::chrono::milliseconds(300));
    std::vector<const std::vector<NapCategory>*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&seen, i] {
            NapSession session;
            seen[static_cast<size_t>(i)] = &session.categories();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(portal.categoriesFetches(), 1);
    EXPECT_EQ(std::set<const void*>(seen.begin(), seen.end()).size(), 1u);
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0]->size(), 2u);
}

}  // namespace
