#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "InMemorySettingsProvider.h"
#include "TavoEngine.h"
#include "domain/NapSession.h"
#include "infrastructure/http/NapEndpoints.h"
#include "operations/IInquiry.h"
#include "operations/OperationRegistry.h"
#include "support/StandIn.h"

using namespace tavo::core;
using namespace tavo::core::operations;

namespace {

// Two portal requests per run: a second operation's request between them
// would mean the engine let two operations share the session at once.
struct TwoRequests : IInquiry {
    std::string typeId() const override { return "engine_two_requests"; }
    std::string displayName() const override { return "Две заявки"; }
    std::string featureGroupId() const override { return "engine"; }
    std::string featureGroupName() const override { return "Engine tests"; }
    SubmissionChannel channel() const override { return SubmissionChannel::Browser; }
    AuthScheme authScheme() const override { return AuthScheme::NapPortalSession; }
    std::vector<ParameterSpec> parameters() const override { return {}; }
    InquiryResult execute(domain::NapSession& session, const ParameterValues& params) override {
        const std::string tag = params.getOr("tag", "");
        const std::string base = infra::nap::kPortalBase;
        auto first = session.get(base + "/engine/one?tag=" + tag);
        auto second = session.get(base + "/engine/two?tag=" + tag);
        InquiryResult r;
        r.metadata["status"] = std::to_string(first.status) + "/" + std::to_string(second.status);
        return r;
    }
};

const bool registered = OperationRegistry::instance().registerOperation("engine_two_requests",
                                                                        [] { return std::make_unique<TwoRequests>(); });

}  // namespace

TEST(TavoEngineConcurrency, OperationsNeverOverlapOnTheSession) {
    ASSERT_TRUE(registered);
    tavo::test::StandIn portal;
    portal.route({infra::nap::kPortalHost});
    portal.on("GET", "/engine/one", [](const tavo::test::RecordedRequest&) { return tavo::test::Reply::text("1"); });
    portal.on("GET", "/engine/two", [](const tavo::test::RecordedRequest&) { return tavo::test::Reply::text("2"); });

    TavoEngine engine(std::make_unique<InMemorySettingsProvider>());
    engine.initialize();
    constexpr int kThreads = 8, kCalls = 20;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                std::string tag = std::to_string(t) + "-" + std::to_string(i);
                ExecuteResult r = engine.executeOperation("engine_two_requests", R"({"tag":")" + tag + R"("})");
                if (!r.ok || r.payload.find("200/200") == std::string::npos) ++failures;
                // Reads of the engine's state interleave with the operations.
                (void)engine.isAuthenticated();
                (void)engine.lastError();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);

    auto requests = portal.journal().all();
    ASSERT_EQ(requests.size(), static_cast<size_t>(2 * kThreads * kCalls));
    for (size_t i = 0; i < requests.size(); i += 2) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i].path, "/engine/one");
        EXPECT_EQ(requests[i + 1].path, "/engine/two");
        EXPECT_EQ(requests[i].query, requests[i + 1].query);
    }
    engine.shutdown();
}
