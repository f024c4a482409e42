#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "operations/IInquiry.h"
#include "operations/OperationRegistry.h"

using namespace tavo::core::operations;

namespace {

class Op : public IInquiry {
public:
    std::string typeId() const override { return "op"; }
    std::string displayName() const override { return "Операция"; }
    std::string featureGroupId() const override { return "g"; }
    std::string featureGroupName() const override { return "G"; }
    SubmissionChannel channel() const override { return SubmissionChannel::Browser; }
    AuthScheme authScheme() const override { return AuthScheme::None; }
    std::vector<ParameterSpec> parameters() const override { return {}; }
    InquiryResult execute(tavo::core::domain::NapSession&, const ParameterValues&) override { return {}; }
};

}  // namespace

// After registration the registry is read-only: any number of threads may
// create and list at once without a lock.
TEST(OperationRegistryConcurrency, ReadersNeedNoLock) {
    OperationRegistry reg;
    for (const char* id : {"vat", "dec1_6", "dec731"})
        ASSERT_TRUE(reg.registerOperation(id, [] { return std::make_unique<Op>(); }));

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&reg, &failures] {
            for (int i = 0; i < 200; ++i) {
                auto op = reg.create(i % 2 ? "vat" : "dec731");
                if (!op || op->displayName() != "Операция") ++failures;
                if (reg.listAll().size() != 3 || reg.listInquiries().size() != 3 || !reg.listSubmissions().empty())
                    ++failures;
                if (reg.create("missing")) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}
