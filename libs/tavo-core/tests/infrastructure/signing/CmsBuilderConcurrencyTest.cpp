#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "infrastructure/signing/CmsBuilder.h"
#include "support/CmsCheck.h"
#include "support/TestPki.h"

using tavo::signing::CmsBuilder;
using namespace tavo::test;

// The first signatures of a process create the delegate method and its
// extra-data index; several threads doing so at once all get working keys.
TEST(CmsBuilderConcurrency, FirstCallsFromSeveralThreadsAllSign) {
    auto cert = TestPki::instance().issueClient("Tavo Threads", "threads@example.com");
    auto sign = softwareRawSign(cert.keyFile);
    constexpr int kThreads = 6;
    std::vector<std::vector<uint8_t>> sigs(kThreads);
    std::vector<std::vector<uint8_t>> data(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        data[i] = std::vector<uint8_t>(1000 + i, static_cast<uint8_t>(i));
        threads.emplace_back([&, i] { sigs[i] = CmsBuilder::buildDetached(data[i], cert.certDer, sign, true); });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        auto verdict = verifyDetachedCms(sigs[i], data[i]);
        EXPECT_TRUE(verdict.verified) << verdict.output;
    }
}
