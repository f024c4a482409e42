// A card pulled from its reader and put back works again in the same
// process: login, a portal upload and a REST filing, each through a new
// mutual-TLS handshake that loads the key from the card.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/Base64.h"
#include "domain/NapSession.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapRestSubmitter.h"
#include "infrastructure/http/Pkcs11Engine.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "operations/PlsSubmissionExecutor.h"
#include "support/CmsCheck.h"
#include "support/FaultModule.h"
#include "support/PlsFormStandIn.h"
#include "support/PlsTestSubmission.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/RestApiStandIn.h"
#include "support/TempDir.h"

namespace {

using namespace tavo::core::domain;
using namespace tavo::core::infra::http;
using namespace tavo::core::operations;
using tavo::signing::SignerPkcs11;
using namespace tavo::test;
using json = nlohmann::json;

constexpr const char* kApiKey = "rest-api-key-card";

struct CardReinsert : ::testing::Test {
    PortalCard card;  // the token exists before anything loads the module
    FaultModule fault;
    // Both the engine and the signer reach the card through the module that
    // can pull it.
    ScopedEnv module{"TAVO_PKCS11_MODULE", FaultModule::path().c_str()};
    PortalStandIn portal;
    PlsFormStandIn forms{portal};
    RestApiStandIn api;
    SignerPkcs11 signer{FaultModule::path()};
    NapSession session;
    PlsTestSubmission op;
    TempDir dir{"tavo-card-reinsert"};

    void SetUp() override {
        prepare(session);
        writeFile(dir / "decl.txt", "\xC4\xE5\xEA\xEB\xE0\xF0\xE0\xF6\xE8\xFF;2024\r\n");
        writeFile(dir / "etz62.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><notification/>\n");
    }

    void prepare(NapSession& s) {
        auto identity = card.identity();
        identity.apiKey = kApiKey;
        s.setIdentity(identity);
        s.setPin(card.pin());
        s.setSigner(&signer);
    }

    unsigned long pinRefusals() const { return fault.count("pinRefusals"); }
    size_t countOn(const std::string& path) const {
        size_t n = 0;
        for (const auto& r : portal.journal().all()) n += r.path == path ? 1 : 0;
        return n;
    }

    void expectUploadFiles(NapSession& active) {
        forms.setRows({{"0100-0009", "03.02.2025 10:12", "2024", "", "", "100001"}});
        SubmissionResult r = executePlsSubmission(active, op, (dir / "decl.txt").string(),
                                                  ParameterValues{{"eik", "123456789"}, {"year", "2024"}});
        EXPECT_TRUE(r.success) << r.errorMessage;
        auto uploads = forms.uploads();
        ASSERT_FALSE(uploads.empty());
        EXPECT_EQ(uploads.back().verifyStatus, 0) << uploads.back().verifyOutput;
    }

    void expectRestFilingGoes(NapSession& active) {
        ASSERT_TRUE(signer.warmUp(card.key().certificateId, card.pin()));
        NapRestSubmitter submitter(active, signer, RestApiStandIn::productionSubmitUrl(),
                                   RestApiStandIn::productionResultUrl(), kApiKey,
                                   {DocumentType::DEC_ETZ62, FileDocumentType::DEC_ETZ62, FileType::XML, false});
        auto before = api.submits().size();
        SubmissionResult r = submitter.submit((dir / "etz62.xml").string(), ParameterValues{{"eik", "123456789"}});
        EXPECT_TRUE(r.success) << r.errorMessage;
        auto sent = api.submits();
        ASSERT_EQ(sent.size(), before + 1);
        json body = json::parse(sent.back().body);
        for (const json& f : body["files"]) {
            auto sig = tavo::core::common::base64::decode(f["base64EncodedPkcs7"].get<std::string>());
            auto data = tavo::core::common::base64::decode(f["fileContentBase64"].get<std::string>());
            EXPECT_TRUE(verifyDetachedCms(sig, data).verified);
        }
    }
};

}  // namespace

TEST_F(CardReinsert, LoginUploadAndRestFilingWorkAfterAMistypedPinAndAfterTheCardComesBack) {
    ASSERT_TRUE(session.login()) << session.lastError();
    // Checking a mistyped PIN logs the card out for the whole process, the
    // engine's sessions included: the upload's own connection logs in again.
    EXPECT_THROW(signer.warmUp(card.key().certificateId, "000000"), tavo::signing::InvalidPinException);
    expectUploadFiles(session);
    expectRestFilingGoes(session);

    fault.pullCard();
    EXPECT_FALSE(signer.warmUp(card.key().certificateId, card.pin()));
    fault.putCardBack();

    // A new session: its login opens new connections, and their handshakes
    // load the key from the card that came back.
    NapSession again;
    prepare(again);
    const auto refusals = pinRefusals();
    const auto certificateLogins = countOn("/auth/login/qes");
    ASSERT_TRUE(again.login()) << again.lastError();
    EXPECT_EQ(countOn("/auth/login/qes"), certificateLogins + 1);
    EXPECT_EQ(portal.journal().clientSubjectOn("/auth/login/qes"), card.key().cert.subject);
    EXPECT_NE(card.logText().find("HttpClient: pkcs11 engine started afresh"), std::string::npos);
    expectUploadFiles(again);
    expectRestFilingGoes(again);
    EXPECT_EQ(pinRefusals(), refusals);
}

// The engine's one PIN is the PIN of the transfer that loads the key, never
// one left by another client: a client with a mistyped PIN fails at each of
// its handshakes that needs a login, with one refusal each, even right
// after a client with the right PIN.
TEST_F(CardReinsert, EachKeyLoadPresentsItsOwnClientsPin) {
    const std::string loginHost = "https://login.nra.bg/";
    auto wrong = HttpClientFactory::forNapPortal(card.key().certificateId, "000000");
    auto right = HttpClientFactory::forNapPortal(card.key().certificateId, card.pin());
    const auto refusals = pinRefusals();
    struct Step {
        HttpClient* client;
        bool pullCardFirst;  // the card comes back logged out
        bool handshake;
        unsigned long refusalsAfter;
    };
    const Step steps[] = {
        {wrong.get(), false, false, 1},
        {right.get(), false, true, 1},
        {wrong.get(), true, false, 2},
        {right.get(), false, true, 2},
    };
    int n = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(n++);
        if (step.pullCardFirst) {
            fault.pullCard();
            fault.putCardBack();
        }
        HttpResponse resp = step.client->getFresh(loginHost);
        EXPECT_EQ(resp.status != 0, step.handshake) << resp.error;
        EXPECT_EQ(pinRefusals() - refusals, step.refusalsAfter);
    }
    const std::string log = card.logText();
    EXPECT_EQ(log.find("000000"), std::string::npos);
    EXPECT_EQ(log.find(card.pin() + "\n"), std::string::npos);
}

// Only a lost session or token starts the engine afresh and tries once
// more; a refused PIN never does, nor any other failure.
TEST(CardSessionsLost, ReadsTheModulesAnswerFromLibcurlsText) {
    const std::string prefix = "ssl engine cannot load client cert with id 'slot_1-id_A1' [error:";
    struct Case {
        CURLcode rc;
        std::string text;
        bool lost;
    };
    const Case cases[] = {
        {CURLE_SSL_CERTPROBLEM, prefix + "418000B3:PKCS#11 module::Session handle invalid]", true},
        {CURLE_SSL_CERTPROBLEM, prefix + "41800032:PKCS#11 module::Device removed]", true},
        {CURLE_SSL_CERTPROBLEM, prefix + "418000E0:PKCS#11 module::Token not present]", true},
        {CURLE_SSL_CONNECT_ERROR, "error:41800101:PKCS#11 module::User not logged in", true},
        {CURLE_SSL_ENGINE_INITFAILED, prefix + "4a8000b3:PKCS#11 module::Session handle invalid]", true},
        {CURLE_SSL_CONNECT_ERROR, "OpenSSL/3.0.19: error:41800082:PKCS#11 module::Object handle invalid", true},
        // A refused or locked PIN is the user's to retype.
        {CURLE_SSL_CERTPROBLEM, prefix + "418000A0:PKCS#11 module::PIN incorrect]", false},
        {CURLE_SSL_CERTPROBLEM, prefix + "418000A4:PKCS#11 module::PIN locked]", false},
        // Not the card's module speaking, or not a handshake failure.
        {CURLE_SSL_CERTPROBLEM, prefix + "1E08010C:DECODER routines::unsupported]", false},
        {CURLE_SSL_CERTPROBLEM, "ssl engine cannot load client cert: UI routines::processing error", false},
        {CURLE_COULDNT_CONNECT, prefix + "418000B3:PKCS#11 module::Session handle invalid]", false},
        // Broken text.
        {CURLE_SSL_CERTPROBLEM, "B3:PKCS#11 module::Session handle invalid", false},
        {CURLE_SSL_CERTPROBLEM, "error:41G000B3:PKCS#11 module::Session handle invalid", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(cardSessionsLost(c.rc, c.text), c.lost);
    }
}
