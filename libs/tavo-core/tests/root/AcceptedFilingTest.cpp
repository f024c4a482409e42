// Once the portal has accepted an upload, the engine reports it filed with its
// document id, whatever fails while the incoming number is looked up, and
// whatever the caller's progress callback throws.
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
using tavo::test::PlsTestSubmission;

enum class Fault { None, ListingThrows, NoResultsLink, ResultsLinkThrows };

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

TEST(AcceptedFiling, StaysFiledWhateverFailsAfterTheUpload) {
    tavo::test::PortalCard card;
    tavo::test::PortalStandIn portal;
    tavo::test::PlsFormStandIn forms{portal};
    forms.setRows({{"0100-0042", "04.02.2025 10:00", "2024", "", "", "100001"}});
    tavo::signing::SignerPkcs11 signer{tavo::test::SoftHsmToken::modulePath()};
    tavo::test::TempDir dir{"tavo-accepted"};
    tavo::test::writeFile(dir / "decl.txt", "ред 1\r\nред 2\r\n");

    const std::string accepted = "[ERROR] PlsSubmissionExecutor: upload accepted (document ";
    struct Case {
        const char* typeId;
        Fault fault;
        std::string logLine;
    };
    const Case cases[] = {
        {"test_pls_listing_throws", Fault::ListingThrows,
         accepted + "100001), but looking up its incoming number failed: listing page cut short"},
        // A failure as a value, logged as the session gave it.
        {"test_pls_no_results_link", Fault::NoResultsLink,
         "[WARN ] PlsSubmissionExecutor: results-context prepareFor failed: "},
        {"test_pls_results_link_throws", Fault::ResultsLinkThrows,
         accepted + "100003), but looking up its incoming number failed: catalogue entry without a results link"},
        // The progress callback is the caller's, outside the filing.
        {"test_pls_progress_throws", Fault::None, "progress callback threw: window closed\\x0Aforged line"},
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
        std::vector<int> seen;
        tavo::core::TavoEngine::Progress throwing = [&seen](int percent, const std::string&) {
            seen.push_back(percent);
            throw std::runtime_error("window closed\nforged line");
        };
        auto result = engine.executeOperation(c.typeId, R"({"eik":"123456789","year":2024})",
                                              (dir / "decl.txt").string(), c.fault == Fault::None ? throwing : nullptr);
        ASSERT_EQ(forms.uploads().size(), ++uploads);
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.error, "");
        auto payload = nlohmann::json::parse(result.payload);
        EXPECT_EQ(payload["success"], true);
        EXPECT_EQ(payload["documentId"], std::to_string(100000 + uploads));
        if (c.fault == Fault::None)
            EXPECT_EQ(seen, (std::vector<int>{0, 100}));
        else
            EXPECT_EQ(payload.value("incomeNumber", ""), "");
        EXPECT_NE(card.logText().find(c.logLine), std::string::npos) << c.logLine;
    }
    EXPECT_EQ(card.logText().find("Operation threw"), std::string::npos);
    engine.shutdown();
}

}  // namespace
