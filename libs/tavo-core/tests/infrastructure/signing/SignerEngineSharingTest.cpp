#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "support/CmsCheck.h"
#include "support/LogCapture.h"
#include "support/SoftHsmToken.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::signing;
using namespace tavo::test;

// The signer and the HTTP client's pkcs11 engine share one module in the
// process. Whichever came first, the signer going away must not end the
// engine's use of it: the next handshake loads the key from the card again.
namespace {

const std::string kHome = "https://portal.nra.bg/home.html";

struct SharingFixture : ::testing::Test {
    SoftHsmToken token;
    SoftHsmToken::Key key = token.addRsaKey("5A", "Tavo Card Holder", "holder@example.com");
    ScopedEnv module{"TAVO_PKCS11_MODULE", SoftHsmToken::modulePath().c_str()};
    StandIn portal{StandIn::Options{StandIn::ClientCert::Require, false}};
    LogCapture log;

    SharingFixture() {
        portal.route({"portal.nra.bg"});
        portal.reply("GET", "/home.html", Reply::text("home"));
    }

    void signAndVerify(SignerPkcs11& signer) {
        std::vector<uint8_t> data = {'s', 'h', 'a', 'r', 'e', 'd'};
        auto sig = signer.signData(data, key.certificateId, token.userPin());
        auto verdict = verifyDetachedCms(sig, data);
        EXPECT_TRUE(verdict.verified) << verdict.output;
    }

    void expectNewHandshake(HttpClient& client) {
        auto before = portal.journal().connectionCount();
        HttpResponse resp = client.getFresh(kHome);
        EXPECT_EQ(resp.status, 200) << resp.error;
        EXPECT_EQ(portal.journal().connectionCount(), before + 1);
        auto last = portal.journal().last();
        ASSERT_TRUE(last.has_value());
        EXPECT_EQ(last->clientSubject, key.cert.subject);
    }
};

using SignerEngineSharing = SharingFixture;

}  // namespace

TEST_F(SignerEngineSharing, SignerCreatedAfterTheEngine) {
    auto client = HttpClientFactory::forNapPortal(key.certificateId, token.userPin());
    expectNewHandshake(*client);
    {
        SignerPkcs11 signer(SoftHsmToken::modulePath());
        signAndVerify(signer);
    }
    expectNewHandshake(*client);
}

TEST_F(SignerEngineSharing, SignerCreatedBeforeTheEngine) {
    auto signer = std::make_unique<SignerPkcs11>(SoftHsmToken::modulePath());
    signAndVerify(*signer);
    auto client = HttpClientFactory::forNapPortal(key.certificateId, token.userPin());
    expectNewHandshake(*client);
    signAndVerify(*signer);
    signer.reset();
    expectNewHandshake(*client);
}
