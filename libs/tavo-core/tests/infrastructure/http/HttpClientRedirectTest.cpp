// Redirects off the agency's hosts, against counterparts that would take what
// the client carries: a plain-text server on the http port, a foreign host
// with a certificate the client trusts. Nothing may reach either of them.
#include <gtest/gtest.h>

#include <string>

#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapRestApiClient.h"
#include "infrastructure/java/JnlpDownloader.h"
#include "support/LogCapture.h"
#include "support/PlainListener.h"
#include "support/RestApiStandIn.h"
#include "support/SoftHsmToken.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;
using tavo::core::domain::NapIdentifierType;

namespace {

const std::string kPin = "739146";
const std::string kPortal = "https://portal.nra.bg";
constexpr const char* kForeignHost = "other.example";

const StandIn::Options kAsking{StandIn::ClientCert::Request, false};

// The card, the portal and the login host (both ask for the certificate),
// a foreign HTTPS host and a plain listener on the portal's http port.
struct RedirectFixture : ::testing::Test {
    SoftHsmToken token{"TavoTestCard", kPin};
    SoftHsmToken::Key key = token.addRsaKey("A1B2", "Tavo Card Holder", "holder@example.com");
    ScopedEnv module{"TAVO_PKCS11_MODULE", SoftHsmToken::modulePath().c_str()};
    LogCapture log;
    StandIn portal{kAsking};
    StandIn login{kAsking};
    StandIn foreign{kAsking, kForeignHost};
    PlainListener plain;

    RedirectFixture() {
        portal.route({"portal.nra.bg"});
        login.route({"login.nra.bg"});
        foreign.route({kForeignHost});
        plain.route({"portal.nra.bg", "api.nra.bg"});
        foreign.onPrefix("*", "/", [](const RecordedRequest&) { return Reply::text("foreign bytes"); });
    }

    void expectNothingReachedOutsiders() {
        EXPECT_EQ(foreign.handshakes(), 0u);
        EXPECT_EQ(foreign.journal().size(), 0u);
        EXPECT_EQ(plain.connections(), 0u);
    }
};

using PortalRedirects = RedirectFixture;
using RestRedirects = RedirectFixture;

}  // namespace

TEST_F(PortalRedirects, OffTheAgencysHostsNothingIsSentAndTheRequestFails) {
    struct Case {
        const char* name;
        int status;
        std::string location;
        std::string refusal;
    };
    const Case cases[] = {
        {"portal to http", 302, "http://portal.nra.bg/next?x=1", "not an https address"},
        {"portal to another host", 302, "https://other.example/steal", "not a host this client may follow"},
        {"307 to http", 307, "http://portal.nra.bg/next", "not an https address"},
        {"308 to another host", 308, "https://other.example/steal", "not a host this client may follow"},
        {"another port of the portal", 302, "https://portal.nra.bg:8443/x", "not a host this client may follow"},
        {"not an address", 302, "https://[::1", "not a readable address"},
    };
    auto client = HttpClientFactory::forNapPortal(key.certificateId, kPin);
    client->setCookie("selectedContext", "123456789", "portal.nra.bg", "/", true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        portal.reply("*", "/go", Reply::redirect(c.location, c.status));
        HttpResponse got = client->get(kPortal + "/go", kAcceptHtmlBrowser);
        HttpResponse posted = client->postRaw(kPortal + "/go", "declaration body", "text/plain");
        for (const HttpResponse* r : {&got, &posted}) {
            EXPECT_EQ(r->status, 0);
            EXPECT_NE(r->error.find(c.refusal), std::string::npos) << r->error;
            EXPECT_EQ(r->body, "");
        }
        EXPECT_TRUE(client->downloadBinary(kPortal + "/go").empty());
        expectNothingReachedOutsiders();
    }
    // The portal itself saw the card each time; the refusal is in the log
    // without the redirect's query.
    EXPECT_EQ(portal.journal().clientSubjectOn("/go"), key.cert.subject);
    EXPECT_TRUE(log.contains("refused: not an https address")) << log.text();
    EXPECT_FALSE(log.contains("next?x=1"));
}

TEST_F(PortalRedirects, TheLoginHostAndThePortalFollowEachOther) {
    portal.reply("GET", "/auth/entry", Reply::redirect("https://login.nra.bg/auth/login/qes"));
    login.reply("GET", "/auth/login/qes", Reply::redirect("https://portal.nra.bg/auth/callback?code=c0de"));
    portal.reply("GET", "/auth/callback", Reply::redirect("/home.html", 303));
    portal.reply("GET", "/home.html", Reply::text("home"));
    auto client = HttpClientFactory::forNapPortal(key.certificateId, kPin);
    HttpResponse r = client->get(kPortal + "/auth/entry", kAcceptHtmlBrowser);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.body, "home");
    EXPECT_EQ(r.effectiveUrl, kPortal + "/home.html");
    EXPECT_EQ(login.journal().clientSubjectOn("/auth/login/qes"), key.cert.subject);
    EXPECT_EQ(portal.journal().paths(), (std::vector<std::string>{"/auth/entry", "/auth/callback", "/home.html"}));
    expectNothingReachedOutsiders();
}

TEST_F(PortalRedirects, PostsContinueAsTheStatusSays) {
    struct Case {
        int status;
        std::string method;  // of the second request, which carries the body only as a POST
    };
    const Case cases[] = {{301, "GET"}, {302, "GET"}, {303, "GET"}, {307, "POST"}, {308, "POST"}};
    auto client = HttpClientFactory::forNapPortal("", "");
    portal.on("*", "/landing", [](const RecordedRequest& r) { return Reply::text(r.method); });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        portal.journal().clear();
        portal.reply("POST", "/form", Reply::redirect("/landing", c.status));
        HttpResponse r = client->postRaw(kPortal + "/form", "payload", "text/plain");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, c.method);
        auto landing = portal.journal().lastOn("/landing");
        ASSERT_TRUE(landing);
        EXPECT_EQ(landing->body, c.method == "POST" ? "payload" : "");
        EXPECT_EQ(landing->hasHeader("Content-Type"), c.method == "POST");
    }
}

TEST_F(PortalRedirects, TheCardsFetcherStaysOnThePortalAndTheFallbackCarriesNoCard) {
    portal.reply("GET", "/ls/app.jar", Reply::redirect("https://other.example/app.jar"));
    auto client = HttpClientFactory::forNapPortal(key.certificateId, kPin);
    auto fetcher = [&](const std::string& url) { return client->downloadBinary(url); };
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(tavo::stampit::JnlpDownloader::doFetch(fetcher, kPortal + "/ls/app.jar", out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "foreign bytes");
    // The session's request stopped at the portal; only the anonymous one,
    // without a certificate, went on.
    auto atPortal = portal.journal().all();
    ASSERT_EQ(atPortal.size(), 2u);
    EXPECT_EQ(atPortal[0].clientSubject, key.cert.subject);
    EXPECT_EQ(atPortal[1].clientSubject, "");
    auto abroad = foreign.journal().all();
    ASSERT_EQ(abroad.size(), 1u);
    EXPECT_EQ(foreign.handshakes(), 1u);  // the counter the other cases rely on sees a real visit
    EXPECT_EQ(abroad[0].clientSubject, "");
    EXPECT_FALSE(abroad[0].hasHeader("Cookie"));
}

TEST_F(RestRedirects, A307IsFollowedOnlyToAnAgencyApiHostTheClientWasMadeFor) {
    RestApiStandIn api;
    struct Case {
        const char* name;
        std::string madeFor;  // the one API host the client may use; empty: both agency API hosts
        std::string base;     // where the test host sends the filing and the result query on
        bool ok;
    };
    const Case cases[] = {
        {"to http", "", "http://api.nra.bg", false},
        {"to another host", "", "https://other.example", false},
        {"to production from a client made for the test host", RestApiStandIn::testResultUrl(), "https://api.nra.bg",
         false},
        {"to production", "", "https://api.nra.bg", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        api.journal().clear();
        for (const char* path : {RestApiStandIn::kSubmitPath, RestApiStandIn::kResultPath}) {
            api.server().on("POST", path, [base = c.base](const RecordedRequest& r) {
                return r.header("Host") == "api.nra.bg" ? Reply::json(R"({"documentId":"9"})")
                                                        : Reply::redirect(base + r.path, 307);
            });
        }
        auto http =
            c.madeFor.empty() ? HttpClientFactory::forNapRestApi() : HttpClientFactory::forNapRestApi(c.madeFor);
        NapRestApiClient client(*http, RestApiStandIn::testSubmitUrl(), RestApiStandIn::testResultUrl(), "sk-key-1");
        for (const SendDeclarationResponse& answer :
             {client.submit(SendDeclarationRequest{}),
              client.checkStatus("7", "1", NapIdentifierType::UNKNOWN, "1", NapIdentifierType::UNKNOWN, {})}) {
            EXPECT_EQ(answer.ok, c.ok) << answer.error;
            if (!c.ok) {
                EXPECT_EQ(answer.httpStatus, 0);
                EXPECT_NE(answer.error.find("refused"), std::string::npos) << answer.error;
            }
        }
        // Each request reached the agency's test host and, when allowed, production; nothing went further.
        EXPECT_EQ(api.journal().size(), c.ok ? 4u : 2u);
        expectNothingReachedOutsiders();
    }
    EXPECT_FALSE(log.contains("sk-key-1"));
}
