#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/Pkcs11Engine.h"
#include "support/LogCapture.h"
#include "support/SoftHsmToken.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;

// SoftHSM is the card. The token is made before anything loads the engine:
// once the module is loaded in a process, new tokens are not seen.
namespace {

const std::string kPin = "739146";
const std::string kHome = "https://portal.nra.bg/home.html";

struct CardFixture : ::testing::Test {
    SoftHsmToken token{"TavoTestCard", kPin};
    SoftHsmToken::Key key = token.addRsaKey("A1B2", "Tavo Card Holder", "holder@example.com");
    ScopedEnv module{"TAVO_PKCS11_MODULE", SoftHsmToken::modulePath().c_str()};
    StandIn portal{StandIn::Options{StandIn::ClientCert::Require, false}};
    LogCapture log;

    CardFixture() {
        portal.route({"portal.nra.bg"});
        portal.reply("GET", "/home.html", Reply::text("home"));
    }
    std::string slot() const { return std::to_string(token.slotId()); }
};

using HttpClientCardTest = CardFixture;

}  // namespace

TEST_F(HttpClientCardTest, PortalClientPresentsTheTokensCertificate) {
    auto client = HttpClientFactory::forNapPortal(key.certificateId, kPin);
    HttpResponse resp = client->get(kHome);
    ASSERT_EQ(resp.error, "");
    EXPECT_EQ(resp.status, 200);
    EXPECT_EQ(resp.body, "home");
    EXPECT_EQ(portal.journal().clientSubjectOn("/home.html"), key.cert.subject);

    // A fresh GET is a new handshake: the certificate is presented again.
    EXPECT_EQ(client->getFresh(kHome).status, 200);
    auto all = portal.journal().all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(all[0].connectionId, all[1].connectionId);
    EXPECT_EQ(all[1].clientSubject, key.cert.subject);

    const std::string text = log.text();
    EXPECT_NE(text.find("HttpClient: PKCS#11 module = " + SoftHsmToken::modulePath()), std::string::npos) << text;
    EXPECT_NE(text.find("HttpClient: pkcs11 engine loaded from "), std::string::npos) << text;
    EXPECT_NE(text.find("HttpClient: using PKCS#11 engine, cert=slot_" + slot() + "-id_A1B2 [PIN set]"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find(kPin), std::string::npos);
    EXPECT_EQ(std::string(std::getenv("PKCS11_MODULE_PATH")), SoftHsmToken::modulePath());
}

TEST_F(HttpClientCardTest, CertificateSetLaterAppliesAtOnce) {
    auto client = HttpClientFactory::forNapPortal("", kPin);
    EXPECT_EQ(client->get(kHome).status, 0);
    EXPECT_FALSE(log.contains("using PKCS#11 engine"));
    client->setClientCertId(key.certificateId);
    EXPECT_EQ(client->getFresh(kHome).status, 200);
    EXPECT_EQ(portal.journal().clientSubjectOn("/home.html"), key.cert.subject);
}

// A second key on the card, made before anything loads the engine.
struct TwoKeysOnTheCard : CardFixture {
    SoftHsmToken::Key other = token.addRsaKey("C3D4", "Other Card Holder", "other@example.com");
};

TEST_F(TwoKeysOnTheCard, AResumedTlsSessionNeverCarriesTheOtherCertificate) {
    // Every answer closes its connection, as the stand-in does with an idle
    // one: each request opens a new connection with the client's session cache.
    Reply closing = Reply::text("home");
    closing.headers = {{"Connection", "close"}};
    portal.reply("GET", "/home.html", closing);
    auto client = HttpClientFactory::forNapPortal(key.certificateId, kPin);
    EXPECT_EQ(client->get(kHome).status, 200);
    EXPECT_EQ(client->get(kHome).status, 200);
    client->setClientCertId(other.certificateId);
    EXPECT_EQ(client->get(kHome).status, 200);
    client->setClientCertId(key.certificateId);
    EXPECT_EQ(client->get(kHome).status, 200);

    std::vector<std::pair<std::string, bool>> seen;  // subject, resumed
    for (const RecordedRequest& r : portal.journal().all()) seen.emplace_back(r.clientSubject, r.resumedSession);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(portal.journal().connectionCount(), 4u);
    // The same certificate may resume its own session; a switch to the other
    // certificate always makes a full handshake with that certificate's key.
    EXPECT_EQ(seen[0], std::make_pair(key.cert.subject, false));
    EXPECT_EQ(seen[1], std::make_pair(key.cert.subject, true));
    EXPECT_EQ(seen[2], std::make_pair(other.cert.subject, false));
    EXPECT_EQ(seen[3].first, key.cert.subject);
}

TEST_F(HttpClientCardTest, Pkcs11UriIsUsedVerbatim) {
    const std::string uri = "pkcs11:token=TavoTestCard;id=%A1%B2";
    auto client = HttpClientFactory::forNapPortal(uri, kPin);
    EXPECT_TRUE(log.contains("HttpClient: using PKCS#11 engine, cert=" + uri + " [PIN set]"));
    HttpResponse resp = client->get(kHome);
    EXPECT_EQ(resp.status, 200) << resp.error;
    EXPECT_EQ(portal.journal().clientSubjectOn("/home.html"), key.cert.subject);
}

namespace {

// The engine stays logged in once a key was loaded: each case needs a process
// of its own, hence two tests.
void expectCurlFailure(const HttpResponse& resp) {
    EXPECT_EQ(resp.status, 0);
    bool isCurlText = false;
    for (int code = 1; code < CURL_LAST; ++code)
        isCurlText = isCurlText || resp.error == curl_easy_strerror(static_cast<CURLcode>(code));
    EXPECT_TRUE(isCurlText) << resp.error;
}

}  // namespace

TEST_F(HttpClientCardTest, WrongKeyIdFailsWithLibcurlsText) {
    auto client = HttpClientFactory::forNapPortal(slot() + ":FFEE", kPin);
    expectCurlFailure(client->get(kHome));
    EXPECT_EQ(portal.journal().size(), 0u);
}

TEST_F(HttpClientCardTest, WrongPinFailsWithLibcurlsText) {
    auto client = HttpClientFactory::forNapPortal(key.certificateId, "000000");
    expectCurlFailure(client->get(kHome));
    EXPECT_EQ(portal.journal().size(), 0u);
    EXPECT_FALSE(log.contains("000000"));
}

TEST_F(HttpClientCardTest, RestApiAndCloudNeverPresentACertificate) {
    // The engine is loaded and holds the PIN; the environment names the card.
    auto portalClient = HttpClientFactory::forNapPortal(key.certificateId, kPin);
    StandIn api{StandIn::Options{StandIn::ClientCert::Request, false}};
    api.route({"api.nra.bg", "cloud.tavo.example"});
    api.reply("GET", "/", Reply::json("{}"));
    auto rest = HttpClientFactory::forNapRestApi();
    auto cloud = HttpClientFactory::forTavoCloud();
    EXPECT_EQ(rest->get("https://api.nra.bg/").status, 200);
    EXPECT_EQ(cloud->get("https://cloud.tavo.example/").status, 200);
    auto all = api.journal().all();
    ASSERT_EQ(all.size(), 2u);
    for (const auto& r : all) EXPECT_EQ(r.clientSubject, "");
    EXPECT_EQ(all[0].header("User-Agent"), "TavoAgentC/0.1");
    EXPECT_EQ(all[1].header("User-Agent"), "TavoAgentC/0.1 (+tavo.example)");
}

TEST(HttpClientCertIds, SlotAndIdPairsUrisAndTheRest) {
    LogCapture log;
    ScopedEnv module("TAVO_PKCS11_MODULE", nullptr);
    struct Case {
        const char* id;
        const char* engineName;  // nullptr: not a card id
    };
    const Case cases[] = {
        {"3:A1B2", "slot_3-id_A1B2"},
        {"12:ab", "slot_12-id_ab"},
        {"pkcs11:id=%01", "pkcs11:id=%01"},
        {":A1", nullptr},
        {"3:", nullptr},
        {"3:ABC", nullptr},
        {"x3:AB", nullptr},
        {"3:GG", nullptr},
    };
    const std::string keychain =
        "HttpClient: Keychain cert ref path in use — mTLS may fail on OpenSSL-backed libcurl. "
        "For smart cards use a '<slot>:<CKA_ID-hex>' cert id instead.";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const std::size_t before = log.text().size();
        HttpClientOptions o;
        o.clientCertId = c.id;
        HttpClient client(o);
        const std::string added = log.text().substr(before);
        if (c.engineName) {
            EXPECT_NE(added.find(std::string("cert=") + c.engineName + " [no PIN supplied]"), std::string::npos)
                << added;
            EXPECT_NE(added.find("no module path configured"), std::string::npos) << added;
            EXPECT_EQ(added.find(keychain), std::string::npos) << added;
        } else {
            EXPECT_NE(added.find(keychain), std::string::npos) << added;
            EXPECT_EQ(added.find("using PKCS#11 engine"), std::string::npos) << added;
        }
    }
}

TEST(Pkcs11Engine, EnginesFolderComesFirstAndABadLibraryFailsTheRequest) {
    TempDir engines("tavo-engines");
    ScopedEnv env("OPENSSL_ENGINES", engines.str().c_str());
    EXPECT_EQ(locatePkcs11EngineLibrary(), "/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so");
    writeFile(engines / "pkcs11.so", "not a shared object");
    EXPECT_EQ(locatePkcs11EngineLibrary(), (engines / "pkcs11.so").string());

    LogCapture log;
    StandIn portal{StandIn::Options{StandIn::ClientCert::Require, false}};
    portal.route({"portal.nra.bg"});
    auto client = HttpClientFactory::forNapPortal("3:A1B2", "1234");
    EXPECT_TRUE(log.contains("HttpClient: failed to load pkcs11 engine from " + (engines / "pkcs11.so").string()));
    HttpResponse resp = client->get(kHome);
    EXPECT_EQ(resp.status, 0);
    EXPECT_FALSE(resp.error.empty());
    EXPECT_EQ(portal.journal().size(), 0u);
}
