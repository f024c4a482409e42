// Once the portal has accepted an upload, the engine reports it filed with its
// document id, whatever fails while the incoming number is looked up.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <stdexcept>

#include "InMemorySettingsProvider.h"
#include "TavoEngine.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "operations/OperationRegistry.h"
#include "support/PlsFormStandIn.h"
#include "support/PlsTestSubmission.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

namespace {

using namespace tavo::core::operations;
using tavo::test::PlsFormStandIn;
using tavo::test::PlsTestSubmission;

enum class Fault { ListingThrows, NoResultsLink, ResultsLinkThrows };

// The portal-form declaration of the stand-in, failing after the upload in
// the way a test asks for.
class FailingAfterUpload : public PlsTestSubmission {
public:
    FailingAfterUpload(std::string typeId, Fault fault) : PlsTestSubmission(std::move(typeId)), fault_(fault) {}

    std::optional<tavo::core::domain::NapServiceLink> findResultsLink(
        const tavo::core::domain::NapService& service) const override {
        if (fault_ == Fault::NoResultsLink) return std::nullopt;
        if (fault_ == Fault::ResultsLinkThrows) throw std::runtime_error("catalogue entry without a results link");
        return PlsTestSubmission::findResultsLink(service);
    }
    InquiryResult fetchResults(tavo::core::domain::NapSession& session, const ResultsFilter& filter) override {
        if (fault_ == Fault::ListingThrows) throw std::runtime_error("listing page cut short");
        return PlsTestSubmission::fetchResults(session, filter);
    }

private:
    Fault fault_;
};

TEST(AcceptedFiling, StaysFiledWhenTheLookUpFails) {
    tavo::test::PortalCard card;
    tavo::test::PortalStandIn portal;
    PlsFormStandIn forms{portal};
    forms.setRows({{"0100-0042", "04.02.2025 10:00", "2024", "", "", "100001"}});
    tavo::signing::SignerPkcs11 signer{tavo::test::SoftHsmToken::modulePath()};
    tavo::test::TempDir dir{"tavo-accepted"};
    tavo::test::writeFile(dir / "decl.txt", "ред 1\r\nред 2\r\n");

    struct Case {
        const char* typeId;
        Fault fault;
        const char* thrown;  // empty: a failure as a value, logged as the session gave it
    };
    const Case cases[] = {
        {"test_pls_listing_throws", Fault::ListingThrows, "listing page cut short"},
        {"test_pls_no_results_link", Fault::NoResultsLink, ""},
        {"test_pls_results_link_throws", Fault::ResultsLinkThrows, "catalogue entry without a results link"},
    };
    for (const Case& c : cases) {
        Fault fault = c.fault;
        std::string typeId = c.typeId;
        ASSERT_TRUE(OperationRegistry::instance().registerOperation(
            typeId, [typeId, fault] { return std::make_unique<FailingAfterUpload>(typeId, fault); }));
    }

    tavo::core::Sender sender{"s-0123456789ab", "Тест Трейд ООД", card.identity()};
    tavo::core::TavoEngine engine(
        std::make_unique<tavo::core::InMemorySettingsProvider>(std::vector<tavo::core::Sender>{sender}, sender.id));
    engine.setSigner(&signer);
    engine.initialize();
    engine.setPin(card.pin());

    size_t uploads = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typeId);
        auto result =
            engine.executeOperation(c.typeId, R"({"eik":"123456789","year":2024})", (dir / "decl.txt").string());
        ASSERT_EQ(forms.uploads().size(), ++uploads);
        const std::string pid = std::to_string(100000 + uploads);
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.error, "");
        ASSERT_FALSE(result.payload.empty());
        auto payload = nlohmann::json::parse(result.payload);
        EXPECT_EQ(payload["success"], true);
        EXPECT_EQ(payload["documentId"], pid);
        EXPECT_EQ(payload.value("incomeNumber", ""), "");
        const std::string logLine =
            *c.thrown ? "[ERROR] PlsSubmissionExecutor: upload accepted (document " + pid +
                            "), but looking up its incoming number failed: " + c.thrown
                      : std::string("[WARN ] PlsSubmissionExecutor: results-context prepareFor failed: ");
        EXPECT_NE(card.logText().find(logLine), std::string::npos) << logLine;
    }
    EXPECT_EQ(card.logText().find("Operation threw"), std::string::npos);
    engine.shutdown();
}

// The caller's progress callback is outside the filing: what it throws after
// the portal accepted the upload is logged, and the filing stays reported.
TEST(AcceptedFiling, StaysFiledWhenTheProgressCallbackThrows) {
    tavo::test::PortalCard card;
    tavo::test::PortalStandIn portal;
    PlsFormStandIn forms{portal};
    forms.setRows({{"0100-0042", "04.02.2025 10:00", "2024", "", "", "100001"}});
    tavo::signing::SignerPkcs11 signer{tavo::test::SoftHsmToken::modulePath()};
    tavo::test::TempDir dir{"tavo-accepted-progress"};
    tavo::test::writeFile(dir / "decl.txt", "ред 1\r\n");
    ASSERT_TRUE(OperationRegistry::instance().registerOperation(
        "test_pls_progress", [] { return std::make_unique<PlsTestSubmission>("test_pls_progress"); }));

    tavo::core::Sender sender{"s-0123456789ab", "Тест Трейд ООД", card.identity()};
    tavo::core::TavoEngine engine(
        std::make_unique<tavo::core::InMemorySettingsProvider>(std::vector<tavo::core::Sender>{sender}, sender.id));
    engine.setSigner(&signer);
    engine.initialize();
    engine.setPin(card.pin());

    std::vector<int> seen;
    auto throwing = [&seen](int percent, const std::string&) {
        seen.push_back(percent);
        throw std::runtime_error("window closed\nforged line");
    };
    tavo::core::ExecuteResult result;
    ASSERT_NO_THROW(result = engine.executeOperation("test_pls_progress", R"({"eik":"123456789","year":2024})",
                                                     (dir / "decl.txt").string(), throwing));
    EXPECT_EQ(seen, (std::vector<int>{0, 100}));
    ASSERT_EQ(forms.uploads().size(), 1u);
    EXPECT_TRUE(result.ok) << result.error;
    auto payload = nlohmann::json::parse(result.payload);
    EXPECT_EQ(payload["documentId"], "100001");
    EXPECT_NE(card.logText().find("progress callback threw: window closed\\x0Aforged line"), std::string::npos);
    engine.shutdown();
}

}  // namespace
